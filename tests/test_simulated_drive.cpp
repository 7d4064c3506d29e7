// The simulated drive that every other test runs against: its answers, its
// buffer memory and commit, the revision it learns, the faults it injects, its
// transport, its description file and the state it remembers.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "device/Cddrive.h"
#include "platform/sim/SimulatedDrive.h"
#include "platform/sim/SimulatedDrives.h"
#include "tests/ResultContract.h"
#if defined(__linux__)
#include "platform/linux/Platform.h"
#endif

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Sense = std::array<std::uint8_t, 3>;

constexpr std::uint32_t kChunk = 16384;
constexpr std::uint32_t kProfileAt = 0x80000;

struct Cdb {
  std::uint8_t b[12] = {};
};

Cdb WriteBufferCdb(std::uint32_t offset, std::uint32_t length, std::uint8_t control) {
  return {{0x3B, 0x05, 0x01, std::uint8_t(offset >> 16), std::uint8_t(offset >> 8), std::uint8_t(offset),
           std::uint8_t(length >> 16), std::uint8_t(length >> 8), std::uint8_t(length), control, 0, 0}};
}

Cdb ReadBufferCdb(std::uint32_t offset, std::uint32_t length) {
  return {{0x3C, 0x01, 0x01, std::uint8_t(offset >> 16), std::uint8_t(offset >> 8), std::uint8_t(offset),
           std::uint8_t(length >> 16), std::uint8_t(length >> 8), std::uint8_t(length), 0, 0, 0}};
}

const Cdb kInquiry{{0x12, 0, 0, 0, 0x80}};
const Cdb kTestUnitReady{};
const Cdb kStopPlayScan{{0x4E}};
const Cdb kReadFlashId{{0xDF, 0x11}};

CommandResult Send(SimulatedDrive& drive, const Cdb& cdb, bool dataIn, std::uint32_t length,
                   std::uint8_t* data = nullptr) {
  CommandRequest request;
  std::copy(std::begin(cdb.b), std::end(cdb.b), request.Cdb);
  request.DataIn = dataIn;
  request.Length = length;
  request.Data = data;
  return drive.Execute(request);
}

// Key byte, code and qualifier of the fixed-format sense data the drive sends.
Sense SenseOf(const CommandResult& r) {
  if (r.SenseLength < 14) return {};
  EXPECT_EQ(r.Sense[0], 0x70);
  return {r.Sense[2], r.Sense[12], r.Sense[13]};
}
bool Good(const CommandResult& r) {
  return r.Completed && r.Status == 0 && SenseOf(r) == Sense{};
}

// An image of the given size with a pattern that differs in every chunk.
Bytes Image(std::size_t size, const std::string& revisionTag = "") {
  Bytes image(size);
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>(i * 7 + i / kChunk);
  std::copy(revisionTag.begin(), revisionTag.end(), image.begin() + 64);
  return image;
}

// Stores the image in buffer memory from offset 0 in 16384-byte chunks.
void Upload(SimulatedDrive& drive, const Bytes& image) {
  for (std::uint32_t at = 0; at < image.size(); at += kChunk) {
    Bytes chunk(image.begin() + at, image.begin() + std::min<std::size_t>(at + kChunk, image.size()));
    const auto length = static_cast<std::uint32_t>(chunk.size());
    ASSERT_TRUE(Good(Send(drive, WriteBufferCdb(at, length, 0x00), false, length, chunk.data())));
  }
}

CommandResult CommitCommand(SimulatedDrive& drive, std::uint8_t control = 0x80) {
  std::uint8_t reply[16] = {};
  return Send(drive, WriteBufferCdb(0, 0, control), true, 16, reply);
}

std::string Revision(SimulatedDrive& drive) {
  Bytes data(128, 0);
  EXPECT_TRUE(Good(Send(drive, kInquiry, true, 128, data.data())));
  return std::string(data.begin() + 32, data.begin() + 36);
}

// A directory of its own, removed afterwards.
struct TempDir {
  fs::path Path;
  TempDir() {
    std::random_device random;
    Path =
        fs::temp_directory_path() / ("simdrive-test-" + std::to_string(random()) + std::to_string(random()));
    fs::create_directories(Path);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(Path, ignored);
  }
};

struct WorkingDirectory {
  fs::path Saved = fs::current_path();
  explicit WorkingDirectory(const fs::path& path) { fs::current_path(path); }
  ~WorkingDirectory() { fs::current_path(Saved); }
};

// ---------------------------------------------------------------------------
// Standard commands

struct InquiryCase {
  const char* name;
  std::string vendor;
  Bytes inquiryData;
  std::uint32_t length;      // the host's request
  std::uint8_t allocation;   // CDB byte 4
  std::size_t expectCount;   // bytes the drive writes into the host buffer
  std::string expectFields;  // bytes 8-35 when they are written
};

TEST(SimulatedDriveStandard, InquiryRepliesWithTheDataItHasAndNoMore) {
  const InquiryCase cases[] = {
      {"default identification", "QVXR", {}, 128, 128, 36, "QVXR    CRW-5224A       1000"},
      {"long vendor is cut to 8", "ABCDEFGHIJ", {}, 128, 128, 36, "ABCDEFGHCRW-5224A       1000"},
      {"host asks for fewer bytes", "QVXR", {}, 10, 128, 10, ""},
      {"allocation length limits the reply", "QVXR", {}, 128, 20, 20, ""},
      {"short inquiry data leaves the rest untouched",
       "",
       {0x05, 0x80, 0x00, 0x02, 0x07, 0, 0, 0, 'Q', 0, 'X'},
       128,
       128,
       11,
       ""},
  };
  for (const InquiryCase& c : cases) {
    SCOPED_TRACE(c.name);
    SimDriveConfig config;
    config.Vendor = c.vendor;
    config.InquiryData = c.inquiryData;
    SimulatedDrive drive(config);
    Bytes host(128, 0xEE);
    Cdb cdb = kInquiry;
    cdb.b[4] = c.allocation;
    ASSERT_TRUE(Good(Send(drive, cdb, true, c.length, host.data())));
    EXPECT_TRUE(
        std::all_of(host.begin() + c.expectCount, host.end(), [](std::uint8_t b) { return b == 0xEE; }));
    EXPECT_NE(host[c.expectCount - 1], 0xEE);
    if (!c.inquiryData.empty()) {
      EXPECT_TRUE(std::equal(c.inquiryData.begin(), c.inquiryData.end(), host.begin()));
    }
    if (!c.expectFields.empty()) {
      EXPECT_EQ((Bytes{host.begin(), host.begin() + 5}), (Bytes{0x05, 0x80, 0x00, 0x02, 0x1F}));
      EXPECT_EQ(std::string(host.begin() + 8, host.begin() + 36), c.expectFields);
    }
  }
}

TEST(SimulatedDriveStandard, SenseFollowsEachCommandAndRequestSenseReportsIt) {
  SimDriveConfig config;
  config.InquiryFails = true;
  SimulatedDrive drive(config);
  // Unknown opcodes, and INQUIRY of a drive told to fail it.
  for (std::uint8_t opcode : {0x28, 0x25, 0x5A, 0xFF}) {
    const CommandResult r = Send(drive, Cdb{{opcode}}, true, 0);
    EXPECT_TRUE(r.Completed);
    EXPECT_EQ(r.Status, 0x02);
    EXPECT_EQ(SenseOf(r), (Sense{0x05, 0x20, 0x00})) << int(opcode);
  }
  Bytes host(128);
  const CommandResult failed = Send(drive, kInquiry, true, 128, host.data());
  EXPECT_EQ(failed.Status, 0x02);
  EXPECT_EQ(SenseOf(failed), (Sense{0x05, 0x24, 0x00}));
  EXPECT_EQ(drive.Sense(), (Sense{0x05, 0x24, 0x00}));

  std::uint8_t sense[18] = {};
  EXPECT_TRUE(Good(Send(drive, Cdb{{0x03, 0, 0, 0, 18}}, true, 18, sense)));
  EXPECT_EQ(sense[0], 0x70);
  EXPECT_EQ((Sense{sense[2], sense[12], sense[13]}), (Sense{0x05, 0x24, 0x00}));
  EXPECT_EQ(drive.Sense(), Sense{});                                    // REQUEST SENSE itself succeeded
  EXPECT_TRUE(Good(Send(drive, Cdb{{0x1B, 0, 0, 0, 0x03}}, true, 0)));  // START STOP UNIT, load
}

TEST(SimulatedDriveStandard, BecomingReadyLastsTheConfiguredPolls) {
  struct Case {
    int polls;
    int expectLoops;  // loops of TUR + STOP PLAY/SCAN until STOP PLAY/SCAN is no longer "becoming ready"
  };
  for (const Case& c : {Case{0, 1}, Case{1, 2}, Case{3, 4}, Case{-1, 500}}) {
    SCOPED_TRACE(c.polls);
    SimDriveConfig config;
    config.BecomingReadyPolls = c.polls;
    SimulatedDrive drive(config);
    const bool readyBeforePolling = Good(Send(drive, kStopPlayScan, true, 0));
    EXPECT_EQ(readyBeforePolling, c.polls == 0);
    int loops = 0, notReadyPolls = 0;
    while (loops < 500) {
      ++loops;
      const CommandResult poll = Send(drive, kTestUnitReady, true, 0);
      if (SenseOf(poll) == Sense{0x02, 0x04, 0x01}) ++notReadyPolls;
      if (SenseOf(Send(drive, kStopPlayScan, true, 0)) != Sense{0x02, 0x04, 0x01}) break;
    }
    EXPECT_EQ(loops, c.expectLoops);
    EXPECT_EQ(notReadyPolls, c.polls < 0 ? 500 : c.polls);
    EXPECT_EQ(drive.ReadyPolls(), loops);
  }
}

// ---------------------------------------------------------------------------
// The vendor side

TEST(SimulatedDriveVendor, ImageProfileAndCommitMoveThroughBufferMemoryIntoFlash) {
  SimDriveConfig config;
  config.FlashManufacturer = 0x37;
  config.FlashDevice = 0x8C;
  config.Variant[0] = 0x00;
  config.Variant[1] = 0x02;
  SimulatedDrive drive(config);
  Bytes id(128, 0xEE);
  ASSERT_TRUE(Good(Send(drive, kReadFlashId, true, 128, id.data())));
  EXPECT_EQ((Bytes{id.begin(), id.begin() + 4}), (Bytes{0x37, 0x8C, 0x00, 0x02}));
  EXPECT_TRUE(std::all_of(id.begin() + 4, id.end(), [](std::uint8_t b) { return b == 0; }));

  // An image whose size is not a multiple of the chunk, and a profile above it.
  const Bytes image = Image(100000);
  Upload(drive, image);
  Bytes profile(1286, 0x5A);
  ASSERT_TRUE(Good(Send(drive, WriteBufferCdb(kProfileAt, 1286, 0x7F), false, 1286, profile.data())));
  EXPECT_FALSE(drive.EnteredCritical());
  ASSERT_TRUE(Good(Send(drive, WriteBufferCdb(0, 0, 0x7F), true, 0)));
  EXPECT_TRUE(drive.EnteredCritical());

  Bytes readBack(1286);
  ASSERT_TRUE(Good(Send(drive, ReadBufferCdb(kProfileAt, 1286), true, 1286, readBack.data())));
  EXPECT_EQ(readBack, profile);
  readBack.assign(kChunk, 0);
  ASSERT_TRUE(Good(Send(drive, ReadBufferCdb(6 * kChunk, kChunk), true, kChunk, readBack.data())));
  EXPECT_TRUE(std::equal(image.begin() + 6 * kChunk, image.end(), readBack.begin()));

  EXPECT_EQ(drive.Flash(), Bytes(SimulatedDrive::kFlashSize, 0xFF));  // nothing programmed yet
  std::uint8_t reply[16];
  std::fill(std::begin(reply), std::end(reply), 0xEE);
  ASSERT_TRUE(Good(Send(drive, WriteBufferCdb(0, 0, 0xA0), true, 16, reply)));
  EXPECT_EQ(drive.Commits(), 1);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), drive.Flash().begin()));
  EXPECT_TRUE(std::all_of(drive.Flash().begin() + image.size(), drive.Flash().end(),
                          [](std::uint8_t b) { return b == 0; }));  // the rest of the first 512 KiB of memory
  EXPECT_EQ(std::string(reply, reply + 4), "1000");
  EXPECT_TRUE(Good(CommitCommand(drive, 0x80)));
  EXPECT_EQ(drive.Commits(), 2);
  EXPECT_EQ(drive.CountCommands(0x3B, 0x80), 1);
  EXPECT_EQ(drive.CountCommands(0x3B, 0xA0), 1);
  EXPECT_EQ(drive.CountCommands(0x3B), 11);  // 7 chunks, profile, entry critical, two commits
}

TEST(SimulatedDriveVendor, CommitLearnsTheRevisionFromTheImageTag) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::uint32_t, std::string>> tags;  // buffer memory offset, bytes
    std::string expect;
  };
  const std::uint32_t end = SimulatedDrive::kFlashSize;
  const Case cases[] = {
      {"tag in the image", {{1000, "SIMREV=2000"}}, "2000"},
      {"no tag: revision stays", {}, "1000"},
      {"first tag wins", {{10, "SIMREV=2000"}, {500, "SIMREV=3000"}}, "2000"},
      {"unprintable revision is ignored",
       {{10, std::string("SIMREV=20\x01"
                         "0",
                         11)}},
       "1000"},
      {"tag ending at the last flash byte", {{end - 11, "SIMREV=2A0B"}}, "2A0B"},
      {"tag cut by the end of the flash", {{end - 9, "SIMREV=2000"}}, "1000"},
      {"tag beyond the flash (profile area)", {{kProfileAt + 16, "SIMREV=2000"}}, "1000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimDriveConfig config;
    config.Revision = "1000";
    SimulatedDrive drive(config);
    for (auto [offset, text] : c.tags) {
      Bytes data(text.begin(), text.end());
      ASSERT_TRUE(Good(Send(drive, WriteBufferCdb(offset, std::uint32_t(data.size()), 0x00), false,
                            std::uint32_t(data.size()), data.data())));
    }
    ASSERT_TRUE(Good(CommitCommand(drive)));
    EXPECT_EQ(Revision(drive), c.expect);
    EXPECT_EQ(drive.Config().Revision, c.expect);
  }

  // Inquiry data given whole carries the new revision too.
  SimDriveConfig config;
  config.InquiryData = Bytes(36, ' ');
  SimulatedDrive drive(config);
  Upload(drive, Image(kChunk, "SIMREV=2001"));
  ASSERT_TRUE(Good(CommitCommand(drive)));
  EXPECT_EQ(Revision(drive), "2001");
}

TEST(SimulatedDriveVendor, BadCommandsAreRefusedAndChangeNothing) {
  struct Case {
    const char* name;
    Cdb cdb;
    bool dataIn;
    std::uint32_t length;
  };
  const std::uint32_t memory = SimulatedDrive::kBufferMemorySize;
  const Case cases[] = {
      {"write past the end", WriteBufferCdb(0xFFFFF0, 0x20, 0x00), false, 0x20},
      {"write straddling the end", WriteBufferCdb(memory - 0x10, 0x20, 0x00), false, 0x20},
      {"profile straddling the end", WriteBufferCdb(memory - 0x100, 0x200, 0x7F), false, 0x200},
      {"write longer than memory", WriteBufferCdb(0, 0xFFFFFF, 0x00), false, 0xFFFFFF},
      {"read straddling the end", ReadBufferCdb(memory - 0x10, 0x20), true, 0x20},
      {"read longer than memory", ReadBufferCdb(0, 0xFFFFFF), true, 0xFFFFFF},
      {"write: other mode", {{0x3B, 0x04, 0x01, 0, 0, 0, 0, 0, 0x10}}, false, 0x10},
      {"write: other buffer", {{0x3B, 0x05, 0x02, 0, 0, 0, 0, 0, 0x10}}, false, 0x10},
      {"write: unknown control", WriteBufferCdb(0, 0x10, 0x55), false, 0x10},
      {"read: other mode", {{0x3C, 0x02, 0x01, 0, 0, 0, 0, 0, 0x10}}, true, 0x10},
      {"write with data coming in", WriteBufferCdb(0, 0x10, 0x00), true, 0x10},
      {"read with data going out", ReadBufferCdb(0, 0x10), false, 0x10},
      {"commit with data going out", WriteBufferCdb(0, 0, 0x80), false, 16},
      {"transfer longer than the CDB says", WriteBufferCdb(0, 0x10, 0x00), false, 0x20},
      {"transfer shorter than the CDB says", ReadBufferCdb(0, 0x20), true, 0x10},
      {"Read Flash ID of another function", {{0xDF, 0x12}}, true, 128},
      {"INQUIRY of a vital product data page", {{0x12, 0x01, 0x80, 0, 0x80}}, true, 128},
  };
  Bytes host(0x1000000, 0xA5);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedDrive drive(SimDriveConfig{});
    std::fill(host.begin(), host.begin() + 0x1000, 0xA5);
    const CommandResult r = Send(drive, c.cdb, c.dataIn, c.length, host.data());
    EXPECT_TRUE(r.Completed);
    EXPECT_EQ(r.Status, 0x02);
    EXPECT_EQ(SenseOf(r), (Sense{0x05, 0x24, 0x00}));
    EXPECT_TRUE(std::all_of(drive.BufferMemory().begin(), drive.BufferMemory().end(),
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(host.begin(), host.begin() + 0x1000, [](std::uint8_t b) { return b == 0xA5; }));
    EXPECT_EQ(drive.Commits(), 0);
    EXPECT_FALSE(drive.EnteredCritical());
  }
  // The last bytes of memory are within reach.
  SimulatedDrive drive(SimDriveConfig{});
  EXPECT_TRUE(Good(Send(drive, WriteBufferCdb(memory - 0x10, 0x10, 0x00), false, 0x10, host.data())));
  EXPECT_TRUE(Good(Send(drive, ReadBufferCdb(memory - 0x10, 0x10), true, 0x10, host.data())));
  // A data phase without a buffer never reaches the drive.
  const CommandResult noBuffer = Send(drive, ReadBufferCdb(0, 0x10), true, 0x10, nullptr);
  EXPECT_FALSE(noBuffer.Completed);
  EXPECT_EQ(noBuffer.OsError, SimError::kFault);
}

// ---------------------------------------------------------------------------
// Faults

TEST(SimulatedDriveFaults, EachKindAnswersAsItsNameSaysAndStoresNothing) {
  struct Case {
    SimFault::Kind kind;
    bool accepted;
    std::uint8_t status;
    Sense sense;
    std::uint32_t osError;
  };
  const Case cases[] = {
      {SimFault::Kind::CheckCondition, true, 0x02, {0x03, 0x0C, 0x00}, 0},
      {SimFault::Kind::TransportFailure, false, 0x00, {}, SimError::kIo},
      {SimFault::Kind::Timeout, false, 0x00, {}, SimError::kTimedOut},
      {SimFault::Kind::DropWrite, true, 0x00, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    SimDriveConfig config;
    SimFault fault;
    fault.What = c.kind;
    fault.Opcode = 0x3B;
    fault.Key = 0x03;
    fault.Asc = 0x0C;
    config.Faults = {fault};
    SimulatedDrive drive(config);
    Bytes chunk(kChunk, 0x77);
    const CommandResult r = Send(drive, WriteBufferCdb(0, kChunk, 0x00), false, kChunk, chunk.data());
    EXPECT_EQ(r.Completed, c.accepted);
    EXPECT_EQ(r.Status, c.status);
    EXPECT_EQ(SenseOf(r), c.sense);
    EXPECT_EQ(r.OsError, c.osError);
    EXPECT_TRUE(std::all_of(drive.BufferMemory().begin(), drive.BufferMemory().end(),
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(drive.Log().size(), 1u);  // the command reached the drive and is in the log
  }
}

// A drive-level update: flash id, profile, image, entry critical, read-back of
// both, commit. Returns the step it stopped at, "" when the commit succeeded.
std::string RunUpdate(SimulatedDrive& drive, const Bytes& image) {
  const auto ok = [](const CommandResult& r) { return Good(r); };
  Bytes id(128);
  if (!ok(Send(drive, kReadFlashId, true, 128, id.data()))) return "flash id";
  Bytes profile(700);
  for (std::size_t i = 0; i < profile.size(); ++i) profile[i] = static_cast<std::uint8_t>(i);
  if (!ok(Send(drive, WriteBufferCdb(kProfileAt, 700, 0x7F), false, 700, profile.data()))) return "profile";
  for (std::uint32_t at = 0; at < image.size(); at += kChunk) {
    Bytes chunk(image.begin() + at, image.begin() + at + kChunk);
    if (!ok(Send(drive, WriteBufferCdb(at, kChunk, 0x00), false, kChunk, chunk.data())))
      return "chunk " + std::to_string(at / kChunk + 1);
  }
  if (!ok(Send(drive, WriteBufferCdb(0, 0, 0x7F), true, 0))) return "critical";
  Bytes back(700);
  if (!ok(Send(drive, ReadBufferCdb(kProfileAt, 700), true, 700, back.data()))) return "read profile";
  if (back != profile) return "compare profile";
  for (std::uint32_t at = 0; at < image.size(); at += kChunk) {
    Bytes chunk(kChunk);
    const std::string which = std::to_string(at / kChunk + 1);
    if (!ok(Send(drive, ReadBufferCdb(at, kChunk), true, kChunk, chunk.data()))) return "read " + which;
    if (!std::equal(chunk.begin(), chunk.end(), image.begin() + at)) return "compare " + which;
  }
  if (!ok(CommitCommand(drive))) return "commit";
  return "";
}

TEST(SimulatedDriveFaults, EveryFaultLeavesTheFlashAsItWas) {
  using K = SimFault::Kind;
  struct Case {
    const char* name;
    SimFault fault;
    std::string expectStop;
  };
  const Case cases[] = {
      {"flash id fails", {K::TransportFailure, 0xDF}, "flash id"},
      {"profile check condition", {K::CheckCondition, 0x3B, 0x7F, 1}, "profile"},
      {"profile dropped", {K::DropWrite, 0x3B, 0x7F, 1}, "compare profile"},
      {"second chunk check condition", {K::CheckCondition, 0x3B, 0x00, 2}, "chunk 2"},
      {"second chunk times out", {K::Timeout, 0x3B, 0x00, 2}, "chunk 2"},
      {"first chunk dropped", {K::DropWrite, 0x3B, 0x00, 1}, "compare 1"},
      {"first chunk stored with a flipped bit", {K::FlipReadBit, 0x3B, 0x00, 1}, "compare 1"},
      {"entry critical fails", {K::TransportFailure, 0x3B, 0x7F, 2}, "critical"},
      {"profile read times out", {K::Timeout, 0x3C, -1, 1}, "read profile"},
      {"profile read flips a bit", {K::FlipReadBit, 0x3C, -1, 1}, "compare profile"},
      {"last chunk read flips a bit", {K::FlipReadBit, 0x3C, -1, 3}, "compare 2"},
      {"last chunk read fails", {K::CheckCondition, 0x3C, -1, 3}, "read 2"},
      {"commit fails", {K::CommitFailure}, "commit"},
      {"commit A0 only: an 80 commit goes through", {K::CommitFailure, 0, 0xA0}, ""},
      {"commit check condition", {K::CheckCondition, 0x3B, 0x80, 0}, "commit"},
      {"commit times out", {K::Timeout, 0x3B, 0x80, 0}, "commit"},
      {"commit transport failure", {K::TransportFailure, 0x3B, 0x80, 0}, "commit"},
      {"commit dropped: reports success, programs nothing", {K::DropWrite, 0x3B, 0x80, 0}, ""},
  };
  const Bytes image = Image(2 * kChunk, "SIMREV=2000");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimDriveConfig config;
    config.Faults = {c.fault};
    SimulatedDrive drive(config);
    const Bytes before = Image(SimulatedDrive::kFlashSize);
    drive.SetFlash(before);
    EXPECT_EQ(RunUpdate(drive, image), c.expectStop);
    const bool programmed = c.expectStop.empty() && c.fault.What != K::DropWrite;
    EXPECT_EQ(drive.Flash() == before, !programmed);
    EXPECT_EQ(drive.Commits(), programmed ? 1 : 0);
    EXPECT_EQ(Revision(drive), programmed ? "2000" : "1000");
  }
}

TEST(SimulatedDriveFaults, ADelayedCommandStillRunsAndStores) {
  SimDriveConfig config;
  SimFault delay;
  delay.What = SimFault::Kind::Delay;
  delay.Opcode = 0x3B;
  delay.Milliseconds = 50;
  config.Faults = {delay};
  SimulatedDrive drive(config);
  Bytes chunk(kChunk, 0x77);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Good(Send(drive, WriteBufferCdb(0, kChunk, 0x00), false, kChunk, chunk.data())));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_EQ(drive.BufferMemory()[kChunk - 1], 0x77);
}

TEST(SimulatedDriveFaults, OccurrenceAndControlChooseTheCommandsHit) {
  SimDriveConfig config;
  config.Faults = {{SimFault::Kind::CheckCondition, 0x00, -1, 2, 0x02, 0x3A, 0x00},
                   {SimFault::Kind::TransportFailure, 0x4E, -1, 0}};
  SimulatedDrive drive(config);
  std::vector<Sense> tur;
  for (int i = 0; i < 4; ++i) tur.push_back(SenseOf(Send(drive, kTestUnitReady, true, 0)));
  EXPECT_EQ(tur, (std::vector<Sense>{{}, {0x02, 0x3A, 0x00}, {}, {}}));
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(Send(drive, kStopPlayScan, true, 0).Completed);  // every one

  // A changed list counts afresh.
  drive.Config().Faults = {{SimFault::Kind::CheckCondition, 0x00, -1, 2, 0x02, 0x3A, 0x00}};
  EXPECT_TRUE(Good(Send(drive, kTestUnitReady, true, 0)));
  EXPECT_FALSE(Good(Send(drive, kTestUnitReady, true, 0)));

  // The control byte narrows a WRITE BUFFER fault; the first fault that fires acts.
  drive.Config().Faults = {{SimFault::Kind::Timeout, 0x3B, 0x00, 0},
                           {SimFault::Kind::CheckCondition, 0x3B, -1, 0}};
  std::uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_EQ(Send(drive, WriteBufferCdb(0, 4, 0x00), false, 4, data).OsError, SimError::kTimedOut);
  EXPECT_EQ(SenseOf(Send(drive, WriteBufferCdb(kProfileAt, 4, 0x7F), false, 4, data)),
            (Sense{0x04, 0x44, 0x00}));
}

// ---------------------------------------------------------------------------
// The transport

// The reply fault stands for any outcome a transport may report; the drive unit
// judges it as it judges every other transport's.
TEST(SimulatedTransportTest, KeepsTheResultContract) {
  SimulatedTransport transport;
  SimulatedDrive& sim = transport.Add(SimDriveConfig{});
  CheckResultContract(
      transport, {'D', 0, 0, 0, "sim0"},
      [&](const RawOutcome& row) {
        SimFault fault;
        fault.What = row.Completed ? SimFault::Kind::Reply : SimFault::Kind::TransportFailure;
        fault.Opcode = row.Opcode;
        fault.Status = row.ScsiStatus;
        std::copy(row.Sense.begin(), row.Sense.end(), fault.SenseData.begin());
        fault.SenseLength = static_cast<std::uint8_t>(row.Sense.size());
        fault.Residual = row.Residual;
        sim.Config().Faults = {fault};
      },
      true);
}

TEST(SimulatedTransportTest, EnumeratesOpensAndRoutesByHandle) {
  SimulatedTransport transport;
  SimDriveConfig a, b, c;
  a.Name = "a";
  a.Letter = 'D';
  b.Name = "b";
  b.Letter = 'E';
  b.HaId = 1;
  b.Target = 2;
  b.Lun = 3;
  b.OpenFails = true;
  b.OpenError = SimError::kAccess;
  c.Name = "c";
  c.Letter = 'F';
  c.Target = 4;
  transport.Add(a);
  transport.Add(b);
  transport.Add(c);

  const std::vector<DriveAddress> addresses = transport.Enumerate();
  ASSERT_EQ(addresses.size(), 3u);
  EXPECT_EQ(addresses[1].Letter, 'E');
  EXPECT_EQ((std::array<int, 3>{addresses[1].HaId, addresses[1].Target, addresses[1].Lun}),
            (std::array<int, 3>{1, 2, 3}));
  EXPECT_EQ(addresses[2].Locator, "c");

  const OpenResult failed = transport.Open(addresses[1]);
  EXPECT_EQ(failed.Handle, kNoDevice);
  EXPECT_EQ(failed.Error, 13u);
  EXPECT_EQ(failed.Path, "/dev/sim/b");
  const OpenResult missing = transport.Open({'Z', 0, 0, 0, "nothere"});
  EXPECT_EQ(missing.Error, 2u);

  const OpenResult openA = transport.Open(addresses[0]);
  const OpenResult openC = transport.Open({'F', 0, 4, 0, ""});  // by letter and address
  ASSERT_NE(openA.Handle, kNoDevice);
  ASSERT_NE(openC.Handle, kNoDevice);
  EXPECT_EQ(transport.Opens(), 2);

  CommandRequest request;
  request.Cdb[0] = 0x3B;
  request.Cdb[1] = 0x05;
  request.Cdb[2] = 0x01;
  request.Cdb[8] = 3;
  request.DataIn = false;
  request.Length = 3;
  std::uint8_t data[3] = {9, 8, 7};
  request.Data = data;
  EXPECT_TRUE(Good(transport.Execute(openC.Handle, addresses[2], request)));
  EXPECT_TRUE(transport.Drive(0).Log().empty());
  ASSERT_EQ(transport.Drive(2).Log().size(), 1u);
  EXPECT_EQ(transport.Drive(2).Log()[0].Data, (Bytes{9, 8, 7}));
  EXPECT_FALSE(transport.Drive(2).Log()[0].DataIn);
  EXPECT_EQ(transport.Drive(2).BufferMemory()[2], 7);

  transport.Close(openC.Handle);
  transport.Close(openC.Handle);  // a second close is no close
  EXPECT_EQ(transport.Closes(), 1);
  const CommandResult closed = transport.Execute(openC.Handle, addresses[2], request);
  EXPECT_FALSE(closed.Completed);
  EXPECT_EQ(closed.OsError, SimError::kBadHandle);
  EXPECT_EQ(transport.Execute(kNoDevice, addresses[0], request).OsError, SimError::kBadHandle);

  EXPECT_EQ(transport.ErrorText(2), "No such file or directory");
  EXPECT_EQ(transport.ErrorText(13), "Permission denied");
  EXPECT_EQ(transport.ErrorText(5), "Input/output error");
  EXPECT_EQ(transport.ErrorText(110), "Connection timed out");
  EXPECT_EQ(transport.ErrorText(4242), "");
}

TEST(SimulatedTransportTest, DefaultSetOffersTheSampleDriveAndAnotherModel) {
  auto drives = MakeDefaultSimulatedDrives();
  ASSERT_EQ(drives->Size(), 2u);
  const SimDriveConfig& cdrw = drives->Drive(0).Config();
  EXPECT_EQ(cdrw.Vendor + "    " + cdrw.Product, "QVXR    CRW-5224A");
  EXPECT_EQ(cdrw.Revision, "1000");
  EXPECT_EQ((Bytes{cdrw.FlashManufacturer, cdrw.FlashDevice, cdrw.Variant[0], cdrw.Variant[1]}),
            (Bytes{0xBF, 0xD6, 0x00, 0x01}));
  EXPECT_NE(drives->Drive(1).Config().Product, cdrw.Product);
  EXPECT_NE(drives->Drive(1).Config().Letter, cdrw.Letter);
  EXPECT_TRUE(drives->Drive(0).StateFile().empty());  // in memory until the program asks
}

// ---------------------------------------------------------------------------
// The description file

class FakeIni : public IniReader {
 public:
  std::map<std::pair<std::string, std::string>, std::string> Values;
  bool Readable = true;
  bool Open(const std::string&) override { return Readable; }
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) override {
    auto found = Values.find({section, key});
    return found == Values.end() ? def : found->second;
  }
  void Close() override {}
};

FakeIni TwoDrives() {
  FakeIni ini;
  ini.Values = {{{"drives", "list"}, "cdrw, dvd"},
                {{"cdrw", "letter"}, "g"},
                {{"cdrw", "address"}, "1:2:3"},
                {{"cdrw", "vendor"}, "QVXR"},
                {{"cdrw", "product"}, "CRW-5224A"},
                {{"cdrw", "revision"}, "1001"},
                {{"cdrw", "flashid"}, "37 8C"},
                {{"cdrw", "variant"}, "00 02"},
                {{"cdrw", "readypolls"}, "-1"},
                {{"cdrw", "openfails"}, "Yes"},
                {{"cdrw", "openerror"}, "13"},
                {{"cdrw", "inquiryfails"}, "off"},
                {{"cdrw", "state"}, "sub/cd.state"},
                {{"cdrw", "fault1"}, "checkcondition 3B control=80 occurrence=2 sense=03:0C:00"},
                {{"cdrw", "fault3"}, "commitfailure"},
                {{"cdrw", "fault4"}, "reply 3C status=02 sensedata=70:00:06 residual=4"},
                {{"dvd", "inquiry"}, "05 80 00 02 1F 00 00 00 51 00"}};
  return ini;
}

TEST(SimulatedDriveDescription, ReadsEveryKeyAndDefaultsTheRest) {
  FakeIni ini = TwoDrives();
  std::string error;
  auto drives = LoadSimulatedDrives("/etc/sim/simdrives.ini", ini, error);
  ASSERT_TRUE(drives) << error;
  ASSERT_EQ(drives->Size(), 2u);
  const SimDriveConfig& cd = drives->Drive(0).Config();
  EXPECT_EQ(cd.Name, "cdrw");
  EXPECT_EQ(cd.Letter, 'G');
  EXPECT_EQ((std::array<int, 3>{cd.HaId, cd.Target, cd.Lun}), (std::array<int, 3>{1, 2, 3}));
  EXPECT_EQ(cd.Vendor + "|" + cd.Product + "|" + cd.Revision, "QVXR|CRW-5224A|1001");
  EXPECT_EQ((Bytes{cd.FlashManufacturer, cd.FlashDevice, cd.Variant[0], cd.Variant[1]}),
            (Bytes{0x37, 0x8C, 0x00, 0x02}));
  EXPECT_EQ(cd.BecomingReadyPolls, -1);
  EXPECT_TRUE(cd.OpenFails);
  EXPECT_EQ(cd.OpenError, 13u);
  EXPECT_FALSE(cd.InquiryFails);
  EXPECT_EQ(cd.StateFile, (std::filesystem::path("/etc/sim") / "sub/cd.state").string());
  ASSERT_EQ(cd.Faults.size(), 3u);
  EXPECT_EQ(cd.Faults[0].What, SimFault::Kind::CheckCondition);
  EXPECT_EQ((std::array<int, 6>{cd.Faults[0].Opcode, cd.Faults[0].Control, cd.Faults[0].Occurrence,
                                cd.Faults[0].Key, cd.Faults[0].Asc, cd.Faults[0].Ascq}),
            (std::array<int, 6>{0x3B, 0x80, 2, 0x03, 0x0C, 0x00}));
  EXPECT_EQ(cd.Faults[1].What, SimFault::Kind::CommitFailure);
  EXPECT_EQ(cd.Faults[1].Control, -1);
  EXPECT_EQ(cd.Faults[2].What, SimFault::Kind::Reply);
  EXPECT_EQ(cd.Faults[2].Status, 0x02);
  EXPECT_EQ(Bytes(cd.Faults[2].SenseData.begin(), cd.Faults[2].SenseData.begin() + cd.Faults[2].SenseLength),
            (Bytes{0x70, 0x00, 0x06}));
  EXPECT_EQ(cd.Faults[2].Residual, 4);

  const SimDriveConfig& dvd = drives->Drive(1).Config();
  EXPECT_EQ(dvd.Letter, 'E');  // D, E, ... by position
  EXPECT_EQ(dvd.Target, 1);
  EXPECT_EQ(dvd.InquiryData, (Bytes{0x05, 0x80, 0x00, 0x02, 0x1F, 0, 0, 0, 0x51, 0x00}));
  EXPECT_EQ(dvd.StateFile, (std::filesystem::path("/etc/sim") / "dvd.simstate").string());
  EXPECT_EQ(dvd.Revision, SimDriveConfig{}.Revision);
  EXPECT_TRUE(drives->Drive(1).StateFile().empty());  // kept only when the program asks
}

TEST(SimulatedDriveDescription, BadValuesAreRefusedWithTheirPlace) {
  struct Case {
    const char* key;
    const char* value;
    const char* reason;
  };
  const Case cases[] = {
      {"letter", "DE", "not one letter"},
      {"letter", "4", "not one letter"},
      {"address", "0:0", "host:target:lun"},
      {"address", "0:256:0", "host:target:lun"},
      {"address", "0:x:0", "host:target:lun"},
      {"vendor", "VENDORNAME", "longer than 8"},
      {"revision", "10000", "longer than 4"},
      {"inquiry", "05 80 XY", "hex bytes"},
      {"inquiry", "058", "hex bytes"},
      {"flashid", "BF", "two hex bytes"},
      {"variant", "00 01 02", "two hex bytes"},
      {"readypolls", "-2", "-1 to 1000000"},
      {"readypolls", "3x", "-1 to 1000000"},
      {"openfails", "maybe", "yes or no"},
      {"openerror", "0", "error number"},
      {"state", "", "empty"},
      {"state", "../cd.state", "outside the description file's folder"},
      {"state", "sub/../../cd.state", "outside the description file's folder"},
      {"state", "/tmp/cd.state", "outside the description file's folder"},
      {"fault2", "explode 3B", "unknown fault kind"},
      {"fault2", "timeout", "no opcode"},
      {"fault2", "timeout 3BB", "bad opcode"},
      {"fault2", "timeout 3B control=800", "bad control"},
      {"fault2", "timeout 3B occurrence=-1", "bad occurrence"},
      {"fault2", "checkcondition 3B sense=03:0C", "bad sense"},
      {"fault2", "checkcondition 3B colour=red", "unknown setting"},
      {"fault2", "reply 3C status=1FF", "bad status"},
      {"fault2", "reply 3C residual=-4", "bad residual"},
      {"fault2", "delay 3B ms=forever", "bad delay"},
      {"fault2",
       "reply 3C "
       "sensedata=70:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:"
       "00:00:00",
       "bad sense data"},  // 33 bytes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " = " + c.value);
    FakeIni ini = TwoDrives();
    ini.Values[{"cdrw", c.key}] = c.value;
    std::string error;
    EXPECT_FALSE(LoadSimulatedDrives("d.ini", ini, error));
    EXPECT_NE(error.find(std::string("d.ini: [cdrw] ") + c.key + " = \"" + c.value + "\""), std::string::npos)
        << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
#if defined(_WIN32)
  // On Windows a backslash separates parts too, and a drive letter starts a name.
  for (const char* value : {"sub\\..\\..\\cd.state", "\\cd.state", "C:cd.state", "C:\\cd.state"}) {
    FakeIni ini = TwoDrives();
    ini.Values[{"cdrw", "state"}] = value;
    std::string error;
    EXPECT_FALSE(LoadSimulatedDrives("d.ini", ini, error)) << value;
    EXPECT_NE(error.find("outside the description file's folder"), std::string::npos) << error;
  }
#else
  // Decided by where the path leads: through a link to the folder above, or to a link.
  TempDir dir;
  fs::create_directory_symlink(dir.Path.parent_path(), dir.Path / "up");
  fs::create_symlink(dir.Path / "cd.state", dir.Path / "link.state");
  for (const auto& [value, reason] :
       {std::pair{"up/cd.state", "passes through a link, which may lead out of"},
        std::pair{"link.state", "is a link"}}) {
    FakeIni ini = TwoDrives();
    ini.Values[{"cdrw", "state"}] = value;
    std::string error;
    EXPECT_FALSE(LoadSimulatedDrives((dir.Path / "d.ini").string(), ini, error)) << value;
    EXPECT_NE(error.find(reason), std::string::npos) << error;
  }
#endif

  const std::pair<std::string, const char*> lists[] = {
      {"cdrw dvd CDRW", "named twice"}, {"cdrw ../x", "bad drive name"}, {".hidden", "bad drive name"}};
  for (const auto& [list, reason] : lists) {
    FakeIni ini = TwoDrives();
    ini.Values[{"drives", "list"}] = list;
    std::string error;
    EXPECT_FALSE(LoadSimulatedDrives("d.ini", ini, error));
    EXPECT_NE(error.find(reason), std::string::npos) << error;
  }
  FakeIni noList = TwoDrives();
  noList.Values.erase({"drives", "list"});
  std::string error;
  EXPECT_FALSE(LoadSimulatedDrives("d.ini", noList, error));
  EXPECT_EQ(error, "d.ini: no [drives] list");
  FakeIni hostile = TwoDrives();
  hostile.Values[{"cdrw", "vendor"}] = "\x1B[2J\x1B]0;title\x07";
  EXPECT_FALSE(LoadSimulatedDrives("d.ini", hostile, error));
  EXPECT_EQ(error, "d.ini: [cdrw] vendor = \"\\x1B[2J\\x1B]0;title\\x07\": longer than 8 characters");
  FakeIni unreadable;
  unreadable.Readable = false;
  EXPECT_FALSE(LoadSimulatedDrives("d.ini", unreadable, error));
  EXPECT_EQ(error, "d.ini: cannot be read");
  FakeIni empty = TwoDrives();
  empty.Values[{"drives", "list"}] = "";
  auto none = LoadSimulatedDrives("d.ini", empty, error);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->Size(), 0u);  // a machine without drives
}

// ---------------------------------------------------------------------------
// The state a drive remembers

TEST(SimulatedDriveState, ASecondDriveSeesWhatTheFirstCommitted) {
  TempDir dir;
  const std::string path = (dir.Path / "cdrw.simstate").string();
  std::string error;
  const Bytes image = Image(SimulatedDrive::kFlashSize, "SIMREV=2000");
  {
    SimulatedDrive first(SimDriveConfig{});
    ASSERT_TRUE(first.UseStateFile(path, error)) << error;  // no file yet: an erased drive
    EXPECT_EQ(first.Flash(), Bytes(SimulatedDrive::kFlashSize, 0xFF));
    EXPECT_FALSE(fs::exists(path));
    Upload(first, image);
    ASSERT_TRUE(Good(CommitCommand(first)));
  }
  SimulatedDrive second(SimDriveConfig{});
  ASSERT_TRUE(second.UseStateFile(path, error)) << error;
  EXPECT_EQ(second.Flash(), image);
  EXPECT_EQ(Revision(second), "2000");
  EXPECT_FALSE(fs::exists(path + ".new"));

  // A damaged file is refused, left alone and never written over.
  const auto size = fs::file_size(path);
  fs::resize_file(path, size - 1);
  SimulatedDrive third(SimDriveConfig{});
  EXPECT_FALSE(third.UseStateFile(path, error));
  EXPECT_NE(error.find("damaged"), std::string::npos) << error;
  EXPECT_EQ(Revision(third), "1000");
  Upload(third, Image(kChunk, "SIMREV=3000"));
  ASSERT_TRUE(Good(CommitCommand(third)));
  EXPECT_EQ(fs::file_size(path), size - 1);

  // A drive that cannot save its state keeps its old flash and fails the commit.
  SimulatedDrive fourth(SimDriveConfig{});
  ASSERT_TRUE(fourth.UseStateFile((dir.Path / "missing" / "x.simstate").string(), error));
  Upload(fourth, image);
  const CommandResult r = CommitCommand(fourth);
  EXPECT_EQ(SenseOf(r), (Sense{0x03, 0x0C, 0x00}));
  EXPECT_EQ(fourth.Flash(), Bytes(SimulatedDrive::kFlashSize, 0xFF));
  EXPECT_EQ(fourth.Commits(), 0);
  EXPECT_EQ(Revision(fourth), "1000");
}

TEST(SimulatedDriveState, WhatIsNoStateFileIsRefusedUnread) {
  TempDir dir;
  std::vector<std::string> paths = {dir.Path.string()};
#if defined(__linux__)
  paths.push_back("/dev/zero");  // endless: read whole, it would exhaust the memory
#endif
  for (const std::string& path : paths) {
    SimulatedDrive drive(SimDriveConfig{});
    std::string error;
    EXPECT_FALSE(drive.UseStateFile(path, error));
    EXPECT_EQ(error, "the drive state file " + path + " is not a regular file");
  }
}

#if !defined(_WIN32)
// A link planted under the work file's name is replaced, never written through.
TEST(SimulatedDriveState, ALinkInPlaceOfTheWorkFileIsNotFollowed) {
  TempDir dir;
  const fs::path state = dir.Path / "cdrw.simstate", victim = dir.Path / "victim";
  std::ofstream(victim) << "keep";
  fs::create_symlink(victim, state.string() + ".new");
  SimulatedDrive drive(SimDriveConfig{});
  std::string error;
  ASSERT_TRUE(drive.UseStateFile(state.string(), error)) << error;
  Upload(drive, Image(SimulatedDrive::kFlashSize, "SIMREV=2000"));
  ASSERT_TRUE(Good(CommitCommand(drive)));
  EXPECT_EQ(fs::file_size(victim), 4u);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(state)));
  EXPECT_FALSE(fs::exists(fs::symlink_status(state.string() + ".new")));
}
#endif

#if defined(__linux__)
TEST(SimulatedDriveState, TheProgramFindsItsDrivesAndRemembersThemAcrossRuns) {
  TempDir dir;
  fs::create_directories(dir.Path / "bin");
  fs::create_directories(dir.Path / "work");
  const std::string program = (dir.Path / "bin" / "flashutil-sim").string();
  const Bytes image = Image(SimulatedDrive::kFlashSize, "SIMREV=2000");
  WorkingDirectory cwd(dir.Path / "work");
  std::string error;

  // No description anywhere: the built-in set, remembered in the working directory.
  for (int run = 0; run < 2; ++run) {
    auto drives = MakeProgramSimulatedDrives(program, MakeIniReader, error);
    ASSERT_TRUE(drives) << error;
    ASSERT_EQ(drives->Size(), 2u);
    SimulatedDrive& cdrw = drives->Drive(0);
    EXPECT_EQ(Revision(cdrw), run == 0 ? "1000" : "2000");
    if (run == 0) {
      Upload(cdrw, image);
      ASSERT_TRUE(Good(CommitCommand(cdrw)));
    }
  }
  EXPECT_TRUE(fs::exists(dir.Path / "work" / "cdrw.simstate"));

  // A description beside the program, read with the platform's INI reader.
  {
    std::ofstream ini(dir.Path / "bin" / "simdrives.ini");
    ini << "; two drives\n[drives]\nlist = writer reader\n\n[WRITER]\nVendor = QVXR\nproduct = CRW-5224A\n"
           "revision = 1500\nfault1 = timeout DF occurrence=1\n[reader]\nletter=\ninquiryfails = yes\n";
  }
  for (int run = 0; run < 2; ++run) {
    auto drives = MakeProgramSimulatedDrives(program, MakeIniReader, error);
    ASSERT_TRUE(drives) << error;
    ASSERT_EQ(drives->Size(), 2u);
    EXPECT_EQ(drives->Drive(0).Config().Faults.size(), 1u);
    EXPECT_EQ(drives->Drive(1).Config().Letter, ' ');
    EXPECT_TRUE(drives->Drive(1).Config().InquiryFails);
    EXPECT_EQ(Revision(drives->Drive(0)), run == 0 ? "1500" : "2000");
    if (run == 0) {
      Upload(drives->Drive(0), image);
      ASSERT_TRUE(Good(CommitCommand(drives->Drive(0))));
    }
  }
  EXPECT_TRUE(fs::exists(dir.Path / "bin" / "writer.simstate"));

  // One in the working directory comes first; a bad one stops the program.
  {
    std::ofstream ini(dir.Path / "work" / "simdrives.ini");
    ini << "[drives]\nlist = one\n[one]\naddress = 0:0\n";
  }
  EXPECT_FALSE(MakeProgramSimulatedDrives(program, MakeIniReader, error));
  EXPECT_EQ(error, "simdrives.ini: [one] address = \"0:0\": not host:target:lun, each 0-255");
}
#endif

}  // namespace
