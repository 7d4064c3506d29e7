// What the window needs of a GUI toolkit, and nothing more. The core reaches its
// controls, dialogs, cursor and quit request only through this interface, so the
// same TFlashForm runs on Qt, on native Win32 controls, in a terminal, and under
// a recording double in tests. No toolkit types appear here.
#pragma once

#include <string>
#include <vector>

class TFlashForm;

enum class DialogKind {
  Warning,       // title "Warning", warning icon, Yes and No
  Confirmation,  // title "Confirm", question icon, Yes and No
  Error,         // title "Error", error icon, OK
};

enum class DialogResult { Yes, No, Ok, Closed };

enum class CursorShape { Default, Hourglass };

class Toolkit {
 public:
  virtual ~Toolkit() = default;

  // Application object and main window.
  virtual void SetApplicationTitle(const std::string& title) = 0;
  // Builds the window and its controls; their events call the form's handlers.
  virtual void CreateMainWindow(TFlashForm& form) = 0;
  // Shows the window unless it was closed while it was being created.
  virtual void ShowMainWindow() = 0;
  // Runs the message loop until a quit request arrives (at once when one was
  // posted before the loop started) or the window is closed.
  virtual void RunMessageLoop() = 0;
  // Closes the main window; during creation this only hides it.
  virtual void CloseWindow() = 0;
  // Posts the quit request with an exit code.
  virtual void PostQuit(int exitCode) = 0;
  // The standard display of an exception that escaped the message loop.
  virtual void ShowException(const std::string& text) = 0;

  // Window caption.
  virtual void SetWindowCaption(const std::string& caption) = 0;
  virtual std::string WindowCaption() const = 0;

  // SelectDriveLabel.
  virtual void SetLabelCaption(const std::string& caption) = 0;

  // ComboBox: a drop-down with an edit field, unsorted. Index -1 is no line.
  // Selecting a line from here never runs the change handler; only the user does.
  virtual int ComboCount() const = 0;
  virtual std::string ComboLine(int index) const = 0;
  virtual void ComboAdd(const std::string& line) = 0;
  virtual void ComboInsert(int index, const std::string& line) = 0;
  virtual void ComboDelete(int index) = 0;
  virtual int ComboIndex() const = 0;
  virtual void ComboSelect(int index) = 0;
  virtual void ComboRedraw() = 0;

  // FileListBox1, whose state the form keeps (FileList): the list shows the names
  // of the files that match the mask, none of them chosen; showing them reports
  // nothing. The user's choice of a row reaches the form's FileListChosen.
  virtual void FileListShow(const std::string& mask, const std::vector<std::string>& names) = 0;
  virtual void FileListSetVisible(bool visible) = 0;

  // GroupBox2's caption; setting it repaints the group box at once.
  virtual void SetGroupCaption(const std::string& caption) = 0;
  virtual std::string GroupCaption() const = 0;

  // ProgressBar.
  virtual void SetProgressMin(int value) = 0;
  virtual void SetProgressMax(int value) = 0;
  virtual void SetProgressPosition(int value) = 0;
  virtual int ProgressPosition() const = 0;
  virtual void SetProgressStep(int value) = 0;
  virtual void ProgressStepIt() = 0;  // position += step

  // FlashButton.
  virtual void SetButtonCaption(const std::string& caption) = 0;
  virtual void SetButtonEnabled(bool enabled) = 0;

  // Modal dialogs. Warning and Confirmation answer Yes or No (Closed when the
  // dialog was closed without an answer); Error answers Ok.
  virtual DialogResult MessageDialog(const std::string& text, DialogKind kind) = 0;
  // A plain modal message box with one OK button.
  virtual void ShowMessage(const std::string& text) = 0;

  virtual void SetCursor(CursorShape shape) = 0;

  // Upper case by the system's locale rules.
  virtual std::string UpperCase(const std::string& text) const = 0;
  // The process's current drive and directory: "X:\dir" on Windows, the working
  // directory elsewhere.
  virtual std::string CurrentDirectory() const = 0;
  // The program's own file with its full path, and the path it was started with.
  virtual std::string ProgramFilePath() const = 0;
  virtual std::string ProgramStartedPath() const = 0;

  // A millisecond sleep (the readiness poll of the update waits with it). A window
  // keeps painting meanwhile.
  virtual void Sleep(unsigned milliseconds) = 0;

  // Work that nobody may interrupt by accident: an update from its first drive
  // command to the refresh of the drive's line after the commit, and a build. Until
  // EndWork a window keeps painting and answering the desktop, but drops every
  // click and key meant for it and refuses to be closed (and the session's end);
  // the Linux faces hold the signals that would end the program and act on them
  // at EndWork. Dialogs shown meanwhile take their answers as always, from keys
  // pressed after they appeared. Calls do not nest.
  virtual void BeginWork() = 0;
  virtual void EndWork() = 0;
  // Runs one blocking step (a drive command) to its end while the window stays
  // alive: the step may run on another thread while this one processes painting,
  // timers and the desktop's messages, and nothing that would call back into the
  // form. The step touches no control. Steps run one at a time, in order.
  virtual void RunBlocking(void (*step)(void*), void* context) = 0;
};

// BeginWork and EndWork around a scope, EndWork on every way out.
class WorkScope {
 public:
  explicit WorkScope(Toolkit& ui) : ui_(ui) { ui_.BeginWork(); }
  ~WorkScope() { ui_.EndWork(); }
  WorkScope(const WorkScope&) = delete;
  WorkScope& operator=(const WorkScope&) = delete;

 private:
  Toolkit& ui_;
};
