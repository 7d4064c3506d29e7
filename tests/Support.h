// Helpers shared by the tests: packages of a test's choosing, and a window on the
// recording toolkit.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/FlashForm.h"
#include "app/FlashPackage.h"
#include "toolkit/recording/RecordingToolkit.h"

struct PackageFields {
  std::string Model = "CRW-5224A";
  std::string Inquiry = "QVXR    CRW-5224A";
  std::string Range = "1000-1FFF";
  std::string Vendor = "Qvxr";
  std::string Note = "";
  std::string FirmwareName = "2000.";
};

// A template: keyword and sentinel, nothing else.
inline std::unique_ptr<FlashPackage> MakeTemplatePackage() {
  auto package = std::make_unique<FlashPackage>();
  std::memset(package.get(), 0, sizeof(FlashPackage));
  std::memcpy(package->PackageKeyword, EmbeddedPackage().PackageKeyword, kKeywordSize);
  std::memcpy(package->ImageArea, TemplateSentinel, 4);
  return package;
}

inline void PutText(char* field, std::size_t width, const std::string& text) {
  std::memset(field, 0, width);
  std::memcpy(field, text.data(), text.size() < width ? text.size() : width);
}

// A flash program's package with the given record and image.
inline std::unique_ptr<FlashPackage> MakeFlasherPackage(const PackageFields& fields = {},
                                                        const std::vector<std::uint8_t>& image = {1, 2, 3,
                                                                                                  4}) {
  auto package = MakeTemplatePackage();
  PutText(package->ModelName, kTextFieldSize, fields.Model);
  PutText(package->InquiryId, kTextFieldSize, fields.Inquiry);
  PutText(package->FirmwareRange, kTextFieldSize, fields.Range);
  PutText(package->VendorName, kTextFieldSize, fields.Vendor);
  PutText(package->NoteText, kTextFieldSize, fields.Note);
  PutText(package->FirmwareName, kFirmwareNameSize, fields.FirmwareName);
  std::memcpy(package->ImageArea, image.data(), image.size());
  SetPackageImageSize(*package, static_cast<std::uint32_t>(image.size()));
  return package;
}

// A window on the recording toolkit, created the way the entry point creates it.
struct FormFixture {
  RecordingToolkit Ui;
  std::unique_ptr<FlashPackage> PackageStore;
  std::unique_ptr<TFlashForm> Form;

  explicit FormFixture(std::unique_ptr<FlashPackage> package, IniReaderFactory ini = {})
      : PackageStore(std::move(package)) {
    Form = std::make_unique<TFlashForm>(Ui, *PackageStore, std::move(ini));
    Ui.CreateMainWindow(*Form);
  }
  void Create() { Form->FormCreate(); }
};
