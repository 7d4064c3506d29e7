// The drive list of a flash program and the eligibility check.
#include <algorithm>

#include "app/FlashForm.h"
#include "common/Text.h"

namespace {

// Vendor "QVXR", two blanks and the start of the product "DVD-ROM": a drive of
// the family carries it at characters 3 to 15 of its identification.
const std::string kFamilyIdentification = "QVXR  DVD-ROM";
constexpr std::size_t kFamilyOffset = 2;

const std::string kDetectedDrives =
    "\nDetected drives:\n-----------------------------------------------------------\n";

}  // namespace

bool DriveAdmission::Admits(const std::string& id, const std::string& revision) const {
  if (AnyModel) return true;

  const bool sameModel = CompareBytes(id, InquiryText) == 0;
  const bool family =
      id.size() >= kFamilyOffset + kFamilyIdentification.size() &&
      CompareBytes(id.substr(kFamilyOffset, kFamilyIdentification.size()), kFamilyIdentification) == 0;
  if (!sameModel && !family) return false;

  if (NoRange) return true;
  if (CompareBytes(revision, RangeLow) < 0) return false;
  if (CompareBytes(revision, RangeHigh) > 0) return false;
  return true;
}

bool TFlashForm::CheckCondition() {
  if (!Drives || Drives->Current == nullptr) return false;
  const TCdDrive& drive = *Drives->Current;
  const DriveAdmission admission{InquiryText, RangeLow, RangeHigh, AdmitsAnyModel(), NamesNoFirmwareRange()};
  return admission.Admits(drive.GetVendorProduct(), drive.GetRevision());
}

void TFlashForm::BuildDriveList() {
  ui_.FileListSetVisible(false);
  ui_.SetWindowCaption(VendorText + CaptionText + ModelText);

  std::string report = "\nERROR:\n";
  report += "\nCan't found ";
  report += ModelText;
  if (NamesNoFirmwareRange()) {
    report += " drive !\n";
    report += "\nThis flash utility only supports ";
    report += ModelText;
    report += "\n";
  } else {
    report += " firmware : ";
    report += RangeText;
    report += " drive !\n";
    report += "\nThis flash utility only supports ";
    report += ModelText;
    report += " firmware: ";
    report += RangeText;
    report += "\n";
  }

  Drives = std::make_unique<TCdDrives>();
  if (Drives->Count() == 0) {
    report += "\nCan't find ATAPI Drive !\n";
    ui_.ComboSelect(-1);
    ui_.MessageDialog(report, DialogKind::Error);
    EndProgram();
    return;
  }

  report += kDetectedDrives;
  int lines = 0;
  for (int i = 0; i < Drives->Count(); ++i) {
    Drives->Select(static_cast<std::int16_t>(i));
    if (CheckCondition()) {
      // DriveIndex holds kDriveIndexSize lines; eligible drives beyond them are not offered.
      if (lines < kDriveIndexSize) {
        ui_.ComboAdd(Drives->Current->GetDriveText());
        DriveIndex[lines] = i;
        ++lines;
      }
    } else {
      report += Drives->Current->GetDriveText();
      report += "\n";
    }
  }

  if (lines == 0) {
    ui_.MessageDialog(report, DialogKind::Error);
    EndProgram();
    return;
  }

  ui_.ComboSelect(0);
  Drives->Select(static_cast<std::int16_t>(DriveIndex[0]));
  transferStorage_ = std::make_unique<std::uint8_t[]>(kTransferSize);
  Drives->Current->SetBuffer(transferStorage_.get(), kTransferSize);
  TransferBuffer = Drives->Current->GetBuffer();
  CheckNewFormatBIN();
  ComboBoxChange();
}

void TFlashForm::ComboBoxChangeFlasher() {
  if (!Drives) return;
  // With the edit field the handler can run with no line chosen: the drive stays.
  const int line = ui_.ComboIndex();
  const int filled = std::min(ui_.ComboCount(), kDriveIndexSize);
  if (line < 0 || line >= filled) return;
  Drives->Select(static_cast<std::int16_t>(DriveIndex[line]));
  Drive = Drives->Current;
}
