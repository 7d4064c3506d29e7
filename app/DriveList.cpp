// The drive list of a flash program and the eligibility check.
#include "app/FlashForm.h"

void TFlashForm::BuildDriveList() {}
void TFlashForm::ComboBoxChangeFlasher() {}
bool TFlashForm::CheckCondition() { return false; }
