#include "toolkit/terminal/TerminalToolkit.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <thread>

#include "app/FlashForm.h"
#include "app/Progress.h"
#include "common/System.h"
#include "common/Text.h"
#include "platform/linux/WorkSignals.h"

namespace {

// SGR codes of the few colours the face uses.
constexpr const char* kBold = "1";
constexpr const char* kStatus = "36";
constexpr const char* kWarning = "1;33";
constexpr const char* kError = "1;31";
constexpr const char* kConfirm = "1;36";
constexpr const char* kBar = "32";
constexpr const char* kChosen = "1;32";

// A terminal echoes what the user types; anything else is echoed by us, so that
// a transcript of piped answers reads like a session.
bool InputFromTerminal(const std::istream& in) {
  return &in == &std::cin && isatty(STDIN_FILENO) == 1;
}

std::string Lower(const std::string& text) {
  std::string result;
  for (char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) {
      result += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  return result;
}

bool IsNumber(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// The number a line of digits names; one past any list for numbers too long to hold.
int LineNumber(const std::string& digits) {
  if (digits.size() > 6) return 1000000;
  int number = 0;
  for (char c : digits) number = number * 10 + (c - '0');
  return number;
}

std::string Range(const std::string& prefix, std::size_t count) {
  const std::string first = prefix + "1";
  return count == 1 ? first : first + "-" + prefix + std::to_string(count);
}

}  // namespace

bool TerminalWantsColour(bool interactive, const char* noColor) {
  return interactive && noColor == nullptr;
}

TerminalToolkit::TerminalToolkit(std::istream& in, std::ostream& out, bool interactive,
                                 std::string programFilePath, std::string startedPath)
    : in_(in),
      out_(out),
      interactive_(interactive),
      colour_(TerminalWantsColour(interactive, std::getenv("NO_COLOR"))),
      echo_(!InputFromTerminal(in)),
      utf8_(LocaleIsUtf8()),
      programFilePath_(std::move(programFilePath)),
      startedPath_(std::move(startedPath)) {}

// ---- output ----

std::string TerminalToolkit::Shown(const std::string& text) const {
  return EscapedText(text, utf8_);
}

std::string TerminalToolkit::Paint(const char* code, const std::string& text) const {
  if (!colour_) return text;
  return std::string("\x1b[") + code + "m" + text + "\x1b[0m";
}

void TerminalToolkit::EndBarLine() {
  if (!barOpen_) return;
  out_ << '\n';
  barOpen_ = false;
  barDrawn_.clear();
}

// The window's caption as its status line, "[caption]". Built by appending:
// GCC 12 warns falsely (-Wrestrict) about "[" + text + "]" when optimising.
std::string TerminalToolkit::CaptionLine() const {
  std::string line = "[";
  line += Shown(caption_);
  line += ']';
  return Paint(kBold, line);
}

void TerminalToolkit::FlushCaption() {
  if (captionShown_) return;
  captionShown_ = true;
  EndBarLine();
  out_ << CaptionLine() << '\n';
}

void TerminalToolkit::PrintLine(const std::string& text) {
  EndBarLine();
  FlushCaption();
  out_ << text << '\n' << std::flush;
}

void TerminalToolkit::PrintBox(const std::string& title, const char* colour, const std::string& text) {
  EndBarLine();
  FlushCaption();
  const std::string shown = EscapedText(text, utf8_, true);
  out_ << '\n' << Paint(colour, "--- " + Shown(title) + " ---") << '\n' << shown;
  if (shown.empty() || shown.back() != '\n') out_ << '\n';
}

void TerminalToolkit::DrawProgress() {
  const int percent = ProgressPercent(progressMin_, progressMax_, progressPosition_);
  if (interactive_) {
    // One bar, drawn again over itself: a carriage return and never a new line.
    // A bar at its start is not worth a line of its own.
    const std::string bar = "  " + ProgressBar(percent);
    if (!barOpen_ && progressPosition_ <= progressMin_) return;
    if (barOpen_ && bar == barDrawn_) return;
    FlushCaption();
    out_ << '\r' << Paint(kBar, bar) << std::flush;
    barOpen_ = true;
    barDrawn_ = bar;
    return;
  }
  if (QuarterReached(percent, quartersShown_)) PrintLine("  " + ProgressBar(percent));
}

// ---- input ----

bool TerminalToolkit::ReadAnswer(const std::string& prompt, std::string& line) {
  EndBarLine();
  FlushCaption();
  out_ << Paint(kBold, prompt);
  if (!inputEnded_ && std::getline(in_, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (echo_) out_ << Shown(line) << '\n';
    out_ << std::flush;
    return true;
  }
  inputEnded_ = true;
  line.clear();
  out_ << "(end of input)\n" << std::flush;
  return false;
}

// ---- application and window ----

void TerminalToolkit::SetApplicationTitle(const std::string& title) {
  title_ = title;
}

void TerminalToolkit::CreateMainWindow(TFlashForm& form) {
  form_ = &form;
}

void TerminalToolkit::ShowMainWindow() {}

bool TerminalToolkit::Ending() const {
  return quitPosted_ || windowClosed_ || inputEnded_;
}

void TerminalToolkit::RunMessageLoop() {
  if (!Ending()) ShowWindow(true);
  while (!Ending()) {
    std::string command;
    if (!ReadAnswer("> ", command)) break;
    Perform(command);
  }
  EndBarLine();
  FlushCaption();
  out_ << std::flush;
}

void TerminalToolkit::CloseWindow() {
  windowClosed_ = true;
}

void TerminalToolkit::PostQuit(int) {
  quitPosted_ = true;
}

void TerminalToolkit::ShowException(const std::string& text) {
  PrintBox(title_.empty() ? "Error" : title_, kError, text);
  std::string line;
  ReadAnswer("Press Enter for OK: ", line);
}

void TerminalToolkit::SetWindowCaption(const std::string& caption) {
  if (caption == caption_) return;
  caption_ = caption;
  captionShown_ = false;  // shown before the next output, so a caption replaced at once is not
}

std::string TerminalToolkit::WindowCaption() const {
  return caption_;
}

void TerminalToolkit::SetLabelCaption(const std::string& caption) {
  label_ = caption;
}

// ---- the screen and the user's commands ----

void TerminalToolkit::ShowWindow(bool whole) {
  EndBarLine();
  if (whole && captionShown_) out_ << CaptionLine() << '\n';
  FlushCaption();
  out_ << '\n';
  if (!label_.empty()) out_ << Shown(label_) << '\n';
  const std::string linePrefix = fileListVisible_ ? "m" : "";
  for (std::size_t i = 0; i < comboLines_.size(); ++i) {
    const bool chosen = static_cast<int>(i) == comboIndex_;
    out_ << "  " << (chosen ? Paint(kChosen, "*") : " ") << ' ' << linePrefix << i + 1 << ") "
         << Shown(comboLines_[i]) << '\n';
  }
  if (fileListVisible_) {
    out_ << "Files matching " << Shown(fileMask_) << ":\n";
    if (files_.empty()) out_ << "    (none)\n";
    for (std::size_t i = 0; i < files_.size(); ++i) {
      const bool chosen = static_cast<int>(i) == fileChosen_;
      out_ << "  " << (chosen ? Paint(kChosen, "*") : " ") << ' ' << i + 1 << ") " << Shown(files_[i])
           << '\n';
    }
  }
  if (whole && !group_.empty()) out_ << Paint(kStatus, "Status: " + Shown(group_)) << '\n';
  out_ << Commands() << '\n' << std::flush;
}

std::string TerminalToolkit::Commands() const {
  std::vector<std::string> parts;
  if (fileListVisible_) {
    if (comboLines_.size() > 1) parts.push_back(Range("m", comboLines_.size()) + " choose a model");
    if (!files_.empty()) parts.push_back(Range("", files_.size()) + " choose a file");
  } else if (comboLines_.size() > 1) {
    parts.push_back(Range("", comboLines_.size()) + " choose a drive");
  }
  if (!buttonCaption_.empty()) {
    const char key = static_cast<char>(std::tolower(static_cast<unsigned char>(buttonCaption_[0])));
    parts.push_back(std::string(1, key) + " " + buttonCaption_ + (buttonEnabled_ ? "" : " (disabled)"));
  }
  parts.push_back("q quit");
  std::string text = "Commands:";
  for (std::size_t i = 0; i < parts.size(); ++i) text += (i == 0 ? " " : ", ") + parts[i];
  return text;
}

void TerminalToolkit::Perform(const std::string& command) {
  const std::string c = Lower(command);
  if (c.empty() || c == "?" || c == "h" || c == "help") {
    ShowWindow(true);
    return;
  }
  if (c == "q" || c == "quit" || c == "exit") {
    windowClosed_ = true;
    return;
  }
  const std::string button = Lower(buttonCaption_);
  if (!button.empty() && (c == button || c == button.substr(0, 1))) {
    PressButton();
  } else if (fileListVisible_ && c[0] == 'm' && IsNumber(c.substr(1))) {
    ChooseLine(LineNumber(c.substr(1)));
  } else if (IsNumber(c)) {
    if (fileListVisible_) {
      ChooseFile(LineNumber(c));
    } else {
      ChooseLine(LineNumber(c));
    }
  } else {
    PrintLine("Unknown command \"" + Shown(command) + "\".");
    out_ << Commands() << '\n' << std::flush;
    return;
  }
  if (!Ending()) ShowWindow(false);
}

void TerminalToolkit::ChooseLine(int number) {
  if (number < 1 || number > static_cast<int>(comboLines_.size())) {
    PrintLine("There is no line " + std::to_string(number) + " in the list.");
    return;
  }
  // The user's choice runs the change handler; ComboSelect from the window does not.
  comboIndex_ = number - 1;
  if (form_ != nullptr) form_->ComboBoxChange();
}

void TerminalToolkit::ChooseFile(int number) {
  if (number < 1 || number > static_cast<int>(files_.size())) {
    PrintLine("There is no file " + std::to_string(number) + " in the list.");
    return;
  }
  fileChosen_ = number - 1;
  if (form_ != nullptr) form_->FileListChosen(fileChosen_);
}

void TerminalToolkit::PressButton() {
  if (!buttonEnabled_) {
    PrintLine(buttonCaption_ + " is disabled" + (fileListVisible_ ? ": choose a file first." : "."));
    return;
  }
  if (form_ != nullptr) form_->FlashButtonClick();
}

// ---- combo box ----

int TerminalToolkit::ComboCount() const {
  return static_cast<int>(comboLines_.size());
}

std::string TerminalToolkit::ComboLine(int index) const {
  if (index < 0 || index >= ComboCount()) return {};
  return comboLines_[static_cast<std::size_t>(index)];
}

void TerminalToolkit::ComboAdd(const std::string& line) {
  comboLines_.push_back(line);
}

void TerminalToolkit::ComboInsert(int index, const std::string& line) {
  if (index < 0) index = 0;
  if (index > ComboCount()) index = ComboCount();
  comboLines_.insert(comboLines_.begin() + index, line);
  if (comboIndex_ >= index) ++comboIndex_;  // the chosen line stays chosen
}

void TerminalToolkit::ComboDelete(int index) {
  if (index < 0 || index >= ComboCount()) return;
  comboLines_.erase(comboLines_.begin() + index);
  if (comboIndex_ == index) {
    comboIndex_ = -1;
  } else if (comboIndex_ > index) {
    --comboIndex_;
  }
}

int TerminalToolkit::ComboIndex() const {
  return comboIndex_;
}

void TerminalToolkit::ComboSelect(int index) {
  comboIndex_ = (index >= 0 && index < ComboCount()) ? index : -1;
}

void TerminalToolkit::ComboRedraw() {}

// ---- file list ----

void TerminalToolkit::FileListShow(const std::string& mask, const std::vector<std::string>& names) {
  fileMask_ = mask;
  // Copied name by name: assigning the vector whole makes GCC 12 call a function
  // of a newer C++ runtime (GLIBCXX 3.4.29) than the program asks for otherwise.
  files_.clear();
  for (const std::string& name : names) files_.push_back(name);
  fileChosen_ = -1;
}

void TerminalToolkit::FileListSetVisible(bool visible) {
  fileListVisible_ = visible;
}

// ---- group box, progress bar, button ----

void TerminalToolkit::SetGroupCaption(const std::string& caption) {
  if (caption == group_) return;
  group_ = caption;
  PrintLine(Paint(kStatus, "Status: " + Shown(caption)));
}

std::string TerminalToolkit::GroupCaption() const {
  return group_;
}

void TerminalToolkit::SetProgressMin(int value) {
  progressMin_ = value;
  quartersShown_ = 0;
}

void TerminalToolkit::SetProgressMax(int value) {
  progressMax_ = value;
  quartersShown_ = 0;
}

void TerminalToolkit::SetProgressPosition(int value) {
  progressPosition_ = value;
  DrawProgress();
}

int TerminalToolkit::ProgressPosition() const {
  return progressPosition_;
}

void TerminalToolkit::SetProgressStep(int value) {
  progressStep_ = value;
}

void TerminalToolkit::ProgressStepIt() {
  progressPosition_ += progressStep_;
  DrawProgress();
}

void TerminalToolkit::SetButtonCaption(const std::string& caption) {
  buttonCaption_ = caption;
}

void TerminalToolkit::SetButtonEnabled(bool enabled) {
  buttonEnabled_ = enabled;
}

// ---- dialogs ----

DialogResult TerminalToolkit::MessageDialog(const std::string& text, DialogKind kind) {
  std::string line;
  if (kind == DialogKind::Error) {
    PrintBox("Error", kError, text);
    ReadAnswer("Press Enter for OK: ", line);
    return DialogResult::Ok;
  }
  const bool warning = kind == DialogKind::Warning;
  PrintBox(warning ? "Warning" : "Confirm", warning ? kWarning : kConfirm, text);
  for (;;) {
    if (!ReadAnswer("Answer yes or no [y/n]: ", line)) return DialogResult::No;
    const std::string answer = Lower(line);
    if (answer == "y" || answer == "yes") return DialogResult::Yes;
    if (answer == "n" || answer == "no") return DialogResult::No;
    PrintLine("Please answer y, yes, n or no.");
  }
}

void TerminalToolkit::ShowMessage(const std::string& text) {
  PrintBox(title_.empty() ? "Message" : title_, kBold, text);
  std::string line;
  ReadAnswer("Press Enter for OK: ", line);
}

void TerminalToolkit::SetCursor(CursorShape) {}

// ---- system ----

std::string TerminalToolkit::UpperCase(const std::string& text) const {
  return LocaleUpperCase(text);
}

std::string TerminalToolkit::CurrentDirectory() const {
  std::error_code error;
  return std::filesystem::current_path(error).string();
}

std::string TerminalToolkit::ProgramFilePath() const {
  return programFilePath_;
}

std::string TerminalToolkit::ProgramStartedPath() const {
  return startedPath_;
}

void TerminalToolkit::Sleep(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// ---- work that nothing interrupts by accident ----

namespace {

// Throws away what waits to be read on the terminal of standard input, whole
// lines and a line begun; true when there was any. Only the terminal's
// foreground job does so: what is typed while the program runs in the
// background is for another program.
bool DiscardTypedInput() {
  if (tcgetpgrp(STDIN_FILENO) != getpgrp()) return false;
  // A terminal that reads lines counts only whole ones as waiting; read as
  // characters for a moment, it counts a line begun too.
  struct termios settings {};
  const bool lines = tcgetattr(STDIN_FILENO, &settings) == 0 && (settings.c_lflag & ICANON) != 0;
  if (lines) {
    struct termios characters = settings;
    characters.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    tcsetattr(STDIN_FILENO, TCSANOW, &characters);
  }
  int waiting = 0;
  if (ioctl(STDIN_FILENO, FIONREAD, &waiting) != 0) waiting = 0;
  tcflush(STDIN_FILENO, TCIFLUSH);
  if (lines) tcsetattr(STDIN_FILENO, TCSANOW, &settings);
  return waiting > 0;
}

}  // namespace

void TerminalToolkit::BeginWork() {
  working_ = true;
  outGoodBefore_ = out_.good();
  // The template shows its file list; a flash program never does.
  HoldWorkSignals(fileListVisible_ ? HeldWork::Build : HeldWork::Update);
}

void TerminalToolkit::EndWork() {
  // Keys typed meanwhile answer nothing that comes after: "f" and "y" would
  // start the work again. Piped or redirected input is a script's answers and stays.
  if (InputFromTerminal(in_) && DiscardTypedInput()) {
    PrintLine(fileListVisible_ ? "What was typed during the build was thrown away."
                               : "What was typed during the update was thrown away.");
  }
  if (WorkSignalHeld()) {  // the program is about to end: its last line stays whole
    EndBarLine();
    FlushCaption();
  }
  out_.flush();
  // Writing failed meanwhile (a closed pipe): the next write after the work
  // meets the failure again, and the program takes it as it always has.
  if (outGoodBefore_ && !out_.good()) out_.clear();
  working_ = false;
  ReleaseWorkSignals();
}

void TerminalToolkit::RunBlocking(void (*step)(void*), void* context) {
  if (!working_) {
    step(context);
    return;
  }
  RunWithWorkSignalsBlocked(step, context);
}
