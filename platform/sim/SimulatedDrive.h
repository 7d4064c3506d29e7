// A simulated optical drive of this family, and a transport made of such drives.
// It answers the standard commands the program sends (INQUIRY, TEST UNIT READY,
// STOP PLAY/SCAN, START STOP UNIT) and the vendor side of the update (buffer
// memory, Read Flash ID, profile, entry critical, commit, read back), records
// every command it receives, and can be told to fail in the ways real drives and
// transports fail.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/Transport.h"

// One injected fault. A fault hits the commands with its opcode (and, when
// Control is 0 or more, with that byte 9); it counts them and fires on the
// Occurrence-th, or on every one when Occurrence is 0. The counts start afresh
// whenever the fault list changes. When several faults fire on one command, the
// first in the list acts. CommitFailure looks only at the commit commands (WRITE
// BUFFER with control 80 or A0): its Opcode is not used. A fault never changes the
// drive's flash, except FlipReadBit on a commit, which only garbles its reply.
struct SimFault {
  enum class Kind {
    CheckCondition,    // CHECK CONDITION with the sense triple below
    TransportFailure,  // the request fails in the transport: no sense data
    Timeout,           // the command times out: no sense data
    FlipReadBit,       // one bit of the data flips: in what READ BUFFER (any data-in
                       // command) returns, or in what a WRITE BUFFER stores, so the
                       // read-back differs from what was written
    DropWrite,         // the command reports success but does nothing: stores nothing,
                       // returns nothing, programs nothing
    CommitFailure,     // the commit (WRITE BUFFER 80/A0) fails: CHECK CONDITION, flash unchanged
    Reply,             // the command does nothing and comes back with the status, sense
                       // data and residual below, as a transport would report them
    Delay,             // the command runs as usual but takes Milliseconds first
  };
  Kind What = Kind::CheckCondition;
  std::uint8_t Opcode = 0;  // the command it hits
  int Control = -1;         // WRITE BUFFER only: CDB byte 9 to match; -1 any
  int Occurrence = 0;       // the n-th matching command (1-based); 0: every one
  std::uint8_t Key = 0x04, Asc = 0x44, Ascq = 0x00;
  // Reply only: the SCSI status, the sense data as sent, and the residual (-1: none
  // reported).
  std::uint8_t Status = 0x00;
  std::array<std::uint8_t, CommandResult::kSenseCapacity> SenseData = {};
  std::uint8_t SenseLength = 0;
  int Residual = -1;
  // Delay only: how long the command takes.
  int Milliseconds = 0;
};

struct SimDriveConfig {
  std::string Name = "sim0";  // the locator; also names the drive's state file
  char Letter = 'D';
  std::uint8_t HaId = 0, Target = 0, Lun = 0;
  std::string Vendor = "QVXR";        // INQUIRY bytes 8-15, blank-padded
  std::string Product = "CRW-5224A";  // bytes 16-31, blank-padded
  std::string Revision = "1000";      // bytes 32-35
  // When not empty: the INQUIRY data as sent (short data, zero bytes, ...).
  std::vector<std::uint8_t> InquiryData;
  bool OpenFails = false;       // opening the device fails
  std::uint32_t OpenError = 2;  // ... with this error number (ENOENT)
  bool InquiryFails = false;    // INQUIRY answers CHECK CONDITION 05 24 00
  bool Held = false;            // another program holds the drive: an update cannot claim it
  int BecomingReadyPolls = 0;   // TEST UNIT READY / STOP PLAY/SCAN answer 02 04 01 this often; -1 forever
  std::uint8_t FlashManufacturer = 0xBF, FlashDevice = 0xD6;
  std::uint8_t Variant[2] = {0x00, 0x01};
  std::vector<SimFault> Faults;
  // Where the simulated-drive build keeps this drive's state; a drive keeps it
  // only once UseStateFile is called (the program does, unit tests need not).
  std::string StateFile;
};

// Error numbers the simulated transport reports, the same on every system.
namespace SimError {
constexpr std::uint32_t kNoEntry = 2;     // ENOENT
constexpr std::uint32_t kIo = 5;          // EIO: transport failure
constexpr std::uint32_t kBadHandle = 9;   // EBADF: no such open drive
constexpr std::uint32_t kAccess = 13;     // EACCES
constexpr std::uint32_t kBusy = 16;       // EBUSY: another program holds the drive
constexpr std::uint32_t kFault = 14;      // EFAULT: a data phase without a buffer
constexpr std::uint32_t kTimedOut = 110;  // ETIMEDOUT
// The fixed text for an error number; "" for numbers it does not know.
std::string Text(std::uint32_t error);
}  // namespace SimError

// The drive. Its flash starts erased (all FF), its buffer memory zeroed.
//
// The revision rule: a commit programs the flash from the first kFlashSize bytes
// of buffer memory, and the drive then looks for the ASCII tag "SIMREV=" in the
// new flash contents. At its first occurrence, when the four bytes after it are
// printable ASCII (20..7E), they become the drive's revision (Config().Revision,
// and bytes 32-35 of InquiryData when that holds 36 bytes or more), so INQUIRY
// after the commit reports it. Without the tag the revision stays.
//
// Direction and length: a command that moves data must move it the right way
// (data out for WRITE BUFFER 00 and 7F, data in for the others), and WRITE BUFFER
// 00/7F and READ BUFFER must ask the transport for exactly the length their CDB
// names; otherwise the drive answers CHECK CONDITION 05 24 00 and does nothing.
class SimulatedDrive {
 public:
  static constexpr std::uint32_t kBufferMemorySize = 0x100000;  // image at 0, profile at 0x80000
  static constexpr std::uint32_t kFlashSize = 524288;
  static constexpr std::uint32_t kFlashIdReplySize = 128;
  static constexpr std::uint32_t kCommitReplySize = 16;

  struct Received {
    std::array<std::uint8_t, 12> Cdb;
    bool DataIn;
    std::uint32_t Length;
    std::vector<std::uint8_t> Data;  // host-to-drive data as sent
    bool Claimed;                    // sent while an update held the drive
  };

  explicit SimulatedDrive(SimDriveConfig config);

  CommandResult Execute(const CommandRequest& request);
  // Whether a command with this CDB moves its data to the drive: WRITE BUFFER
  // with image or profile data. Every other command of the drive moves data from
  // it (the commit brings a short reply). For a server that must tell the way
  // from the CDB alone.
  static bool MovesDataOut(const std::uint8_t* cdb);

  SimDriveConfig& Config() { return config_; }
  const SimDriveConfig& Config() const { return config_; }
  const std::vector<Received>& Log() const { return log_; }
  void ClearLog() { log_.clear(); }
  // Commands of the log with this opcode (and control byte, for WRITE BUFFER).
  int CountCommands(std::uint8_t opcode, int control = -1) const;
  const std::vector<std::uint8_t>& Flash() const { return flash_; }
  void SetFlash(const std::vector<std::uint8_t>& contents);
  const std::vector<std::uint8_t>& BufferMemory() const { return buffer_; }
  int Commits() const { return commits_; }
  bool EnteredCritical() const { return critical_; }
  // TEST UNIT READY commands the drive has answered so far.
  int ReadyPolls() const { return readyPolls_; }
  // The sense of the latest command: zero after one that succeeded.
  std::array<std::uint8_t, 3> Sense() const { return sense_; }

  // Held for an update (the transport's claim), and how often it was claimed.
  void SetClaimed(bool claimed);
  bool Claimed() const { return claimed_; }
  int Claims() const { return claims_; }

  // Off: the log records nothing, and a command allocates nothing.
  void SetRecording(bool on) { recording_ = on; }

  // Keeps the drive's flash and revision in a file: loads it now when it exists,
  // and saves it after every commit (a commit whose state cannot be saved fails
  // with CHECK CONDITION 03 0C 00, says so on the standard error stream, and
  // leaves the flash as it was). False with a
  // reason when the file exists but is not a state file of this size.
  bool UseStateFile(const std::string& path, std::string& error);
  const std::string& StateFile() const { return stateFile_; }

 private:
  CommandResult Answer(const CommandRequest& request);
  CommandResult Good();
  CommandResult Check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);
  CommandResult RawReply(const SimFault& fault);
  CommandResult Inquiry(const CommandRequest& request);
  CommandResult ReadFlashId(const CommandRequest& request);
  CommandResult WriteBufferCommand(const CommandRequest& request);
  CommandResult ReadBufferCommand(const CommandRequest& request);
  CommandResult Commit(const CommandRequest& request);
  CommandResult RequestSense(const CommandRequest& request);
  bool BecomingReady() const;
  const SimFault* FiringFault(const CommandRequest& request);
  bool SaveState(const std::uint8_t* flash, const std::string& revision) const;
  void SetRevision(const std::string& revision);

  SimDriveConfig config_;
  std::vector<Received> log_;
  std::vector<std::uint8_t> flash_;
  std::vector<std::uint8_t> buffer_;
  int commits_ = 0;
  bool critical_ = false;
  int readyPolls_ = 0;
  std::array<std::uint8_t, 3> sense_ = {};
  std::vector<SimFault> faultsSeen_;                   // the list the counts below belong to
  std::vector<int> faultMatches_;                      // per fault: matching commands so far
  std::uint32_t replyLength_ = 0;                      // bytes the latest command returned
  std::uint32_t storedOffset_ = 0, storedLength_ = 0;  // where it stored data
  bool recording_ = true;
  bool claimed_ = false;
  int claims_ = 0;
  std::string stateFile_;
};

// A transport whose drives are simulated. Handles are the drives' positions.
class SimulatedTransport : public Transport {
 public:
  SimulatedTransport() = default;
  SimulatedDrive& Add(SimDriveConfig config);
  std::size_t Size() const { return drives_.size(); }
  SimulatedDrive& Drive(std::size_t index) { return *drives_.at(index); }
  // The drive with this name, or null.
  SimulatedDrive* Find(const std::string& name);
  // Opens that succeeded, and closes, so far.
  int Opens() const { return opens_; }
  int Closes() const { return closes_; }

  std::uint8_t Setup(MessageSink& sink) override;
  bool OpensDevices() const override { return true; }
  std::vector<DriveAddress> Enumerate() override;
  OpenResult Open(const DriveAddress& address) override;
  void Close(DeviceHandle handle) override;
  Claim ClaimDrive(DeviceHandle& handle, const DriveAddress& address) override;
  void ReleaseDrive(DeviceHandle& handle, const DriveAddress& address) override;
  CommandResult Execute(DeviceHandle handle, const DriveAddress& address,
                        const CommandRequest& request) override;
  std::string ErrorText(std::uint32_t error) override;
  std::uint32_t DeviceError() const override;

 private:
  std::vector<std::unique_ptr<SimulatedDrive>> drives_;
  std::vector<int> openCounts_;  // per drive: opens not yet closed
  int opens_ = 0;
  int closes_ = 0;
};
