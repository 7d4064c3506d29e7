// The seam between the drive units and the operating system. One implementation
// per platform (Windows pass-through and ASPI, Linux SG_IO, the simulated drive);
// TCdDrive and TCdDrives reach hardware only through it.
#pragma once

#include <cstddef>
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

// Where a command waits: the window runs each command so that it stays alive
// while the drive works. Run returns when step(context) has returned.
class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  virtual void Run(void (*step)(void*), void* context) = 0;
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
  // The caller uses every byte of the reply, so a read the system says came short
  // fails; otherwise the drive may answer with fewer bytes than asked. Only the
  // drive unit's judgement reads it: the transports send the same either way.
  bool WholeReply = false;
};

// What came back from one command, as the system reported it, undecided: the
// drive unit alone judges it (TCdDrive::ExecuteCommand), the same way for every
// transport.
struct CommandResult {
  static constexpr std::size_t kSenseCapacity = 32;

  // The request reached the drive and came back with a SCSI status: no failure of
  // the system, the adapter or its driver (pass-through: DeviceIoControl
  // succeeded; ASPI: SS_COMP, or SS_ERR with a target status; SG_IO: no host or
  // driver error). False: nothing below tells what the drive did.
  bool Completed = false;
  std::uint8_t ScsiStatus = 0;  // the drive's status, when Completed
  // The status byte the drive object keeps and shows: the SCSI status, except
  // under ASPI, where it is the request's SRB_Status.
  std::uint8_t Status = 0;
  std::uint8_t Sense[kSenseCapacity] = {};  // the sense data as it came back
  std::uint8_t SenseLength = 0;             // how many bytes of it came back
  // The bytes of the data phase that did not move, where the system says
  // (SG_IO resid, pass-through DataTransferLength); not known under ASPI.
  bool ResidualKnown = false;
  std::uint32_t Residual = 0;
  std::uint32_t OsError = 0;  // the system's error, 0 when it reported none

  // A completed request with this status and no sense data, as SG_IO and
  // pass-through report it.
  static CommandResult WithStatus(std::uint8_t status) {
    CommandResult result;
    result.Completed = true;
    result.ScsiStatus = status;
    result.Status = status;
    return result;
  }
  // A request that failed below the drive with this system error.
  static CommandResult Failed(std::uint32_t error) {
    CommandResult result;
    result.OsError = error;
    return result;
  }
  void SetSense(const std::uint8_t* data, std::size_t length) {
    SenseLength = static_cast<std::uint8_t>(length < kSenseCapacity ? length : kSenseCapacity);
    for (std::size_t i = 0; i < SenseLength; ++i) Sense[i] = data[i];
  }
};

// How the drive unit judged a command: it succeeded, or why it did not.
enum class CommandOutcome : std::uint8_t {
  Good,       // completed, and any valid sense data has a sense key byte of 0
  Sense,      // CHECK CONDITION (or GOOD) with valid sense data whose key byte is not 0
  NoSense,    // CHECK CONDITION without valid sense data: nothing says it ran
  Status,     // another SCSI status: BUSY, RESERVATION CONFLICT, TASK SET FULL, ...
  ShortRead,  // a read that must bring every byte brought fewer than asked
  Transport,  // the request did not complete: system, adapter or driver failure
};

struct OpenResult {
  DeviceHandle Handle = kNoDevice;
  std::uint32_t Error = 0;  // the system's error when the open failed
  std::string Path;         // the device path, for the message
};

// What the user reads when a drive another program (or another copy of this
// one at work on it) holds is met while the drives are listed; name as the
// platform names the drive.
inline std::string DriveInUseText(const std::string& name) {
  return "Drive " + name +
         " is in use by another program, or by another copy of this one. Nothing was sent to it; try again "
         "when that program has finished.";
}

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
  // The system's words for a command that failed below the drive without sense
  // data, shown after the drive's sense text; "" where the sense text says all.
  virtual std::string CommandErrorText(std::uint32_t) { return {}; }
  // What the user can do when the system refused access to a drive: opening it,
  // or a command on it, failed with this error. One message, given once per drive
  // in a run; "" when there is nothing to say or it was said.
  virtual std::string AccessAdvice(const DriveAddress&, std::uint32_t) { return {}; }

  // Takes the drive for an update, from its first drive command to its refreshed
  // drive line, through the system alone (no command reaches the drive): other
  // programs, another copy of this one and the system's own media polling are
  // kept off it where the system allows. The handle may be replaced by one that
  // holds the drive. Refused: another program holds the drive, with the system's
  // words; nothing was sent. What the system does not allow is said on the
  // standard error stream, and the update goes on.
  struct Claim {
    bool Refused = false;
    std::string Reason;
  };
  virtual Claim ClaimDrive(DeviceHandle& /*handle*/, const DriveAddress& /*address*/) { return {}; }
  // Gives back what ClaimDrive took, the handle again an ordinary one.
  virtual void ReleaseDrive(DeviceHandle& /*handle*/, const DriveAddress& /*address*/) {}

  // The system's number for a device I/O error. A command that fails although the
  // system reported no error (a BUSY status, a CHECK CONDITION without sense, a
  // short read) is given it, so that its sense text never reads as a success.
  virtual std::uint32_t DeviceError() const = 0;
};
