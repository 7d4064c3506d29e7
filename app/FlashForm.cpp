#include "app/FlashForm.h"

#include <exception>

#include "common/Text.h"

const std::string CaptionText = " Flash Utility V1.050 ";
const char* const ApplicationTitle = "Windows Flash utility";
TFlashForm* FlashForm = nullptr;

void TFlashForm::Messages::ShowMessage(const std::string& text) {
  ui_.ShowMessage(text);
}

void TFlashForm::Messages::ShowErrorMessage(const std::string& text) {
  ui_.MessageDialog(text, DialogKind::Error);
}

void TFlashForm::Messages::Run(void (*step)(void*), void* context) {
  ui_.RunBlocking(step, context);
}

TFlashForm::TFlashForm(Toolkit& ui, const FlashPackage& package, IniReaderFactory iniReaders)
    : FileListBox1(ui), ui_(ui), package_(package), iniReaders_(std::move(iniReaders)), messages_(ui) {}

TFlashForm::~TFlashForm() {
  FormDestroy();
}

bool PackageNamesNoFirmwareRange(const FlashPackage& package) {
  const std::string range = FieldText(package.FirmwareRange, kTextFieldSize);
  return range.size() >= 6 && range[0] == '-' && range[5] == '-';
}

bool PackageAdmitsAnyModel(const FlashPackage& package) {
  const std::string inquiry = FieldText(package.InquiryId, kTextFieldSize);
  return inquiry.size() >= 2 && inquiry[0] == '-' && inquiry[1] == '-';
}

DriveAdmission DriveAdmission::ForPackage(const FlashPackage& package) {
  DriveAdmission admission;
  admission.InquiryText = Format("%-24.24s", FieldText(package.InquiryId, kTextFieldSize).c_str());
  // The bounds are read only from the text: a bound that lies past the field's
  // terminator is empty (blanks of its width), never bytes the field does not hold.
  const std::string range = FieldText(package.FirmwareRange, kTextFieldSize);
  admission.RangeLow = Format("%4.4s", range.c_str());
  admission.RangeHigh = Format("%4.4s", range.size() > 5 ? range.c_str() + 5 : "");
  admission.AnyModel = PackageAdmitsAnyModel(package);
  admission.NoRange = PackageNamesNoFirmwareRange(package);
  return admission;
}

bool TFlashForm::NamesNoFirmwareRange() const {
  return PackageNamesNoFirmwareRange(package_);
}

bool TFlashForm::AdmitsAnyModel() const {
  return PackageAdmitsAnyModel(package_);
}

void TFlashForm::FormCreate() {
  NewFormat1100 = false;
  NewFormatNamed = false;
  ProfileFound = false;
  NewFormatDvdRom = false;
  FlashAll = false;
  TransferBuffer = nullptr;
  ProfileCopy.clear();
  ImageBuffer.clear();
  ChunkBuffer.reset();

  ui_.SetWindowCaption(CaptionText);
  TemplateMode = IsTemplatePackage(package_);
  Cddrive::SetMessageSink(&messages_);
  Cddrive::SetCommandRunner(&messages_);

  if (TemplateMode) {
    StartDir = ui_.CurrentDirectory();
    FileListBox1.SetDirectory(StartDir);
    BuilderStartUp();
    return;
  }
  FlasherTexts();
  if (!FlasherWarning()) {
    EndProgram();
    return;
  }
  BuildDriveList();
}

void TFlashForm::FlasherTexts() {
  VendorText = ui_.UpperCase(FieldText(package_.VendorName, kTextFieldSize));
  ModelText = FieldText(package_.ModelName, kTextFieldSize);
  const DriveAdmission admission = DriveAdmission::ForPackage(package_);
  InquiryText = admission.InquiryText;
  RangeText = Format("%9.9s", FieldText(package_.FirmwareRange, kTextFieldSize).c_str());
  RangeLow = admission.RangeLow;
  RangeHigh = admission.RangeHigh;
  ui_.SetLabelCaption("Select the " + VendorText + " drive you want to update:");
}

bool TFlashForm::FlasherWarning() {
  std::string text = "\nWARNING:\n";
  text += "\nThis flash utility only supports ";
  text += VendorText;
  text += " ";
  text += ModelText;
  if (NamesNoFirmwareRange()) {
    text += " drive. ";
    text += "\nPlease REMOVE disc and close all applications before run this utility!";
    text += "\nDon't turn off the system while flash is in progress! ";
  } else {
    text += " drive with firmware:";
    text += RangeText;
    text += "\nPlease REMOVE disc and close all applications before run this utility! ";
    text += "\nDon't turn off the system while the flash is in progress!";
  }
  text += "\n\nDo you wish to continue?\n";
  return ui_.MessageDialog(text, DialogKind::Warning) == DialogResult::Yes;
}

void TFlashForm::EndProgram() {
  ui_.PostQuit(0);
  ui_.CloseWindow();
}

void TFlashForm::ComboBoxChange() {
  if (TemplateMode) {
    ComboBoxChangeBuilder();
  } else {
    ComboBoxChangeFlasher();
  }
}

void TFlashForm::FlashButtonClick() {
  if (TemplateMode) {
    BuildFlashProgram();
  } else {
    UpdateFirmware();
  }
}

void TFlashForm::FormDestroy() {
  ModelList.reset();
  InquiryList.reset();
  FwRangeList.reset();
  BinMaskList.reset();
  VendorList.reset();
  NoteList.reset();
  Drive = nullptr;
  Drives.reset();
  // No drive may keep using the window's buffer once it is gone.
  Cddrive::UnitState& unit = Cddrive::Unit();
  if (TransferBuffer != nullptr && unit.Buffer == TransferBuffer) {
    unit.Buffer = unit.DefaultBuffer;
    unit.BufferSize = Cddrive::kDefaultBufferSize;
  }
  TransferBuffer = nullptr;
  transferStorage_.reset();
  ChunkBuffer.reset();
  ProfileCopy = {};
  ImageBuffer = {};
  Cddrive::SetMessageSink(nullptr);
  Cddrive::SetCommandRunner(nullptr);
}

int RunApplication(Toolkit& ui, const FlashPackage& package, IniReaderFactory iniReaders) {
  try {
    ui.SetApplicationTitle(ApplicationTitle);
    TFlashForm form(ui, package, std::move(iniReaders));
    FlashForm = &form;
    ui.CreateMainWindow(form);
    form.FormCreate();
    ui.ShowMainWindow();
    ui.RunMessageLoop();
    form.FormDestroy();
    FlashForm = nullptr;
  } catch (const std::exception& e) {
    FlashForm = nullptr;
    ui.ShowException(e.what());
  }
  return 0;
}
