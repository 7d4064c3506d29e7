// Unit Cddrives: the optical drives found at start-up, in the platform's order.
#include "device/Cddrives.h"

TCdDrives::TCdDrives() {
  count_ = 0;
  index_ = 0;
  Transport* transport = Cddrive::InstalledTransport();
  if (transport == nullptr) return;

  for (const DriveAddress& address : transport->Enumerate()) {
    // The list has room for kMaxItems drives; those beyond are neither opened nor listed.
    if (index_ >= kMaxItems) break;
    auto* drive = new TCdDrive(address.Letter, address.HaId, address.Target, address.Lun, address.Locator);
    if (drive->GetInitStatus() == dsOk) {
      items_[index_] = drive;
      ++index_;
      ++count_;
    } else {
      // Never opened nor counted: the destruction steps would undo what never happened.
      drive->ReleaseWithoutDestruction();
      delete drive;
    }
  }
  if (count_ > 0) Select(0);
}

TCdDrives::~TCdDrives() {
  Current = nullptr;
  if (count_ == 0) return;
  index_ = count_;
  while (index_ > 0) {
    --index_;
    delete items_[index_];
    items_[index_] = nullptr;
  }
}

bool TCdDrives::Select(std::int16_t index) {
  if (index < 0 || index >= count_) return false;
  index_ = index;
  Current = items_[index];
  return true;
}
