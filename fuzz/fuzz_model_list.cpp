// The model list file as a template reads it at start: the fuzzer's bytes are
// FLASH.INI beside the program file FLASH.EXE, read through the Linux INI reader
// by the builder's start-up on the recording toolkit. When models load, each is
// chosen in turn, and the first is built into a flash program whose record must
// carry the values the start-up stored.
#include <algorithm>
#include <cstring>

#include "builder/Builder.h"
#include "common/Text.h"
#include "fuzz/FuzzSupport.h"
#include "platform/linux/Platform.h"
#include "tests/Support.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kCodeBefore = 64;  // program bytes in front of the package
constexpr std::size_t kAreaKept = 256;   // image area in the template file
const std::uint8_t kFirmware[] = "SIMREV=1A2B firmware bytes of the fuzz target";

struct Fixed {
  fs::path Dir = FuzzScratchDir();
  fs::path Program = Dir / "FLASH.EXE";
  fs::path List = Dir / "FLASH.INI";
  std::unique_ptr<FlashPackage> Package = MakeTemplatePackage();

  Fixed() {
    // A template program file: code, the keyword, a record, the start of the
    // image area with the sentinel.
    std::vector<std::uint8_t> file(kCodeBefore, 0x90);
    const char* keyword = Package->PackageKeyword;
    file.insert(file.end(), keyword, keyword + kKeywordSize);
    file.resize(file.size() + kModelRecordSize, 0x5A);
    file.insert(file.end(), TemplateSentinel, TemplateSentinel + 4);
    file.resize(file.size() + kAreaKept - 4, 0xA5);
    WriteFuzzFile(Program, file.data(), file.size());
    WriteFuzzFile(Dir / "1A2B.BIN", kFirmware, sizeof kFirmware);
    WriteFuzzFile(Dir / "2000.DVD", kFirmware, sizeof kFirmware);
    WriteFuzzFile(Dir / "notes.txt", "text");
  }
};

std::string RecordText(const std::vector<std::uint8_t>& file, std::size_t at) {
  return FieldText(reinterpret_cast<const char*>(file.data() + at), kTextFieldSize);
}

// The built program's record holds the chosen model's stored values.
void CheckBuiltRecord(const Fixed& fixed, const TFlashForm& form, std::size_t k) {
  const fs::path built = fixed.Dir / "1A2B.EXE";
  std::ifstream in(built, std::ios::binary);
  const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
  const std::size_t record = kCodeBefore + kKeywordSize;
  FUZZ_CHECK(file.size() == record + kModelRecordSize + kAreaKept, "built program of the template's size");
  const auto field = [&](std::size_t offset) { return record + offset - offsetof(FlashPackage, ModelName); };
  const std::pair<std::size_t, const std::vector<std::string>*> fields[] = {
      {offsetof(FlashPackage, ModelName), form.ModelList.get()},
      {offsetof(FlashPackage, InquiryId), form.InquiryList.get()},
      {offsetof(FlashPackage, FirmwareRange), form.FwRangeList.get()},
      {offsetof(FlashPackage, VendorName), form.VendorList.get()},
      {offsetof(FlashPackage, NoteText), form.NoteList.get()}};
  for (const auto& [offset, list] : fields) {
    FUZZ_CHECK(RecordText(file, field(offset)) == (*list)[k], "stamped field " + (*list)[k]);
  }
  FUZZ_CHECK(
      std::memcmp(file.data() + field(offsetof(FlashPackage, ImageArea)), kFirmware, sizeof kFirmware) == 0,
      "stamped image");
  fs::remove(built);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Fixed fixed;
  const KeepWorkingDirectory keep;
  WriteFuzzFile(fixed.List, data, size);

  RecordingToolkit ui;
  ui.ProgramPath = fixed.Program.string();
  ui.StartedPath = "./FLASH.EXE";
  ui.WorkingDirectory = fixed.Dir.string();
  TFlashForm form(ui, *fixed.Package, [] { return MakeIniReader(); });
  ui.CreateMainWindow(form);
  form.FormCreate();

  if (ui.QuitPosted) {
    FUZZ_CHECK(ui.WindowClosed && ui.Messages.size() == 1, "a failed start-up says why, once, and ends");
    FUZZ_CHECK(ui.Messages[0].rfind(fixed.List.string() + " > Session MODEL", 0) == 0, ui.Messages[0]);
    return 0;
  }
  const auto models = static_cast<std::size_t>(ui.ComboCount());
  FUZZ_CHECK(ui.Messages.empty() && models >= 1 && models <= 100, "models loaded without a message");
  FUZZ_CHECK(ui.ComboSelected == 0 && ui.Label == "Select Model: " && ui.ButtonCaption == "Build",
             "the builder's window");
  for (const auto* list : {form.ModelList.get(), form.InquiryList.get(), form.FwRangeList.get(),
                           form.BinMaskList.get(), form.VendorList.get(), form.NoteList.get()}) {
    FUZZ_CHECK(list->size() == models || list->size() == models + 1, "one entry per section read");
  }
  for (std::size_t k = 0; k < models; ++k) {
    FUZZ_CHECK((*form.ModelList)[k] != "FAIL", "a missing Model ends the list");
    FUZZ_CHECK((*form.InquiryList)[k].size() == 24, "Inquiry is stored 24 characters wide");
    for (const auto* list :
         {form.ModelList.get(), form.FwRangeList.get(), form.VendorList.get(), form.NoteList.get()}) {
      FUZZ_CHECK((*list)[k].size() <= 24, "a stored value fits its record field: " + (*list)[k]);
    }
    FUZZ_CHECK(ui.ComboLines[k].rfind((*form.FwRangeList)[k], 0) == 0, "the line starts with the range");
  }

  // Every model narrows the list to files of its mask, all present in the folder.
  for (std::size_t k = std::min<std::size_t>(models, 4); k-- > 0;) {
    ui.UserSelectsLine(static_cast<int>(k));
    FUZZ_CHECK(form.FileListBox1.Mask() == (*form.BinMaskList)[k] && !ui.ButtonEnabled, "choosing a model");
    for (const std::string& name : ui.Files) {
      FUZZ_CHECK(fs::is_regular_file(fixed.Dir / name), "listed file " + name);
    }
  }
  // Model 0 is chosen last; build from its firmware file when its mask shows one.
  if (std::find(ui.Files.begin(), ui.Files.end(), "1A2B.BIN") == ui.Files.end()) return 0;
  ui.UserClicksFile("1A2B.BIN");
  ui.UserPressesButton();
  FUZZ_CHECK(ui.Messages.empty() && ui.Group == "Build 1A2B.EXE complete!", "the build succeeds");
  CheckBuiltRecord(fixed, form, 0);
  return 0;
}
