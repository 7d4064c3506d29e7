// The system around an update on Linux: the power supplies the kernel lists,
// and logind asked to hold off sleep, shutdown and idle.
#include <string>

#include "platform/linux/Platform.h"

namespace {

class LinuxSystemGuard : public SystemGuard {
 public:
  PowerReading ReadPower() override { return ReadLinuxPower(); }
  void HoldOff() override {}
  void Release() override {}
};

}  // namespace

PowerReading ReadLinuxPower(const std::string& /*root*/) {
  return {};
}

std::unique_ptr<SystemGuard> MakeLinuxSystemGuard() {
  return std::make_unique<LinuxSystemGuard>();
}
