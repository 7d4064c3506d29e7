// Placeholder for the firmware update: vendor commands, profiles, image check and procedure.
#include "app/FlashForm.h"

bool TFlashForm::WriteBuffer(std::int32_t, const std::uint8_t*, std::int32_t, std::uint8_t) { return false; }
bool TFlashForm::ReadBuffer(std::int32_t, std::uint8_t*, std::int32_t) { return false; }
bool TFlashForm::SetupFlashProfile(std::uint8_t*) { return false; }
bool TFlashForm::ReadVerifyProfile(const std::uint8_t*) { return false; }
bool TFlashForm::EntryCritical() { return false; }
void TFlashForm::CheckNewFormatBIN() {}
void TFlashForm::UpdateFirmware() {}
