// The command blocks the update sends, all built here: 12 bytes, multi-byte
// fields big-endian, every byte the command does not use 0.
#pragma once

#include <cstdint>

using CommandBlock = std::uint8_t[12];

// WRITE BUFFER in the drive maker's download mode (05), buffer 01: data or
// profile into buffer memory, entry critical and commit, told apart by control.
void WriteBufferCommand(CommandBlock& cdb, std::int32_t offset, std::int32_t length, std::uint8_t control);
// READ BUFFER in the drive maker's data mode (01), buffer 01.
void ReadBufferCommand(CommandBlock& cdb, std::int32_t offset, std::int32_t length);
// The vendor Read Flash ID command: DF 11.
void ReadFlashIdCommand(CommandBlock& cdb);
