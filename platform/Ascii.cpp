#include "platform/Ascii.h"

#include <algorithm>

namespace {

bool isAscii(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t byte) { return byte < 0x80; });
}

} // namespace

Data asciiBytesFromString(std::string_view text) {
    const std::span<const std::uint8_t> bytes{reinterpret_cast<const std::uint8_t*>(text.data()),
                                              text.size()};
    if (!isAscii(bytes))
        return Data();
    return Data::copyOf(bytes);
}

std::optional<std::string> asciiStringFromBytes(std::span<const std::uint8_t> bytes) {
    if (!isAscii(bytes))
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
