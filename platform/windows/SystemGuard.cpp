// The system around an update on Windows: the power status, and the machine
// kept awake while the update runs.
#include "platform/windows/Platform.h"

namespace {

class WindowsSystemGuard : public SystemGuard {
 public:
  PowerReading ReadPower() override { return {}; }
  void HoldOff() override {}
  void Release() override {}
};

}  // namespace

std::unique_ptr<SystemGuard> MakeWindowsSystemGuard() {
  return std::make_unique<WindowsSystemGuard>();
}
