// The package as it lies in the built program files: the keyword exactly once,
// the record and the image area behind it, the sentinel where the mode test reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/FlashPackage.h"

namespace {

std::vector<char> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::size_t> FindAll(const std::vector<char>& haystack, const char* needle, std::size_t size) {
  std::vector<std::size_t> found;
  auto from = haystack.begin();
  while (true) {
    auto at = std::search(from, haystack.end(), needle, needle + size);
    if (at == haystack.end()) break;
    found.push_back(static_cast<std::size_t>(at - haystack.begin()));
    from = at + 1;
  }
  return found;
}

TEST(PackageLayout, BuiltProgramsCarryOneTemplatePackage) {
  const char* keyword = EmbeddedPackage().PackageKeyword;
  ASSERT_EQ(std::string(keyword), "Q517-2-4096318");
  ASSERT_EQ(keyword[14], '\0');
  for (const char* program : {FLASHUTIL_PROGRAM, FLASHUTIL_SIM_PROGRAM}) {
    SCOPED_TRACE(program);
    const std::vector<char> file = ReadFile(program);
    ASSERT_GT(file.size(), kPackageSize);
    const std::vector<std::size_t> at = FindAll(file, keyword, kKeywordSize);
    ASSERT_EQ(at.size(), 1u) << "the keyword must occur exactly once in the program file";
    const std::size_t k = at[0];
    ASSERT_LE(k + kPackageSize, file.size());
    // The sentinel lies at keyword + 152: the start of the image area.
    EXPECT_EQ(std::memcmp(&file[k + 152], TemplateSentinel, 4), 0);
    // The model record and ImageSize between them carry nothing in a template.
    EXPECT_TRUE(std::all_of(&file[k + 15], &file[k + 152], [](char c) { return c == 0; }));
    // The whole image area is present in the file, not left to zero-initialised storage.
    EXPECT_TRUE(std::all_of(&file[k + 156], &file[k + kPackageSize], [](char c) { return c == 0; }));
  }
}

TEST(PackageLayout, ImageSizeIsLittleEndian) {
  FlashPackage* p = new FlashPackage{};
  SetPackageImageSize(*p, 0x00080000u);
  EXPECT_EQ(p->ImageSize[0], 0x00);
  EXPECT_EQ(p->ImageSize[1], 0x00);
  EXPECT_EQ(p->ImageSize[2], 0x08);
  EXPECT_EQ(p->ImageSize[3], 0x00);
  EXPECT_EQ(PackageImageSize(*p), 524288u);
  delete p;
}

}  // namespace
