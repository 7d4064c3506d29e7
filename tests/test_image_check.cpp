// The image format check: marker positions in order, model texts over exactly
// their lengths without regard to case, the flags, and the image size.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/Support.h"

namespace {

struct Put {
  std::uint32_t At;
  const char* Bytes;  // written without its terminator
  std::size_t Length;
};

constexpr char kMarker[] = "\x05\x80";

struct ImageCheckCase {
  const char* name;
  std::vector<Put> puts;
  bool f1100, named, dvdRom;
};

constexpr char kPva[] = "DVD-ROM PVA-310";

// clang-format off
const ImageCheckCase kImageCheckCases[] = {
    {"no marker anywhere", {}, false, false, false},
    {"marker bytes the wrong way round", {{0x1100, "\x80\x05", 2}}, false, false, false},
    {"0x4000, first DVD-ROM text", {{0x4000, kMarker, 2}, {0x4010, kPva, 15}}, false, true, true},
    {"0x4000, first text in lower case", {{0x4000, kMarker, 2}, {0x4010, "dvd-rom pva-310", 15}}, false, true, true},
    {"0x4000, second text followed by anything", {{0x4000, kMarker, 2}, {0x4010, "DVD-ROM PVB-420xyz", 18}}, false, true, true},
    {"0x4000 with another text stops the search: 0x4008, 0x14000, 0x1100 unexamined",
     {{0x4000, kMarker, 2}, {0x4010, "DVD-ROM PVC-999", 15}, {0x4008, kMarker, 2}, {0x4018, kPva, 15},
      {0x14000, kMarker, 2}, {0x14010, "COMBO", 5}, {0x1100, kMarker, 2}}, false, false, false},
    {"0x4000 text one byte short of its length does not match", {{0x4000, kMarker, 2}, {0x4010, "DVD-ROM PVA-31\0", 15}}, false, false, false},
    {"0x4008, second DVD-ROM text", {{0x4008, kMarker, 2}, {0x4018, "Dvd-Rom Pvb-420", 15}}, false, true, true},
    {"0x4008 is not looked at for COMBO", {{0x4008, kMarker, 2}, {0x4018, "COMBO", 5}}, false, false, false},
    {"0x14000, COMBO and anything after it", {{0x14000, kMarker, 2}, {0x14010, "COMBO-52X", 9}}, false, true, false},
    {"0x14000, combo in lower case", {{0x14000, kMarker, 2}, {0x14010, "combo", 5}}, false, true, false},
    {"0x14000, the 16-byte DVD-ROM text", {{0x14000, kMarker, 2}, {0x14010, "DVD-ROM PVB-530S", 16}}, false, true, false},
    {"0x14000, the DVD-ROM text without its last letter", {{0x14000, kMarker, 2}, {0x14010, "DVD-ROM PVB-530X", 16}}, false, false, false},
    {"0x14000 does not take the 0x4000 texts", {{0x14000, kMarker, 2}, {0x14010, kPva, 15}}, false, false, false},
    {"0x1100 alone", {{0x1100, kMarker, 2}}, true, false, false},
    {"0x1100 is examined last", {{0x1100, kMarker, 2}, {0x14000, kMarker, 2}, {0x14010, "COMBO", 5}}, false, true, false},
    {"a near miss at 0x4000 lets 0x1100 decide",
     {{0x4000, "\x05\x81", 2}, {0x4010, kPva, 15}, {0x1100, kMarker, 2}}, true, false, false},
};
// clang-format on

std::unique_ptr<FlashPackage> PackageWith(const std::vector<Put>& puts, std::uint32_t size) {
  std::vector<std::uint8_t> image(size);
  for (std::uint32_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>(i * 7 + 1);
  auto package = MakeFlasherPackage({}, image);
  for (const Put& p : puts) std::memcpy(package->ImageArea + p.At, p.Bytes, p.Length);
  return package;
}

TEST(ImageCheck, MarkersTextsAndFlags) {
  for (const ImageCheckCase& c : kImageCheckCases) {
    SCOPED_TRACE(c.name);
    FormFixture f(PackageWith(c.puts, 0x20000));
    f.Form->CheckNewFormatBIN();
    EXPECT_EQ(f.Form->NewFormat1100, c.f1100);
    EXPECT_EQ(f.Form->NewFormatNamed, c.named);
    EXPECT_EQ(f.Form->NewFormatDvdRom, c.dvdRom);
    EXPECT_EQ(f.Form->ImageSize, 0x20000u);
  }
}

TEST(ImageCheck, SizeIsCopiedAndMarkersAreReadInTheWholeArea) {
  // 16: shorter than 0x1100, so the marker there is what the area holds; 0 and
  // 600000 are copied as they stand (the update refuses them); 0x1100 ends right
  // at the marker.
  for (const std::uint32_t size : {16u, 0u, 0x1100u, 524288u, 600000u}) {
    SCOPED_TRACE(size);
    auto package = PackageWith({}, 16);
    std::memcpy(package->ImageArea + 0x1100, kMarker, 2);
    SetPackageImageSize(*package, size);
    FormFixture f(std::move(package));
    f.Form->NewFormatNamed = true;  // a second run of the check decides afresh
    f.Form->CheckNewFormatBIN();
    EXPECT_EQ(f.Form->ImageSize, size);
    EXPECT_TRUE(f.Form->NewFormat1100);
    EXPECT_FALSE(f.Form->NewFormatNamed);
  }
}

}  // namespace
