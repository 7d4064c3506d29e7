// The terminal face of the window: the same TFlashForm run on a text terminal or
// on piped input and output, for machines without a display.
//
// Captions are status lines; the label and the combo box are a numbered choice;
// the file list is a numbered list of the files that match its mask; the button
// is a command; the progress bar is one bar redrawn in place on a terminal and a
// few plain lines elsewhere; dialogs are prompts that show their exact text and
// title. Texts that come from outside (a drive's reply, file names, model list
// values) show their control characters as \xHH, so none of them can steer the
// terminal; the window keeps and compares them as they came. Input is read line
// by line. When it ends, every question is answered No (the safe answer), OK
// boxes are acknowledged, and the message loop returns.
//
// During an update and a build (BeginWork to EndWork) the signals that would end
// or suspend the program are held (platform/linux/WorkSignals): it says once on
// the standard error stream that the work cannot be interrupted, finishes it, and
// then ends (or stops) as the signal asked. A closed terminal or pipe meanwhile
// costs only the output. What was typed on the terminal during the work is
// thrown away when it ends, with a line that says so; piped input stays.
//
// Commands at the "> " prompt (shown with the window):
//   <n>      choose line n of the list (flash program), or file n (template)
//   m<n>     choose model line n (template)
//   f, b     press the button ("FLASH", or "Build"): its first letter or its caption
//   q        quit; Enter alone shows the whole window again
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "app/Toolkit.h"

// Whether the terminal face paints in colour: only on a terminal, and never
// while NO_COLOR is set (noColor is its value, null when it is not set).
bool TerminalWantsColour(bool interactive, const char* noColor);

class TerminalToolkit : public Toolkit {
 public:
  // interactive: the output is a terminal (the bar is redrawn in place).
  // programFilePath: the program's own file, the one the builder copies.
  // startedPath: the path the program was started with (argv[0]).
  // Colours follow TerminalWantsColour with the environment's NO_COLOR; input is
  // echoed after its prompt unless it comes from a terminal, which echoes itself.
  TerminalToolkit(std::istream& in, std::ostream& out, bool interactive, std::string programFilePath,
                  std::string startedPath);

  void SetColour(bool colour) { colour_ = colour; }
  bool Colour() const { return colour_; }
  void SetEchoInput(bool echo) { echo_ = echo; }
  bool InputEnded() const { return inputEnded_; }

  // Toolkit.
  void SetApplicationTitle(const std::string& title) override;
  void CreateMainWindow(TFlashForm& form) override;
  void ShowMainWindow() override;
  void RunMessageLoop() override;
  void CloseWindow() override;
  void PostQuit(int exitCode) override;
  void ShowException(const std::string& text) override;
  void SetWindowCaption(const std::string& caption) override;
  std::string WindowCaption() const override;
  void SetLabelCaption(const std::string& caption) override;
  int ComboCount() const override;
  std::string ComboLine(int index) const override;
  void ComboAdd(const std::string& line) override;
  void ComboInsert(int index, const std::string& line) override;
  void ComboDelete(int index) override;
  int ComboIndex() const override;
  void ComboSelect(int index) override;
  void ComboRedraw() override;
  void FileListShow(const std::string& mask, const std::vector<std::string>& names) override;
  void FileListSetVisible(bool visible) override;
  void SetGroupCaption(const std::string& caption) override;
  std::string GroupCaption() const override;
  void SetProgressMin(int value) override;
  void SetProgressMax(int value) override;
  void SetProgressPosition(int value) override;
  int ProgressPosition() const override;
  void SetProgressStep(int value) override;
  void ProgressStepIt() override;
  void SetButtonCaption(const std::string& caption) override;
  void SetButtonEnabled(bool enabled) override;
  DialogResult MessageDialog(const std::string& text, DialogKind kind) override;
  void ShowMessage(const std::string& text) override;
  void SetCursor(CursorShape shape) override;
  std::string UpperCase(const std::string& text) const override;
  std::string CurrentDirectory() const override;
  std::string ProgramFilePath() const override;
  std::string ProgramStartedPath() const override;
  void Sleep(unsigned milliseconds) override;
  void BeginWork() override;
  void EndWork() override;
  void RunBlocking(void (*step)(void*), void* context) override;

 private:
  // Output. Texts from outside the program go through Shown, so that none of
  // their bytes can steer the terminal; the texts kept stay as they came.
  std::string Shown(const std::string& text) const;
  std::string CaptionLine() const;
  std::string Paint(const char* code, const std::string& text) const;
  void EndBarLine();
  void FlushCaption();
  void PrintLine(const std::string& text);
  void PrintBox(const std::string& title, const char* colour, const std::string& text);
  void DrawProgress();
  // Input: false at the end of input (and from then on).
  bool ReadAnswer(const std::string& prompt, std::string& line);
  // The message loop's screen and commands.
  bool Ending() const;
  void ShowWindow(bool whole);
  std::string Commands() const;
  void Perform(const std::string& command);
  void ChooseLine(int number);
  void ChooseFile(int number);
  void PressButton();

  std::istream& in_;
  std::ostream& out_;
  bool interactive_;
  bool colour_;
  bool echo_;
  bool utf8_;  // the locale's character set is UTF-8
  std::string programFilePath_;
  std::string startedPath_;

  TFlashForm* form_ = nullptr;
  std::string title_;
  bool windowClosed_ = false;
  bool quitPosted_ = false;
  bool inputEnded_ = false;
  bool working_ = false;        // between BeginWork and EndWork
  bool outGoodBefore_ = false;  // the output took every write until the work began

  std::string caption_;
  bool captionShown_ = true;  // nothing to show until a caption is set
  std::string label_;
  std::vector<std::string> comboLines_;
  int comboIndex_ = -1;
  // What the file list shows: the mask as its heading, the names, the one chosen.
  std::string fileMask_ = "*.*";
  std::vector<std::string> files_;
  int fileChosen_ = -1;
  bool fileListVisible_ = true;
  std::string group_;
  std::string buttonCaption_ = "FLASH";
  bool buttonEnabled_ = true;

  int progressMin_ = 0;
  int progressMax_ = 100;
  int progressPosition_ = 0;
  int progressStep_ = 10;
  bool barOpen_ = false;   // a bar is drawn on the current line
  std::string barDrawn_;   // the bar as last drawn in place
  int quartersShown_ = 0;  // plain output: quarters of the bar already printed
};
