// Unit Cddrive: one optical drive and the state all drives share.
#pragma once

#include <cstdint>
#include <string>

#include "device/Transport.h"

class TCdDrive {
 public:
  TCdDrive(char DriveLetter, std::uint8_t HaId, std::uint8_t Target, std::uint8_t Lun,
           std::string Locator = {});
  ~TCdDrive();
  TCdDrive(const TCdDrive&) = delete;
  TCdDrive& operator=(const TCdDrive&) = delete;

  bool OpenDevice();
  bool Inquiry();
  // WholeReply: the caller uses every byte read (CommandRequest::WholeReply).
  bool ExecuteCommand(std::uint8_t Cdb0, std::uint8_t Cdb1, std::uint8_t Cdb2, std::uint8_t Cdb3,
                      std::uint8_t Cdb4, std::uint8_t Cdb5, std::uint8_t Cdb6, std::uint8_t Cdb7,
                      std::uint8_t Cdb8, std::uint8_t Cdb9, std::uint8_t Cdb10, std::uint8_t Cdb11,
                      std::uint8_t DataIn, std::uint32_t Length, bool WholeReply = false);
  bool SenseIs(std::uint8_t Key, std::uint8_t Code, std::uint8_t Qualifier) const;
  std::string SenseText() const;
  void ShowSenseCode();
  // After a failure's messages: the system's advice on gaining access to the
  // drive, when it refused it and has not said so before.
  void ShowAccessAdvice();
  std::string GetDriveText();
  std::string GetVendorProduct() const;
  std::string GetRevision() const;
  void SetTimeout(std::uint16_t Seconds);
  std::uint8_t GetInitStatus() const;
  std::uint8_t* GetBuffer() const;
  void SetBuffer(std::uint8_t* Buffer, std::uint32_t Size);

  // The drive taken for an update and given back (Transport::ClaimDrive); false
  // with the system's words when another program holds it.
  bool Claim(std::string& Reason);
  void Release();
  // How the messages name the drive: its device or its letter.
  std::string Name() const;

  // A probe that failed is released without the destruction steps: it was never
  // counted as open and holds nothing.
  void ReleaseWithoutDestruction();

  // Fields, in the unit's order.
  char DriveLetter = ' ';
  std::uint8_t HaId = 0;
  std::uint8_t Target = 0;
  std::uint8_t Lun = 0;
  std::uint8_t SenseKey = 0;  // sense byte 2, whole
  std::uint8_t Asc = 0;       // sense byte 12
  std::uint8_t Ascq = 0;      // sense byte 13
  std::uint8_t Status = 0;
  bool RequestAccepted = false;                   // the latest request completed as a request
  CommandOutcome Outcome = CommandOutcome::Good;  // how the latest command was judged
  DeviceHandle Handle = kNoDevice;
  std::uint32_t LastError = 0;
  std::string SystemText;  // the system's words on the latest command's failure, if any
  std::string DriveText;
  std::string Locator;

 private:
  // The transport this drive was constructed on; it closes the drive too.
  Transport* transport_ = nullptr;
  DriveAddress address_;
  bool destructionSteps_ = true;
};

// The unit-wide state of Cddrive.
namespace Cddrive {

constexpr std::uint32_t kDefaultBufferSize = 2352;

// The platform's transport; the program installs one before any drive exists.
void InstallTransport(Transport* transport);
Transport* InstalledTransport();
// Where the unit shows its messages; the window installs one. Without one the
// messages are composed but not shown.
void SetMessageSink(MessageSink* sink);
// What every command waits in; the window installs one. Without one a command runs
// straight on the caller's thread.
void SetCommandRunner(CommandRunner* runner);

struct UnitState {
  bool UseSpti = false;  // informational; the transport decides
  std::uint16_t OpenCount = 0;
  std::uint16_t Timeout = 60;
  bool ShowErrors = false;
  std::uint8_t InitStatus = dsNoDevice;
  std::uint8_t* Buffer = nullptr;
  std::uint32_t BufferSize = 0;
  bool InquiryInProgress = false;
  // The drive's adapter moves the data straight to and from these buffers, and
  // the system refuses a buffer that is not aligned as the adapter asks (word
  // alignment or more for ATAPI adapters): both start on a 16-byte boundary.
  alignas(16) std::uint8_t DefaultBuffer[kDefaultBufferSize] = {};
  alignas(16) std::uint8_t InquiryBuffer[256] = {};
  std::string MessageText;
  // The system's error of the latest open or command, as the transport reported
  // it; ShowSenseCode takes it into the drive's LastError.
  std::uint32_t LastOsError = 0;
};

UnitState& Unit();
// Back to the state at process start (tests). Keeps the installed transport and sink.
void ResetUnit();

}  // namespace Cddrive
