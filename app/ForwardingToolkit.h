// A toolkit that hands every call on to another one. A wrapper that watches a
// few calls derives from it and overrides only those; the rest reach the inner
// toolkit unchanged, and a call added to Toolkit is forwarded here once.
#pragma once

#include <string>
#include <vector>

#include "app/Toolkit.h"

class ForwardingToolkit : public Toolkit {
 public:
  explicit ForwardingToolkit(Toolkit& inner) : inner_(inner) {}

  void SetApplicationTitle(const std::string& title) override { inner_.SetApplicationTitle(title); }
  void CreateMainWindow(TFlashForm& form) override { inner_.CreateMainWindow(form); }
  void ShowMainWindow() override { inner_.ShowMainWindow(); }
  void RunMessageLoop() override { inner_.RunMessageLoop(); }
  void CloseWindow() override { inner_.CloseWindow(); }
  void PostQuit(int exitCode) override { inner_.PostQuit(exitCode); }
  void ShowException(const std::string& text) override { inner_.ShowException(text); }
  void SetWindowCaption(const std::string& caption) override { inner_.SetWindowCaption(caption); }
  std::string WindowCaption() const override { return inner_.WindowCaption(); }
  void SetLabelCaption(const std::string& caption) override { inner_.SetLabelCaption(caption); }
  int ComboCount() const override { return inner_.ComboCount(); }
  std::string ComboLine(int index) const override { return inner_.ComboLine(index); }
  void ComboAdd(const std::string& line) override { inner_.ComboAdd(line); }
  void ComboInsert(int index, const std::string& line) override { inner_.ComboInsert(index, line); }
  void ComboDelete(int index) override { inner_.ComboDelete(index); }
  int ComboIndex() const override { return inner_.ComboIndex(); }
  void ComboSelect(int index) override { inner_.ComboSelect(index); }
  void ComboRedraw() override { inner_.ComboRedraw(); }
  void FileListShow(const std::string& mask, const std::vector<std::string>& names) override {
    inner_.FileListShow(mask, names);
  }
  void FileListSetVisible(bool visible) override { inner_.FileListSetVisible(visible); }
  void SetGroupCaption(const std::string& caption) override { inner_.SetGroupCaption(caption); }
  std::string GroupCaption() const override { return inner_.GroupCaption(); }
  void SetProgressMin(int value) override { inner_.SetProgressMin(value); }
  void SetProgressMax(int value) override { inner_.SetProgressMax(value); }
  void SetProgressPosition(int value) override { inner_.SetProgressPosition(value); }
  int ProgressPosition() const override { return inner_.ProgressPosition(); }
  void SetProgressStep(int value) override { inner_.SetProgressStep(value); }
  void ProgressStepIt() override { inner_.ProgressStepIt(); }
  void SetButtonCaption(const std::string& caption) override { inner_.SetButtonCaption(caption); }
  void SetButtonEnabled(bool enabled) override { inner_.SetButtonEnabled(enabled); }
  DialogResult MessageDialog(const std::string& text, DialogKind kind) override {
    return inner_.MessageDialog(text, kind);
  }
  void ShowMessage(const std::string& text) override { inner_.ShowMessage(text); }
  void SetCursor(CursorShape shape) override { inner_.SetCursor(shape); }
  std::string UpperCase(const std::string& text) const override { return inner_.UpperCase(text); }
  std::string CurrentDirectory() const override { return inner_.CurrentDirectory(); }
  std::string ProgramFilePath() const override { return inner_.ProgramFilePath(); }
  std::string ProgramStartedPath() const override { return inner_.ProgramStartedPath(); }
  void Sleep(unsigned milliseconds) override { inner_.Sleep(milliseconds); }
  void BeginWork() override { inner_.BeginWork(); }
  void EndWork() override { inner_.EndWork(); }
  void RunBlocking(void (*step)(void*), void* context) override { inner_.RunBlocking(step, context); }

 protected:
  Toolkit& Inner() const { return inner_; }

 private:
  Toolkit& inner_;
};
