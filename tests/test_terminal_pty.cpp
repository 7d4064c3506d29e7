// The simulated-drive program without a display, as a person meets it: the
// template stamps a flash program from piped answers, and the flash program runs
// on a pseudo-terminal, where its progress bar is redrawn in place and its
// prompts are coloured unless NO_COLOR says otherwise.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/ProgramEnvironment.h"

namespace {

namespace fs = std::filesystem;

std::size_t Count(const std::string& text, char c) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
}

// Runs program in dir on a new pseudo-terminal that neither echoes the input
// nor turns line feeds into CR LF, so the bytes read are the program's own.
std::string RunOnTerminal(const fs::path& dir, const std::string& program, const std::string& input,
                          bool noColor) {
  int master = -1, slave = -1;
  struct winsize size = {24, 100, 0, 0};
  if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return "openpty failed";
  struct termios settings {};
  tcgetattr(slave, &settings);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  settings.c_oflag &= ~static_cast<tcflag_t>(ONLCR);
  tcsetattr(slave, TCSANOW, &settings);
  std::vector<std::string> environment = noColor ? ProgramEnvironment({"NO_COLOR=1"}) : ProgramEnvironment();
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const pid_t child = fork();
  if (child == 0) {
    close(master);
    login_tty(slave);
    if (chdir(dir.c_str()) != 0) _exit(126);
    char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
    execve(program.c_str(), argv, envp.data());
    _exit(127);
  }
  close(slave);
  if (write(master, input.data(), input.size()) != static_cast<ssize_t>(input.size())) return "write failed";

  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    pollfd ready = {master, POLLIN, 0};
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      output += "\n[timed out]";
      break;
    }
    if (poll(&ready, 1, 200) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO: the program has ended and closed the terminal
    output.append(buffer, static_cast<std::size_t>(n));
  }
  close(master);
  int status = 0;
  waitpid(child, &status, 0);
  return output;
}

struct ScratchDir {
  fs::path Path = fs::temp_directory_path() / ("terminal-pty-" + std::to_string(getpid()));
  ScratchDir() {
    fs::remove_all(Path);
    fs::create_directories(Path);
  }
  ~ScratchDir() { fs::remove_all(Path); }
};

TEST(TerminalOnAPty, StampedProgramRedrawsItsBarInPlaceAndPaintsOnlyWithoutNoColor) {
  const ScratchDir scratch;
  const fs::path& dir = scratch.Path;
  fs::copy_file(FLASHUTIL_SIM_PROGRAM, dir / "flashutil-sim");
  std::ofstream(dir / "flashutil-sim.INI")
      << "[MODEL00]\nModel=CRW-5224A\nInquiry=QVXR    CRW-5224A\nFW-Range=1000-1FFF\nBINMask=*.BIN\n"
         "Vendor=QVXR\nNote=\n";
  std::string image(8 * 16384, '\x5a');  // eight chunks, no profile mark
  image.replace(64, 11, "SIMREV=1B00");
  std::ofstream(dir / "1B00.BIN", std::ios::binary) << image;

  const std::string build = "cd '" + dir.string() + "' && printf '1\\nb\\nq\\n' | " +
                            ProgramEnvironmentCommand() + "./flashutil-sim > build.log 2>&1";
  ASSERT_EQ(std::system(build.c_str()), 0);
  ASSERT_TRUE(fs::exists(dir / "1B00.EXE")) << std::ifstream(dir / "build.log").rdbuf();

  const std::string out = RunOnTerminal(dir, (dir / "1B00.EXE").string(), "y\nf\ny\nq\n", true);
  const std::string upload = "Status: Write BIN to drive's DRAM... \n";
  const std::size_t from = out.find(upload);
  const std::size_t to = out.find("Status: Read back and Verify drive's DRAM... ");
  ASSERT_TRUE(from != std::string::npos && to != std::string::npos && from < to) << out;
  const std::string bar = out.substr(from + upload.size(), to - from - upload.size());
  EXPECT_EQ(Count(bar, '\r'), 8u) << bar;  // one redraw per chunk
  EXPECT_EQ(Count(bar, '\n'), 1u) << bar;  // and one line in all
  EXPECT_NE(bar.find("\r  [########################################] 100%\n"), std::string::npos);
  EXPECT_NE(out.find("Status: Flash Completed.\n"), std::string::npos) << out;
  EXPECT_NE(out.find("CRW-5224A       1B00\n"), std::string::npos) << out;  // the refreshed line
  EXPECT_EQ(out.find("\x1b["), std::string::npos);

  // A second run finds the drive at its new revision; without NO_COLOR it paints.
  const std::string again = RunOnTerminal(dir, (dir / "1B00.EXE").string(), "y\nq\n", false);
  EXPECT_NE(again.find("\x1b[1;33m--- Warning ---\x1b[0m"), std::string::npos) << again;
  EXPECT_NE(again.find("CRW-5224A       1B00\n"), std::string::npos) << again;
}

}  // namespace
