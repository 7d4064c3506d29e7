#include "toolkit/qt/QtDisplay.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QLibraryInfo>
#include <QString>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <vector>

#include "toolkit/qt/QtToolkit.h"

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  for (std::string part; std::getline(stream, part, separator);) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// A platform entry may carry options after a colon ("vnc:size=800x600"); Qt
// matches the name without regard to case.
std::string PlatformName(const std::string& entry) {
  std::string name = entry.substr(0, entry.find(':'));
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

// Platforms that draw where nobody can see: a window there would wait for ever
// for answers nobody can give.
bool ShowsNothing(const std::string& name) {
  return name == "offscreen" || name == "minimal";
}

// Whether the platform can start; when it cannot, why is added to `why`.
bool PlatformCanStart(const std::string& name, const DisplayEnvironment& environment,
                      const DisplayProbes& probes, std::string& why) {
  std::string reason;
  if (!probes.HasPlugin(name)) {
    reason = "Qt has no platform plugin \"" + name + "\"";
  } else if (name == "xcb") {
    if (!environment.Display.empty() && probes.X11(environment.Display, reason)) return true;
    reason =
        environment.Display.empty() ? "DISPLAY is not set" : "display " + environment.Display + ": " + reason;
  } else if (name.rfind("wayland", 0) == 0) {
    const std::string socket = WaylandSocketPath(environment);
    if (!socket.empty() && probes.Wayland(socket, reason)) return true;
    reason = environment.WaylandDisplay.empty() ? "WAYLAND_DISPLAY is not set"
             : socket.empty()                   ? "XDG_RUNTIME_DIR is not set"
                                                : "Wayland display " + socket + ": " + reason;
  } else {
    return true;  // vnc, linuxfb, eglfs: no display server to reach
  }
  why += (why.empty() ? "" : "; ") + reason;
  return false;
}

bool PluginInDirectory(const std::filesystem::path& directory, const std::string& name) {
  const std::string prefix = "libq" + name;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    const std::string file = entry.path().filename().string();
    if (file.rfind(prefix, 0) == 0 && file.find(".so") != std::string::npos) return true;
  }
  return false;
}

bool HasPlatformPlugin(const std::string& name) {
  std::vector<std::filesystem::path> directories;
  const std::string platformPath = Environment("QT_QPA_PLATFORM_PLUGIN_PATH");
  if (!platformPath.empty()) directories.emplace_back(platformPath);
  for (const std::string& path : Split(Environment("QT_PLUGIN_PATH"), ':')) {
    directories.push_back(std::filesystem::path(path) / "platforms");
  }
  const QString installed = QLibraryInfo::path(QLibraryInfo::PluginsPath);
  directories.push_back(std::filesystem::path(installed.toStdString()) / "platforms");
  for (const auto& directory : directories) {
    if (PluginInDirectory(directory, name)) return true;
  }
  return false;
}

}  // namespace

std::string WaylandSocketPath(const DisplayEnvironment& environment) {
  const std::string& display = environment.WaylandDisplay;
  if (display.empty()) return {};
  if (display.front() == '/') return display;
  if (environment.RuntimeDir.empty()) return {};
  return environment.RuntimeDir + "/" + display;
}

std::optional<std::string> ChooseQtPlatform(const DisplayEnvironment& environment,
                                            const DisplayProbes& probes, std::string* why) {
  std::string reasons;
  const auto none = [&](const char* otherwise) -> std::optional<std::string> {
    if (why != nullptr) *why = reasons.empty() ? otherwise : reasons;
    return std::nullopt;
  };
  if (!environment.QpaPlatform.empty()) {
    // Qt tries the listed platforms in order: one that can start is enough.
    // Those that show nothing are left out, and are no display on their own.
    std::string shown;
    bool leftOut = false, canStart = false;
    for (const std::string& entry : Split(environment.QpaPlatform, ';')) {
      const std::string name = PlatformName(entry);
      if (ShowsNothing(name)) {
        leftOut = true;
        continue;
      }
      canStart = canStart || PlatformCanStart(name, environment, probes, reasons);
      if (!shown.empty()) shown += ';';
      shown += entry;
    }
    if (!canStart) return none("QT_QPA_PLATFORM names no platform that shows a window");
    return leftOut ? shown : std::string();
  }
  std::string platforms;
  for (const char* name : {"wayland", "xcb"}) {
    const bool named =
        std::strcmp(name, "xcb") == 0 ? !environment.Display.empty() : !environment.WaylandDisplay.empty();
    if (!named || !PlatformCanStart(name, environment, probes, reasons)) continue;
    if (!platforms.empty()) platforms += ';';
    platforms += name;
  }
  if (platforms.empty()) return none("neither DISPLAY nor WAYLAND_DISPLAY is set");
  return platforms;
}

DisplayEnvironment CurrentDisplayEnvironment() {
  return {Environment("QT_QPA_PLATFORM"), Environment("DISPLAY"), Environment("WAYLAND_DISPLAY"),
          Environment("XDG_RUNTIME_DIR")};
}

namespace {

// What an xcb connection's error means.
std::string X11Failure(int error) {
  switch (error) {
    case XCB_CONN_ERROR:
      return "no X server accepts the connection";
    case XCB_CONN_CLOSED_PARSE_ERR:
      return "not a display name";
    case XCB_CONN_CLOSED_INVALID_SCREEN:
      return "the X server has no such screen";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
      return "out of memory";
    default:
      return "the X server closed the connection (xcb error " + std::to_string(error) + ")";
  }
}

// Connections to X servers kept open until Qt holds its own. An X server whose
// last client leaves resets itself, and a connection attempted during the reset
// fails: Qt connecting just after the check left would abort the program.
class HeldX11Connections {
 public:
  HeldX11Connections() = default;
  HeldX11Connections(const HeldX11Connections&) = delete;
  HeldX11Connections& operator=(const HeldX11Connections&) = delete;
  ~HeldX11Connections() {
    for (xcb_connection_t* connection : connections_) xcb_disconnect(connection);
  }
  bool Connect(const std::string& display, std::string* why) {
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    if (const int error = xcb_connection_has_error(connection); error != 0) {
      xcb_disconnect(connection);  // also frees a connection in error
      if (why != nullptr) *why = X11Failure(error);
      return false;
    }
    connections_.push_back(connection);
    return true;
  }

 private:
  std::vector<xcb_connection_t*> connections_;
};

}  // namespace

bool CanConnectX11(const std::string& display, std::string* why) {
  return HeldX11Connections().Connect(display, why);
}

bool CanConnectUnixSocket(const std::string& path, std::string* why) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const auto failed = [why](const std::string& reason) {
    if (why != nullptr) *why = reason;
    return false;
  };
  if (path.empty() || path.size() >= sizeof(address.sun_path)) return failed("not a socket's path");
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed(std::strerror(errno));
  const bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  const int error = errno;
  close(fd);
  return connected || failed(std::strerror(error));
}

DisplayProbes SystemDisplayProbes() {
  return {[](const std::string& display, std::string& why) { return CanConnectX11(display, &why); },
          [](const std::string& path, std::string& why) { return CanConnectUnixSocket(path, &why); },
          HasPlatformPlugin};
}

std::unique_ptr<QtToolkit> OpenQtToolkit(char* argv0, std::string& why) {
  HeldX11Connections held;  // until Qt has connected
  DisplayProbes probes = SystemDisplayProbes();
  probes.X11 = [&held](const std::string& display, std::string& reason) {
    return held.Connect(display, &reason);
  };
  const std::optional<std::string> platform = ChooseQtPlatform(CurrentDisplayEnvironment(), probes, &why);
  if (!platform) return nullptr;
  // Only what was found to work, so Qt never gives up on a display it cannot reach.
  if (!platform->empty()) setenv("QT_QPA_PLATFORM", platform->c_str(), 1);
  static int argc = 1;
  static char* argv[] = {argv0, nullptr};
  return std::make_unique<QtToolkit>(argc, argv);
}
