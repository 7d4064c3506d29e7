// Whether the Qt window can open here, and on which platform. QApplication
// aborts the process when its platform cannot connect to a display, so the
// display is tried first and the program falls back to the terminal face.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QtToolkit;

struct DisplayEnvironment {
  std::string QpaPlatform;     // QT_QPA_PLATFORM
  std::string Display;         // DISPLAY
  std::string WaylandDisplay;  // WAYLAND_DISPLAY
  std::string RuntimeDir;      // XDG_RUNTIME_DIR
};

// The probes of a display server say why they fail in `why`.
struct DisplayProbes {
  std::function<bool(const std::string& display, std::string& why)> X11;  // an X server accepts a connection
  std::function<bool(const std::string& socketPath, std::string& why)> Wayland;  // a compositor listens
  std::function<bool(const std::string& platform)> HasPlugin;  // Qt's platform plugin is installed
};

// No value: no display can be opened; Qt's offscreen and minimal platforms, which
// show nobody a window, count as none. Then `why`, when given, says why for each
// platform tried ("display :1: no X server accepts the connection"), separated by
// "; ". "": QT_QPA_PLATFORM names a platform that can start; it is kept as it
// stands. Otherwise the platforms to give Qt in order of preference, separated by
// ';' ("wayland;xcb", "xcb"), with QT_QPA_PLATFORM's entries that show nothing
// left out.
std::optional<std::string> ChooseQtPlatform(const DisplayEnvironment& environment,
                                            const DisplayProbes& probes, std::string* why = nullptr);

// Where a Wayland compositor named by WAYLAND_DISPLAY listens; "" when unknown.
std::string WaylandSocketPath(const DisplayEnvironment& environment);

DisplayEnvironment CurrentDisplayEnvironment();
DisplayProbes SystemDisplayProbes();
bool CanConnectX11(const std::string& display, std::string* why = nullptr);
bool CanConnectUnixSocket(const std::string& path, std::string* why = nullptr);

// The Qt face on the chosen platform, or null when no display can be opened, with
// the reason in `why`. Qt sees no command-line arguments: argv0 alone, the path
// the program was started with (it must outlive the toolkit).
std::unique_ptr<QtToolkit> OpenQtToolkit(char* argv0, std::string& why);
