// Flash-chip profiles: the compiled-in table, the choice of an entry, the block
// that Write Profile sends in each scheme, and both verifications.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/UpdateRig.h"
#include "update/FlashProfiles.h"

namespace {

// The table as the drives' makers publish it: ids, body length, variant, where the
// body starts in the area, and the identification text inside the body.
struct TableRow {
  std::uint8_t manufacturer, device;
  std::uint16_t length;
  std::uint8_t variant[2];
  std::uint32_t offset;
  const char* text;
  std::uint16_t position;
};

const TableRow kTable[kFlashProfileCount] = {
    {0xDA, 0xC8, 314, {0x00, 0x00}, 0, nullptr, 0},
    {0xBF, 0xB4, 452, {0x00, 0x00}, 314, nullptr, 0},
    {0xBF, 0xD6, 1280, {0x00, 0x01}, 766, "This profile is for SST39VF020/SST39SF020 V1.2", 735},
    {0xBF, 0xB6, 1280, {0x00, 0x01}, 766, "This profile is for SST39VF020/SST39SF020 V1.2", 735},
    {0x37, 0x8C, 1280, {0x00, 0x01}, 2046, "This profile is for AMIC A29002 Top V1.2", 964},
    {0xBF, 0xD7, 998, {0x00, 0x03}, 3326, "This profile is for SST39VF040/SST39SF040 V1.1", 803},
    {0x37, 0x0D, 796, {0x00, 0x02}, 4324, "This profile is for AMIC A290021 Top V1.0", 623},
    {0xBF, 0xB6, 694, {0x00, 0x02}, 5120, "This profile is for SST39SF020 V1.1 in PVB530", 588},
    {0xBF, 0xD6, 694, {0x00, 0x02}, 5120, "This profile is for SST39SF020 V1.1 in PVB530", 588},
    {0xDA, 0xB5, 698, {0x00, 0x02}, 5814, "This profile is for W39L020 V1.1 in PVB530", 594},
};

TEST(FlashProfileTable, IndexBodiesAndTextsAgreeWithThePublishedTable) {
  std::uint32_t stored = 0;  // the walk: bodies before each entry, 2 and 7 left out
  for (int i = 0; i < kFlashProfileCount; ++i) {
    SCOPED_TRACE(i);
    const TableRow& row = kTable[i];
    const std::uint8_t* entry = FlashProfileIndex[i];
    EXPECT_EQ(entry[0], row.manufacturer);
    EXPECT_EQ(entry[1], row.device);
    EXPECT_EQ(entry[2] << 8 | entry[3], row.length);
    EXPECT_EQ(entry[4], row.variant[0]);
    EXPECT_EQ(entry[5], row.variant[1]);
    EXPECT_EQ(row.length % 2, 0);
    EXPECT_EQ(stored, row.offset);
    if (i != 2 && i != 7) stored += row.length;

    const std::uint8_t* body = FlashProfileData.data() + row.offset;
    if (row.text != nullptr) {
      const std::size_t n = std::strlen(row.text);
      ASSERT_LE(row.position + n + 1, row.length);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(body) + row.position, n), row.text);
      EXPECT_EQ(body[row.position + n], 0) << "text not terminated";
    } else {
      const std::string bytes(reinterpret_cast<const char*>(body), row.length);
      EXPECT_EQ(bytes.find("This profile is for"), std::string::npos);
    }
  }
  EXPECT_EQ(stored, kFlashProfileDataSize);  // eight stored bodies fill the area exactly
  EXPECT_EQ(FlashProfileData.size(), 6512u);
  // The filler is no run of one byte: neighbouring bodies differ from their first byte on.
  EXPECT_NE(std::memcmp(FlashProfileData.data(), FlashProfileData.data() + 314, 16), 0);
  EXPECT_NE(std::memcmp(FlashProfileData.data() + 766, FlashProfileData.data() + 2046, 16), 0);
}

struct ChoiceCase {
  const char* name;
  std::uint8_t reply[4];
  bool longHeader;
  int entry;
  std::int32_t offset;
};

const ChoiceCase kChoiceCases[] = {
    {"BF D6 00 02, long header: entry 8", {0xBF, 0xD6, 0x00, 0x02}, true, 8, 5120},
    {"BF D6 00 02, short header: entry 2, never 8", {0xBF, 0xD6, 0x00, 0x02}, false, 2, 766},
    {"BF B6 00 01, long header: entry 3 with the body of 2", {0xBF, 0xB6, 0x00, 0x01}, true, 3, 766},
    {"BF B6 00 02, long header: entry 7", {0xBF, 0xB6, 0x00, 0x02}, true, 7, 5120},
    {"BF B6 00 02, short header: entry 3", {0xBF, 0xB6, 0x00, 0x02}, false, 3, 766},
    {"DA C8 00 00, long header: entry 0", {0xDA, 0xC8, 0x00, 0x00}, true, 0, 0},
    {"DA C8 00 01, long header: no entry", {0xDA, 0xC8, 0x00, 0x01}, true, -1, 6512},
    {"37 8C FF FF, short header: entry 4 whatever the variant", {0x37, 0x8C, 0xFF, 0xFF}, false, 4, 2046},
    {"BF D7 00 03: entry 5", {0xBF, 0xD7, 0x00, 0x03}, true, 5, 3326},
    {"37 0D 00 02: entry 6", {0x37, 0x0D, 0x00, 0x02}, true, 6, 4324},
    {"DA B5 00 02: entry 9", {0xDA, 0xB5, 0x00, 0x02}, true, 9, 5814},
    {"BF B4, short header: entry 1", {0xBF, 0xB4, 0x12, 0x34}, false, 1, 314},
    {"unknown chip, short header", {0x01, 0x02, 0x00, 0x00}, false, -1, 6512},
    {"manufacturer and device swapped", {0xC8, 0xDA, 0x00, 0x00}, false, -1, 6512},
};

TEST(FlashProfileChoice, FirstMatchInIndexOrder) {
  for (const ChoiceCase& c : kChoiceCases) {
    SCOPED_TRACE(c.name);
    const FlashProfileChoice choice = ChooseFlashProfile(c.reply, c.longHeader);
    EXPECT_EQ(choice.Entry, c.entry);
    EXPECT_EQ(choice.Offset, c.offset);
  }
}

SimDriveConfig ChipDrive(const std::uint8_t id[4]) {
  SimDriveConfig config;
  config.FlashManufacturer = id[0];
  config.FlashDevice = id[1];
  config.Variant[0] = id[2];
  config.Variant[1] = id[3];
  return config;
}

struct BlockCase {
  const char* name;
  Scheme scheme;
  std::uint8_t id[4];
  bool found;
  std::int32_t offset, length, headerLength;
  const char* header;  // the block's first bytes
  const char* cdb;     // Write Profile
};

// clang-format off
const BlockCase kBlockCases[] = {
    {"entry 4, long header: 6 + 1280", Scheme::LongHeader, {0x37, 0x8C, 0x00, 0x01},
     true, 2046, 1286, 6, "37 8C 00 01 05 00", "3B 05 01 00 00 00 00 05 06 7F 00 00"},
    {"entry 0, short header: header and the first 310 body bytes", Scheme::ShortHeader, {0xDA, 0xC8, 0x00, 0x00},
     true, 0, 314, 4, "DA C8 01 3A", "3B 05 01 08 00 00 00 01 3A 7F 00 00"},
    {"BF D6 00 02, long header: entry 8", Scheme::LongHeader, {0xBF, 0xD6, 0x00, 0x02},
     true, 5120, 700, 6, "BF D6 00 02 02 B6", "3B 05 01 00 00 00 00 02 BC 7F 00 00"},
    {"BF D6 00 02, short header: entry 2", Scheme::ShortHeader, {0xBF, 0xD6, 0x00, 0x02},
     true, 766, 1280, 4, "BF D6 05 00", "3B 05 01 08 00 00 00 05 00 7F 00 00"},
    {"BF B6 00 01, long header: entry 3", Scheme::LongHeader, {0xBF, 0xB6, 0x00, 0x01},
     true, 766, 1286, 6, "BF B6 00 01 05 00", "3B 05 01 00 00 00 00 05 06 7F 00 00"},
    {"no match, short header: marker, nothing sent", Scheme::ShortHeader, {0x01, 0x02, 0x00, 0x00},
     false, 6512, 0, 0, "FF FF 00 00", "3B 05 01 08 00 00 00 00 00 7F 00 00"},
    {"no match, long header: marker, nothing sent", Scheme::LongHeader, {0xDA, 0xC8, 0x00, 0x01},
     false, 6512, 0, 0, "FF FF 00 00", "3B 05 01 00 00 00 00 00 00 7F 00 00"},
};
// clang-format on

TEST(SetupFlashProfile, BlockSizesAndCommandsInBothSchemes) {
  for (const BlockCase& c : kBlockCases) {
    SCOPED_TRACE(c.name);
    UpdateRig rig(SchemePackage(16384, c.scheme), ChipDrive(c.id));
    std::vector<std::uint8_t> block(16384, 0xEE);
    ASSERT_TRUE(rig.Form().SetupFlashProfile(block.data()));
    EXPECT_EQ(rig.Form().ProfileFound, c.found);
    EXPECT_EQ(rig.Form().ProfileOffset, c.offset);
    EXPECT_EQ(rig.Form().ProfileLength, c.length);
    EXPECT_EQ(rig.Form().ProfileHeaderLength, c.headerLength);
    const std::size_t headerSize = (std::strlen(c.header) + 1) / 3;
    EXPECT_EQ(HexBytes(block.data(), headerSize), c.header);
    EXPECT_TRUE(rig.Ui().Messages.empty());

    const auto& log = rig.Drive->Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(HexBytes(log[0].Cdb.data(), 12), "DF 11 00 00 00 00 00 00 00 00 00 00");
    EXPECT_TRUE(log[0].DataIn);
    EXPECT_EQ(log[0].Length, 128u);
    EXPECT_EQ(HexBytes(log[1].Cdb.data(), 12), c.cdb);
    EXPECT_FALSE(log[1].DataIn);
    EXPECT_EQ(log[1].Length, static_cast<std::uint32_t>(c.length));
    // What went out is the block: its header, then the body from its start (in the
    // short-header scheme the last four body bytes stay behind).
    std::vector<std::uint8_t> expected;
    if (c.found) {
      expected.assign(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(headerSize));
      const auto* body = FlashProfileData.data() + c.offset;
      expected.insert(expected.end(), body, body + (c.length - static_cast<std::int32_t>(headerSize)));
    }
    EXPECT_EQ(log[1].Data, expected);
    EXPECT_TRUE(
        std::equal(expected.begin(), expected.end(),
                   rig.Drive->BufferMemory().begin() + (c.scheme == Scheme::ShortHeader ? 0x80000 : 0)));
  }
}

TEST(SetupFlashProfile, AFlashIdThatBringsNoDataIsAnUnknownChip) {
  // The transfer buffer holds what an earlier command left there, here the id of a
  // known chip: a reply that never came must not choose that chip's profile.
  for (const Scheme scheme : {Scheme::ShortHeader, Scheme::LongHeader}) {
    SCOPED_TRACE(SchemeName(scheme));
    UpdateRig rig(SchemePackage(16384, scheme));
    std::memcpy(rig.Form().TransferBuffer, "\xBF\xD6\x00\x01", 4);
    rig.Drive->Config().Faults = {{SimFault::Kind::DropWrite, 0xDF}};
    std::vector<std::uint8_t> block(16384, 0xEE);
    ASSERT_TRUE(rig.Form().SetupFlashProfile(block.data()));
    EXPECT_FALSE(rig.Form().ProfileFound);
    EXPECT_EQ(rig.Form().ProfileLength, 0);
    EXPECT_EQ(HexBytes(block.data(), 4), "FF FF 00 00");
  }
}

struct VerifyCase {
  const char* name;
  Scheme scheme;
  int change;  // the byte of the copy to change, from the block's start; -1 none
  bool good;
  const char* message;  // nullptr: no message
};

// The drive's flash id is BF D6 00 01: entry 2 in both schemes, 1280 body bytes.
const VerifyCase kVerifyCases[] = {
    {"long header, copy intact", Scheme::LongHeader, -1, true, nullptr},
    {"long header, header bytes are not compared", Scheme::LongHeader, 0, true, nullptr},
    {"long header, first body byte", Scheme::LongHeader, 6, false, nullptr},
    {"long header, last body byte", Scheme::LongHeader, 1285, false, nullptr},
    {"long header, past the block", Scheme::LongHeader, 1286, true, nullptr},
    {"short header, copy intact", Scheme::ShortHeader, -1, true, nullptr},
    {"short header, header byte", Scheme::ShortHeader, 1, false, "Compared profile error!"},
    {"short header, last byte sent", Scheme::ShortHeader, 1279, false, "Compared profile error!"},
    {"short header, past what was sent", Scheme::ShortHeader, 1280, true, nullptr},
};

TEST(ReadVerifyProfile, ComparesExactlyWhatWasSent) {
  for (const VerifyCase& c : kVerifyCases) {
    SCOPED_TRACE(c.name);
    UpdateRig rig(SchemePackage(16384, c.scheme));
    std::vector<std::uint8_t> copy(16384);
    ASSERT_TRUE(rig.Form().SetupFlashProfile(copy.data()));
    rig.Drive->ClearLog();
    if (c.change >= 0) copy[static_cast<std::size_t>(c.change)] ^= 0x40;
    EXPECT_EQ(rig.Form().ReadVerifyProfile(copy.data()), c.good);
    if (c.message != nullptr) {
      EXPECT_EQ(rig.Ui().Messages, std::vector<std::string>{c.message});
    } else {
      EXPECT_TRUE(rig.Ui().Messages.empty());
    }
    const auto& log = rig.Drive->Log();
    if (c.scheme == Scheme::LongHeader) {
      EXPECT_TRUE(log.empty()) << "the long-header check sends nothing";
    } else {
      ASSERT_EQ(log.size(), 1u);
      EXPECT_EQ(HexBytes(log[0].Cdb.data(), 12), "3C 01 01 08 00 00 00 05 00 00 00 00");
      EXPECT_TRUE(log[0].DataIn);
      EXPECT_EQ(log[0].Length, 1280u);
    }
  }
}

TEST(ReadVerifyProfile, AReadThatFailsOrBringsNothingDoesNotVerify) {
  // Right after Write Profile the transfer buffer still holds the block as sent: a
  // read that reports success but brings nothing must not pass for the drive's copy.
  const struct {
    SimFault::Kind kind;
    const char* message;
  } cases[] = {
      {SimFault::Kind::CheckCondition, "Read Profile> 04 44 00. 02, 0000"},
      {SimFault::Kind::DropWrite, "Compared profile error!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    UpdateRig rig(SchemePackage(16384, Scheme::ShortHeader));
    std::vector<std::uint8_t> copy(16384);
    ASSERT_TRUE(rig.Form().SetupFlashProfile(copy.data()));
    rig.Drive->Config().Faults = {{c.kind, 0x3C}};
    EXPECT_FALSE(rig.Form().ReadVerifyProfile(copy.data()));
    EXPECT_EQ(rig.Ui().Messages, std::vector<std::string>{c.message});
  }
}

TEST(ProfileCopy, GrowsWhenALaterUpdateSendsALongerBlock) {
  // First a chip whose block is 314 bytes, then, in the same run, one whose block
  // is 1280: the copy must hold the whole second block, and the second update must
  // verify and commit.
  const std::uint8_t small[4] = {0xDA, 0xC8, 0x00, 0x00};
  UpdateRig rig(SchemePackage(16384, Scheme::ShortHeader), ChipDrive(small));
  rig.PressFlash();
  ASSERT_EQ(rig.Ui().Group, "Flash Completed.");
  EXPECT_EQ(rig.Form().ProfileLength, 314);
  const std::uint8_t* chunk = rig.Form().ChunkBuffer.get();

  rig.Drive->Config().FlashManufacturer = 0xBF;
  rig.Drive->Config().FlashDevice = 0xD6;
  rig.Drive->ClearLog();
  rig.PressFlash();
  EXPECT_EQ(rig.Ui().Group, "Flash Completed.");
  EXPECT_EQ(rig.Form().ProfileLength, 1280);
  ASSERT_GE(rig.Form().ProfileCopy.size(), 1280u);
  const auto& log = rig.Drive->Log();
  const auto profile = std::find_if(log.begin(), log.end(), [](const SimulatedDrive::Received& r) {
    return r.Cdb[0] == 0x3B && r.Cdb[9] == 0x7F && r.Length > 0;
  });
  ASSERT_NE(profile, log.end());
  ASSERT_EQ(profile->Data.size(), 1280u);
  EXPECT_TRUE(std::equal(profile->Data.begin(), profile->Data.end(), rig.Form().ProfileCopy.begin()));
  EXPECT_EQ(rig.Form().ChunkBuffer.get(), chunk) << "the chunk buffer is kept for the run";
  EXPECT_TRUE(rig.Ui().Messages.empty());
}

}  // namespace
