// A flash program's start-up on drives whose INQUIRY replies are the fuzzer's,
// with a model record and image format marks from the fuzzer too: the warning is
// answered Yes and the drive list is built.
//
// Input: the drive count (0-31), then per drive a flags byte (bit 0: opening
// fails, bit 1: INQUIRY fails) and a reply length with that many reply bytes;
// then the model record (137 bytes: model, inquiry, range, vendor, note, firmware
// name, image size); then 32 bytes at each image format mark (0x1100, 0x4000,
// 0x4008, 0x14000).
#include <algorithm>
#include <cstring>

#include "fuzz/FuzzSupport.h"
#include "tests/Support.h"

namespace {

struct FakeDrive {
  bool OpenFails = false;
  bool InquiryFails = false;
  std::vector<std::uint8_t> Reply;
};

class InquiryTransport : public FakeTransport {
 public:
  std::vector<FakeDrive> Replies;

  CommandResult Execute(DeviceHandle handle, const DriveAddress&, const CommandRequest& request) override {
    const CommandResult result = GoodResult();
    const FakeDrive& drive = Replies.at(static_cast<std::size_t>(handle));
    if (request.Cdb[0] != 0x12) return result;
    if (drive.InquiryFails) return CheckResult(0x05, 0x24, 0x00);
    std::copy_n(drive.Reply.begin(), std::min<std::size_t>(drive.Reply.size(), request.Length), request.Data);
    return result;
  }

 protected:
  bool OpenFails(int target) const override { return Replies.at(static_cast<std::size_t>(target)).OpenFails; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::unique_ptr<FlashPackage> package = MakeTemplatePackage();
  FuzzInput in(data, size);

  InquiryTransport transport;
  transport.Drives = in.Byte() % 32;
  for (int i = 0; i < transport.Drives; ++i) {
    FakeDrive drive;
    const std::uint8_t flags = in.Byte();
    drive.OpenFails = (flags & 1) != 0;
    drive.InquiryFails = (flags & 2) != 0;
    drive.Reply = in.Bytes(in.Byte());
    transport.Replies.push_back(std::move(drive));
  }
  const std::vector<std::uint8_t> record = in.Bytes(kModelRecordSize);
  std::memset(package->ModelName, 0, kModelRecordSize);
  std::copy(record.begin(), record.end(), package->ModelName);
  for (std::uint32_t mark : {0x1100u, 0x4000u, 0x4008u, 0x14000u}) {
    const std::vector<std::uint8_t> bytes = in.Bytes(32);
    std::memset(package->ImageArea + mark, 0, 32);
    std::copy(bytes.begin(), bytes.end(), package->ImageArea + mark);
  }
  std::memset(package->ImageArea, 0, 4);  // never the template's sentinel

  const auto good = std::count_if(transport.Replies.begin(), transport.Replies.end(),
                                  [](const FakeDrive& d) { return !d.OpenFails && !d.InquiryFails; });
  Cddrive::ResetUnit();
  Cddrive::InstallTransport(&transport);
  {
    RecordingToolkit ui;
    ui.Answers = {DialogResult::Yes};
    TFlashForm form(ui, *package, {});
    ui.CreateMainWindow(form);
    form.FormCreate();

    FUZZ_CHECK(!ui.Dialogs.empty() && ui.Dialogs[0].Kind == DialogKind::Warning, "the warning comes first");
    FUZZ_CHECK(form.Drives && form.Drives->Count() == std::min<long>(good, TCdDrives::kMaxItems),
               "the drives that open and answer INQUIRY are listed, at most 24");
    const int lines = ui.ComboCount();
    if (ui.QuitPosted) {
      FUZZ_CHECK(lines == 0 && ui.Dialogs.size() == 2 && ui.Dialogs[1].Kind == DialogKind::Error,
                 "no drive qualifies: one error report");
      const std::string& report = ui.Dialogs[1].Text;
      FUZZ_CHECK(report.rfind("\nERROR:\n", 0) == 0, report);
      for (std::int16_t i = 0; i < form.Drives->Count(); ++i) {
        form.Drives->Select(i);
        const std::string text = form.Drives->Current->GetDriveText();
        FUZZ_CHECK(report.find(text + "\n") != std::string::npos, "the report lists drive " + text);
      }
    } else {
      FUZZ_CHECK(lines >= 1 && lines <= TFlashForm::kDriveIndexSize && ui.ComboSelected == 0,
                 "one to twenty drives offered, the first chosen");
      FUZZ_CHECK(form.Drive == form.Drives->Current && form.TransferBuffer != nullptr,
                 "the first is the drive");
      for (int line = 0; line < lines; ++line) {
        FUZZ_CHECK(form.Drives->Select(static_cast<std::int16_t>(form.DriveIndex[line])), "a listed drive");
        FUZZ_CHECK(form.CheckCondition(), "an offered drive qualifies");
        FUZZ_CHECK(form.Drives->Current->GetDriveText() == ui.ComboLines[static_cast<std::size_t>(line)],
                   "the line shows its drive");
        FUZZ_CHECK(form.Drives->Current->GetVendorProduct().size() == 24 &&
                       form.Drives->Current->GetRevision().size() == 4,
                   "identification and revision have their widths");
      }
    }
  }
  FUZZ_CHECK(transport.Opens == transport.Closes, "every drive opened is closed");
  Cddrive::InstallTransport(nullptr);
  return 0;
}
