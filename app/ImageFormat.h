// The format marks of a firmware image: where the bytes 05 80 stand and which
// model text follows them. The update reads the flags; --info shows them.
#pragma once

#include <cstdint>

#include "app/FlashPackage.h"

struct ImageFormat {
  std::uint32_t Marker = 0;    // where 05 80 was found; 0 when at none of the places
  const char* Text = nullptr;  // the model text that matched, if any
  bool NewFormat1100 = false;
  bool NewFormatNamed = false;
  bool NewFormatDvdRom = false;
};

ImageFormat CheckImageFormat(const FlashPackage& package);
