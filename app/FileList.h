// FileListBox1's state: the plain files of one directory that match a mask,
// sorted by name, and the one the user chose among them. The form keeps it here
// once; the toolkit only shows the names it is handed and reports the user's
// choice back to the form.
#pragma once

#include <string>
#include <vector>

class Toolkit;

class FileList {
 public:
  explicit FileList(Toolkit& ui) : ui_(ui) {}

  // Reads the directory at once (see Update).
  void SetDirectory(const std::string& directory);
  // The mask counts from the next reading. A mask may hold several patterns
  // separated by ';'.
  void SetMask(const std::string& mask);
  // Reads the directory again: it becomes the process's current directory, and the
  // list is emptied and refilled and shown so, with no file chosen afterwards.
  void Update();
  // The user chose the name at a row of the list; -1 (a click beside the names)
  // chooses nothing.
  void Choose(int index);
  // The chosen file with its full path, or "" when none is chosen.
  std::string CurrentFile() const;

  const std::string& Directory() const { return directory_; }
  const std::string& Mask() const { return mask_; }
  const std::vector<std::string>& Names() const { return names_; }
  int Chosen() const { return chosen_; }  // -1: none

 private:
  Toolkit& ui_;
  std::string directory_;
  std::string mask_ = "*.*";
  std::vector<std::string> names_;
  int chosen_ = -1;
};
