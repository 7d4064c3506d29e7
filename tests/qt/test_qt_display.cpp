// Choosing the face: Qt only on a display it can really open, the terminal
// otherwise, and the program itself never aborting for want of a display.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>

#include "tests/ProgramEnvironment.h"
#include "toolkit/qt/QtDisplay.h"

namespace {

namespace fs = std::filesystem;

struct ChoiceCase {
  const char* name;
  DisplayEnvironment environment;
  std::optional<std::string> expected;
};

// The fake machine: an X server on ":0", a compositor at /run/user/1/wayland-0,
// the xcb, offscreen and minimal plugins installed and the Wayland one only where
// asked.
DisplayProbes FakeMachine(bool waylandPlugin) {
  return {[](const std::string& display) { return display == ":0"; },
          [](const std::string& socket) { return socket == "/run/user/1/wayland-0"; },
          [waylandPlugin](const std::string& platform) {
            return platform == "xcb" || platform == "offscreen" || platform == "minimal" ||
                   (waylandPlugin && platform == "wayland");
          }};
}

TEST(QtPlatformChoice, OnlyAPlatformThatCanStartIsChosen) {
  const ChoiceCase cases[] = {
      {"no display at all", {}, std::nullopt},
      {"X server there", {"", ":0", "", ""}, "xcb"},
      {"X server gone", {"", ":5", "", ""}, std::nullopt},
      {"compositor there", {"", "", "wayland-0", "/run/user/1"}, "wayland"},
      {"both, compositor first", {"", ":0", "wayland-0", "/run/user/1"}, "wayland;xcb"},
      {"compositor without a runtime dir", {"", "", "wayland-0", ""}, std::nullopt},
      {"compositor named by its path", {"", "", "/run/user/1/wayland-0", ""}, "wayland"},
      {"compositor gone, X there", {"", ":0", "wayland-1", "/run/user/1"}, "xcb"},
      {"offscreen shows nobody a window", {"offscreen", ":0", "", ""}, std::nullopt},
      {"minimal with options neither", {"minimal:enable_fonts", "", "", ""}, std::nullopt},
      {"name in capitals", {"OffScreen", "", "", ""}, std::nullopt},
      {"offscreen left out of a list", {"offscreen;xcb:nograb", ":0", "", ""}, "xcb:nograb"},
      {"offscreen left out, the rest cannot start", {"offscreen;xcb", ":5", "", ""}, std::nullopt},
      {"explicit xcb without a server", {"xcb", ":5", "", ""}, std::nullopt},
      {"explicit list, the second can start", {"wayland;xcb", ":0", "", ""}, ""},
      {"explicit platform not installed", {"eglfs", ":0", "", ""}, std::nullopt},
      {"explicit platform with options", {"xcb:nograb", ":0", "", ""}, ""},
  };
  for (const ChoiceCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ChooseQtPlatform(c.environment, FakeMachine(true)), c.expected);
  }
  // Without the Wayland plugin a compositor alone is no display Qt can use.
  EXPECT_EQ(ChooseQtPlatform({"", ":0", "wayland-0", "/run/user/1"}, FakeMachine(false)), "xcb");
  EXPECT_EQ(ChooseQtPlatform({"", "", "wayland-0", "/run/user/1"}, FakeMachine(false)), std::nullopt);
}

TEST(QtPlatformChoice, ProbesConnectForReal) {
  EXPECT_FALSE(CanConnectX11(":987"));  // no such server
  EXPECT_FALSE(CanConnectX11("not a display"));

  const fs::path socketPath = fs::temp_directory_path() / ("flash-qt-probe-" + std::to_string(getpid()));
  EXPECT_FALSE(CanConnectUnixSocket(socketPath.string()));  // nobody listens yet
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  EXPECT_TRUE(CanConnectUnixSocket(socketPath.string()));
  close(listener);
  fs::remove(socketPath);
  EXPECT_FALSE(CanConnectUnixSocket(std::string(200, 'x')));  // longer than a socket path can be
}

// The program started where no display can be opened, or on a Qt platform that
// shows nobody a window, runs in the terminal and ends normally; Qt must never be
// left to abort on a display it cannot reach. (Where Qt itself cannot be loaded:
// BuilderEndToEnd.)
TEST(QtPlatformChoice, ProgramWithoutADisplayRunsInTheTerminal) {
  const fs::path directory = fs::temp_directory_path() / ("flash-qt-nodisplay-" + std::to_string(getpid()));
  fs::create_directories(directory);
  const fs::path output = directory / "output.txt";
  for (const char* setting :
       {"", "DISPLAY=:987", "QT_QPA_PLATFORM=offscreen", "QT_QPA_PLATFORM=minimal:enable_fonts"}) {
    SCOPED_TRACE(setting);
    std::ostringstream command;
    command << "cd '" << directory.string() << "' && " << ProgramEnvironmentCommand() << setting
            << " timeout 60 '" << FLASHUTIL_PROGRAM << "' </dev/null >'" << output.string() << "' 2>&1";
    const int status = std::system(command.str().c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::ifstream in(output);
    const std::string printed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(printed.find("qt.qpa"), std::string::npos) << printed;
    // With a display named the program loads the Qt face it carries; here it loads.
    EXPECT_EQ(printed.find("cannot be loaded"), std::string::npos) << printed;
    EXPECT_NE(printed.find("Flash Utility V1.050"), std::string::npos) << printed;
  }
  fs::remove_all(directory);
}

// A process of the test's own, stopped and waited for however the test ends.
class ChildProcess {
 public:
  // Runs body in a new process; body ends by starting a program (exit code 127
  // when it cannot).
  explicit ChildProcess(const std::function<void()>& body) : pid_(fork()) {
    if (pid_ == 0) {
      body();
      _exit(127);
    }
  }
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Running() {
    if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
    return pid_ > 0;
  }
  // Stops the process if it still runs; its wait status.
  int Stop() {
    if (Running()) {
      kill(pid_, SIGTERM);
      waitpid(pid_, &status_, 0);
      pid_ = -1;
    }
    return status_;
  }

 private:
  pid_t pid_;
  int status_ = 0;
};

// Standard input from /dev/null, standard output and error to a file.
void RedirectOutput(const std::string& path) {
  const int in = open("/dev/null", O_RDONLY);
  const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(in, 0);
  dup2(out, 1);
  dup2(out, 2);
}

// Whether the X server shows a window of the program: a mapped top-level window
// whose class names "flashutil". The look is a client of the server for a moment.
bool ProgramWindowShown(const std::string& display) {
  xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
  bool shown = false;
  xcb_query_tree_reply_t* tree = nullptr;
  if (xcb_connection_has_error(connection) == 0) {
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    tree = xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr);
  }
  const xcb_window_t* windows = tree != nullptr ? xcb_query_tree_children(tree) : nullptr;
  for (int i = 0; tree != nullptr && i < xcb_query_tree_children_length(tree) && !shown; ++i) {
    auto* attributes = xcb_get_window_attributes_reply(
        connection, xcb_get_window_attributes(connection, windows[i]), nullptr);
    auto* property = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, windows[i], XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 64),
        nullptr);
    const std::string instance =
        property != nullptr ? std::string(static_cast<const char*>(xcb_get_property_value(property)),
                                          static_cast<std::size_t>(xcb_get_property_value_length(property)))
                            : "";
    shown = attributes != nullptr && attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
            instance.compare(0, 10, std::string("flashutil\0", 10)) == 0;
    std::free(attributes);
    std::free(property);
  }
  std::free(tree);
  xcb_disconnect(connection);
  return shown;
}

// An X server whose only client leaves resets itself; the program's own check
// of the display must not leave Qt connecting into that reset (and aborting).
TEST(QtPlatformChoice, ProgramOpensItsWindowOnAnXServerWithNoOtherClient) {
  if (std::system("command -v Xvfb >/dev/null 2>&1") != 0) GTEST_SKIP() << "no Xvfb";
  int number = 150 + getpid() % 500;
  while (fs::exists("/tmp/.X11-unix/X" + std::to_string(number)) ||
         fs::exists("/tmp/.X" + std::to_string(number) + "-lock")) {
    ++number;
  }
  const std::string display = ":" + std::to_string(number);
  const fs::path directory = fs::temp_directory_path() / ("flash-qt-x11-" + std::to_string(getpid()));
  fs::create_directories(directory);
  struct Removed {
    fs::path Path;
    ~Removed() { fs::remove_all(Path); }
  } removed{directory};
  ChildProcess server([&] {
    RedirectOutput("/dev/null");
    execlp("Xvfb", "Xvfb", display.c_str(), "-nolisten", "tcp", static_cast<char*>(nullptr));
  });
  for (int i = 0; i < 100 && !fs::exists("/tmp/.X11-unix/X" + std::to_string(number)); ++i) usleep(50000);
  ASSERT_TRUE(fs::exists("/tmp/.X11-unix/X" + std::to_string(number))) << "Xvfb did not start on " << display;

  // A template without its model list shows its message box and waits there.
  const fs::path output = directory / "output.txt";
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    ChildProcess program([&] {
      RedirectOutput(output.string());
      const std::vector<std::string> environment = ProgramEnvironment({"DISPLAY=" + display});
      std::vector<char*> pointers;
      for (const std::string& entry : environment) pointers.push_back(const_cast<char*>(entry.c_str()));
      pointers.push_back(nullptr);
      if (chdir(directory.c_str()) == 0)
        execle(FLASHUTIL_PROGRAM, FLASHUTIL_PROGRAM, static_cast<char*>(nullptr), pointers.data());
    });
    // Looked at only after a second, so that no look of the test's own keeps the
    // server from resetting between the program's check and Qt's connection.
    sleep(1);
    bool shown = false;
    for (int i = 0; i < 300 && !shown && program.Running(); ++i) {
      shown = ProgramWindowShown(display);
      if (!shown) usleep(100000);
    }
    EXPECT_TRUE(program.Running()) << "the program ended by itself";
    EXPECT_TRUE(shown) << "no window of the program within 30 s";
    const int status = program.Stop();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "wait status " << status;
    std::ifstream in(output);
    const std::string printed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(printed.find("could not connect"), std::string::npos) << printed;
  }
}

}  // namespace
