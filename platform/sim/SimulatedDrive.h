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

struct SimFault {
  enum class Kind {
    CheckCondition,    // CHECK CONDITION with the sense triple below
    TransportFailure,  // the request fails in the transport: no sense data
    Timeout,           // the command times out: no sense data
    FlipReadBit,       // READ BUFFER returns the data with one bit flipped
    DropWrite,         // a data-out command reports success but stores nothing
    CommitFailure,     // the commit (WRITE BUFFER 80/A0) fails: CHECK CONDITION, flash unchanged
  };
  Kind What = Kind::CheckCondition;
  std::uint8_t Opcode = 0;  // the command it hits
  int Control = -1;         // WRITE BUFFER only: CDB byte 9 to match; -1 any
  int Occurrence = 0;       // the n-th matching command (1-based); 0: every one
  std::uint8_t Key = 0x04, Asc = 0x44, Ascq = 0x00;
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
  bool OpenFails = false;      // opening the device fails
  bool InquiryFails = false;   // INQUIRY answers CHECK CONDITION 05 24 00
  int BecomingReadyPolls = 0;  // TEST UNIT READY / STOP PLAY/SCAN answer 02 04 01 this often; -1 forever
  std::uint8_t FlashManufacturer = 0xBF, FlashDevice = 0xD6;
  std::uint8_t Variant[2] = {0x00, 0x01};
  std::vector<SimFault> Faults;
};

class SimulatedDrive {
 public:
  static constexpr std::uint32_t kBufferMemorySize = 0x100000;  // image at 0, profile at 0x80000
  static constexpr std::uint32_t kFlashSize = 524288;

  struct Received {
    std::array<std::uint8_t, 12> Cdb;
    bool DataIn;
    std::uint32_t Length;
    std::vector<std::uint8_t> Data;  // host-to-drive data as sent
  };

  explicit SimulatedDrive(SimDriveConfig config);

  CommandResult Execute(const CommandRequest& request);

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

 private:
  SimDriveConfig config_;
  std::vector<Received> log_;
  std::vector<std::uint8_t> flash_;
  std::vector<std::uint8_t> buffer_;
  int commits_ = 0;
  bool critical_ = false;
  int readyPolls_ = 0;
};

// A transport whose drives are simulated. Handles are the drives' positions.
class SimulatedTransport : public Transport {
 public:
  SimulatedTransport() = default;
  SimulatedDrive& Add(SimDriveConfig config);
  std::size_t Size() const { return drives_.size(); }
  SimulatedDrive& Drive(std::size_t index) { return *drives_.at(index); }
  // Commands that reached a drive through Execute, in order, for every drive.
  int Opens() const { return opens_; }
  int Closes() const { return closes_; }

  std::uint8_t Setup(MessageSink& sink) override;
  bool OpensDevices() const override { return true; }
  std::vector<DriveAddress> Enumerate() override;
  OpenResult Open(const DriveAddress& address) override;
  void Close(DeviceHandle handle) override;
  CommandResult Execute(DeviceHandle handle, const DriveAddress& address,
                        const CommandRequest& request) override;
  std::string ErrorText(std::uint32_t error) override;

 private:
  std::vector<std::unique_ptr<SimulatedDrive>> drives_;
  int opens_ = 0;
  int closes_ = 0;
};
