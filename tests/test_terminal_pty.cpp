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

// Once the output holds After the test waits, types Keys (^C sends SIGINT as a
// keyboard does) and sends Signal.
struct Action {
  std::string After;
  int PauseMs = 0;
  std::string Keys;
  int Signal = 0;
};

struct Session {
  std::string Output;
  int Status = -1;  // as waitpid gives it
};

// Runs program in dir on a new pseudo-terminal that neither echoes the input
// nor turns line feeds into CR LF, so the bytes read are the program's own.
Session RunOnTerminal(const fs::path& dir, const std::string& program, const std::string& input, bool noColor,
                      const std::vector<Action>& actions = {}) {
  int master = -1, slave = -1;
  struct winsize size = {24, 100, 0, 0};
  if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return {"openpty failed"};
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
  if (write(master, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
    return {"write failed"};

  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (auto next = actions.begin();;) {
    for (; next != actions.end() && output.find(next->After) != std::string::npos; ++next) {
      usleep(static_cast<useconds_t>(next->PauseMs) * 1000);
      if (write(master, next->Keys.data(), next->Keys.size()) < 0) output += "\n[typing failed]";
      if (next->Signal != 0) kill(child, next->Signal);
    }
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
  return {output, status};
}

struct ScratchDir {
  fs::path Path = fs::temp_directory_path() / ("terminal-pty-" + std::to_string(getpid()));
  ScratchDir() {  // the template, its model list and one firmware file
    fs::remove_all(Path);
    fs::create_directories(Path);
    fs::copy_file(FLASHUTIL_SIM_PROGRAM, Path / "flashutil-sim");
    std::ofstream(Path / "flashutil-sim.INI")
        << "[MODEL00]\nModel=CRW-5224A\nInquiry=QVXR    CRW-5224A\nFW-Range=1000-1FFF\nBINMask=*.BIN\n"
           "Vendor=QVXR\nNote=\n";
    std::string image(8 * 16384, '\x5a');  // eight chunks, no profile mark
    image.replace(64, 11, "SIMREV=1B00");
    std::ofstream(Path / "1B00.BIN", std::ios::binary) << image;
  }
  ~ScratchDir() { fs::remove_all(Path); }
};

TEST(TerminalOnAPty, StampedProgramRedrawsItsBarInPlaceAndPaintsOnlyWithoutNoColor) {
  const ScratchDir scratch;
  const fs::path& dir = scratch.Path;

  const std::string build = "cd '" + dir.string() + "' && printf '1\\nb\\nq\\n' | " +
                            ProgramEnvironmentCommand() + "./flashutil-sim > build.log 2>&1";
  ASSERT_EQ(std::system(build.c_str()), 0);
  ASSERT_TRUE(fs::exists(dir / "1B00.EXE")) << std::ifstream(dir / "build.log").rdbuf();

  // "q" only after the update: what waits unread on the terminal when it ends is thrown away.
  const std::string out = RunOnTerminal(dir, (dir / "1B00.EXE").string(), "y\nf\ny\n", true,
                                        {{"CRW-5224A       1B00\n", 0, "q\n"}})
                              .Output;
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
  const std::string again = RunOnTerminal(dir, (dir / "1B00.EXE").string(), "y\nq\n", false).Output;
  EXPECT_NE(again.find("\x1b[1;33m--- Warning ---\x1b[0m"), std::string::npos) << again;
  EXPECT_NE(again.find("CRW-5224A       1B00\n"), std::string::npos) << again;
}

// ^C during a build (held on a terminal stopped by ^S, let go by ^Q) and ^C
// twice or SIGTERM during a commit of 1.5 s: the work finishes, the
// message comes once, then the program ends by the signal. After the update ^C
// ends it at once. The build makes the program the update rows run. Keys typed
// during the commit ("f" and "y": FLASH again) are thrown away when it ends,
// with a line that says so; nothing comes after the work.
TEST(TerminalOnAPty, SignalsWaitForTheBuildAndTheUpdateToEnd) {
  const std::string chosen = "b Build, q quit\n> ";
  const std::string commit = "Status: Don't turn off the system, Flash is in progress...\n";
  struct Row {
    bool build;  // the template builds 1B00.EXE; else 1B00.EXE updates the drive
    std::vector<Action> actions;
    int endedBy;
    bool said;           // the message is shown (once)
    bool typed = false;  // keys typed during the work are said to be thrown away
  };
  const Row rows[] = {
      {true, {{chosen, 0, "\023b\n"}, {chosen, 500, "\003"}, {chosen, 300, "\021"}}, SIGINT, true},
      {false, {{commit, 0, "\003"}, {commit, 200, "\003"}}, SIGINT, true},
      {false, {{commit, 0, "", SIGTERM}}, SIGTERM, true},
      {false, {{"CRW-5224A       1B00\n", 300, "\003"}}, SIGINT, false},
      {false, {{commit, 0, "f\ny\n"}, {"CRW-5224A       1B00\n", 300, "\003"}}, SIGINT, false, true},
  };
  const ScratchDir scratch;
  const fs::path& dir = scratch.Path;
  std::ofstream(dir / "simdrives.ini")
      << "[drives]\nlist = cdrw\n[cdrw]\nvendor = QVXR\nproduct = CRW-5224A\n"
         "revision = 1000\nfault1 = delay 3B control=80 ms=1500\n";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.actions[0].Keys + std::to_string(row.endedBy));
    fs::remove(dir / "cdrw.simstate");
    const Session run = RunOnTerminal(dir, (dir / (row.build ? "flashutil-sim" : "1B00.EXE")).string(),
                                      row.build ? "1\n" : "y\nf\ny\n", true, row.actions);
    EXPECT_TRUE(WIFSIGNALED(run.Status) && WTERMSIG(run.Status) == row.endedBy) << run.Status << run.Output;
    // The image is in the whole new program, or in the drive's flash.
    std::ifstream result(dir / (row.build ? "1B00.EXE" : "cdrw.simstate"), std::ios::binary);
    EXPECT_NE(std::string(std::istreambuf_iterator<char>(result), {}).find("SIMREV=1B00"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "1B00.EXE.building"));
    const std::string done = row.build ? "Status: Build 1B00.EXE complete!\n" : "Status: Flash Completed.\n";
    ASSERT_NE(run.Output.find(done), std::string::npos) << run.Output;
    EXPECT_EQ(run.Output.find("---", run.Output.find(done)), std::string::npos)
        << run.Output;  // no box after
    EXPECT_EQ(run.Output.find("What was typed during the update was thrown away.\n") != std::string::npos,
              row.typed)
        << run.Output;
    const std::string said = row.build ? "The build is in progress: it cannot be interrupted."
                                       : "Flash is in progress: it cannot be interrupted.";
    EXPECT_EQ(run.Output.find(said) != std::string::npos, row.said) << run.Output;
    EXPECT_EQ(run.Output.find(said), run.Output.rfind(said)) << run.Output;
  }
}

}  // namespace
