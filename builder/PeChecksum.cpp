#include "builder/PeChecksum.h"

namespace {

std::uint32_t Little(const std::uint8_t* bytes, std::size_t count) {
  std::uint32_t value = 0;
  for (std::size_t i = count; i-- > 0;) value = value << 8 | bytes[i];
  return value;
}

constexpr std::size_t kNewHeaderAt = 0x3C;       // where the MZ header names the PE header
constexpr std::size_t kFileHeaderSize = 4 + 20;  // "PE\0\0" and the file header
constexpr std::size_t kChecksumInOptional = 64;  // the same in PE32 and PE32+

}  // namespace

std::optional<std::uint64_t> PeChecksum::FieldOffset(const std::uint8_t* head, std::size_t size,
                                                     std::uint64_t length) {
  if (size > length) size = static_cast<std::size_t>(length);
  if (size < kNewHeaderAt + 4 || head[0] != 'M' || head[1] != 'Z') return std::nullopt;
  const std::uint64_t pe = Little(head + kNewHeaderAt, 4);
  const std::uint64_t optional = pe + kFileHeaderSize;
  if (optional + kChecksumInOptional + 4 > size) return std::nullopt;
  const std::uint32_t magic = Little(head + optional, 2), optionalSize = Little(head + pe + 20, 2);
  if (Little(head + pe, 4) != 0x00004550 || (magic != 0x10B && magic != 0x20B) ||
      optionalSize < kChecksumInOptional + 4) {
    return std::nullopt;
  }
  return optional + kChecksumInOptional;
}

void PeChecksum::Add(std::uint64_t position, const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i, ++position) {
    if (position - field_ < 4) continue;  // the field counts as zero
    sum_ += (position & 1) != 0 ? std::uint64_t{data[i]} << 8 : data[i];
  }
}

std::uint32_t PeChecksum::Value(std::uint64_t length) const {
  std::uint64_t sum = sum_;
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + length);
}
