// SHA-256 (FIPS 180-4) of a block of bytes, for showing what a program file carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(const std::uint8_t* data, std::size_t length);
