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
#include <xcb/xcbext.h>

#include <cstdint>
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
  return {[](const std::string& display, std::string& why) {
            why = "refused";
            return display == ":0";
          },
          [](const std::string& socket, std::string&) { return socket == "/run/user/1/wayland-0"; },
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
  // When none can start, why: each platform tried, in order.
  const std::pair<DisplayEnvironment, std::string> reasons[] = {
      {{"", ":5", "wayland-0", ""}, "XDG_RUNTIME_DIR is not set; display :5: refused"},
      {{"offscreen", ":0", "", ""}, "QT_QPA_PLATFORM names no platform that shows a window"},
      {{"eglfs;xcb", "", "", ""}, "Qt has no platform plugin \"eglfs\"; DISPLAY is not set"}};
  for (const auto& [environment, expected] : reasons) {
    std::string why;
    EXPECT_EQ(ChooseQtPlatform(environment, FakeMachine(true), &why), std::nullopt);
    EXPECT_EQ(why, expected);
  }
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
    // A display named that cannot be opened: one line says why.
    const std::string why =
        "The window cannot open (display :987: no X server accepts the connection); the "
        "terminal face runs instead.\n";
    EXPECT_EQ(printed.find(why) != std::string::npos, std::string(setting) == "DISPLAY=:987") << printed;
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
  void Signal(int signal) {
    if (Running()) kill(pid_, signal);
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

// A folder of the test's own, removed however the test ends.
struct Removed {
  fs::path Path;
  ~Removed() { fs::remove_all(Path); }
};

// Standard input from /dev/null, standard output and error to a file.
void RedirectOutput(const std::string& path) {
  const int in = open("/dev/null", O_RDONLY);
  const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(in, 0);
  dup2(out, 1);
  dup2(out, 2);
}

// Runs the program in directory on the display, its output to a file.
void StartOnDisplay(const char* program, const std::string& display, const fs::path& directory,
                    const fs::path& output) {
  RedirectOutput(output.string());
  const std::vector<std::string> environment = ProgramEnvironment({"DISPLAY=" + display});
  std::vector<char*> pointers;
  for (const std::string& entry : environment) pointers.push_back(const_cast<char*>(entry.c_str()));
  pointers.push_back(nullptr);
  if (chdir(directory.c_str()) == 0) execle(program, program, static_cast<char*>(nullptr), pointers.data());
}

// An X server of the test's own on a display number nobody uses.
struct Xvfb {
  std::string Number = [] {
    int number = 150 + getpid() % 500;
    while (fs::exists("/tmp/.X11-unix/X" + std::to_string(number)) ||
           fs::exists("/tmp/.X" + std::to_string(number) + "-lock")) {
      ++number;
    }
    return std::to_string(number);
  }();
  std::string Display = ":" + Number;
  ChildProcess Server{[this] {
    RedirectOutput("/dev/null");
    execlp("Xvfb", "Xvfb", Display.c_str(), "-nolisten", "tcp", static_cast<char*>(nullptr));
  }};
  bool Listening() const {
    for (int i = 0; i < 100 && !fs::exists("/tmp/.X11-unix/X" + Number); ++i) usleep(50000);
    return fs::exists("/tmp/.X11-unix/X" + Number);
  }
};

// Whether the X server shows a window of the program: a mapped top-level window
// whose class names "flashutil" (or whose title starts with the text). The look
// is a client of the server for a moment.
bool ProgramWindowShown(const std::string& display, xcb_atom_t property = XCB_ATOM_WM_CLASS,
                        const std::string& start = std::string("flashutil\0", 10)) {
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
    auto* value = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, windows[i], property, XCB_GET_PROPERTY_TYPE_ANY, 0, 64),
        nullptr);
    const std::string instance =
        value != nullptr ? std::string(static_cast<const char*>(xcb_get_property_value(value)),
                                       static_cast<std::size_t>(xcb_get_property_value_length(value)))
                         : "";
    shown = attributes != nullptr && attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
            instance.starts_with(start);
    std::free(attributes);
    std::free(value);
  }
  std::free(tree);
  xcb_disconnect(connection);
  return shown;
}

// An X server whose only client leaves resets itself; the program's own check
// of the display must not leave Qt connecting into that reset (and aborting).
TEST(QtPlatformChoice, ProgramOpensItsWindowOnAnXServerWithNoOtherClient) {
  if (std::system("command -v Xvfb >/dev/null 2>&1") != 0) GTEST_SKIP() << "no Xvfb";
  const Xvfb x;
  const std::string& display = x.Display;
  const fs::path directory = fs::temp_directory_path() / ("flash-qt-x11-" + std::to_string(getpid()));
  fs::create_directories(directory);
  const Removed removed{directory};
  ASSERT_TRUE(x.Listening()) << "Xvfb did not start on " << display;

  // A template without its model list shows its message box and waits there.
  const fs::path output = directory / "output.txt";
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    ChildProcess program([&] { StartOnDisplay(FLASHUTIL_PROGRAM, display, directory, output); });
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

// Input as the X server's keyboard and mouse give it (its XTEST extension): a
// key held down repeats after the server's delay.
void FakeInput(xcb_connection_t* x, std::uint8_t type, std::uint8_t detail, std::int16_t left = 0,
               std::int16_t top = 0) {
  static xcb_extension_t xtest = {"XTEST", 0};
  static const xcb_protocol_request_t fakeInput = {1, &xtest, 2, 1};
  std::uint8_t request[36] = {0, 0, 0, 0, type, detail};
  std::memcpy(request + 24, &left, 2);
  std::memcpy(request + 26, &top, 2);
  iovec parts[3] = {{}, {}, {request, sizeof request}};
  xcb_send_request(x, 0, parts + 2, &fakeInput);
  xcb_flush(x);
  usleep(100000);  // a release and a press at one moment would be the keyboard's repeat
}

// The sample flash program of the simulated-drive build in its window, its drive
// 3 s long at the commit. SIGINT, SIGHUP or SIGTERM mid-update (Ctrl-C in its
// terminal, the terminal closed, a log-out) let the update finish, then end the
// program by the signal. Enter held down on FLASH (focused by a press and a drag
// off it) brings up the question; the keyboard's repeats of that Enter, and its
// release, leave it open, and nothing goes to the drive.
TEST(QtWindowOnX, AnUpdateIsNotStoppedOrStartedByAccident) {
  if (std::system("command -v Xvfb >/dev/null 2>&1") != 0) GTEST_SKIP() << "no Xvfb";
  const Xvfb x;
  ASSERT_TRUE(x.Listening()) << "Xvfb did not start on " << x.Display;
  const Removed dir{fs::temp_directory_path() / ("flash-qt-accident-" + std::to_string(getpid()))};
  fs::create_directories(dir.Path);
  fs::copy_file(FLASHUTIL_SIM_PROGRAM, dir.Path / "flashutil-sim");
  fs::copy_file(FLASHUTIL_SOURCE_DIR "/samples/models.ini", dir.Path / "flashutil-sim.INI");
  fs::copy_file(FLASHUTIL_SOURCE_DIR "/samples/firmware/1A2B.BIN", dir.Path / "1A2B.BIN");
  ASSERT_EQ(std::system(("cd '" + dir.Path.string() + "' && printf '1\\nb\\nq\\n' | " +
                         ProgramEnvironmentCommand() + "./flashutil-sim >/dev/null 2>&1")
                            .c_str()),
            0);
  std::ofstream(dir.Path / "simdrives.ini")
      << "[drives]\nlist = cdrw\n[cdrw]\nfault1 = delay 3B control=80 ms=3000\n";

  xcb_connection_t* input = xcb_connect(x.Display.c_str(), nullptr);
  const std::uint8_t enter = 36;  // in the server's keymap
  const auto shown = [&x](const char* title, bool wanted = true) {
    for (int i = 0; i < 300 && ProgramWindowShown(x.Display, XCB_ATOM_WM_NAME, title) != wanted; ++i)
      usleep(100000);
    usleep(300000);  // a window takes input once the program has seen it shown
    return ProgramWindowShown(x.Display, XCB_ATOM_WM_NAME, title);
  };
  for (const int signal : {SIGINT, SIGHUP, SIGTERM, 0}) {
    SCOPED_TRACE(signal);
    fs::remove(dir.Path / "cdrw.simstate");
    ChildProcess program([&] { StartOnDisplay("./1A2B.EXE", x.Display, dir.Path, dir.Path / "output.txt"); });
    ASSERT_TRUE(shown("Warning"));
    FakeInput(input, XCB_KEY_PRESS, enter);  // a key pressed while the box is up answers it: Yes
    FakeInput(input, XCB_KEY_RELEASE, enter);
    ASSERT_TRUE(shown("QVXR Flash Utility"));
    FakeInput(input, XCB_MOTION_NOTIFY, 0, 192 + 364, 128 + 156);  // FLASH, where the design puts it
    FakeInput(input, XCB_BUTTON_PRESS, 1);
    FakeInput(input, XCB_MOTION_NOTIFY, 0);
    FakeInput(input, XCB_BUTTON_RELEASE, 1);
    FakeInput(input, XCB_KEY_PRESS, enter);
    ASSERT_TRUE(shown("Confirm"));
    if (signal == 0) {
      usleep(1500000);  // past the repeat delay
      FakeInput(input, XCB_KEY_RELEASE, enter);
      EXPECT_TRUE(shown("Confirm"));
      EXPECT_FALSE(fs::exists(dir.Path / "cdrw.simstate"));
      continue;
    }
    for (const std::uint8_t type : {XCB_KEY_RELEASE, XCB_KEY_PRESS, XCB_KEY_RELEASE})
      FakeInput(input, type, enter);
    ASSERT_FALSE(shown("Confirm", false));
    usleep(400000);  // the image is written, the commit under way
    program.Signal(signal);
    for (int i = 0; i < 300 && program.Running(); ++i) usleep(100000);
    const int status = program.Stop();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "wait status " << status;
    EXPECT_TRUE(fs::exists(dir.Path / "cdrw.simstate"));  // saved once the commit is done
    std::ifstream in(dir.Path / "output.txt");
    const std::string printed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t said = printed.find("Flash is in progress: it cannot be interrupted.");
    EXPECT_TRUE(said != std::string::npos && said == printed.rfind("Flash is")) << printed;
  }
  xcb_disconnect(input);
}

}  // namespace
