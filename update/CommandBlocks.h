// The command blocks the update sends, all built here: 12 bytes, multi-byte
// fields big-endian, every byte the command does not use 0.
#pragma once

#include <cstdint>

using CommandBlock = std::uint8_t[12];

// WRITE BUFFER's control byte (byte 9): what the drive does with the write.
constexpr std::uint8_t kControlData = 0x00;      // image data into buffer memory
constexpr std::uint8_t kControlProfile = 0x7F;   // the flash-chip profile into buffer memory
constexpr std::uint8_t kControlCritical = 0x7F;  // entry critical, without data
constexpr std::uint8_t kControlFlash = 0x80;     // commit: program the flash from buffer memory
constexpr std::uint8_t kControlFlashAll = 0xA0;  // commit, the whole flash

// WRITE BUFFER in the drive maker's download mode (05), buffer 01: data or
// profile into buffer memory, entry critical and commit, told apart by control.
void WriteBufferCommand(CommandBlock& cdb, std::int32_t offset, std::int32_t length, std::uint8_t control);
// READ BUFFER in the drive maker's data mode (01), buffer 01.
void ReadBufferCommand(CommandBlock& cdb, std::int32_t offset, std::int32_t length);
// The vendor Read Flash ID command: DF 11.
void ReadFlashIdCommand(CommandBlock& cdb);
