// What an update asks of the system around the program, never of the drive: the
// machine's power before the update begins, and the machine kept from sleeping,
// shutting down and ending the session while it runs. The drive itself is taken
// for the update through its transport (Transport::Claim).
#pragma once

#include <memory>
#include <string>

// The machine's power as the system reports it.
struct PowerReading {
  enum class Supply { Unknown, Mains, Battery };
  Supply Source = Supply::Unknown;
  int Percent = -1;  // the batteries' charge, 0 to 100; -1 when the system cannot tell
};

// An update does not begin on battery below this charge.
constexpr int kLowestBatteryPercent = 25;

// True when the reading stops an update before its first drive command: running
// on battery, with a known charge below kLowestBatteryPercent. Mains, an unknown
// source or an unknown charge let it go on.
bool PowerTooLowToUpdate(const PowerReading& reading);
// The error box's text for such a reading.
std::string LowPowerText(const PowerReading& reading);

class SystemGuard {
 public:
  virtual ~SystemGuard() = default;
  // Read when the user has confirmed an update.
  virtual PowerReading ReadPower() = 0;
  // From the first drive command of an update to its refreshed drive line: keeps
  // the machine from sleeping, shutting down and ending the session, where the
  // system lets a program ask. A system that cannot be asked gets one line on
  // the standard error stream, and the update goes on. Calls do not nest.
  virtual void HoldOff() = 0;
  virtual void Release() = 0;
};

// The guard the program installed; until then one that reads an unknown power
// source and holds nothing.
void InstallSystemGuard(SystemGuard* guard);
SystemGuard& InstalledSystemGuard();
