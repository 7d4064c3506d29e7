#include "app/FileList.h"

#include "app/Toolkit.h"
#include "common/System.h"

void FileList::SetDirectory(const std::string& directory) {
  directory_ = directory;
  Update();
}

void FileList::SetMask(const std::string& mask) {
  mask_ = mask;
}

void FileList::Update() {
  ChangeCurrentDirectory(directory_);
  names_ = ListMatchingFiles(directory_, mask_);
  chosen_ = -1;
  ui_.FileListShow(mask_, names_);
}

void FileList::Choose(int index) {
  chosen_ = index >= 0 && static_cast<std::size_t>(index) < names_.size() ? index : -1;
}

std::string FileList::CurrentFile() const {
  if (chosen_ < 0) return {};
  return PathJoined(directory_, names_[static_cast<std::size_t>(chosen_)]);
}
