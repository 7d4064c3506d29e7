#include "app/FlashPackage.h"

#include <cstring>

const char TemplateSentinel[4] = {'Z', 'A', 'R', 'N'};

// The program as built is a template: the keyword and the sentinel are its only
// required bytes. The initializer is not all zero, so the whole block lies in the
// file-backed initialized data of the program file. The keyword below is its only
// copy in the program: the builder searches with these very bytes.
extern const FlashPackage gEmbeddedPackage;
#if defined(__GNUC__)
__attribute__((used))
#endif
const FlashPackage gEmbeddedPackage = {
    "Q517-2-4096318", {}, {}, {}, {}, {}, {}, {}, {}, {'Z', 'A', 'R', 'N'},
};

const FlashPackage& EmbeddedPackage() {
  static const FlashPackage* volatile where = &gEmbeddedPackage;
  return *where;
}

bool IsTemplatePackage(const FlashPackage& package) {
  const volatile char* sentinel = TemplateSentinel;
  for (int i = 0; i < 4; ++i) {
    if (static_cast<std::uint8_t>(package.ImageArea[i]) != static_cast<std::uint8_t>(sentinel[i])) {
      return false;
    }
  }
  return true;
}

std::uint32_t PackageImageSize(const FlashPackage& package) {
  const std::uint8_t* b = package.ImageSize;
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

void SetPackageImageSize(FlashPackage& package, std::uint32_t size) {
  for (int i = 0; i < 4; ++i) package.ImageSize[i] = static_cast<std::uint8_t>(size >> (8 * i));
}
