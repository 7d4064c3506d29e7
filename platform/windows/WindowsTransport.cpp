#include "platform/windows/WindowsTransport.h"

#include "platform/windows/Platform.h"
#include "platform/windows/WinSystem.h"

bool SystemIsNt() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = kVersionInfoSize;
  System().GetVersionExA(&version);
  return version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

WindowsTransport::WindowsTransport()
    : WindowsTransport(std::make_unique<PassThroughTransport>(), std::make_unique<AspiTransport>()) {}

WindowsTransport::WindowsTransport(std::unique_ptr<Transport> passThrough, std::unique_ptr<Transport> aspi)
    : passThrough_(std::move(passThrough)), aspi_(std::move(aspi)), active_(passThrough_.get()) {}

void WindowsTransport::Choose() {
  active_ = SystemIsNt() ? passThrough_.get() : aspi_.get();
}

std::uint8_t WindowsTransport::Setup(MessageSink& sink) {
  Choose();
  return active_->Setup(sink);
}

std::vector<DriveAddress> WindowsTransport::Enumerate() {
  Choose();
  return active_->Enumerate();
}

std::unique_ptr<Transport> MakeWindowsTransport() {
  return std::make_unique<WindowsTransport>();
}
