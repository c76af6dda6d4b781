#include "platform/Ascii.h"

#include <algorithm>

namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

} // namespace

bool isStrictAscii(std::span<const std::uint8_t> bytes) noexcept {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t byte) { return byte < 0x80; });
}

bool isStrictAscii(std::string_view text) noexcept {
    return isStrictAscii(bytesOf(text));
}

Data asciiBytesFromString(std::string_view text) {
    if (!isStrictAscii(text))
        return Data();
    return Data::copyOf(bytesOf(text));
}

std::optional<std::string> asciiStringFromBytes(std::span<const std::uint8_t> bytes) {
    if (!isStrictAscii(bytes))
        return std::nullopt;
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string_view trimmingZeroCharacters(std::string_view text) noexcept {
    const auto first = text.find_first_not_of('\0');
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of('\0');
    return text.substr(first, last - first + 1);
}
