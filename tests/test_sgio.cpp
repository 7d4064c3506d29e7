// The Linux transport without hardware: a fake sysfs tree in a temporary
// directory, and injected open, close and ioctl calls.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <scsi/sg.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "device/Cddrives.h"
#include "platform/linux/Platform.h"
#include "platform/linux/SgIoTransport.h"
#include "tests/ResultContract.h"

namespace {

namespace fs = std::filesystem;

// A temporary tree standing for /sys/class/block and /dev:
//   sr0  -> SCSI device 2:0:1:0 with generic node sg4 (present in /dev)
//   sr1  -> SCSI device 300:0:0:2, no generic node
//   sr2  -> SCSI device 5:0:0:0 with the old-style link "scsi_generic:sg5", but no /dev/sg5
//   sr10 -> a device directory without an H:C:T:L name, generic node sg7
//   sda, loop0, srx, sr: not optical drives
class FakeSystem {
 public:
  FakeSystem() {
    char pattern[] = "/tmp/sgio-test-XXXXXX";
    root_ = mkdtemp(pattern);
    const fs::path block = Block();
    const fs::path devices = root_ / "devices";
    for (const char* name : {"sda", "loop0", "srx", "sr"}) fs::create_directories(block / name);
    Device("sr0", devices / "2:0:1:0");
    fs::create_directories(devices / "2:0:1:0" / "scsi_generic" / "sg4");
    Device("sr1", devices / "300:0:0:2");
    Device("sr2", devices / "5:0:0:0");
    fs::create_directories(devices / "5:0:0:0" / "scsi_generic:sg5");
    fs::create_directories(block / "sr10" / "device" / "scsi_generic" / "sg7");
    fs::create_directories(Dev());
    for (const char* node : {"sg4", "sg7", "sr0", "sr1", "sr2", "sr10"})
      std::ofstream(Dev() / node).put('\0');
  }
  ~FakeSystem() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  FakeSystem(const FakeSystem&) = delete;
  FakeSystem& operator=(const FakeSystem&) = delete;

  fs::path Block() const { return root_ / "class" / "block"; }
  fs::path Dev() const { return root_ / "dev"; }
  std::string Node(const std::string& name) const { return (Dev() / name).string(); }

  SgIoSystem System() {
    SgIoSystem system;
    system.BlockClassDir = Block().string();
    system.DevDir = Dev().string();
    system.GenericClassDir = (root_ / "class" / "scsi_generic").string();
    system.MountInfo = (root_ / "mountinfo").string();
    system.Open = [this](const char* path, int flags) {
      Opens.push_back({path, flags});
      const int error = Refuse.count(path) != 0                                     ? Refuse[path]
                        : (flags & O_EXCL) != 0 && RefuseExclusive.count(path) != 0 ? RefuseExclusive[path]
                                                                                    : 0;
      const int fd = error != 0 ? -1 : !fs::exists(path) ? -1 : 40 + static_cast<int>(Opens.size());
      Fds.push_back(fd);
      errno = error != 0 ? error : ENOENT;
      return fd;
    };
    system.Close = [this](int fd) {
      Closes.push_back(fd);
      return 0;
    };
    system.Ioctl = [this](int fd, unsigned long request, void* argument) {
      Requests.push_back(request);
      return Ioctl(fd, request, argument);
    };
    system.Flock = [this](int fd, int operation) {
      const auto opened = std::find(Fds.rbegin(), Fds.rend(), fd);
      const bool locked = opened != Fds.rend() && Locked.count(Opens[Fds.rend() - opened - 1].first) != 0;
      errno = EWOULDBLOCK;
      return operation == LOCK_UN || !locked ? 0 : -1;
    };
    system.Say = [this](const std::string& line) { Said.push_back(line); };
    return system;
  }
  // The generic node sg4 as the sysfs class lists it, with its block device sr0.
  void LinkSg4() {
    fs::create_directories(root_ / "class" / "scsi_generic" / "sg4" / "device" / "block" / "sr0");
  }
  void Write(const fs::path& file, const std::string& text) { std::ofstream(root_ / file) << text; }
  std::string Read(const fs::path& file) {
    std::ifstream in(root_ / file);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::vector<std::pair<std::string, int>> Opens;
  std::vector<int> Fds;  // what each open returned
  std::vector<int> Closes;
  std::vector<unsigned long> Requests;
  std::map<std::string, int> Refuse;           // path -> errno of its open
  std::map<std::string, int> RefuseExclusive;  // path -> errno of its exclusive open
  std::set<std::string> Locked;                // paths another program has locked
  std::vector<std::string> Said;               // the lines for the standard error stream
  std::function<int(int, unsigned long, void*)> Ioctl = [](int, unsigned long, void*) {
    errno = ENOTTY;
    return -1;
  };

 private:
  void Device(const std::string& name, const fs::path& target) {
    fs::create_directories(target);
    fs::create_directories(Block() / name);
    fs::create_directory_symlink(fs::relative(target, Block() / name), Block() / name / "device");
  }
  fs::path root_;
};

// The name of the group that owns a file.
std::string NodeGroup(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0);
  const group* entry = ::getgrgid(status.st_gid);
  return entry != nullptr ? entry->gr_name : std::to_string(status.st_gid);
}

// Answers SG_GET_SCSI_ID for sg7 as host 3, target 1, LUN 0.
int ScsiIdFor7(int, unsigned long request, void* argument) {
  if (request != SG_GET_SCSI_ID) {
    errno = ENOTTY;
    return -1;
  }
  auto* id = static_cast<sg_scsi_id*>(argument);
  id->host_no = 3;
  id->channel = 0;
  id->scsi_id = 1;
  id->lun = 0;
  return 0;
}

TEST(SgIoTransport, EnumeratesOpticalDrivesInNumberOrder) {
  FakeSystem fake;
  fake.Ioctl = ScsiIdFor7;
  auto transport = MakeSgIoTransport(fake.System());
  const std::vector<DriveAddress> drives = transport->Enumerate();

  struct Expected {
    std::string locator;
    int haId, target, lun;
  };
  const Expected expected[] = {
      {fake.Node("sg4"), 2, 1, 0},    // the generic node when it exists
      {fake.Node("sr1"), 255, 0, 2},  // no generic node; host above 255 shows 255
      {fake.Node("sr2"), 5, 0, 0},    // generic link, but no node in /dev
      {fake.Node("sg7"), 3, 1, 0},    // address from SG_GET_SCSI_ID
  };
  ASSERT_EQ(drives.size(), std::size(expected));
  for (std::size_t i = 0; i < drives.size(); ++i) {
    SCOPED_TRACE(expected[i].locator);
    EXPECT_EQ(drives[i].Locator, expected[i].locator);
    EXPECT_EQ(drives[i].Letter, ' ');
    EXPECT_EQ(drives[i].HaId, expected[i].haId);
    EXPECT_EQ(drives[i].Target, expected[i].target);
    EXPECT_EQ(drives[i].Lun, expected[i].lun);
  }
  // Only the drive without an H:C:T:L name was opened, and closed again.
  ASSERT_EQ(fake.Opens.size(), 1u);
  EXPECT_EQ(fake.Opens[0].first, fake.Node("sg7"));
  EXPECT_EQ(fake.Closes.size(), 1u);
  EXPECT_EQ(fake.Requests, (std::vector<unsigned long>{SG_GET_SCSI_ID}));
}

TEST(SgIoTransport, NoBlockDirectoryMeansNoDrives) {
  SgIoSystem system = RealSgIoSystem();
  system.BlockClassDir = "/nonexistent/class/block";
  EXPECT_TRUE(MakeSgIoTransport(system)->Enumerate().empty());
}

TEST(SgIoTransport, OpensReadWriteNonBlockingAndReportsTheError) {
  FakeSystem fake;
  auto transport = MakeSgIoTransport(fake.System());
  DriveAddress address;
  address.Locator = fake.Node("sg4");
  const OpenResult good = transport->Open(address);
  EXPECT_NE(good.Handle, kNoDevice);
  ASSERT_EQ(fake.Opens.size(), 1u);
  EXPECT_EQ(fake.Opens[0].second, O_RDWR | O_NONBLOCK);
  transport->Close(good.Handle);
  EXPECT_EQ(fake.Closes, (std::vector<int>{static_cast<int>(good.Handle)}));

  fake.Refuse[fake.Node("sg4")] = EACCES;
  const OpenResult refused = transport->Open(address);
  EXPECT_EQ(refused.Handle, kNoDevice);
  EXPECT_EQ(refused.Error, static_cast<std::uint32_t>(EACCES));
  EXPECT_EQ(refused.Path, fake.Node("sg4"));
  EXPECT_EQ(transport->ErrorText(EACCES), std::strerror(EACCES));
}

TEST(SgIoTransport, BuildsTheRequest) {
  struct Case {
    const char* name;
    bool dataIn;
    std::uint32_t length;
    int direction;
  };
  const Case cases[] = {
      {"data in", true, 128, SG_DXFER_FROM_DEV},
      {"data out", false, 16384, SG_DXFER_TO_DEV},
      {"no data", true, 0, SG_DXFER_NONE},
  };
  FakeSystem fake;
  sg_io_hdr_t seen{};
  std::vector<unsigned char> cdb;
  fake.Ioctl = [&](int, unsigned long request, void* argument) {
    EXPECT_EQ(request, static_cast<unsigned long>(SG_IO));
    seen = *static_cast<sg_io_hdr_t*>(argument);
    cdb.assign(seen.cmdp, seen.cmdp + seen.cmd_len);
    return 0;
  };
  auto transport = MakeSgIoTransport(fake.System());
  std::uint8_t buffer[16384];
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CommandRequest request;
    const std::uint8_t bytes[12] = {0x3B, 0x05, 0x01, 0x08, 0x00, 0x00, 0x00, 0x40, 0x00, 0x7F, 0x00, 0xAB};
    std::memcpy(request.Cdb, bytes, 12);
    request.DataIn = c.dataIn;
    request.Length = c.length;
    request.Data = buffer;
    request.TimeoutSeconds = 180;
    const CommandResult result = transport->Execute(7, {}, request);
    EXPECT_TRUE(result.Completed);
    EXPECT_EQ(seen.interface_id, 'S');
    EXPECT_EQ(seen.dxfer_direction, c.direction);
    EXPECT_EQ(seen.dxfer_len, c.length);
    EXPECT_EQ(seen.dxferp, c.length ? buffer : nullptr);
    EXPECT_EQ(cdb, std::vector<unsigned char>(bytes, bytes + 12));
    EXPECT_EQ(seen.mx_sb_len, 32);
    EXPECT_NE(seen.sbp, nullptr);
    EXPECT_EQ(seen.timeout, 180000u);
  }
  EXPECT_FALSE(transport->Execute(kNoDevice, {}, CommandRequest{}).Completed);
}

struct Reply {
  int ioctlErrno = 0;  // the ioctl fails with this
  unsigned char status = 0;
  std::vector<unsigned char> sense;
  unsigned short host = 0;
  unsigned short driver = 0;
  int resid = 0;
};

// The fake system answering SG_IO with the reply that `reply` points at, and
// INQUIRY with a drive's identification.
void AnswerWith(FakeSystem& fake, const Reply*& reply) {
  fake.Ioctl = [&reply](int, unsigned long, void* argument) {
    auto* header = static_cast<sg_io_hdr_t*>(argument);
    if (header->cmdp[0] == 0x12) {
      std::memcpy(header->dxferp, kContractInquiry, kContractInquiryLength);
      return 0;
    }
    if (reply->ioctlErrno != 0) {
      errno = reply->ioctlErrno;
      return -1;
    }
    header->status = reply->status;
    header->host_status = reply->host;
    header->driver_status = reply->driver;
    header->resid = reply->resid;
    if (!reply->sense.empty()) std::memcpy(header->sbp, reply->sense.data(), reply->sense.size());
    header->sb_len_wr = static_cast<unsigned char>(reply->sense.size());
    return 0;
  };
}

// What the header says, handed on as it is: completion, status, the sense bytes
// with their length, the residual and the error.
TEST(SgIoTransport, ReportsTheResultRaw) {
  struct Case {
    const char* name;
    Reply reply;
    bool completed;
    std::uint8_t status;
    std::uint32_t osError;
  };
  const std::vector<unsigned char> sense = FixedSense(0x02, 0x3A, 0x00);
  const Case cases[] = {
      {"good", {}, true, 0x00, 0},
      {"CHECK CONDITION with sense", {0, 0x02, sense, 0, 0x08, 0}, true, 0x02, 0},
      {"BUSY", {0, 0x08, {}, 0, 0, 0}, true, 0x08, 0},
      {"a short read", {0, 0x00, {}, 0, 0, 12}, true, 0x00, 0},
      {"ioctl refused", {EPERM, 0, {}, 0, 0, 0}, false, 0, EPERM},
      {"host time-out", {0, 0, {}, 0x03, 0, 0}, false, 0, ETIMEDOUT},
      {"driver time-out", {0, 0, {}, 0, 0x06, 0}, false, 0, ETIMEDOUT},
      {"host error", {0, 0, {}, 0x07, 0, 0}, false, 0, EIO},
      {"driver error with sense", {0, 0x02, sense, 0, 0x04, 0}, false, 0x02, EIO},
  };
  FakeSystem fake;
  const Reply* reply = nullptr;
  AnswerWith(fake, reply);
  auto transport = MakeSgIoTransport(fake.System());
  std::uint8_t buffer[16] = {};
  CommandRequest request;
  request.Cdb[0] = 0x3C;
  request.Length = sizeof buffer;
  request.Data = buffer;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reply = &c.reply;
    const CommandResult r = transport->Execute(3, {}, request);
    EXPECT_EQ(r.Completed, c.completed);
    EXPECT_EQ(r.Status, c.status);
    EXPECT_EQ(r.OsError, c.osError);
    EXPECT_EQ(std::vector<unsigned char>(r.Sense, r.Sense + r.SenseLength), c.reply.sense);
    EXPECT_EQ(r.Residual, static_cast<std::uint32_t>(c.reply.resid));
  }
}

TEST(SgIoTransport, KeepsTheResultContract) {
  FakeSystem fake;
  const Reply* reply = nullptr;
  AnswerWith(fake, reply);
  auto transport = MakeSgIoTransport(fake.System());
  Reply current;
  CheckResultContract(
      *transport, {' ', 2, 1, 0, fake.Node("sg4")},
      [&](const RawOutcome& row) {
        current = {};
        current.status = row.ScsiStatus;
        current.sense = row.Sense;
        current.resid = row.Residual > 0 ? row.Residual : 0;
        if (!row.Completed) current.host = 0x07;        // DID_ERROR
        if (!row.Sense.empty()) current.driver = 0x08;  // DRIVER_SENSE
        reply = &current;
      },
      true);
}

// A drive another program holds: not opened when the drives are listed, or
// the update's claim refused, with the node and the system's words. Otherwise
// the update holds it: the generic node reopened exclusively, the block node
// claimed for writing and locked, the media polling set to 0; and gives it back:
// an ordinary handle, nothing else left open, the polling value as it was.
TEST(SgIoTransport, HoldsTheDriveNoOtherProgramHolds) {
  struct Case {
    const char* name;
    const char* drive;    // the node the drive is opened through
    const char* refused;  // a node whose exclusive open fails with EBUSY
    bool locked;          // another program has locked sr0
    bool listing;         // all this already so when the drives are listed
    const char* closed;   // a node no open may have (EACCES)
    bool mounted;         // sr0 is mounted
    const char* poll;     // sr0's events_poll_msecs, when there is one
    int refusal;          // the claim is refused with this error
  };
  const Case cases[] = {
      {"through the generic node", "sg4", "", false, false, "", false, "2000\n", 0},
      {"through the block node", "sr0", "", false, false, "", false, "-1\n", 0},
      {"generic node open elsewhere", "sg4", "sg4", false, false, "", false, "2000\n", EBUSY},
      {"block node claimed elsewhere", "sg4", "sr0", false, false, "", false, "2000\n", EBUSY},
      {"block node locked", "sg4", "", true, false, "", false, "2000\n", EWOULDBLOCK},
      {"claimed when listed", "sr0", "sr0", false, true, "", false, "2000\n", 0},
      {"locked when listed", "sr0", "", true, true, "", false, "2000\n", 0},
      {"mounted", "sr0", "sr0", false, true, "", true, "2000\n", EBUSY},
      // The claim for writing holds the polling off: no line about the sysfs value.
      {"polling value unreadable", "sg4", "", false, false, "", false, nullptr, 0},
      {"block node closed to the user", "sg4", "", false, false, "sr0", false, "2000 0\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem fake;
    fake.LinkSg4();
    if (c.poll != nullptr) fake.Write("class/block/sr0/events_poll_msecs", c.poll);
    fake.Write("class/block/sr0/dev", "11:0\n");
    fake.Write("mountinfo", std::string("30 1 8:1 / / rw - ext4 /dev/sda1 rw\n") +
                                (c.mounted ? "36 30 11:0 / /media/cd ro - iso9660 /dev/sr0 ro\n" : ""));
    if (*c.closed) fake.Refuse[fake.Node(c.closed)] = EACCES;
    auto holdElsewhere = [&] {
      if (*c.refused) fake.RefuseExclusive[fake.Node(c.refused)] = EBUSY;
      if (c.locked) fake.Locked.insert(fake.Node("sr0"));
    };
    if (c.listing) holdElsewhere();
    auto transport = MakeSgIoTransport(fake.System());
    const DriveAddress address{' ', 2, 1, 0, fake.Node(c.drive)};
    const OpenResult opened = transport->Open(address);
    // Listing a drive used through its generic node leaves its block node alone.
    if (std::string(c.drive) == "sg4") {
      EXPECT_EQ(std::count_if(fake.Opens.begin(), fake.Opens.end(),
                              [&](const auto& open) { return open.first == fake.Node("sr0"); }),
                0);
    }
    if (c.listing && !c.mounted) {
      // Not even the drive's own node was opened.
      EXPECT_EQ(opened.Error, static_cast<std::uint32_t>(EBUSY));
      EXPECT_EQ(transport->AccessAdvice(address, EBUSY),
                "Drive " + fake.Node(c.drive) +
                    " is in use by another program, or by another copy of this one. Nothing was sent to it; "
                    "try again when that program has finished.");
      EXPECT_EQ(std::count(fake.Opens.begin(), fake.Opens.end(),
                           std::make_pair(address.Locator, O_RDWR | O_NONBLOCK)),
                0);
      continue;
    }
    DeviceHandle handle = opened.Handle;
    ASSERT_NE(handle, kNoDevice);
    if (!c.listing) holdElsewhere();
    const std::size_t before = fake.Opens.size();

    const Transport::Claim claim = transport->ClaimDrive(handle, address);
    EXPECT_EQ(claim.Refused, c.refusal != 0);
    if (c.refusal != 0) {
      EXPECT_EQ(claim.Reason, fake.Node(*c.refused ? c.refused : "sr0") + ": " + std::strerror(c.refusal));
    }
    std::vector<std::string> said;
    if (*c.closed) {
      said = {"Mounts and other programs could not be kept off " + address.Locator +
                  " during the update (Permission denied); the update goes on.",
              "The system's media polling of " + address.Locator +
                  " could not be stopped (Invalid argument); the update goes on."};
    }
    EXPECT_EQ(fake.Said, said);
    const bool generic = c.drive[1] == 'g';
    if (c.poll != nullptr) {
      EXPECT_EQ(fake.Read("class/block/sr0/events_poll_msecs"), c.refusal == 0 && !*c.closed ? "0" : c.poll);
    }
    if (!claim.Refused) transport->ReleaseDrive(handle, address);
    if (c.poll != nullptr) {
      EXPECT_EQ(fake.Read("class/block/sr0/events_poll_msecs"), c.poll);
    }
    EXPECT_EQ(handle, fake.Fds[generic ? fake.Fds.size() - 1 : before - 1]);
    for (std::size_t i = before; i < fake.Fds.size(); ++i) {
      EXPECT_TRUE(fake.Fds[i] < 0 || fake.Fds[i] == handle ||
                  std::count(fake.Closes.begin(), fake.Closes.end(), fake.Fds[i]) == 1)
          << fake.Opens[i].first;
    }
    if (generic) {
      EXPECT_EQ(fake.Opens.back(), std::make_pair(fake.Node(c.drive), O_RDWR | O_NONBLOCK));
    }
  }
}

// The drive units on the fake tree: the list, the lines, and the open failure.
TEST(SgIoTransport, DrivesOnTheFakeTree) {
  FakeSystem fake;
  fake.Refuse[fake.Node("sr1")] = EACCES;
  fake.Ioctl = [](int fd, unsigned long request, void* argument) {
    if (request == SG_GET_SCSI_ID) return ScsiIdFor7(fd, request, argument);
    auto* header = static_cast<sg_io_hdr_t*>(argument);
    if (header->cmdp[0] != 0x12 || header->dxfer_len < 36) {
      errno = header->cmdp[0] == 0xDF ? EPERM : EINVAL;  // the vendor command is refused
      return -1;
    }
    const char data[] = "\x05\x80\x00\x32\x1F\x00\x00\x00QVXR    CRW-5224A       1000";
    std::memcpy(header->dxferp, data, 36);
    return 0;
  };
  auto transport = MakeSgIoTransport(fake.System());

  struct Sink : MessageSink {
    std::vector<std::string> Messages;
    void ShowMessage(const std::string& text) override { Messages.push_back(text); }
    void ShowErrorMessage(const std::string& text) override { Messages.push_back(text); }
    long Advice() const {
      return std::count_if(Messages.begin(), Messages.end(),
                           [](const std::string& m) { return m.rfind("No access to ", 0) == 0; });
    }
  } sink;
  Cddrive::ResetUnit();
  Cddrive::InstallTransport(transport.get());
  Cddrive::SetMessageSink(&sink);
  {
    TCdDrives drives;
    ASSERT_EQ(drives.Count(), 3);
    EXPECT_EQ(drives.Current->DriveText, "2-1-0  : QVXR    CRW-5224A       1000");
    ASSERT_TRUE(drives.Select(2));
    EXPECT_EQ(drives.Current->DriveText, "3-1-0  : QVXR    CRW-5224A       1000");
    EXPECT_EQ(drives.Current->GetRevision(), "1000");
    // The open failure's two messages as always, then the advice: the block
    // node, its group, and the ways in that work (no group to join).
    ASSERT_EQ(sink.Messages.size(), 3u);
    EXPECT_EQ(sink.Messages[0], "Error opening: 13, Drive: " + fake.Node("sr1"));
    EXPECT_EQ(sink.Messages[1], std::string("SenseCode: 00 00 00, 00, Error: 13, ") + std::strerror(EACCES));
    const std::string group = "the group \"" + NodeGroup(fake.Node("sr1")) + "\"";
    for (const std::string& part : {"No access to " + fake.Node("sr1") + ": " + std::strerror(EACCES) + ".\n",
                                    "The block node " + fake.Node("sr1") + " (" + group +
                                        ") passes the drive's update commands only to root",
                                    std::string("- run the program as root"), std::string("modprobe sg")}) {
      EXPECT_NE(sink.Messages[2].find(part), std::string::npos) << part << "\n" << sink.Messages[2];
    }
    EXPECT_EQ(sink.Messages[2].find("usermod"), std::string::npos) << sink.Messages[2];
    // A command refused below the drive: not accepted, the errno kept, and the
    // system's words after the sense text; no advice for an error not of access.
    EXPECT_FALSE(drives.Current->ExecuteCommand(0x3B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0));
    EXPECT_EQ(drives.Current->LastError, static_cast<std::uint32_t>(EINVAL));
    EXPECT_EQ(drives.Current->SenseText(), std::string("00 00 00. 00, 0016, ") + std::strerror(EINVAL));
    drives.Current->ShowAccessAdvice();
    EXPECT_EQ(sink.Advice(), 1);
    // The vendor command refused with EPERM: advice on the generic node, once.
    for (int time = 0; time < 2; ++time) {
      EXPECT_FALSE(drives.Current->ExecuteCommand(0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0));
      EXPECT_EQ(drives.Current->SenseText(), std::string("00 00 00. 00, 0001, ") + std::strerror(EPERM));
      drives.Current->ShowAccessAdvice();
    }
    ASSERT_EQ(sink.Advice(), 2);
    const std::string advice = "No access to " + fake.Node("sg7") + ": " + std::strerror(EPERM) + ".\n";
    EXPECT_TRUE(std::any_of(sink.Messages.begin(), sink.Messages.end(),
                            [&](const std::string& m) { return m.rfind(advice, 0) == 0; }));
  }
  {
    TCdDrives again;  // the same node refused again in the run: no second advice
    EXPECT_EQ(sink.Advice(), 2);
  }
  // EPERM on a block node: only root, or the generic driver, helps.
  const std::string block = transport->AccessAdvice({' ', 0, 0, 0, fake.Node("sr2")}, EPERM);
  EXPECT_NE(block.find("The block node " + fake.Node("sr2") + " (the group \"" + NodeGroup(fake.Node("sr2")) +
                       "\") passes the drive's update commands only to root"),
            std::string::npos)
      << block;
  EXPECT_NE(block.find("modprobe sg"), std::string::npos);
  // A generic node's group is offered to join only when it owns no disk's node.
  for (const bool disk : {false, true}) {
    FakeSystem machine;
    if (disk) std::ofstream(machine.Dev() / "sda").put('\0');
    const std::string text =
        MakeSgIoTransport(machine.System())->AccessAdvice({' ', 2, 1, 0, machine.Node("sg4")}, EACCES);
    const std::string join = "sudo usermod -aG " + NodeGroup(machine.Node("sg4")) + " $USER";
    EXPECT_EQ(text.find(join) == std::string::npos, disk) << text;
    EXPECT_EQ(text.find("is not advised: it owns disks") != std::string::npos, disk) << text;
  }
  EXPECT_EQ(Cddrive::Unit().OpenCount, 0);
  Cddrive::InstallTransport(nullptr);
  Cddrive::SetMessageSink(nullptr);
  Cddrive::ResetUnit();
}

// The power supplies on a fake /sys/class/power_supply: files "ENTRY/ATTRIBUTE=VALUE"
// separated by ";", "<fifo>" a FIFO with no writer (read as it is, it would block).
TEST(LinuxPower, ReadsTheSuppliesOfTheTree) {
  using Supply = PowerReading::Supply;
  const std::string bat0 = "BAT0/type=Battery;BAT0/status=Discharging;BAT0/",
                    bat1 = ";BAT1/type=Battery;BAT1/";
  const struct {
    std::string files;
    Supply source;
    int percent;
  } cases[] = {
      {"", Supply::Unknown, -1},
      {"AC/type=Mains;AC/online=0;" + bat0 + "capacity=24\n", Supply::Battery, 24},
      {bat0 + "capacity=25", Supply::Battery, 25},
      {"AC/type=Mains;AC/online=0;ucsi/type=USB_PD;ucsi/online=2;" + bat0 + "capacity=80", Supply::Mains, 80},
      {"BAT0/type=Battery;BAT0/status=Charging;BAT0/capacity=10", Supply::Mains, 10},
      // Energies summed; energy and charge cannot be: the mean of the percentages.
      {bat0 + "energy_now=5;BAT0/energy_full=20;BAT0/capacity=25" + bat1 +
           "energy_now=10;BAT1/energy_full=80" + bat1 + "capacity=13",
       Supply::Battery, 15},
      {bat0 + "energy_now=1;BAT0/energy_full=4;BAT0/capacity=30" + bat1 + "charge_now=1;BAT1/charge_full=9" +
           bat1 + "capacity=10",
       Supply::Battery, 20},
      // A mouse's battery and a battery taken out are not the machine's.
      {bat0 + "capacity=80;M/type=Battery;M/scope=Device;M/capacity=5" + bat1 + "present=0" + bat1 +
           "capacity=3",
       Supply::Battery, 80},
      {"AC/type=Mains;AC/online=1x;X/type=<fifo>;X/online=1;U/type=Mains\t;U/online=1;" + bat0 +
           "capacity=-5;BAT0/energy_now=1;BAT0/energy_full=0;B/type=Battery;B/capacity= 24;C/type=Battery;"
           "C/capacity=101;D/type=Battery;D/capacity=<fifo>;E/type=Battery;E/capacity=2" +
           std::string(40, ' ') + ";F/type=Battery;F/capacity=;G/type=Battery;G/capacity=1000000000000000",
       Supply::Battery, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.files);
    char pattern[] = "/tmp/power-test-XXXXXX";
    const fs::path root = mkdtemp(pattern);
    std::stringstream files(c.files);
    for (std::string file; std::getline(files, file, ';');) {
      const fs::path path = root / file.substr(0, file.find('='));
      const std::string value = file.substr(file.find('=') + 1);
      fs::create_directories(path.parent_path());
      EXPECT_EQ(value == "<fifo>" ? mkfifo(path.c_str(), 0600) : (std::ofstream(path) << value, 0), 0);
    }
    const PowerReading reading = ReadLinuxPower(root.string());
    EXPECT_EQ(std::pair(reading.Source, reading.Percent), std::pair(c.source, c.percent));
    fs::remove_all(root);
  }
}

}  // namespace
