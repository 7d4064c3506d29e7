// Choosing, sending and verifying the flash-chip profile.
//
// Two schemes, fixed by the image check: the short-header scheme (NewFormat1100)
// matches on manufacturer and device, puts a 4-byte header in front of the body and
// writes the block to drive buffer offset 0x80000 with the body's length (so the
// last four body bytes stay behind: drives of this scheme expect exactly that), and
// reads it back for verification. The long-header scheme (NewFormatNamed) matches
// on the variant code as well, puts a 6-byte header in front, writes header and
// body to offset 0 and verifies the kept copy against the table without a command.
//
// A chip that matches no entry is no failure: the block holds the marker
// FF FF 00 00, ProfileHeaderLength becomes 0 and Write Profile goes out with
// length 0 in both schemes, so the drive receives no profile at all, as it always
// has in the short-header scheme.
//
// NewFormatDvdRom has no effect on the block: the update clears it before every
// profile is sent, so drives of the long-header scheme have only ever received
// the header counted in the length, and that is what they get.
#include "update/FlashProfiles.h"

#include <cstring>

#include "app/FlashForm.h"
#include "update/CommandBlocks.h"

namespace {

bool LongHeaderScheme(const TFlashForm& form) {
  return form.NewFormatNamed && !form.NewFormat1100;
}

constexpr std::uint32_t kFlashIdReplyLength = 128;
constexpr std::int32_t kShortHeaderOffset = 0x80000;  // drive buffer offset of the short-header block

}  // namespace

bool TFlashForm::SetupFlashProfile(std::uint8_t* Block) {
  ReadFlashIdCommand(Cdb);
  // The reply area starts cleared: a reply that never came reads as an unknown chip
  // (no manufacturer id is 0), never as the bytes an earlier command left there.
  if (TransferBuffer != nullptr) std::memset(TransferBuffer, 0, kFlashIdReplyLength);
  if (!SendVendorCommand("Read Flash ID> ", 1, kFlashIdReplyLength)) return false;

  const bool longHeader = LongHeaderScheme(*this);
  const FlashProfileChoice choice = ChooseFlashProfile(TransferBuffer, longHeader);
  ProfileFound = choice.Entry >= 0;
  ProfileOffset = choice.Offset;
  std::int32_t length = 0;
  if (ProfileFound) {
    const std::uint8_t* entry = FlashProfileIndex[choice.Entry];
    const std::uint16_t body = ProfileBodyLength(entry);
    Block[0] = entry[0];
    Block[1] = entry[1];
    if (longHeader) {
      Block[2] = entry[4];
      Block[3] = entry[5];
      Block[4] = entry[2];
      Block[5] = entry[3];
      ProfileHeaderLength = 6;
    } else {
      Block[2] = entry[2];
      Block[3] = entry[3];
      ProfileHeaderLength = 4;
    }
    std::memcpy(Block + ProfileHeaderLength, FlashProfileData.data() + ProfileOffset, body);
    length = (body + 1) & ~1;
    if (longHeader) length += ProfileHeaderLength;
  } else {
    Block[0] = 0xFF;
    Block[1] = 0xFF;
    Block[2] = 0x00;
    Block[3] = 0x00;
    ProfileHeaderLength = 0;
  }
  ProfileLength = length;

  std::memcpy(TransferBuffer, Block, static_cast<std::size_t>(length));
  WriteBufferCommand(Cdb, longHeader ? 0 : kShortHeaderOffset, length, kControlProfile);
  return SendVendorCommand("Write Profile> ", 0, static_cast<std::uint32_t>(length));
}

bool TFlashForm::ReadVerifyProfile(const std::uint8_t* Block) {
  if (LongHeaderScheme(*this)) {
    const std::int32_t body = ProfileLength - ProfileHeaderLength;
    if (body < 0 || ProfileOffset < 0 ||
        static_cast<std::size_t>(ProfileOffset) + static_cast<std::size_t>(body) > kFlashProfileDataSize) {
      return false;
    }
    return std::memcmp(FlashProfileData.data() + ProfileOffset, Block + ProfileHeaderLength,
                       static_cast<std::size_t>(body)) == 0;
  }
  if (ProfileLength < 0 || static_cast<std::uint32_t>(ProfileLength) > kTransferSize) return false;
  ReadBufferCommand(Cdb, kShortHeaderOffset, ProfileLength);
  // The transfer buffer may still hold the block as it was sent: a read that brings
  // nothing must not pass for the drive's copy, so every byte starts out different.
  if (TransferBuffer != nullptr) {
    for (std::int32_t i = 0; i < ProfileLength; ++i) TransferBuffer[i] = static_cast<std::uint8_t>(~Block[i]);
  }
  if (!SendVendorCommand("Read Profile> ", 1, static_cast<std::uint32_t>(ProfileLength), /*WholeReply=*/true))
    return false;
  if (std::memcmp(TransferBuffer, Block, static_cast<std::size_t>(ProfileLength)) != 0) {
    ui_.ShowMessage("Compared profile error!");
    return false;
  }
  return true;
}
