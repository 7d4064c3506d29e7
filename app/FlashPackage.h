// The package embedded in every program file. A template carries the sentinel at
// the start of its image area; a flash program carries a model record and an image.
// The block is at once an in-memory structure and a file format: the builder writes
// these bytes into the program file and the flash program reads them in place.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kKeywordSize = 15;
constexpr std::size_t kTextFieldSize = 25;
constexpr std::size_t kFirmwareNameSize = 5;
constexpr std::size_t kModelRecordSize = 137;
constexpr std::size_t kImageAreaSize = 524288;
constexpr std::size_t kPackageSize = 524440;

#pragma pack(push, 1)
struct FlashPackage {
  char PackageKeyword[kKeywordSize];  // "Q517-2-4096318" and its zero byte
  char ModelName[kTextFieldSize];
  char InquiryId[kTextFieldSize];
  char FirmwareRange[kTextFieldSize];
  char VendorName[kTextFieldSize];
  char NoteText[kTextFieldSize];
  char FirmwareName[kFirmwareNameSize];  // no terminator of its own
  std::uint8_t Reserved[3];
  std::uint8_t ImageSize[4];  // unsigned 32-bit, little-endian
  std::uint8_t ImageArea[kImageAreaSize];
};
#pragma pack(pop)

static_assert(sizeof(FlashPackage) == kPackageSize);
static_assert(offsetof(FlashPackage, ModelName) == 15);
static_assert(offsetof(FlashPackage, InquiryId) == 40);
static_assert(offsetof(FlashPackage, FirmwareRange) == 65);
static_assert(offsetof(FlashPackage, VendorName) == 90);
static_assert(offsetof(FlashPackage, NoteText) == 115);
static_assert(offsetof(FlashPackage, FirmwareName) == 140);
static_assert(offsetof(FlashPackage, Reserved) == 145);
static_assert(offsetof(FlashPackage, ImageSize) == 148);
static_assert(offsetof(FlashPackage, ImageArea) == 152);
static_assert(offsetof(FlashPackage, ImageArea) - offsetof(FlashPackage, ModelName) == kModelRecordSize);

// The four bytes that mark a template. A constant of its own, apart from the
// package, so stamping an image removes the mark from the area but never this.
extern const char TemplateSentinel[4];

// The package of the running program. Read through a pointer the compiler cannot
// see through, so the mode test happens at run time on the bytes in the file.
const FlashPackage& EmbeddedPackage();

// The mode test: true when the image area starts with the sentinel.
bool IsTemplatePackage(const FlashPackage& package);

// ImageSize as a number (the field is little-endian on every platform).
std::uint32_t PackageImageSize(const FlashPackage& package);
void SetPackageImageSize(FlashPackage& package, std::uint32_t size);
