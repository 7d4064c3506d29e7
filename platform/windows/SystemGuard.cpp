// The system around an update on Windows: the power status, and the machine
// kept awake while the update runs. Windows 98 and 2000 and later have both calls
// (Windows 95 and NT 4 only the first, and the program does not run there).
#include <iostream>

#include "platform/windows/Platform.h"
#include "platform/windows/WinSystem.h"

namespace {

// GetSystemPowerStatus: ACLineStatus 0 offline, 1 online, 255 unknown;
// BatteryLifePercent 0 to 100, 255 unknown; BatteryFlag 128 no system battery,
// 255 unknown.
constexpr BYTE kUnknown = 255;
constexpr BYTE kNoSystemBattery = 128;

class WindowsSystemGuard : public SystemGuard {
 public:
  PowerReading ReadPower() override {
    SYSTEM_POWER_STATUS status = {};
    if (System().GetSystemPowerStatus(&status) == FALSE) return {};
    PowerReading reading;
    if (status.BatteryLifePercent <= 100) reading.Percent = status.BatteryLifePercent;
    if (status.BatteryFlag != kUnknown && (status.BatteryFlag & kNoSystemBattery) != 0) {
      // A machine without a battery runs on mains, whatever the line status says.
      reading.Source = PowerReading::Supply::Mains;
    } else if (status.ACLineStatus == 1) {
      reading.Source = PowerReading::Supply::Mains;
    } else if (status.ACLineStatus == 0) {
      reading.Source = PowerReading::Supply::Battery;
    }
    return reading;
  }

  // The system counts the update's thread as busy: it neither sleeps on its idle
  // timer nor, on Windows 98 to XP, suspends without asking the window first.
  void HoldOff() override {
    if (System().SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) == 0) {
      std::cerr << "The system refused to stay awake during the update (SetThreadExecutionState failed); "
                   "the update goes on.\n";
    }
  }
  void Release() override { System().SetThreadExecutionState(ES_CONTINUOUS); }
};

}  // namespace

std::unique_ptr<SystemGuard> MakeWindowsSystemGuard() {
  return std::make_unique<WindowsSystemGuard>();
}
