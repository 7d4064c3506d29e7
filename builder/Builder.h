// The flash program builder: what the window's builder operations share with
// the rest of the program (the model list file's place, the image area's limit).
#pragma once

#include <cstdint>
#include <string>

#include "app/FlashPackage.h"

// The model list file of a program file: the same path with its extension
// replaced by ".INI" (added when the program file has none).
std::string ModelListPath(const std::string& programFile);

// The longest firmware image a flash program can carry: the size of its image area.
constexpr std::uint64_t kLargestImage = kImageAreaSize;
