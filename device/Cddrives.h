// Unit Cddrives: the optical drives found at start-up.
#pragma once

#include <cstdint>

#include "device/Cddrive.h"

class TCdDrives {
 public:
  static constexpr int kMaxItems = 24;

  TCdDrives();  // enumerates through the installed transport
  ~TCdDrives();
  TCdDrives(const TCdDrives&) = delete;
  TCdDrives& operator=(const TCdDrives&) = delete;

  std::uint8_t Count() const { return count_; }
  bool Select(std::int16_t index);

  TCdDrive* Current = nullptr;

 private:
  std::uint8_t count_ = 0;
  std::int32_t index_ = 0;
  TCdDrive* items_[kMaxItems] = {};
};
