#include "toolkit/recording/RecordingToolkit.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <stdexcept>

#include "app/FlashForm.h"
#include "common/System.h"

void RecordingToolkit::UserSelectsLine(int index) {
  ComboSelected = index;
  if (form_ != nullptr) form_->ComboBoxChange();
}

void RecordingToolkit::UserTypesInCombo() {
  ComboSelected = -1;
  if (form_ != nullptr) form_->ComboBoxChange();
}

void RecordingToolkit::UserClicksFile(const std::string& name) {
  const auto found = std::find(Files.begin(), Files.end(), name);
  if (found == Files.end()) throw std::logic_error("no such file in the list: " + name);
  if (form_ != nullptr) form_->FileListChosen(static_cast<int>(found - Files.begin()));
}

void RecordingToolkit::UserPressesButton() {
  if (!ButtonEnabled) throw std::logic_error("the button is disabled");
  if (form_ != nullptr) form_->FlashButtonClick();
}

std::vector<std::string> RecordingToolkit::AllDialogTexts() const {
  std::vector<std::string> texts;
  for (const Dialog& d : Dialogs) texts.push_back(d.Text);
  texts.insert(texts.end(), Messages.begin(), Messages.end());
  return texts;
}

void RecordingToolkit::SetApplicationTitle(const std::string& title) {
  ApplicationTitle = title;
}

void RecordingToolkit::CreateMainWindow(TFlashForm& form) {
  form_ = &form;
  WindowCreated = true;
}

void RecordingToolkit::ShowMainWindow() {
  if (!WindowClosed) WindowShown = true;
}

void RecordingToolkit::RunMessageLoop() {
  for (auto action : Script) {
    if (QuitPosted || WindowClosed) break;
    action(*this);
  }
}

void RecordingToolkit::CloseWindow() {
  WindowClosed = true;
  WindowShown = false;
}

void RecordingToolkit::PostQuit(int exitCode) {
  QuitPosted = true;
  QuitCode = exitCode;
}

void RecordingToolkit::ShowException(const std::string& text) {
  Exceptions.push_back(text);
}

void RecordingToolkit::SetWindowCaption(const std::string& caption) {
  Caption = caption;
  CaptionHistory.push_back(caption);
}

std::string RecordingToolkit::WindowCaption() const {
  return Caption;
}

void RecordingToolkit::SetLabelCaption(const std::string& caption) {
  Label = caption;
}

int RecordingToolkit::ComboCount() const {
  return static_cast<int>(ComboLines.size());
}

std::string RecordingToolkit::ComboLine(int index) const {
  return ComboLines.at(static_cast<std::size_t>(index));
}

void RecordingToolkit::ComboAdd(const std::string& line) {
  ComboLines.push_back(line);
}

void RecordingToolkit::ComboInsert(int index, const std::string& line) {
  if (index < 0 || index > ComboCount()) throw std::out_of_range("combo insert");
  ComboLines.insert(ComboLines.begin() + index, line);
}

void RecordingToolkit::ComboDelete(int index) {
  if (index < 0 || index >= ComboCount()) throw std::out_of_range("combo delete");
  ComboLines.erase(ComboLines.begin() + index);
  if (ComboSelected >= ComboCount()) ComboSelected = -1;
}

int RecordingToolkit::ComboIndex() const {
  return ComboSelected;
}

void RecordingToolkit::ComboSelect(int index) {
  ComboSelected = (index >= 0 && index < ComboCount()) ? index : -1;
}

void RecordingToolkit::ComboRedraw() {
  ++ComboRedraws;
}

void RecordingToolkit::FileListShow(const std::string&, const std::vector<std::string>& names) {
  ++FileListUpdates;
  Files = names;
}

void RecordingToolkit::FileListSetVisible(bool visible) {
  FileListVisible = visible;
}

void RecordingToolkit::SetGroupCaption(const std::string& caption) {
  Group = caption;
  GroupHistory.push_back(caption);
}

std::string RecordingToolkit::GroupCaption() const {
  return Group;
}

void RecordingToolkit::SetProgressMin(int value) {
  ProgressMin = value;
}
void RecordingToolkit::SetProgressMax(int value) {
  ProgressMax = value;
}

void RecordingToolkit::SetProgressPosition(int value) {
  Progress = value;
  ProgressHistory.push_back(value);
}

int RecordingToolkit::ProgressPosition() const {
  return Progress;
}
void RecordingToolkit::SetProgressStep(int value) {
  ProgressStep = value;
}

void RecordingToolkit::ProgressStepIt() {
  Progress += ProgressStep;
  ProgressHistory.push_back(Progress);
}

void RecordingToolkit::SetButtonCaption(const std::string& caption) {
  ButtonCaption = caption;
}
void RecordingToolkit::SetButtonEnabled(bool enabled) {
  ButtonEnabled = enabled;
}

DialogResult RecordingToolkit::MessageDialog(const std::string& text, DialogKind kind) {
  DialogResult answer = DialogResult::Ok;
  if (kind != DialogKind::Error) {
    answer = DefaultAnswer;
    if (!Answers.empty()) {
      answer = Answers.front();
      Answers.pop_front();
    }
  }
  Dialogs.push_back({text, kind, answer});
  return answer;
}

void RecordingToolkit::ShowMessage(const std::string& text) {
  Messages.push_back(text);
}

void RecordingToolkit::SetCursor(CursorShape shape) {
  Cursors.push_back(shape);
}

std::string RecordingToolkit::UpperCase(const std::string& text) const {
  std::string result = text;
  for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return result;
}

std::string RecordingToolkit::CurrentDirectory() const {
  return WorkingDirectory.empty() ? std::filesystem::current_path().string() : WorkingDirectory;
}

std::string RecordingToolkit::ProgramFilePath() const {
  return ProgramPath;
}
std::string RecordingToolkit::ProgramStartedPath() const {
  return StartedPath;
}

void RecordingToolkit::Sleep(unsigned milliseconds) {
  SleptMilliseconds += milliseconds;
  ++Sleeps;
}

void RecordingToolkit::BeginWork() {
  if (Working) throw std::logic_error("BeginWork while working");
  Working = true;
  ++WorkSpells;
}

void RecordingToolkit::EndWork() {
  if (!Working) throw std::logic_error("EndWork without BeginWork");
  Working = false;
}

void RecordingToolkit::RunBlocking(void (*step)(void*), void* context) {
  ++StepsRun;
  if (Working) ++StepsRunWhileWorking;
  step(context);
}
