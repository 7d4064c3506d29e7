// The compiled-in flash-chip profiles: an index of the chips this program knows,
// and the bodies (small programs for the drive's processor) that go with them.
// The bodies are opaque bytes here; the program never interprets them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr int kFlashProfileCount = 10;
constexpr std::size_t kFlashProfileEntrySize = 6;
constexpr std::size_t kFlashProfileDataSize = 6512;

// One entry: manufacturer id, device id, body length (big-endian), VariantCode.
extern const std::uint8_t FlashProfileIndex[kFlashProfileCount][kFlashProfileEntrySize];
// The stored bodies back to back in index order; entries 2 and 7 share the body of
// the entry that follows them and add nothing here.
extern const std::array<std::uint8_t, kFlashProfileDataSize> FlashProfileData;

// Entries that store no body of their own.
constexpr bool SharesNextBody(int entry) {
  return entry == 2 || entry == 7;
}

// The body length an index entry gives.
constexpr std::uint16_t ProfileBodyLength(const std::uint8_t* entry) {
  return static_cast<std::uint16_t>(entry[2] << 8 | entry[3]);
}

// The entry that matches a Read Flash ID reply (its first four bytes), searched in
// index order; the variant code counts only in the long-header scheme. Offset is
// where the chosen body starts in FlashProfileData; with no match Entry is -1 and
// Offset the sum of every stored body (the end of the area).
struct FlashProfileChoice {
  int Entry = -1;
  std::int32_t Offset = 0;
};
FlashProfileChoice ChooseFlashProfile(const std::uint8_t* reply, bool longHeader);
