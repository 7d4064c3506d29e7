// The image format check: the embedded image's size and the format flags that
// steer the profile handling and the steps of the update.
#include "app/FlashForm.h"
#include "app/ImageFormat.h"

void TFlashForm::CheckNewFormatBIN() {
  ImageSize = PackageImageSize(package_);
  const ImageFormat format = CheckImageFormat(package_);
  NewFormat1100 = format.NewFormat1100;
  NewFormatNamed = format.NewFormatNamed;
  NewFormatDvdRom = format.NewFormatDvdRom;
}
