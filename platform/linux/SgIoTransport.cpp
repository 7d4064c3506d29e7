// Optical drives on Linux. The drives are the sr block devices, in the order of
// their numbers; each command goes down as one SG_IO request. A drive is opened
// through its SCSI generic node when it has one: the block node refuses WRITE
// BUFFER and vendor opcodes to anyone without CAP_SYS_RAWIO, while the generic
// node passes them for anyone allowed to open it.
//
// During an update the drive is held: its generic node open exclusively (the sg
// driver then refuses every other open), its block node open exclusively for
// writing (mounts and other exclusive openers are refused, and the kernel holds
// off its media-event polling of an optical drive opened so) and locked with
// flock (the lock udev and other programs honour), and its media polling set to
// 0 in sysfs, the value put back afterwards. The kernel gives back the opens and
// the lock however the process ends; the polling value is put back by a watchdog
// process when the program ends without doing so itself.
#include "platform/linux/SgIoTransport.h"

#include <fcntl.h>
#include <grp.h>
#include <scsi/sg.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "platform/linux/Platform.h"

namespace {

namespace fs = std::filesystem;

constexpr unsigned char kSenseSize = 32;
constexpr unsigned short kHostTimeOut = 0x03;  // DID_TIME_OUT
constexpr unsigned short kDriverMask = 0x0F;
constexpr unsigned short kDriverTimeOut = 0x06;  // DRIVER_TIMEOUT
constexpr unsigned short kDriverSense = 0x08;    // DRIVER_SENSE: sense data came back

// "name" followed by one or more decimal digits: the number, or -1.
long NumberAfter(const std::string& text, const std::string& name) {
  if (text.size() <= name.size() || text.compare(0, name.size(), name) != 0) return -1;
  long number = 0;
  for (std::size_t i = name.size(); i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    if (number > (std::numeric_limits<long>::max() - 9) / 10) return -1;
    number = number * 10 + (text[i] - '0');
  }
  return number;
}

// The name of a drive's SCSI generic node ("sg3"), or "" when it has none. The
// link is the directory device/scsi_generic holding the node's name, or, on
// older kernels, an entry "scsi_generic:sg3" in device/.
std::string GenericName(const fs::path& device) {
  std::error_code error;
  for (fs::directory_iterator it(device / "scsi_generic", error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (NumberAfter(name, "sg") >= 0) return name;
  }
  error.clear();
  for (fs::directory_iterator it(device, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    const std::string prefix = "scsi_generic:";
    if (name.compare(0, prefix.size(), prefix) == 0 && NumberAfter(name.substr(prefix.size()), "sg") >= 0) {
      return name.substr(prefix.size());
    }
  }
  return {};
}

std::uint8_t AddressByte(long value) {
  return static_cast<std::uint8_t>(std::clamp<long>(value, 0, std::numeric_limits<std::uint8_t>::max()));
}

// Host, channel, target and LUN from a SCSI device name "H:C:T:L".
bool ParseScsiName(const std::string& name, long (&parts)[4]) {
  std::size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    const std::size_t start = pos;
    long value = 0;
    while (pos < name.size() && name[pos] >= '0' && name[pos] <= '9') {
      if (value > 1000000) return false;
      value = value * 10 + (name[pos] - '0');
      ++pos;
    }
    if (pos == start) return false;
    if (i < 3) {
      if (pos >= name.size() || name[pos] != ':') return false;
      ++pos;
    }
    parts[i] = value;
  }
  return pos == name.size();
}

// The group that owns a node, when the node can be examined: its number, and its
// name or, when it has none, the number written out.
struct OwnerGroup {
  bool Known = false;
  gid_t Id = 0;
  std::string Name;
};

OwnerGroup OwnerOf(const std::string& node) {
  OwnerGroup owner;
  struct stat status;
  if (::stat(node.c_str(), &status) != 0) return owner;
  owner.Known = true;
  owner.Id = status.st_gid;
  const group* entry = ::getgrgid(status.st_gid);
  owner.Name = entry != nullptr ? entry->gr_name : std::to_string(status.st_gid);
  return owner;
}

// Whether a group owns disks: "disk" by its name, or the group of the node of a
// block device that is not an optical drive (among the first kMaxBlockDevices
// listed). Its members may read and write those disks at will: no advice ever
// asks the user to join it.
constexpr std::size_t kMaxBlockDevices = 4096;

bool OwnsDisks(const OwnerGroup& owner, const SgIoSystem& system) {
  if (owner.Name == "disk") return true;
  std::error_code error;
  std::size_t count = 0;
  for (fs::directory_iterator it(system.BlockClassDir, error), end;
       !error && it != end && count < kMaxBlockDevices; it.increment(error), ++count) {
    std::string name = it->path().filename().string();
    if (NumberAfter(name, "sr") >= 0) continue;
    std::replace(name.begin(), name.end(), '!', '/');  // "cciss!c0d0": /dev/cciss/c0d0
    struct stat status;
    const std::string node = (fs::path(system.DevDir) / name).string();
    if (::stat(node.c_str(), &status) == 0 && status.st_gid == owner.Id) return true;
  }
  return false;
}

std::string AdviceText(const std::string& node, std::uint32_t error, const SgIoSystem& system) {
  const OwnerGroup group = OwnerOf(node);
  const std::string owners =
      group.Known ? "the group \"" + group.Name + "\"" : std::string("the group that owns it");
  const std::string name = fs::path(node).filename().string();
  std::string text = "No access to " + node + ": " + std::strerror(static_cast<int>(error)) + ".\n";
  if (NumberAfter(name, "sr") >= 0) {
    // The block node passes the update's commands to root alone, whatever its
    // mode and whoever may open it: no group's membership would help.
    text += "The block node " + node + " (" + owners +
            ") passes the drive's update commands only to root. Either:\n"
            "- run the program as root (for example with sudo), or\n"
            "- load the SCSI generic driver (sudo modprobe sg): the drive's generic node then serves "
            "the members of its group and a local desktop session.";
    return text;
  }
  const bool ownsDisks = group.Known && OwnsDisks(group, system);
  text += "The node belongs to " + owners + ". Any of these gives access:\n";
  text += "- run the program as root (for example with sudo);\n";
  if (group.Known && !ownsDisks) {
    text +=
        "- be a member of " + owners + " (sudo usermod -aG " + group.Name + " $USER, then log in again);\n";
  }
  text +=
      "- use a local desktop session: the system grants the user at the seat access to optical "
      "drives' generic nodes.";
  if (ownsDisks) {
    text += "\nJoining " + owners +
            " is not advised: it owns disks, and its members may read and write every one of them.";
  }
  return text;
}

std::string Words(const std::string& node, int error) {
  return node + ": " + std::strerror(error);
}

// The decimal digits of text from pos on (at most max of them): their value, or
// -1 when there are none or too many.
long Digits(const std::string& text, std::size_t& pos, std::size_t max) {
  const std::size_t start = pos;
  long value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < max) {
    value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  if (pos == start || (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')) return -1;
  return value;
}

// A media polling interval as sysfs shows it: -1 (the kernel's default) or
// milliseconds, on a line of its own. Anything else is not taken.
bool ParsePollValue(const std::string& text, long& value) {
  std::size_t pos = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) ++pos;
  value = Digits(text, pos, 9);
  if (value < 0 || (negative && value != 1)) return false;
  if (negative) value = -1;
  return pos == text.size() || (pos + 1 == text.size() && text[pos] == '\n');
}

// "major:minor" of a block device as sysfs shows it, on a line of its own.
bool ParseDeviceNumber(const std::string& text, std::string& number) {
  std::size_t pos = 0;
  if (Digits(text, pos, 10) < 0 || pos >= text.size() || text[pos] != ':') return false;
  ++pos;
  if (Digits(text, pos, 10) < 0) return false;
  number = text.substr(0, pos);
  return pos == text.size() || (pos + 1 == text.size() && text[pos] == '\n');
}

// Whether a file system is mounted from the device with this "major:minor": the
// third field of a line of the mount table.
bool MountedFrom(const std::string& mountInfo, const std::string& number) {
  constexpr std::size_t kMaxLines = 100000;
  std::ifstream in(mountInfo);
  std::string line;
  for (std::size_t count = 0; count < kMaxLines && std::getline(in, line); ++count) {
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos) continue;
    if (line.compare(second + 1, number.size() + 1, number + " ") == 0) return true;
  }
  return false;
}

// ---- The watchdog: a process that puts a drive's media polling back when the
// program ends without having done so itself. It holds one end of a socket pair;
// the program holds the other and sends one byte when it has put the value back
// itself. End of file without that byte means the program is gone, however it
// ended (the kernel closes its end), and the watchdog writes the value.

// The signals that reach a process from its terminal or its session, or that a
// program is commonly sent to end it: the watchdog outlives them all.
constexpr int kWatchdogIgnores[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGTSTP, SIGTTIN,
                                    SIGTTOU, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM};
constexpr char kRestored = 'r';

void CloseFrom(int first, int openMax) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  if (::close_range(static_cast<unsigned>(first), ~0U, 0) == 0) return;
#endif
  for (int fd = first; fd < openMax; ++fd) ::close(fd);
}

// The watchdog's life. The program has threads, so after fork only
// async-signal-safe calls are made, on what was prepared before it: no
// allocation, no lock, no stream.
[[noreturn]] void Watch(int socket, const char* path, const char* value, std::size_t length, int openMax) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  for (int signal : kWatchdogIgnores) ::sigaction(signal, &ignore, nullptr);
  ::setsid();  // away from the terminal's signals and its hang-up
  if (::chdir("/") != 0) {
    // It keeps the directory busy, no more.
  }
  // Nothing of the program's stays open here: not its drives, not their locks,
  // not its terminal or pipes; only the socket, as standard input.
  if (socket != 0 && ::dup2(socket, 0) != 0) ::_exit(1);
  CloseFrom(1, openMax);
  char byte = 0;
  ssize_t n;
  do {
    n = ::read(0, &byte, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1 || byte != kRestored) {
    const int fd = ::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd >= 0) {
      if (::write(fd, value, length) < 0) {
        // Nothing more can be done.
      }
      ::close(fd);
    }
  }
  ::_exit(0);
}

struct Watchdog {
  pid_t Pid = -1;
  int Socket = -1;
};

// Starts the watchdog for a polling value; false with the error when it cannot.
bool StartWatchdog(const std::string& path, const std::string& value, Watchdog& dog, int& error) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    error = errno;
    return false;
  }
  const long limit = ::sysconf(_SC_OPEN_MAX);
  const int openMax = limit > 0 && limit < INT_MAX ? static_cast<int>(limit) : 65536;
  // The signals stay blocked in the child until it ignores them.
  sigset_t blocked;
  sigset_t before;
  sigemptyset(&blocked);
  for (int signal : kWatchdogIgnores) sigaddset(&blocked, signal);
  pthread_sigmask(SIG_BLOCK, &blocked, &before);
  const pid_t pid = ::fork();
  if (pid == 0) Watch(ends[1], path.c_str(), value.data(), value.size(), openMax);
  const int forkError = errno;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  ::close(ends[1]);
  if (pid < 0) {
    ::close(ends[0]);
    error = forkError;
    return false;
  }
  dog.Pid = pid;
  dog.Socket = ends[0];
  return true;
}

// Ends the watchdog: told that the value is back (restored), or left to put it
// back itself; waits for it to end.
void StopWatchdog(Watchdog& dog, bool restored) {
  if (dog.Socket < 0) return;
  if (restored) {
    const char byte = kRestored;
    if (::send(dog.Socket, &byte, 1, MSG_NOSIGNAL) != 1) {
      // It is gone already.
    }
  }
  ::close(dog.Socket);
  dog.Socket = -1;
  while (::waitpid(dog.Pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  dog.Pid = -1;
}

class SgIoTransport : public Transport {
 public:
  explicit SgIoTransport(SgIoSystem system) : system_(std::move(system)) {}

  std::uint8_t Setup(MessageSink&) override { return dsOk; }
  bool OpensDevices() const override { return true; }

  std::vector<DriveAddress> Enumerate() override {
    std::vector<std::pair<long, std::string>> names;
    std::error_code error;
    for (fs::directory_iterator it(system_.BlockClassDir, error), end; !error && it != end;
         it.increment(error)) {
      const std::string name = it->path().filename().string();
      const long number = NumberAfter(name, "sr");
      if (number >= 0) names.emplace_back(number, name);
    }
    std::sort(names.begin(), names.end());

    std::vector<DriveAddress> drives;
    for (const auto& [number, name] : names) {
      const fs::path device = fs::path(system_.BlockClassDir) / name / "device";
      const std::string generic = GenericName(device);
      std::string node = (fs::path(system_.DevDir) / name).string();
      std::string genericNode;
      if (!generic.empty()) {
        genericNode = (fs::path(system_.DevDir) / generic).string();
        std::error_code exists;
        if (fs::exists(genericNode, exists)) {
          node = genericNode;
        } else {
          genericNode.clear();
        }
      }
      DriveAddress address;
      address.Letter = ' ';
      address.Locator = node;
      FillScsiAddress(device, genericNode, address);
      drives.push_back(std::move(address));
    }
    return drives;
  }

  ~SgIoTransport() override {
    for (auto& [locator, held] : held_) {
      RestorePolling(held);
      if (held.ClaimFd >= 0) system_.Close(held.ClaimFd);
    }
  }

  // A drive held by another program, or by another copy of this one at work on
  // it, is not opened: its generic node open exclusively (the open fails with
  // EBUSY), or, for a drive used through its block node, that node claimed
  // exclusively by someone other than a mount, or locked. The test of the block
  // node sends nothing to a drive so held: the kernel refuses an exclusive open
  // of a claimed device before it opens it. A drive used through its generic
  // node is not tested so: opening its block node would have the kernel check
  // the drive for media, commands the listing never sent before.
  OpenResult Open(const DriveAddress& address) override {
    OpenResult result;
    result.Path = address.Locator;
    const Nodes nodes = NodesOf(address.Locator);
    int fd = -1;
    if (!nodes.Generic && !nodes.Block.empty() && HeldElsewhere(nodes)) {
      errno = EBUSY;
    } else {
      fd = system_.Open(address.Locator.c_str(), O_RDWR | O_NONBLOCK);
      if (fd >= 0 && nodes.Block.empty() && Locked(fd)) {
        system_.Close(fd);
        fd = -1;
        errno = EBUSY;
      }
    }
    if (fd < 0) {
      result.Error = static_cast<std::uint32_t>(errno);
      if (errno == EBUSY) inUse_.insert(address.Locator);
      return result;
    }
    result.Handle = fd;
    return result;
  }

  Claim ClaimDrive(DeviceHandle& handle, const DriveAddress& address) override {
    Claim claim;
    const std::string& locator = address.Locator;
    if (held_.count(locator) != 0) return claim;
    const Nodes nodes = NodesOf(locator);
    Held held;
    auto refuse = [&](const std::string& node, int error) {
      GiveBack(handle, locator, held);
      claim.Refused = true;
      claim.Reason = Words(node, error);
      return claim;
    };

    // The generic node: the sg driver grants an exclusive open only while no
    // other file is open on it, ours included.
    if (nodes.Generic) {
      if (handle != kNoDevice) system_.Close(static_cast<int>(handle));
      const int fd = system_.Open(locator.c_str(), O_RDWR | O_NONBLOCK | O_EXCL);
      if (fd < 0) {
        const int error = errno;
        const int ordinary = system_.Open(locator.c_str(), O_RDWR | O_NONBLOCK);
        handle = ordinary >= 0 ? ordinary : kNoDevice;
        claim.Refused = true;
        claim.Reason = Words(locator, error);
        return claim;
      }
      handle = fd;
      held.ExclusiveHandle = true;
    }

    // The block node, exclusively: for writing where the user may, read-only
    // otherwise (a claim all the same, without the polling hold).
    if (!nodes.Block.empty()) {
      held.ClaimFd = system_.Open(nodes.Block.c_str(), O_RDWR | O_NONBLOCK | O_EXCL | O_CLOEXEC);
      held.PollingHeld = held.ClaimFd >= 0;
      if (held.ClaimFd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        held.ClaimFd = system_.Open(nodes.Block.c_str(), O_RDONLY | O_NONBLOCK | O_EXCL | O_CLOEXEC);
      }
      if (held.ClaimFd < 0) {
        if (errno == EBUSY) return refuse(nodes.Block, errno);
        system_.Say("Mounts and other programs could not be kept off " + locator + " during the update (" +
                    std::strerror(errno) + "); the update goes on.");
      }
    }
    const int lockFd = held.ClaimFd >= 0 ? held.ClaimFd : nodes.Block.empty() ? static_cast<int>(handle) : -1;
    if (lockFd >= 0 && system_.Flock(lockFd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      return refuse(nodes.Block.empty() ? locator : nodes.Block, EWOULDBLOCK);
    }

    StopPolling(locator, nodes, held);
    held_.emplace(locator, std::move(held));
    return claim;
  }

  void ReleaseDrive(DeviceHandle& handle, const DriveAddress& address) override {
    const auto found = held_.find(address.Locator);
    if (found == held_.end()) return;
    Held held = std::move(found->second);
    held_.erase(found);
    RestorePolling(held);
    GiveBack(handle, address.Locator, held);
  }

  void Close(DeviceHandle handle) override {
    if (handle != kNoDevice) system_.Close(static_cast<int>(handle));
  }

  CommandResult Execute(DeviceHandle handle, const DriveAddress&, const CommandRequest& request) override {
    CommandResult result;
    if (handle == kNoDevice) {
      result.OsError = EBADF;
      return result;
    }

    unsigned char cdb[12];
    std::memcpy(cdb, request.Cdb, sizeof cdb);
    unsigned char sense[kSenseSize] = {};
    sg_io_hdr_t header;
    std::memset(&header, 0, sizeof header);
    header.interface_id = 'S';
    if (request.Length == 0) {
      header.dxfer_direction = SG_DXFER_NONE;
    } else {
      header.dxfer_direction = request.DataIn ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
      header.dxfer_len = request.Length;
      header.dxferp = request.Data;
    }
    header.cmd_len = sizeof cdb;
    header.cmdp = cdb;
    header.mx_sb_len = kSenseSize;
    header.sbp = sense;
    header.timeout = static_cast<unsigned int>(request.TimeoutSeconds) * 1000u;

    if (system_.Ioctl(static_cast<int>(handle), SG_IO, &header) < 0) {
      result.OsError = static_cast<std::uint32_t>(errno);
      return result;
    }

    // What came back, as it came: the judgement is the drive unit's.
    result.Status = header.status;
    result.SetSense(sense, std::min<std::size_t>(header.sb_len_wr, kSenseSize));
    result.ResidualKnown = request.Length > 0;
    result.Residual = header.resid > 0 ? static_cast<std::uint32_t>(header.resid) : 0;
    const unsigned short driver = header.driver_status & kDriverMask;
    if (header.host_status != 0 || (driver != 0 && driver != kDriverSense)) {
      result.OsError = (header.host_status == kHostTimeOut || driver == kDriverTimeOut) ? ETIMEDOUT : EIO;
      return result;
    }
    result.Completed = true;
    result.ScsiStatus = header.status;
    return result;
  }

  std::string ErrorText(std::uint32_t error) override { return std::strerror(static_cast<int>(error)); }

  std::string CommandErrorText(std::uint32_t error) override { return ErrorText(error); }

  std::string AccessAdvice(const DriveAddress& address, std::uint32_t error) override {
    // Each time a drive is found held, right after its open failed.
    if (error == EBUSY && inUse_.erase(address.Locator) != 0) return DriveInUseText(address.Locator);
    if (error != EACCES && error != EPERM) return {};
    if (!advised_.insert(address.Locator).second) return {};
    return AdviceText(address.Locator, error, system_);
  }

  std::uint32_t DeviceError() const override { return EIO; }

 private:
  // A drive's nodes: whether the one it is opened through is its generic node,
  // and its block node and that node's name in sysfs ("" when it has none).
  struct Nodes {
    bool Generic = false;
    std::string Block;
    std::string BlockName;
  };
  // What an update holds of a drive.
  struct Held {
    bool ExclusiveHandle = false;  // the handle is an exclusive open of the generic node
    int ClaimFd = -1;              // the block node, open exclusively and locked
    bool PollingHeld = false;      // ClaimFd is open for writing: the kernel holds polling off
    std::string PollPath;          // the media polling set to 0, and its value before
    std::string PollValue;
    Watchdog Dog;
  };

  Nodes NodesOf(const std::string& locator) const {
    Nodes nodes;
    const std::string name = fs::path(locator).filename().string();
    if (NumberAfter(name, "sr") >= 0) {
      nodes.Block = locator;
      nodes.BlockName = name;
      return nodes;
    }
    nodes.Generic = NumberAfter(name, "sg") >= 0;
    if (!nodes.Generic) return nodes;
    std::error_code error;
    const fs::path blocks = fs::path(system_.GenericClassDir) / name / "device" / "block";
    for (fs::directory_iterator it(blocks, error), end; !error && it != end; it.increment(error)) {
      const std::string block = it->path().filename().string();
      if (NumberAfter(block, "sr") >= 0) {
        nodes.BlockName = block;
        nodes.Block = (fs::path(system_.DevDir) / block).string();
        break;
      }
    }
    return nodes;
  }

  // Whether another program holds the drive's block node: claimed exclusively
  // (and not by a mount), or locked.
  bool HeldElsewhere(const Nodes& nodes) {
    const int fd = system_.Open(nodes.Block.c_str(), O_RDONLY | O_NONBLOCK | O_EXCL | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY && !Mounted(nodes.BlockName);
    const bool locked = Locked(fd);
    system_.Close(fd);
    return locked;
  }

  // Whether another file holds an exclusive lock on the file of fd.
  bool Locked(int fd) {
    if (system_.Flock(fd, LOCK_SH | LOCK_NB) == 0) {
      system_.Flock(fd, LOCK_UN);
      return false;
    }
    return errno == EWOULDBLOCK;
  }

  bool Mounted(const std::string& blockName) const {
    std::string text, number;
    int error = 0;
    const std::string dev = (fs::path(system_.BlockClassDir) / blockName / "dev").string();
    return ReadSmallFile(dev, 32, text, error) && ParseDeviceNumber(text, number) &&
           MountedFrom(system_.MountInfo, number);
  }

  // Sets the drive's media polling to 0, keeping its value and a watchdog that
  // puts it back. Where that cannot be done and the claim does not hold the
  // polling off, says so.
  void StopPolling(const std::string& name, const Nodes& nodes, Held& held) {
    if (nodes.BlockName.empty()) return;
    const std::string path =
        (fs::path(system_.BlockClassDir) / nodes.BlockName / "events_poll_msecs").string();
    std::string value;
    long interval = 0;
    int error = 0;
    if (ReadSmallFile(path, 32, value, error)) {
      if (!ParsePollValue(value, interval)) error = EINVAL;
      if (error == 0 && interval == 0) return;  // not polled
      if (error == 0 && StartWatchdog(path, value, held.Dog, error)) {
        if (WriteSmallFile(path, "0", error)) {
          held.PollPath = path;
          held.PollValue = value;
          return;
        }
        StopWatchdog(held.Dog, true);  // nothing changed
      }
    }
    if (!held.PollingHeld) {
      system_.Say("The system's media polling of " + name + " could not be stopped (" + std::strerror(error) +
                  "); the update goes on.");
    }
  }

  void RestorePolling(Held& held) {
    if (held.PollPath.empty()) return;
    int error = 0;
    // When the value cannot be written here, the watchdog tries too.
    StopWatchdog(held.Dog, WriteSmallFile(held.PollPath, held.PollValue, error));
    held.PollPath.clear();
  }

  // Closes what a claim opened, and gives the drive an ordinary handle again.
  void GiveBack(DeviceHandle& handle, const std::string& locator, Held& held) {
    if (held.ClaimFd >= 0) system_.Close(held.ClaimFd);
    held.ClaimFd = -1;
    if (!held.ExclusiveHandle) return;
    if (handle != kNoDevice) system_.Close(static_cast<int>(handle));
    const int fd = system_.Open(locator.c_str(), O_RDWR | O_NONBLOCK);
    handle = fd >= 0 ? fd : kNoDevice;
    held.ExclusiveHandle = false;
  }

  // The address shown in the drive's line: from the SCSI device's sysfs name
  // "H:C:T:L", else from SG_GET_SCSI_ID on the generic node. Values above 255
  // show as 255.
  void FillScsiAddress(const fs::path& device, const std::string& genericNode, DriveAddress& address) {
    long parts[4] = {};
    std::error_code error;
    const fs::path target = fs::canonical(device, error);
    if (!error && ParseScsiName(target.filename().string(), parts)) {
      address.HaId = AddressByte(parts[0]);
      address.Target = AddressByte(parts[2]);
      address.Lun = AddressByte(parts[3]);
      return;
    }
    if (genericNode.empty()) return;
    const int fd = system_.Open(genericNode.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return;
    sg_scsi_id id;
    std::memset(&id, 0, sizeof id);
    if (system_.Ioctl(fd, SG_GET_SCSI_ID, &id) == 0) {
      address.HaId = AddressByte(id.host_no);
      address.Target = AddressByte(id.scsi_id);
      address.Lun = AddressByte(id.lun);
    }
    system_.Close(fd);
  }

  SgIoSystem system_;
  std::set<std::string> advised_;  // the nodes whose access advice was given
  std::set<std::string> inUse_;    // the drives found held by others, not yet said
  std::map<std::string, Held> held_;
};

}  // namespace

SgIoSystem RealSgIoSystem() {
  SgIoSystem system;
  system.Open = [](const char* path, int flags) { return ::open(path, flags); };
  system.Close = [](int fd) { return ::close(fd); };
  system.Ioctl = [](int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); };
  system.Flock = [](int fd, int operation) { return ::flock(fd, operation); };
  return system;
}

std::unique_ptr<Transport> MakeSgIoTransport(SgIoSystem system) {
  return std::make_unique<SgIoTransport>(std::move(system));
}

std::unique_ptr<Transport> MakeSgIoTransport() {
  return MakeSgIoTransport(RealSgIoSystem());
}
