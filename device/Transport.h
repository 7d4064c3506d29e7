// The seam between the drive units and the operating system. One implementation
// per platform (Windows pass-through and ASPI, Linux SG_IO, the simulated drive);
// TCdDrive and TCdDrives reach hardware only through it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Construction status codes of a drive.
enum : std::uint8_t {
  dsOk = 0x00,
  dsAspiNotReady = 0x60,
  dsAspiEntryMissing = 0x61,
  dsAspiNotLoaded = 0x62,
  dsNoDevice = 0x63,
};

// Where the drive units show their messages. The window gives them one.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void ShowMessage(const std::string& text) = 0;       // plain box, OK
  virtual void ShowErrorMessage(const std::string& text) = 0;  // error dialog, OK
};

// One candidate drive as the platform names it. Locator is the platform's own
// name for the device (a device node, a simulated drive's name); empty where the
// letter or the bus address says it all.
struct DriveAddress {
  char Letter = ' ';
  std::uint8_t HaId = 0;
  std::uint8_t Target = 0;
  std::uint8_t Lun = 0;
  std::string Locator;
};

using DeviceHandle = std::intptr_t;
constexpr DeviceHandle kNoDevice = -1;

// One command going down: the 12-byte CDB, the direction, the length and the
// buffer of its data phase, and the time-out.
struct CommandRequest {
  std::uint8_t Cdb[12] = {};
  bool DataIn = true;  // drive to host
  std::uint32_t Length = 0;
  std::uint8_t* Data = nullptr;
  std::uint16_t TimeoutSeconds = 60;
};

// What comes back. Accepted: the request completed as a request (pass-through:
// DeviceIoControl succeeded; ASPI: SRB_Status is SS_COMP; SG_IO: no transport
// failure). Status: the SCSI status (ASPI: SRB_Status). The three sense bytes are
// bytes 2, 12 and 13 of the sense data, zero when none came back. OsError: the
// system's last error right after the request.
struct CommandResult {
  bool Accepted = false;
  std::uint8_t Status = 0;
  std::uint8_t SenseKey = 0;
  std::uint8_t Asc = 0;
  std::uint8_t Ascq = 0;
  std::uint32_t OsError = 0;
};

struct OpenResult {
  DeviceHandle Handle = kNoDevice;
  std::uint32_t Error = 0;  // the system's error when the open failed
  std::string Path;         // the device path, for the message
};

class Transport {
 public:
  virtual ~Transport() = default;

  // The transport set-up that a drive construction runs while no drive is open.
  // Returns dsOk, or an ASPI failure code (showing the load-failure message
  // through the sink when the layer cannot be loaded).
  virtual std::uint8_t Setup(MessageSink& sink) = 0;
  // True when drives are opened as devices and hold a handle; false for a bus
  // that is addressed without opening anything (ASPI).
  virtual bool OpensDevices() const = 0;
  // ASPI: release the layer (a destruction that finds no drive open).
  virtual void ReleaseLayer() {}

  // The candidate drives, in the order the platform lists them.
  virtual std::vector<DriveAddress> Enumerate() = 0;

  virtual OpenResult Open(const DriveAddress& address) = 0;
  virtual void Close(DeviceHandle handle) = 0;
  virtual CommandResult Execute(DeviceHandle handle, const DriveAddress& address,
                                const CommandRequest& request) = 0;

  // The system's text for an error number, as its message formatter gives it;
  // "" when it has none.
  virtual std::string ErrorText(std::uint32_t error) = 0;
};
