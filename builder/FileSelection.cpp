// Choosing a model narrows the file list to its firmware files; choosing a file
// enables "Build".

#include "app/FlashForm.h"
#include "common/System.h"

void TFlashForm::ComboBoxChangeBuilder() {
  const int k = ui_.ComboIndex();
  // Text typed into the combo box's edit field selects no model: nothing can be
  // built until a model is chosen from the list again.
  if (!BinMaskList || k < 0 || k >= ui_.ComboCount() || static_cast<std::size_t>(k) >= BinMaskList->size()) {
    ui_.SetButtonEnabled(false);
    return;
  }
  const auto index = static_cast<std::size_t>(k);
  FileListBox1.SetMask((*BinMaskList)[index]);
  FileListBox1.Update();  // also when the mask did not change; no file is chosen afterwards
  ui_.SetWindowCaption(VendorText + CaptionText + (*FwRangeList)[index] + " [Buiding]");
  ui_.SetButtonEnabled(false);
}

void TFlashForm::FileListChosen(int index) {
  FileListBox1.Choose(index);
  FileListBox1Click();
}

void TFlashForm::FileListBox1Click() {
  const std::string file = FileListBox1.CurrentFile();
  if (file.empty()) {  // a click beside the names chooses nothing
    ui_.SetButtonEnabled(false);
    return;
  }
  FirmwareFileName = PathFileName(file);
  ui_.SetButtonEnabled(true);
}
