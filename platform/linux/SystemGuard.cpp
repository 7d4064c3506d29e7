// The system around an update on Linux: the power supplies the kernel lists,
// and logind asked to hold off sleep, shutdown, idle and the lid switch.
//
// logind is reached through libsystemd's sd-bus, loaded when an update begins:
// the program needs nothing beyond the C library and the C++ runtime at start,
// and a rescue system without libsystemd, a system bus or logind still updates.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/Text.h"
#include "platform/linux/Platform.h"

namespace {

// ---- The power supplies ----

// The tree is read as any input from outside: a bounded number of entries, short
// values, and numbers of digits only.
constexpr int kMostSupplies = 64;
constexpr std::size_t kLongestValue = 32;
constexpr std::size_t kMostDigits = 12;  // 10^12 µWh or µAh: far beyond any battery

// The value of an attribute file without its line break; nothing when the file
// cannot be read, is not a regular file (a FIFO would block), is longer than any
// value, or holds control characters.
std::optional<std::string> ReadAttribute(const std::string& path) {
  std::string value;
  int error = 0;
  if (!ReadSmallFile(path, kLongestValue + 1, value, error)) return std::nullopt;
  if (!value.empty() && value.back() == '\n') value.pop_back();
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

// ---- logind through sd-bus ----

// The few parts of sd-bus the inhibitor needs, as libsystemd.so.0 exports them.
struct SdBus;
struct SdBusMessage;
struct SdBusError {
  const char* Name;
  const char* Message;
  int NeedFree;
};
using OpenSystemFn = int (*)(SdBus**);
using SetTimeoutFn = int (*)(SdBus*, std::uint64_t);
using CallMethodFn = int (*)(SdBus*, const char*, const char*, const char*, const char*, SdBusError*,
                             SdBusMessage**, const char*, ...);
using MessageReadFn = int (*)(SdBusMessage*, const char*, ...);
using MessageUnrefFn = SdBusMessage* (*)(SdBusMessage*);
using ErrorFreeFn = void (*)(SdBusError*);
using CloseUnrefFn = SdBus* (*)(SdBus*);

struct SdBusLibrary {
  OpenSystemFn OpenSystem = nullptr;
  SetTimeoutFn SetTimeout = nullptr;  // systemd 240 and later; else sd-bus's 25 s
  CallMethodFn CallMethod = nullptr;
  MessageReadFn MessageRead = nullptr;
  MessageUnrefFn MessageUnref = nullptr;
  ErrorFreeFn ErrorFree = nullptr;
  CloseUnrefFn CloseUnref = nullptr;
};

template <typename Fn>
bool Find(void* library, const char* name, Fn& fn, std::string& error) {
  dlerror();
  fn = reinterpret_cast<Fn>(dlsym(library, name));
  if (fn == nullptr) error = std::string("libsystemd.so.0 has no ") + name;
  return fn != nullptr;
}

// Loaded once and kept for the process's life: unloading libsystemd is not safe.
const SdBusLibrary* LoadSdBus(std::string& error) {
  static SdBusLibrary sdBus;
  static std::string failure;
  static const bool loaded = [] {
    void* library = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      const char* reason = dlerror();
      failure = reason != nullptr ? reason : "libsystemd.so.0 cannot be loaded";
      return false;
    }
    Find(library, "sd_bus_set_method_call_timeout", sdBus.SetTimeout, failure);
    failure.clear();
    return Find(library, "sd_bus_open_system", sdBus.OpenSystem, failure) &&
           Find(library, "sd_bus_call_method", sdBus.CallMethod, failure) &&
           Find(library, "sd_bus_message_read", sdBus.MessageRead, failure) &&
           Find(library, "sd_bus_message_unref", sdBus.MessageUnref, failure) &&
           Find(library, "sd_bus_error_free", sdBus.ErrorFree, failure) &&
           Find(library, "sd_bus_flush_close_unref", sdBus.CloseUnref, failure);
  }();
  error = failure;
  return loaded ? &sdBus : nullptr;
}

// Errors of the bus itself, not of logind: logind was not reached.
bool NotReached(const std::string& name) {
  static const char* const kBusErrors[] = {"ServiceUnknown", "NameHasNoOwner",   "NoReply",      "Timeout",
                                           "TimedOut",       "Disconnected",     "NoServer",     "NoNetwork",
                                           "UnknownMethod",  "UnknownInterface", "UnknownObject"};
  const std::string prefix = "org.freedesktop.DBus.Error.";
  if (name.rfind("System.Error.", 0) == 0 || name.rfind(prefix + "Spawn.", 0) == 0) return true;
  if (name.rfind(prefix, 0) != 0) return false;
  for (const char* error : kBusErrors) {
    if (name.compare(prefix.size(), std::string::npos, error) == 0) return true;
  }
  return false;
}

// A text from the bus, shown on one line and never at length.
std::string ShownReason(const char* text) {
  std::string reason = EscapedText(text != nullptr ? text : "");
  if (reason.size() > 200) reason = reason.substr(0, 200) + "...";
  return reason;
}

// The name logind lists as the inhibitor's owner: the program's file name, in
// printable characters.
std::string InhibitorOwner(const std::string& programName) {
  std::string who = programName.substr(0, 64);
  for (char& c : who) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  }
  return who.empty() ? "flashutil" : who;
}

class LinuxSystemGuard : public SystemGuard {
 public:
  explicit LinuxSystemGuard(const std::string& who) : who_(InhibitorOwner(who)) {}
  ~LinuxSystemGuard() override { Release(); }
  LinuxSystemGuard(const LinuxSystemGuard&) = delete;
  LinuxSystemGuard& operator=(const LinuxSystemGuard&) = delete;

  PowerReading ReadPower() override { return ReadLinuxPower(); }

  void HoldOff() override {
    if (inhibitor_ >= 0) return;
    std::string reason;
    bool refused = false;
    inhibitor_ = Inhibit(reason, refused);
    if (inhibitor_ >= 0) return;
    std::cerr << (refused ? "The system refused to stay awake during the update ("
                          : "The system could not be asked to stay awake during the update (") +
                     reason + "); the update goes on.\n";
  }

  // logind ends the inhibitor when its descriptor is closed.
  void Release() override {
    if (inhibitor_ < 0) return;
    close(inhibitor_);
    inhibitor_ = -1;
  }

 private:
  // logind's Inhibit on the system bus: the descriptor that holds the inhibitor,
  // or -1 with the reason, refused telling that logind itself said no.
  int Inhibit(std::string& reason, bool& refused) const {
    const SdBusLibrary* sdBus = LoadSdBus(reason);
    if (sdBus == nullptr) return -1;
    SdBus* bus = nullptr;
    int result = sdBus->OpenSystem(&bus);
    if (result < 0) {
      reason = std::string("the system bus: ") + std::strerror(-result);
      return -1;
    }
    if (sdBus->SetTimeout != nullptr) sdBus->SetTimeout(bus, 10'000'000);
    SdBusError error{nullptr, nullptr, 0};
    SdBusMessage* reply = nullptr;
    result = sdBus->CallMethod(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss",
                               "sleep:shutdown:idle:handle-lid-switch", who_.c_str(),
                               "Firmware update in progress, do not turn off", "block");
    int held = -1;
    if (result < 0) {
      const std::string name = error.Name != nullptr ? error.Name : "";
      refused = !name.empty() && !NotReached(name);
      reason = error.Message != nullptr && *error.Message != '\0' ? ShownReason(error.Message)
               : !name.empty()                                    ? ShownReason(error.Name)
                                                                  : std::strerror(-result);
    } else {
      // The descriptor belongs to the reply: a copy of it outlives the reply.
      int fd = -1;
      result = sdBus->MessageRead(reply, "h", &fd);
      if (result > 0 && fd >= 0) held = fcntl(fd, F_DUPFD_CLOEXEC, 3);
      if (held < 0) {
        reason = result > 0 ? std::string("keeping logind's descriptor: ") + std::strerror(errno)
                            : "logind's reply holds no descriptor";
      }
    }
    if (reply != nullptr) sdBus->MessageUnref(reply);
    sdBus->ErrorFree(&error);
    sdBus->CloseUnref(bus);
    return held;
  }

  std::string who_;
  int inhibitor_ = -1;
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

std::unique_ptr<SystemGuard> MakeLinuxSystemGuard(const std::string& who) {
  return std::make_unique<LinuxSystemGuard>(who);
}
