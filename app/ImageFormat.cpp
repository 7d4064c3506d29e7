// The format marks of a firmware image, read over the package's image area.
#include "app/ImageFormat.h"

#include <cstddef>
#include <cstdint>

namespace {

struct FormatMark {
  std::uint32_t Marker;  // where the bytes 05 80 must stand
  const char* Texts[2];  // model texts 16 bytes after the marker; none for 0x1100
  bool Named;            // NewFormatNamed when a text matches
  bool DvdRom;           // NewFormatDvdRom along with it
};

// In the order they are examined; the first position that holds the marker decides.
constexpr FormatMark kMarks[] = {
    {0x4000, {"DVD-ROM PVA-310", "DVD-ROM PVB-420"}, true, true},
    {0x4008, {"DVD-ROM PVA-310", "DVD-ROM PVB-420"}, true, true},
    {0x14000, {"COMBO", "DVD-ROM PVB-530S"}, true, false},
    {0x1100, {nullptr, nullptr}, false, false},
};

constexpr std::uint32_t kTextDistance = 16;

std::uint8_t Upper(std::uint8_t c) {
  return (c >= 'a' && c <= 'z') ? static_cast<std::uint8_t>(c - 32) : c;
}

// The text's own length, compared without regard to case and without looking for
// a terminator in the image.
bool TextAt(const std::uint8_t* at, const char* text) {
  for (std::size_t i = 0; text[i] != '\0'; ++i) {
    if (Upper(at[i]) != Upper(static_cast<std::uint8_t>(text[i]))) return false;
  }
  return true;
}

}  // namespace

ImageFormat CheckImageFormat(const FlashPackage& package) {
  ImageFormat format;
  const std::uint8_t* image = package.ImageArea;
  for (const FormatMark& mark : kMarks) {
    if (image[mark.Marker] != 0x05 || image[mark.Marker + 1] != 0x80) continue;
    format.Marker = mark.Marker;
    if (mark.Texts[0] == nullptr) {
      format.NewFormat1100 = true;
      return format;
    }
    for (const char* text : mark.Texts) {
      if (TextAt(image + mark.Marker + kTextDistance, text)) {
        format.Text = text;
        format.NewFormatNamed = mark.Named;
        format.NewFormatDvdRom = mark.DvdRom;
        return format;
      }
    }
    return format;
  }
  return format;
}
