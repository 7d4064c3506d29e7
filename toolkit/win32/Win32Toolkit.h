// The native Win32 face of the window: standard controls at the designed
// positions, MessageBoxA dialogs, the system's cursor, upper-casing and paths.
// Texts are 8-bit: every call is the ANSI (A) form.
//
// Drive commands run on a worker thread while the window's thread waits in
// MsgWaitForMultipleObjects and keeps painting, so the system never takes the
// window for hung. During an update or a build the window drops every key and
// click meant for it and refuses to close; an update also refuses the session's
// end and, where the system asks first, its suspend.
#pragma once

#include <windows.h>

#include <exception>
#include <string>

#include "app/Toolkit.h"

class Win32Toolkit : public Toolkit {
 public:
  // Control identifiers, also the controls' window ids.
  enum : int {
    kLabelId = 101,
    kComboId = 102,
    kFileListId = 103,
    kGroupId = 104,
    kProgressId = 105,
    kButtonId = 106,
  };
  static constexpr const char* kWindowClass = "TFlashForm";

  Win32Toolkit();
  ~Win32Toolkit() override;
  Win32Toolkit(const Win32Toolkit&) = delete;
  Win32Toolkit& operator=(const Win32Toolkit&) = delete;

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

  // Places the window's controls and sizes the window for the pixels per inch:
  // the design's positions, sizes and font are at 96, and scale by dpi / 96 with
  // the same layout. The window does this itself when it is created (for its
  // monitor) and when the system moves it to a monitor of another scaling.
  void LayOut(UINT dpi);
  UINT Dpi() const { return dpi_; }

  // The main window and its controls (null before CreateMainWindow).
  HWND Window() const { return window_; }
  HWND Control(int id) const;
  // The group box's caption as it is drawn: the whole text when it fits, else its
  // start and its end around "...", so that the outcome at the end always shows.
  std::string ShownGroupCaption() const;
  // The function the dialogs are shown with; a test puts a stand-in here.
  using MessageBoxFunction = decltype(&::MessageBoxA);
  void SetMessageBoxFunction(MessageBoxFunction function) { messageBox_ = function; }

 private:
  static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK GroupProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void OnCommand(int id, int code);
  // Runs one of the form's handlers; an exception that escapes it is shown in
  // the standard exception box and the message loop goes on.
  template <class Handler>
  void Run(Handler handler);
  HWND DialogOwner() const;
  std::string TextOf(HWND control) const;
  void PaintGroup();
  std::string FittedCaption(HDC dc, const std::string& caption) const;
  // A length of the design (at 96 pixels per inch) at the window's dpi.
  int Scaled(int designed) const;
  // The controls and the font for dpi_; the window's own size is left alone.
  void PlaceControls();

  // Waits until the handle is signalled (or, without one, the time has passed)
  // while the window paints and answers the desktop.
  void WaitAlive(HANDLE handle, DWORD milliseconds);
  // What a wait lets through: painting and timers; during work every posted
  // message but input, which is dropped.
  void PumpWhileWaiting();
  // During work, at most every few tens of milliseconds: the window's own work
  // (the build) gives the window a moment too.
  void KeepAlive();
  // Removes the keys and clicks queued for the thread's windows.
  void DropInput();
  // PeekMessage with PM_REMOVE; a quit request is kept back for the message loop,
  // and posted again once no wait is under way.
  bool TakeMessage(MSG& message, UINT first, UINT last);
  void PassOnQuit();
  void StartWorker();
  static unsigned __stdcall WorkerMain(void* self);

  TFlashForm* form_ = nullptr;
  HWND window_ = nullptr;
  HWND label_ = nullptr;
  HWND combo_ = nullptr;
  HWND files_ = nullptr;
  HWND group_ = nullptr;
  HWND progress_ = nullptr;
  HWND button_ = nullptr;
  HFONT font_ = nullptr;
  BYTE fontCharset_ = DEFAULT_CHARSET;
  UINT dpi_ = 96;
  WNDPROC groupDefault_ = nullptr;
  MessageBoxFunction messageBox_ = &::MessageBoxA;

  std::string title_;
  bool shown_ = false;
  bool closed_ = false;
  bool hourglass_ = false;
  bool comboTyped_ = false;  // the edit field changed since a line was chosen
  int progressMin_ = 0;
  int progressMax_ = 100;

  bool working_ = false;  // between BeginWork and EndWork
  int waiting_ = 0;       // inside a wait that keeps the window alive
  bool quitKept_ = false;
  int quitCode_ = 0;
  DWORD lastPump_ = 0;
  // The work's reason for holding the session's end is set.
  bool blockReason_ = false;

  // The worker thread that runs the blocking steps, one at a time.
  HANDLE worker_ = nullptr;
  HANDLE workerGo_ = nullptr;
  HANDLE workerDone_ = nullptr;
  bool workerQuit_ = false;
  void (*step_)(void*) = nullptr;
  void* stepContext_ = nullptr;
  std::exception_ptr stepError_;
};
