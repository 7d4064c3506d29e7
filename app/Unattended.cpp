#include "app/Unattended.h"

#include <chrono>
#include <exception>
#include <ostream>

#include "app/FlashForm.h"
#include "app/Progress.h"
#include "app/SystemGuard.h"
#include "common/System.h"
#include "common/Text.h"

namespace {

std::string Trimmed(const std::string& text) {
  const std::size_t end = text.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

// A dialog's text on one line: its line breaks as single blanks.
std::string OneLine(const std::string& text) {
  std::string line;
  for (char c : text) {
    if (c == '\n' || c == '\r') {
      if (!line.empty() && line.back() != ' ') line += ' ';
    } else {
      line += c;
    }
  }
  return Trimmed(line);
}

// The window without a window: the combo box's lines are kept, the questions
// are answered Yes (the command line has decided before the form asks), and what
// a person would have read goes to the error stream.
class UnattendedToolkit : public Toolkit {
 public:
  UnattendedToolkit(const UnattendedHost& host, std::ostream& err) : host_(host), err_(err) {}

  // Warnings are shown only once the update is meant: a dry run shows none.
  bool ShowWarnings = false;
  std::vector<std::string> Errors;  // the error dialogs' and messages' texts, in order
  bool QuitAsked = false;

  void SetApplicationTitle(const std::string&) override {}
  void CreateMainWindow(TFlashForm&) override {}
  void ShowMainWindow() override {}
  void RunMessageLoop() override {}
  void CloseWindow() override {}
  void PostQuit(int) override { QuitAsked = true; }
  void ShowException(const std::string& text) override { Say(EscapedText(text)); }

  void SetWindowCaption(const std::string& caption) override { caption_ = caption; }
  std::string WindowCaption() const override { return caption_; }
  void SetLabelCaption(const std::string&) override {}

  int ComboCount() const override { return static_cast<int>(lines_.size()); }
  std::string ComboLine(int index) const override {
    return index >= 0 && index < ComboCount() ? lines_[static_cast<std::size_t>(index)] : std::string();
  }
  void ComboAdd(const std::string& line) override { lines_.push_back(line); }
  void ComboInsert(int index, const std::string& line) override {
    if (index >= 0 && index <= ComboCount()) lines_.insert(lines_.begin() + index, line);
  }
  void ComboDelete(int index) override {
    if (index >= 0 && index < ComboCount()) lines_.erase(lines_.begin() + index);
  }
  int ComboIndex() const override { return comboIndex_; }
  void ComboSelect(int index) override { comboIndex_ = index >= 0 && index < ComboCount() ? index : -1; }
  void ComboRedraw() override {}

  void FileListShow(const std::string&, const std::vector<std::string>&) override {}
  void FileListSetVisible(bool) override {}

  void SetGroupCaption(const std::string& caption) override {
    if (caption == group_) return;
    group_ = caption;
    Say("Status: " + caption);
  }
  std::string GroupCaption() const override { return group_; }

  void SetProgressMin(int value) override {
    minimum_ = value;
    quarters_ = 0;
  }
  void SetProgressMax(int value) override {
    maximum_ = value;
    quarters_ = 0;
  }
  void SetProgressPosition(int value) override {
    position_ = value;
    DrawProgress();
  }
  int ProgressPosition() const override { return position_; }
  void SetProgressStep(int value) override { step_ = value; }
  void ProgressStepIt() override {
    position_ += step_;
    DrawProgress();
  }

  void SetButtonCaption(const std::string&) override {}
  void SetButtonEnabled(bool) override {}

  DialogResult MessageDialog(const std::string& text, DialogKind kind) override {
    if (kind == DialogKind::Error) {
      Errors.push_back(text);
      Say(EscapedText(text, LocaleIsUtf8(), true));
      return DialogResult::Ok;
    }
    if (kind == DialogKind::Warning && ShowWarnings) Say(EscapedText(text, LocaleIsUtf8(), true));
    return DialogResult::Yes;
  }
  void ShowMessage(const std::string& text) override {
    Errors.push_back(text);
    Say(EscapedText(text, LocaleIsUtf8(), true));
  }

  void SetCursor(CursorShape) override {}
  std::string UpperCase(const std::string& text) const override {
    if (host_.UpperCase) return host_.UpperCase(text);
    std::string upper = text;
    for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    return upper;
  }
  std::string CurrentDirectory() const override { return {}; }
  std::string ProgramFilePath() const override { return host_.ProgramFile; }
  std::string ProgramStartedPath() const override { return host_.StartedPath; }
  void Sleep(unsigned milliseconds) override {
    if (host_.Sleep) host_.Sleep(milliseconds);
  }

  void BeginWork() override {
    working_ = true;
    if (host_.HoldWork) host_.HoldWork();
  }
  void EndWork() override {
    EndBar();
    working_ = false;
    if (host_.ReleaseWork) host_.ReleaseWork();
  }
  void RunBlocking(void (*step)(void*), void* context) override {
    if (working_ && host_.RunHeld) {
      host_.RunHeld(step, context);
    } else {
      step(context);
    }
  }

  // A line on the error stream, after the bar when one is drawn.
  void Say(const std::string& text) {
    EndBar();
    std::size_t start = text.find_first_not_of('\n');
    if (start == std::string::npos) return;
    std::size_t end = text.find_last_not_of('\n');
    err_ << text.substr(start, end + 1 - start) << '\n' << std::flush;
  }

 private:
  void DrawProgress() {
    const int percent = ProgressPercent(minimum_, maximum_, position_);
    if (host_.ErrIsTerminal) {
      if (!barOpen_ && position_ <= minimum_) return;
      err_ << "\r  " << ProgressBar(percent) << std::flush;
      barOpen_ = true;
      return;
    }
    if (QuarterReached(percent, quarters_)) err_ << "  " << ProgressBar(percent) << '\n' << std::flush;
  }
  void EndBar() {
    if (!barOpen_) return;
    err_ << '\n';
    barOpen_ = false;
  }

  const UnattendedHost& host_;
  std::ostream& err_;
  std::vector<std::string> lines_;
  int comboIndex_ = -1;
  std::string caption_, group_;
  int minimum_ = 0, maximum_ = 100, position_ = 0, step_ = 10, quarters_ = 0;
  bool barOpen_ = false;
  bool working_ = false;
};

// Whether --drive's text names the drive: its line as --list shows it (with or
// without the mark before it), its address, its letter (with or without the
// colon, in either case) or its node.
bool Names(const std::string& id, const DriveFacts& drive) {
  std::string line = id;
  if (line.rfind("* ", 0) == 0 || line.rfind("  ", 0) == 0) line = line.substr(2);
  if (!line.empty() && (line == drive.Line || line == EscapedText(drive.Line))) return true;
  if (id == drive.Address || (!drive.Node.empty() && id == drive.Node)) return true;
  if (drive.Letter.empty() || id.empty() || id.size() > 2 || (id.size() == 2 && id[1] != ':')) return false;
  return (id[0] | 0x20) == (drive.Letter[0] | 0x20);
}

}  // namespace

std::string DriveListText(const std::vector<DriveFacts>& drives, bool templateMode) {
  if (drives.empty()) return "No drive found.\n";
  std::string text;
  for (const DriveFacts& drive : drives)
    text += (drive.Admitted ? "* " : "  ") + EscapedText(drive.Line) + '\n';
  return text + (templateMode ? "This program is a template: it updates no drive.\n"
                              : "*: this flash program updates the drive.\n");
}

DriveFacts FactsOf(const TCdDrive& drive, bool admitted) {
  DriveFacts facts;
  facts.Line = drive.DriveText;
  facts.Address = Format("%d-%d-%d", drive.HaId, drive.Target, drive.Lun);
  if (drive.DriveLetter != ' ') facts.Letter = std::string(1, drive.DriveLetter);
  facts.Node = drive.Locator;
  const std::string identification = drive.GetVendorProduct();
  facts.Vendor = Trimmed(identification.substr(0, 8));
  facts.Product = Trimmed(identification.substr(8));
  facts.Revision = Trimmed(drive.GetRevision());
  facts.Admitted = admitted;
  return facts;
}

const char* OutcomeName(UnattendedResult::Outcome outcome) {
  switch (outcome) {
    case UnattendedResult::Outcome::DryRun:
      return "dry run";
    case UnattendedResult::Outcome::Updated:
      return "updated";
    case UnattendedResult::Outcome::Current:
      return "already current";
    case UnattendedResult::Outcome::Refused:
      return "refused";
    case UnattendedResult::Outcome::Failed:
      break;
  }
  return "failed";
}

UnattendedResult RunUnattendedUpdate(const UnattendedOptions& options, const FlashPackage& package,
                                     IniReaderFactory iniReaders, const UnattendedHost& host,
                                     std::ostream& err,
                                     const std::function<std::unique_ptr<Toolkit>(Toolkit&)>& wrap) {
  const auto started = std::chrono::steady_clock::now();
  UnattendedResult result;
  UnattendedToolkit ui(host, err);
  ui.ShowWarnings = options.Yes;
  using Outcome = UnattendedResult::Outcome;
  const auto refuse = [&result](const std::string& why) {
    result.What = Outcome::Refused;
    result.Reason = why;
  };
  try {
    const std::unique_ptr<Toolkit> wrapped = wrap ? wrap(ui) : nullptr;
    TFlashForm form(wrapped ? *wrapped : ui, package, std::move(iniReaders));
    FlashForm = &form;
    // The window's start: its warning (answered Yes), then every drive asked for
    // its identity and the qualifying ones listed.
    form.FormCreate();
    const int found = form.Drives ? form.Drives->Count() : 0;
    for (int i = 0; i < found; ++i) {
      form.Drives->Select(static_cast<std::int16_t>(i));
      result.Drives.push_back(FactsOf(*form.Drives->Current, form.CheckCondition()));
    }
    result.NewRevision = Format("%4.4s", FieldText(package.FirmwareName, kFirmwareNameSize).c_str());

    // The drive: the one --drive names, or the one that qualifies. Its line in
    // the window's list is chosen as the user would choose it.
    int line = -1;
    if (ui.QuitAsked || ui.ComboCount() == 0) {
      refuse(OneLine(ui.Errors.empty() ? "No drive qualifies." : ui.Errors.back()));
    } else if (options.Drive.empty() && ui.ComboCount() > 1) {
      refuse("more than one drive qualifies; choose one with --drive");
      ui.Say(DriveListText(result.Drives, false));
    } else {
      int named = -1, matches = 0;
      for (int i = 0; i < found && !options.Drive.empty(); ++i) {
        if (!Names(options.Drive, result.Drives[static_cast<std::size_t>(i)])) continue;
        named = i;
        ++matches;
      }
      if (options.Drive.empty()) {
        line = 0;
      } else if (matches != 1) {
        refuse(Format(matches == 0 ? "no drive is %s" : "more than one drive is %s",
                      EscapedText(options.Drive).c_str()));
        ui.Say(DriveListText(result.Drives, false));
      } else if (!result.Drives[static_cast<std::size_t>(named)].Admitted) {
        refuse("this flash program does not update the drive " +
               EscapedText(result.Drives[static_cast<std::size_t>(named)].Line));
      } else {
        for (int i = 0; i < ui.ComboCount() && line < 0; ++i) {
          if (form.DriveIndex[i] == named) line = i;
        }
        if (line < 0) refuse("the drive is beyond the 20 drives the window lists");
      }
    }

    if (line >= 0) {
      form.Ui().ComboSelect(line);
      form.ComboBoxChange();
      result.Chosen = form.DriveIndex[line];
      result.RevisionBefore = result.Drives[static_cast<std::size_t>(result.Chosen)].Revision;
      const std::string current = form.Drive->GetRevision();
      const int order = CompareBytes(current, result.NewRevision);
      // The window asks its "most updated" question of such a drive.
      const bool upToDate = order == 0 || (order > 0 && !form.NamesNoFirmwareRange());
      if (upToDate && !options.Force) {
        result.What = Outcome::Current;
      } else if (!options.Yes) {
        // What the update refuses before its first drive command, its dry run
        // refuses as well.
        const PowerReading power = InstalledSystemGuard().ReadPower();
        if (form.ImageSize == 0 || form.ImageSize > kImageAreaSize) {
          refuse(Format("the firmware image in this flash program is damaged (size %u bytes, limit %u)",
                        static_cast<unsigned>(form.ImageSize), static_cast<unsigned>(kImageAreaSize)));
        } else if (PowerTooLowToUpdate(power)) {
          refuse(OneLine(LowPowerText(power)));
        } else {
          result.What = Outcome::DryRun;
        }
      } else {
        const std::size_t before = ui.Errors.size();
        form.FlashButtonClick();
        // The first words the update said of its end (access advice may follow them).
        const std::string said = ui.Errors.size() > before ? OneLine(ui.Errors[before]) : std::string();
        switch (form.LastUpdate) {
          case TFlashForm::UpdateOutcome::Updated:
            result.What = Outcome::Updated;
            // The line refreshed after the commit holds the revision the drive reports now.
            result.RevisionAfter = Trimmed(form.Drive->GetRevision());
            break;
          case TFlashForm::UpdateOutcome::Refused:
            refuse(said);
            break;
          default:
            result.What = Outcome::Failed;
            result.Step = form.LastUpdateStep;
            result.Reason = said;
            if (form.Drive->Outcome != CommandOutcome::Good || !form.Drive->SenseIs(0, 0, 0)) {
              result.Sense = form.Drive->SenseText();
            }
            break;
        }
      }
    }
    form.FormDestroy();
    FlashForm = nullptr;
  } catch (const std::exception& e) {
    FlashForm = nullptr;
    result.What = Outcome::Failed;
    result.Reason = e.what();
    ui.Say(EscapedText(e.what()));
  }
  result.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return result;
}
