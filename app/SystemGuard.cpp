#include "app/SystemGuard.h"

#include "common/Text.h"

namespace {

class NoGuard : public SystemGuard {
 public:
  PowerReading ReadPower() override { return {}; }
  void HoldOff() override {}
  void Release() override {}
};

NoGuard gNoGuard;
SystemGuard* gGuard = &gNoGuard;

}  // namespace

bool PowerTooLowToUpdate(const PowerReading& reading) {
  return reading.Source == PowerReading::Supply::Battery && reading.Percent >= 0 &&
         reading.Percent < kLowestBatteryPercent;
}

std::string LowPowerText(const PowerReading& reading) {
  return Format(
      "\nERROR:\n\nThe computer is running on its battery, which is at %d %%.\n"
      "A firmware update cut off by a flat battery ruins the drive.\n"
      "Plug in the power adapter, then choose FLASH again.\n"
      "Nothing has been sent to the drive.\n",
      reading.Percent);
}

void InstallSystemGuard(SystemGuard* guard) {
  gGuard = guard != nullptr ? guard : &gNoGuard;
}

SystemGuard& InstalledSystemGuard() {
  return *gGuard;
}
