// The checksum in a Windows program's header (PE format), computed as the linker
// and the system's image helper compute it: the file's 16-bit little-endian words
// added with each carry folded back into the low 16 bits, the checksum field
// itself counted as zero, and the file's length added to the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

class PeChecksum {
 public:
  // Where the checksum field lies in a file of `length` bytes whose first `size`
  // bytes are `head`; none when those bytes hold no PE headers.
  static std::optional<std::uint64_t> FieldOffset(const std::uint8_t* head, std::size_t size,
                                                  std::uint64_t length);

  explicit PeChecksum(std::uint64_t fieldOffset) : field_(fieldOffset) {}

  // Adds the file's bytes at `position`; the parts may come in any order.
  void Add(std::uint64_t position, const std::uint8_t* data, std::size_t size);

  // The checksum of a file of `length` bytes whose bytes have all been added.
  std::uint32_t Value(std::uint64_t length) const;

 private:
  std::uint64_t field_;
  std::uint64_t sum_ = 0;
};
