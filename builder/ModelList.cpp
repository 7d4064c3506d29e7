// The builder start-up and the model list file: one section per model, MODEL00
// to MODEL99, read through the platform's INI reader into the six model lists
// and the lines of the ComboBox.
#include "app/FlashForm.h"
#include "builder/Builder.h"
#include "common/System.h"
#include "common/Text.h"

namespace {

constexpr int kMostModels = 100;
const std::string kMissing = "FAIL";  // the default of every key, and a value that counts as absent

bool IsMissing(const std::string& value) {
  return value == kMissing;
}

bool IsPresentFile(const std::string& path) {
  const FileKind kind = KindOfFile(path);
  return kind == FileKind::Regular || kind == FileKind::Other;
}

}  // namespace

std::string ModelListPath(const std::string& programFile) {
  return PathWithExtension(programFile, ".INI");
}

void TFlashForm::BuilderStartUp() {
  if (!RetriveINI()) return;  // the program is ending
  ui_.FileListSetVisible(true);
  ui_.SetLabelCaption("Select Model: ");
  ui_.SetButtonCaption("Build");
  ui_.SetButtonEnabled(false);  // choosing a file enables it
}

bool TFlashForm::RetriveINI() {
  ModelList = std::make_unique<std::vector<std::string>>();
  InquiryList = std::make_unique<std::vector<std::string>>();
  FwRangeList = std::make_unique<std::vector<std::string>>();
  BinMaskList = std::make_unique<std::vector<std::string>>();
  VendorList = std::make_unique<std::vector<std::string>>();
  NoteList = std::make_unique<std::vector<std::string>>();

  const std::string program = ui_.ProgramFilePath();
  if (program.empty()) {
    ui_.ShowMessage(
        "Can't load the model list: this program cannot find its own file, beside which the list lies.");
    EndProgram();
    return false;
  }
  const std::string path = ModelListPath(program);
  std::unique_ptr<IniReader> reader = iniReaders_ ? iniReaders_() : nullptr;
  if (!IsPresentFile(path) || reader == nullptr || !reader->Open(path)) {
    ui_.ShowMessage("Can't load " + path);
    EndProgram();
    return false;
  }

  int models = 0;
  bool incomplete = false;
  std::string section;
  for (int n = 0; n < kMostModels; ++n) {
    section = Format("%5.5s%02d", "MODEL", n);
    const std::string model = reader->ReadString(section, "Model", kMissing);
    const std::string inquiry = reader->ReadString(section, "Inquiry", kMissing);
    const std::string range = reader->ReadString(section, "FW-Range", kMissing);
    const std::string mask = reader->ReadString(section, "BINMask", kMissing);
    const std::string vendor = reader->ReadString(section, "Vendor", kMissing);
    const std::string note = reader->ReadString(section, "Note", kMissing);
    ModelList->push_back(model);
    InquiryList->push_back(inquiry);
    FwRangeList->push_back(range);
    BinMaskList->push_back(mask);
    VendorList->push_back(vendor);
    NoteList->push_back(note);

    if (IsMissing(model)) break;  // the list of models ends here
    if (IsMissing(inquiry) || IsMissing(range) || IsMissing(mask) || IsMissing(vendor) || IsMissing(note)) {
      incomplete = true;
      break;
    }
    ui_.ComboAdd(range + " " + inquiry);
    // Every stored value fits a 25-byte text field of the model record with its terminator.
    ModelList->back() = Format("%.24s", model.c_str());
    InquiryList->back() = Format("%-24.24s", inquiry.c_str());
    FwRangeList->back() = Format("%.24s", range.c_str());
    VendorList->back() = Format("%.24s", vendor.c_str());
    NoteList->back() = Format("%.24s", note.c_str());
    ++models;
  }
  reader->Close();

  if (incomplete || models == 0) {
    ui_.ShowMessage(path + " > Session " + section + " error!");
    EndProgram();
    return false;
  }
  ui_.ComboSelect(0);
  ComboBoxChange();
  return true;
}
