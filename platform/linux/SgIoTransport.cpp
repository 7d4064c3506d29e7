// Optical drives on Linux. The drives are the sr block devices, in the order of
// their numbers; each command goes down as one SG_IO request. A drive is opened
// through its SCSI generic node when it has one: the block node refuses WRITE
// BUFFER and vendor opcodes to anyone without CAP_SYS_RAWIO, while the generic
// node passes them for anyone allowed to open it.
#include "platform/linux/SgIoTransport.h"

#include <fcntl.h>
#include <grp.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
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

// The group that owns a node: its name, or its number when it has none; "" when
// the node cannot be examined.
std::string OwnerGroup(const std::string& node) {
  struct stat status;
  if (::stat(node.c_str(), &status) != 0) return {};
  if (const group* entry = ::getgrgid(status.st_gid)) return entry->gr_name;
  return std::to_string(status.st_gid);
}

std::string AdviceText(const std::string& node, std::uint32_t error) {
  const std::string group = OwnerGroup(node);
  const std::string owners =
      group.empty() ? std::string("the group that owns it") : "the group \"" + group + "\"";
  const std::string name = fs::path(node).filename().string();
  std::string text = "No access to " + node + ": " + std::strerror(static_cast<int>(error)) + ".\n";
  if (error == EPERM && NumberAfter(name, "sr") >= 0) {
    // The block node passes the update's commands to root alone, whatever its mode.
    text += "The block node " + node + " (" + owners +
            ") passes the drive's update commands only to root. Either:\n"
            "- run the program as root (for example with sudo), or\n"
            "- load the SCSI generic driver (sudo modprobe sg): the drive's generic node then serves "
            "the members of its group and a local desktop session.";
    return text;
  }
  text += "The node belongs to " + owners + ". Any of these gives access:\n";
  text += "- run the program as root (for example with sudo);\n";
  if (!group.empty()) {
    text += "- be a member of " + owners + " (sudo usermod -aG " + group + " $USER, then log in again);\n";
  }
  text +=
      "- use a local desktop session: the system grants the user at the seat access to optical "
      "drives' generic nodes.";
  return text;
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

  OpenResult Open(const DriveAddress& address) override {
    OpenResult result;
    result.Path = address.Locator;
    const int fd = system_.Open(address.Locator.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) {
      result.Error = static_cast<std::uint32_t>(errno);
      return result;
    }
    result.Handle = fd;
    return result;
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
    if (error != EACCES && error != EPERM) return {};
    if (!advised_.insert(address.Locator).second) return {};
    return AdviceText(address.Locator, error);
  }

  std::uint32_t DeviceError() const override { return EIO; }

 private:
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
};

}  // namespace

SgIoSystem RealSgIoSystem() {
  SgIoSystem system;
  system.Open = [](const char* path, int flags) { return ::open(path, flags); };
  system.Close = [](int fd) { return ::close(fd); };
  system.Ioctl = [](int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); };
  return system;
}

std::unique_ptr<Transport> MakeSgIoTransport(SgIoSystem system) {
  return std::make_unique<SgIoTransport>(std::move(system));
}

std::unique_ptr<Transport> MakeSgIoTransport() {
  return MakeSgIoTransport(RealSgIoSystem());
}
