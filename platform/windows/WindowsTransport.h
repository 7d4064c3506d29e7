// The transport of the Windows program: pass-through on the NT platform, ASPI on
// any other, chosen from the system's version whenever the drive units set the
// transport up (while no drive is open) and when they enumerate.
#pragma once

#include <memory>

#include "device/Transport.h"
#include "platform/windows/Aspi.h"
#include "platform/windows/PassThrough.h"

// The size GetVersionExA is told its record has.
constexpr DWORD kVersionInfoSize = 148;
static_assert(sizeof(OSVERSIONINFOA) == kVersionInfoSize);

// True when the system reports the NT platform (platform id 2).
bool SystemIsNt();

class WindowsTransport : public Transport {
 public:
  WindowsTransport();
  WindowsTransport(std::unique_ptr<Transport> passThrough, std::unique_ptr<Transport> aspi);

  std::uint8_t Setup(MessageSink& sink) override;
  bool OpensDevices() const override { return active_->OpensDevices(); }
  void ReleaseLayer() override { active_->ReleaseLayer(); }
  std::vector<DriveAddress> Enumerate() override;
  OpenResult Open(const DriveAddress& address) override { return active_->Open(address); }
  void Close(DeviceHandle handle) override { active_->Close(handle); }
  CommandResult Execute(DeviceHandle handle, const DriveAddress& address,
                        const CommandRequest& request) override {
    return active_->Execute(handle, address, request);
  }
  std::string ErrorText(std::uint32_t error) override { return active_->ErrorText(error); }
  std::string AccessAdvice(const DriveAddress& address, std::uint32_t error) override {
    return active_->AccessAdvice(address, error);
  }
  Claim ClaimDrive(DeviceHandle& handle, const DriveAddress& address) override {
    return active_->ClaimDrive(handle, address);
  }
  void ReleaseDrive(DeviceHandle& handle, const DriveAddress& address) override {
    active_->ReleaseDrive(handle, address);
  }
  std::uint32_t DeviceError() const override { return active_->DeviceError(); }

  // True while pass-through is the transport in use.
  bool UsesPassThrough() const { return active_ == passThrough_.get(); }

 private:
  void Choose();

  std::unique_ptr<Transport> passThrough_;
  std::unique_ptr<Transport> aspi_;
  Transport* active_;
};
