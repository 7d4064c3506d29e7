// The window on Qt 6 Widgets: the form's controls at their designed places, its
// events delivered to TFlashForm's handlers, and the modal dialogs as message
// boxes. Every text crosses the boundary as Latin-1, so 8-bit texts keep every
// byte both ways.
//
// Drive commands run on a worker thread while the window's thread waits in an
// event loop, so the window keeps painting and answering the desktop. While a
// command runs, and through a whole update or build, the user's input to the
// window is dropped and a close request refused. Through an update or a build
// the signals that would end the program are held, as on the terminal face
// (platform/linux/WorkSignals): the work finishes, then the program ends by the
// signal. A message box is answered only by a key pressed while it is up.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/Toolkit.h"

class QApplication;
class QEvent;
class QObject;
class QComboBox;
class QFont;
class QFrame;
class QGroupBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QString;
class QPushButton;
class QWidget;

class QtToolkit : public Toolkit {
 public:
  // Uses the running QApplication, or creates one from argc and argv (both must
  // outlive the toolkit) and owns it. argv[0] is the path the program was started with.
  QtToolkit(int& argc, char** argv);
  ~QtToolkit() override;
  QtToolkit(const QtToolkit&) = delete;
  QtToolkit& operator=(const QtToolkit&) = delete;

  // The exit code of the last quit request (0 when none was posted).
  int ExitCode() const { return exitCode_; }
  // The top-level window; null before CreateMainWindow. Its controls carry the
  // form's control names as object names.
  QWidget* Window() const { return window_.get(); }
  // GroupBox2's caption as the window shows it: whole, or where it cannot fit
  // shortened in the middle to an ellipsis; and the font it is drawn in.
  QString ShownGroupCaption() const;
  QFont GroupCaptionFont() const;

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
  class InputGuard;
  class Worker;

  // Runs one of the form's handlers; an exception that escapes it is shown in the
  // exception box and the message loop goes on.
  template <class Handler>
  void Dispatch(Handler handler);
  void UserEditedComboText();
  void ShowProgress();
  QWidget* DialogParent() const;
  void RepaintAfterDialog();
  // True when the event is the user's input (or a close request) meant for the
  // window while it must not reach it; a close request is then marked refused.
  bool DropsEvent(QObject* object, QEvent* event) const;
  // Delivers what has arrived so far, the user's input to the window dropped.
  void DropPendingInput();

  std::unique_ptr<QApplication> ownedApplication_;
  std::string startedPath_;
  std::string title_;
  TFlashForm* form_ = nullptr;

  std::unique_ptr<QWidget> window_;
  QFrame* panel_ = nullptr;
  QLabel* label_ = nullptr;
  QComboBox* combo_ = nullptr;
  QListWidget* fileList_ = nullptr;
  QGroupBox* group_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* button_ = nullptr;

  // Captions as they were set, byte for byte; the widgets show them escaped.
  std::string caption_;
  std::string groupCaption_;

  // The progress bar as the form sees it; the widget shows it within its range.
  int progressMin_ = 0;
  int progressMax_ = 100;
  int progressPosition_ = 0;
  int progressStep_ = 10;

  bool loopRunning_ = false;
  bool quitPosted_ = false;
  bool windowClosed_ = false;
  int exitCode_ = 0;
  bool waitCursor_ = false;

  bool working_ = false;      // between BeginWork and EndWork
  bool stepRunning_ = false;  // a RunBlocking step is on the worker
  // A close of the window asked for while a step ran outside work: carried out
  // once the step is done.
  mutable bool closeDeferred_ = false;
  std::unique_ptr<InputGuard> inputGuard_;
  std::unique_ptr<Worker> worker_;  // started with the first step
};
