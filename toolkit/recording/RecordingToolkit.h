// A toolkit double for tests: scripts the answers of dialogs and records every
// caption, line, dialog text and progress value the window produces.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "app/Toolkit.h"

class RecordingToolkit : public Toolkit {
 public:
  struct Dialog {
    std::string Text;
    DialogKind Kind;
    DialogResult Answer;
  };

  // Answers given to the next dialogs, in order; when none is left, Warning and
  // Confirmation dialogs are answered DefaultAnswer and Error dialogs Ok.
  std::deque<DialogResult> Answers;
  DialogResult DefaultAnswer = DialogResult::No;

  // Settings a test may change.
  std::string ProgramPath = "/opt/flash/FLASH.EXE";
  std::string StartedPath = "FLASH.EXE";
  std::string WorkingDirectory;  // empty: the real current directory

  // What was recorded.
  std::string ApplicationTitle;
  std::string Caption;
  std::vector<std::string> CaptionHistory;
  std::string Label;
  std::vector<std::string> ComboLines;
  int ComboSelected = -1;
  int ComboRedraws = 0;
  std::vector<std::string> Files;  // what the file list shows
  bool FileListVisible = true;
  int FileListUpdates = 0;  // the times the list was filled
  std::string Group;
  std::vector<std::string> GroupHistory;
  int ProgressMin = 0;
  int ProgressMax = 100;
  int Progress = 0;
  int ProgressStep = 10;
  std::vector<int> ProgressHistory;  // every position the bar took
  std::string ButtonCaption = "FLASH";
  bool ButtonEnabled = true;
  std::vector<Dialog> Dialogs;
  std::vector<std::string> Messages;  // plain message boxes
  std::vector<std::string> Exceptions;
  std::vector<CursorShape> Cursors;
  bool WindowCreated = false;
  bool WindowShown = false;
  bool WindowClosed = false;
  bool QuitPosted = false;
  int QuitCode = -1;
  unsigned SleptMilliseconds = 0;
  unsigned Sleeps = 0;
  bool Working = false;  // between BeginWork and EndWork
  int WorkSpells = 0;    // BeginWork calls
  int StepsRun = 0;      // RunBlocking steps
  int StepsRunWhileWorking = 0;

  // User actions, as the real toolkits deliver them to the form.
  void UserSelectsLine(int index);
  void UserTypesInCombo();  // the edit field changes: no line selected
  void UserClicksFile(const std::string& name);
  void UserPressesButton();

  // Every dialog text and message box text, in order.
  std::vector<std::string> AllDialogTexts() const;

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

  // Actions that RunMessageLoop performs in order, stopping early when a quit
  // request is posted: the user's part of a scripted run.
  std::vector<void (*)(RecordingToolkit&)> Script;

 private:
  TFlashForm* form_ = nullptr;
};
