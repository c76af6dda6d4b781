// Strict 7-bit ASCII conversion between text and bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/Data.h"

/// Whether every byte is at most 0x7F, so that the text has a byte form (and the bytes a text
/// form) under strict ASCII.
bool isStrictAscii(std::span<const std::uint8_t> bytes) noexcept;
bool isStrictAscii(std::string_view text) noexcept;

/// The text's bytes, one per character; absent when any byte is above 0x7F (a character
/// above U+007F in UTF-8 text). No lossy conversion ever takes place.
Data asciiBytesFromString(std::string_view text);

/// The bytes as text; no string when any byte is above 0x7F.
std::optional<std::string> asciiStringFromBytes(std::span<const std::uint8_t> bytes);

/// The text without the U+0000 characters at its start and at its end; inner ones stay.
std::string_view trimmingZeroCharacters(std::string_view text) noexcept;
