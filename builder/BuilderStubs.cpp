// Placeholder for the builder: model list, file selection and stamping.
#include "app/FlashForm.h"

void TFlashForm::BuilderStartUp() {}
bool TFlashForm::RetriveINI() { return false; }
void TFlashForm::ComboBoxChangeBuilder() {}
void TFlashForm::FileListBox1Click() {}
bool TFlashForm::NewBuildFlashProgram() { return false; }
void TFlashForm::BuildFlashProgram() {}
