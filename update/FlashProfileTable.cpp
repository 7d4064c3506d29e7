// The flash-chip profile table and the choice of an entry.
//
// The bodies are programs for the drives' processors that are not part of this
// source. Their place is held by deterministic filler of the exact lengths and
// offsets of the index, each body carrying its identification text, NUL-terminated,
// at the position the drives' tools look for it.
#include <cstdint>

#include "update/FlashProfiles.h"

constexpr std::uint8_t FlashProfileIndex[kFlashProfileCount][kFlashProfileEntrySize] = {
    {0xDA, 0xC8, 0x01, 0x3A, 0x00, 0x00},  // 314 bytes
    {0xBF, 0xB4, 0x01, 0xC4, 0x00, 0x00},  // 452
    {0xBF, 0xD6, 0x05, 0x00, 0x00, 0x01},  // 1280, the body of entry 3
    {0xBF, 0xB6, 0x05, 0x00, 0x00, 0x01},  // 1280
    {0x37, 0x8C, 0x05, 0x00, 0x00, 0x01},  // 1280
    {0xBF, 0xD7, 0x03, 0xE6, 0x00, 0x03},  // 998
    {0x37, 0x0D, 0x03, 0x1C, 0x00, 0x02},  // 796
    {0xBF, 0xB6, 0x02, 0xB6, 0x00, 0x02},  // 694, the body of entry 8
    {0xBF, 0xD6, 0x02, 0xB6, 0x00, 0x02},  // 694
    {0xDA, 0xB5, 0x02, 0xBA, 0x00, 0x02},  // 698
};

namespace {

struct BodyText {
  int Entry;
  std::uint16_t Position;  // inside the body
  const char* Text;
};

constexpr BodyText kBodyTexts[] = {
    {2, 735, "This profile is for SST39VF020/SST39SF020 V1.2"},
    {4, 964, "This profile is for AMIC A29002 Top V1.2"},
    {5, 803, "This profile is for SST39VF040/SST39SF040 V1.1"},
    {6, 623, "This profile is for AMIC A290021 Top V1.0"},
    {7, 588, "This profile is for SST39SF020 V1.1 in PVB530"},
    {9, 594, "This profile is for W39L020 V1.1 in PVB530"},
};

// Where an entry's body starts: the stored bodies before it, in index order.
constexpr std::uint32_t BodyOffset(int entry) {
  std::uint32_t offset = 0;
  for (int i = 0; i < entry; ++i) {
    if (!SharesNextBody(i)) offset += ProfileBodyLength(FlashProfileIndex[i]);
  }
  return offset;
}

constexpr std::array<std::uint8_t, kFlashProfileDataSize> BuildProfileData() {
  std::array<std::uint8_t, kFlashProfileDataSize> data{};
  for (int entry = 0; entry < kFlashProfileCount; ++entry) {
    if (SharesNextBody(entry)) continue;
    const std::uint32_t start = BodyOffset(entry);
    // xorshift32 seeded by the body's place: every body differs, every build agrees.
    std::uint32_t state = 0x9E3779B9u ^ (start * 2654435761u) ^ static_cast<std::uint32_t>(entry + 1);
    for (std::uint32_t i = 0; i < ProfileBodyLength(FlashProfileIndex[entry]); ++i) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      data[start + i] = static_cast<std::uint8_t>(state >> 24);
    }
  }
  for (const BodyText& t : kBodyTexts) {
    std::uint32_t at = BodyOffset(t.Entry) + t.Position;
    for (const char* c = t.Text; *c != '\0'; ++c) data[at++] = static_cast<std::uint8_t>(*c);
    data[at] = 0;
  }
  return data;
}

static_assert(BodyOffset(kFlashProfileCount) == kFlashProfileDataSize,
              "the stored bodies fill the profile area exactly");

}  // namespace

constexpr std::array<std::uint8_t, kFlashProfileDataSize> FlashProfileData = BuildProfileData();

FlashProfileChoice ChooseFlashProfile(const std::uint8_t* reply, bool longHeader) {
  FlashProfileChoice choice;
  for (int i = 0; i < kFlashProfileCount; ++i) {
    const std::uint8_t* entry = FlashProfileIndex[i];
    if (reply[0] == entry[0] && reply[1] == entry[1] &&
        (!longHeader || (reply[2] == entry[4] && reply[3] == entry[5]))) {
      choice.Entry = i;
      return choice;
    }
    if (!SharesNextBody(i)) choice.Offset += ProfileBodyLength(FlashProfileIndex[i]);
  }
  return choice;
}
