// The vendor commands: exact command blocks, directions and lengths, 24-bit
// fields cut to their low bits, data through the transfer buffer, and the
// failure message (tag and sense text, once, no retry).
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/UpdateRig.h"

namespace {

enum class Op { Write, Read, Critical };

struct CommandCase {
  const char* name;
  Op op;
  std::int32_t offset, length;
  std::uint8_t control;
  const char* cdb;
  bool dataIn;
  std::uint32_t transfer;
};

// clang-format off
const CommandCase kCommandCases[] = {
    {"image chunk: 16384 bytes fill the transfer buffer",
     Op::Write, 0x012345, 16384, 0x00, "3B 05 01 01 23 45 00 40 00 00 00 00", false, 16384},
    {"data form, offset of 2^24 and more cut to 24 bits",
     Op::Write, 0x1004000, 16, 0x00, "3B 05 01 00 40 00 00 00 10 00 00 00", false, 16},
    {"data form with control 7F",
     Op::Write, 0x80000, 6, 0x7F, "3B 05 01 08 00 00 00 00 06 7F 00 00", false, 6},
    {"commit asks 16 bytes from the drive",
     Op::Write, 0, 0, 0x80, "3B 05 01 00 00 00 00 00 00 80 00 00", true, 16},
    {"FLASH-ALL commit: fields cut, the caller's length only in the block",
     Op::Write, 0x1000001, 0x1000020, 0xA0, "3B 05 01 00 00 01 00 00 20 A0 00 00", true, 16},
    {"read back a chunk",
     Op::Read, 0x0A0000, 16384, 0, "3C 01 01 0A 00 00 00 40 00 00 00 00", true, 16384},
    {"read back, offset of 2^24 and more cut",
     Op::Read, 0x3000100, 8, 0, "3C 01 01 00 01 00 00 00 08 00 00 00", true, 8},
    {"entry critical: no data",
     Op::Critical, 0, 0, 0, "3B 05 01 00 00 00 00 00 00 7F 00 00", true, 0},
};
// clang-format on

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 13);
  return bytes;
}

TEST(VendorCommands, BlocksDirectionsLengthsAndData) {
  for (const CommandCase& c : kCommandCases) {
    SCOPED_TRACE(c.name);
    UpdateRig rig(SchemePackage(16384, Scheme::None));
    TFlashForm& form = rig.Form();
    const std::uint32_t at = static_cast<std::uint32_t>(c.offset) & 0xFFFFFF;
    const bool flashForm = c.control == 0x80 || c.control == 0xA0;
    std::vector<std::uint8_t> data = Pattern(16384, 7);
    std::vector<std::uint8_t> destination(16384, 0xEE);

    bool ok = false;
    if (c.op == Op::Write) {
      // The flash form reads nothing of the caller's: give it nothing.
      ok = form.WriteBuffer(c.offset, flashForm ? nullptr : data.data(), c.length, c.control);
    } else if (c.op == Op::Read) {
      ASSERT_TRUE(form.WriteBuffer(static_cast<std::int32_t>(at), data.data(), c.length, 0x00));
      rig.Drive->ClearLog();
      ok = form.ReadBuffer(c.offset, destination.data(), c.length);
    } else {
      ok = form.EntryCritical();
    }
    EXPECT_TRUE(ok);
    EXPECT_TRUE(rig.Ui().Messages.empty());
    ASSERT_EQ(rig.Drive->Log().size(), 1u);
    const auto& sent = rig.Drive->Log()[0];
    EXPECT_EQ(HexBytes(sent.Cdb.data(), 12), c.cdb);
    EXPECT_EQ(sent.DataIn, c.dataIn);
    EXPECT_EQ(sent.Length, c.transfer);
    EXPECT_EQ(HexBytes(form.Cdb, 12), c.cdb);

    const auto n = static_cast<std::size_t>(c.length);
    if (c.op == Op::Write && !flashForm) {
      EXPECT_TRUE(std::equal(data.begin(), data.begin() + n, sent.Data.begin(), sent.Data.end()));
      EXPECT_TRUE(std::equal(data.begin(), data.begin() + n, form.TransferBuffer));
      EXPECT_TRUE(std::equal(data.begin(), data.begin() + n, rig.Drive->BufferMemory().begin() + at));
    }
    if (c.op == Op::Read) {
      EXPECT_TRUE(std::equal(data.begin(), data.begin() + n, destination.begin()));
      EXPECT_TRUE(std::all_of(destination.begin() + n, destination.end(), [](auto b) { return b == 0xEE; }));
    }
    if (flashForm) {
      EXPECT_EQ(rig.Drive->Commits(), 1);
    }
    if (c.op == Op::Critical) {
      EXPECT_TRUE(rig.Drive->EnteredCritical());
    }
  }
}

struct FailingOp {
  const char* tag;
  Op op;
  std::uint8_t opcode;
  std::uint8_t control;
};

const FailingOp kFailingOps[] = {
    {"Write Buffer> ", Op::Write, 0x3B, 0x00},      {"Write Buffer> ", Op::Write, 0x3B, 0x80},
    {"Write Buffer> ", Op::Write, 0x3B, 0xA0},      {"Read Buffer> ", Op::Read, 0x3C, 0x00},
    {"Entry critical> ", Op::Critical, 0x3B, 0x7F},
};

TEST(VendorCommands, AFailureShowsTagAndSenseOnceAndIsNotRetried) {
  for (const FailingOp& o : kFailingOps) {
    for (const FailureKind& k : kFailureKinds) {
      SCOPED_TRACE(std::string(o.tag) + std::to_string(o.control) + ", " + k.name);
      UpdateRig rig(SchemePackage(16384, Scheme::None));
      rig.Drive->Config().Faults = {{k.kind, o.opcode}};
      std::vector<std::uint8_t> data = Pattern(16384, 3);
      std::vector<std::uint8_t> destination(16384, 0xEE);
      bool ok = true;
      if (o.op == Op::Write) ok = rig.Form().WriteBuffer(0, data.data(), 16384, o.control);
      if (o.op == Op::Read) ok = rig.Form().ReadBuffer(0, destination.data(), 16384);
      if (o.op == Op::Critical) ok = rig.Form().EntryCritical();
      EXPECT_FALSE(ok);
      EXPECT_EQ(rig.Ui().Messages, std::vector<std::string>{o.tag + std::string(k.sense)});
      EXPECT_EQ(rig.Drive->Log().size(), 1u);
      EXPECT_TRUE(std::all_of(destination.begin(), destination.end(), [](auto b) { return b == 0xEE; }))
          << "a failed read leaves the destination as it was";
      EXPECT_EQ(rig.Drive->Commits(), 0);
    }
  }
}

TEST(VendorCommands, TransfersBeyondTheBufferAreRefusedUnsent) {
  struct {
    Op op;
    std::int32_t length;
    const char* message;
  } cases[] = {
      {Op::Write, 16385, "Write Buffer> 16385 bytes do not fit the 16384-byte transfer buffer"},
      {Op::Write, -1, "Write Buffer> -1 bytes do not fit the 16384-byte transfer buffer"},
      {Op::Read, 0x1000000, "Read Buffer> 16777216 bytes do not fit the 16384-byte transfer buffer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    UpdateRig rig(SchemePackage(16384, Scheme::None));
    std::vector<std::uint8_t> bytes(16384, 0xEE);
    const bool ok = c.op == Op::Write ? rig.Form().WriteBuffer(0, bytes.data(), c.length, 0x00)
                                      : rig.Form().ReadBuffer(0, bytes.data(), c.length);
    EXPECT_FALSE(ok);
    EXPECT_EQ(rig.Ui().Messages, std::vector<std::string>{c.message});
    EXPECT_TRUE(rig.Drive->Log().empty());
  }
}

}  // namespace
