// The system around an update on Linux: the power supplies the kernel lists,
// and logind asked to hold off sleep, shutdown and idle.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/Platform.h"

namespace {

// The tree is read as any input from outside: a bounded number of entries, short
// values, and numbers of digits only.
constexpr int kMostSupplies = 64;
constexpr std::size_t kLongestValue = 32;
constexpr std::size_t kMostDigits = 12;  // 10^12 µWh or µAh: far beyond any battery

// The value of an attribute file without its line break; nothing when the file
// cannot be read, is not a regular file (a FIFO would block), is longer than any
// value, or holds control characters.
std::optional<std::string> ReadAttribute(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat status {};
  char buffer[kLongestValue + 2];
  std::size_t size = 0;
  bool readable = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  while (readable && size < sizeof buffer) {
    const ssize_t got = read(fd, buffer + size, sizeof buffer - size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) readable = false;
    if (got <= 0) break;
    size += static_cast<std::size_t>(got);
  }
  close(fd);
  if (!readable || size == sizeof buffer) return std::nullopt;
  if (size > 0 && buffer[size - 1] == '\n') --size;
  std::string value(buffer, size);
  for (const char c : value) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::nullopt;
  }
  return value;
}

std::optional<std::uint64_t> ReadNumber(const std::string& path) {
  const std::optional<std::string> text = ReadAttribute(path);
  if (!text || text->empty() || text->size() > kMostDigits) return std::nullopt;
  std::uint64_t number = 0;
  for (const char c : *text) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return number;
}

// Supplies that power the machine from outside when online: the adapter, USB
// ports and chargers, a dock's brick, a wireless charger.
bool ExternalSupply(const std::string& type) {
  return type == "Mains" || type.rfind("USB", 0) == 0 || type == "BrickID" || type == "Wireless";
}

struct Battery {
  std::optional<std::uint64_t> EnergyNow, EnergyFull, ChargeNow, ChargeFull, Capacity;
};

int Percent(std::uint64_t now, std::uint64_t full) {
  const std::uint64_t percent = (now * 100 + full / 2) / full;
  return static_cast<int>(percent > 100 ? 100 : percent);
}

// The batteries' charge together: the energies summed when every battery tells
// them, else the charges, else the mean of the percentages the batteries tell.
int CombinedPercent(const std::vector<Battery>& batteries) {
  if (batteries.empty()) return -1;
  for (const auto& pair : {std::pair(&Battery::EnergyNow, &Battery::EnergyFull),
                           std::pair(&Battery::ChargeNow, &Battery::ChargeFull)}) {
    std::uint64_t now = 0, full = 0;
    bool all = true;
    for (const Battery& battery : batteries) {
      const auto& batteryNow = battery.*pair.first;
      const auto& batteryFull = battery.*pair.second;
      all = all && batteryNow && batteryFull && *batteryFull > 0;
      if (!all) break;
      now += *batteryNow;
      full += *batteryFull;
    }
    if (all) return Percent(now, full);
  }
  std::uint64_t sum = 0;
  int known = 0;
  for (const Battery& battery : batteries) {
    if (!battery.Capacity || *battery.Capacity > 100) continue;
    sum += *battery.Capacity;
    ++known;
  }
  return known > 0 ? static_cast<int>((sum + static_cast<std::uint64_t>(known) / 2) / known) : -1;
}

class LinuxSystemGuard : public SystemGuard {
 public:
  PowerReading ReadPower() override { return ReadLinuxPower(); }
  void HoldOff() override {}
  void Release() override {}
};

}  // namespace

PowerReading ReadLinuxPower(const std::string& root) {
  DIR* directory = opendir(root.c_str());
  if (directory == nullptr) return {};
  std::vector<Battery> batteries;
  bool external = false;
  int seen = 0;
  while (const dirent* entry = readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    if (++seen > kMostSupplies) break;
    const std::string supply = root + "/" + entry->d_name + "/";
    const std::optional<std::string> type = ReadAttribute(supply + "type");
    if (!type) continue;
    if (ExternalSupply(*type)) {
      // 1: online, 2: online and programmable.
      const std::optional<std::uint64_t> online = ReadNumber(supply + "online");
      external = external || (online && *online > 0);
      continue;
    }
    // A mouse's or a keyboard's battery does not power the machine; nor does a
    // battery taken out.
    if (*type != "Battery" || ReadAttribute(supply + "scope") == "Device" ||
        ReadAttribute(supply + "present") == "0") {
      continue;
    }
    const std::optional<std::string> status = ReadAttribute(supply + "status");
    external = external || status == "Charging" || status == "Full";
    batteries.push_back({ReadNumber(supply + "energy_now"), ReadNumber(supply + "energy_full"),
                         ReadNumber(supply + "charge_now"), ReadNumber(supply + "charge_full"),
                         ReadNumber(supply + "capacity")});
  }
  closedir(directory);
  const int percent = CombinedPercent(batteries);
  if (external) return {PowerReading::Supply::Mains, percent};
  if (!batteries.empty()) return {PowerReading::Supply::Battery, percent};
  return {};
}

std::unique_ptr<SystemGuard> MakeLinuxSystemGuard() {
  return std::make_unique<LinuxSystemGuard>();
}
