#include "common/osc/KXOSCDataUtilities.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/Ascii.h"

namespace {

/// Seconds written into a time tag's seconds field at the reference date.
constexpr std::uint32_t kTimeTagOffset = 0x5C000000u;
constexpr std::uint32_t kImmediateFraction = 1;

void writeUInt32(std::uint8_t* out, std::uint32_t value) noexcept {
    out[0] = static_cast<std::uint8_t>(value >> 24);
    out[1] = static_cast<std::uint8_t>(value >> 16);
    out[2] = static_cast<std::uint8_t>(value >> 8);
    out[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t readUInt32(const std::uint8_t* in) noexcept {
    return std::uint32_t{in[0]} << 24 | std::uint32_t{in[1]} << 16 | std::uint32_t{in[2]} << 8 |
           std::uint32_t{in[3]};
}

/// 4 - (length mod 4): always 1 to 4, so a padded block ends in at least one zero byte.
std::size_t padLength(std::size_t length) noexcept {
    return 4 - length % 4;
}

/// `bytes` followed by their pad, written in one step.
Data padded(std::span<const std::uint8_t> bytes) {
    const std::size_t pad = padLength(bytes.size());
    return Data::withLength(bytes.size() + pad, [&](std::uint8_t* out) {
        if (!bytes.empty())
            std::memcpy(out, bytes.data(), bytes.size());
        std::memset(out + bytes.size(), 0, pad);
    });
}

Data timeTag(std::uint32_t seconds, std::uint32_t fraction) {
    return Data::withLength(8, [&](std::uint8_t* out) {
        writeUInt32(out, seconds);
        writeUInt32(out + 4, fraction);
    });
}

/// Whole seconds toward zero; NaN and anything outside the int32 range give -2^31. The range
/// test comes before the cast, which would be undefined for such values.
std::int32_t truncatedSeconds(double seconds) noexcept {
    const double whole = std::trunc(seconds);
    if (!(whole >= -2147483648.0 && whole <= 2147483647.0))
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(whole);
}

/// Toward zero to int64; NaN and anything outside the int64 range give -2^63. Every double
/// in [-2^63, 2^63) truncates to a value inside the range.
std::int64_t truncatedInt64(double value) noexcept {
    if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0))
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

} // namespace

Data KXOSCDataUtilities::dataBlockFromInt(std::int32_t value) {
    return dataBlockFromUInt(static_cast<std::uint32_t>(value));
}

Data KXOSCDataUtilities::dataBlockFromUInt(std::uint32_t value) {
    return Data::withLength(4, [&](std::uint8_t* out) { writeUInt32(out, value); });
}

Data KXOSCDataUtilities::dataBlockFromString(std::optional<std::string_view> string) {
    // No string and text without a strict ASCII form both encode as the empty string.
    if (!string || !isStrictAscii(*string))
        return padded({});
    return padded({reinterpret_cast<const std::uint8_t*>(string->data()), string->size()});
}

Data KXOSCDataUtilities::dataBlockFromFloat(float value) {
    return dataBlockFromUInt(std::bit_cast<std::uint32_t>(value));
}

Data KXOSCDataUtilities::dataBlockFromBlob(const Data& blob) {
    const std::size_t size = blob.size();
    const std::size_t pad = padLength(size);
    return Data::withLength(4 + size + pad, [&](std::uint8_t* out) {
        writeUInt32(out, static_cast<std::uint32_t>(size));
        if (size > 0)
            std::memcpy(out + 4, blob.bytes(), size);
        std::memset(out + 4 + size, 0, pad);
    });
}

Data KXOSCDataUtilities::paddedDataFromData(const Data& data) {
    return padded(data.span());
}

std::int32_t KXOSCDataUtilities::intFromDataBlock(const Data& block) {
    return static_cast<std::int32_t>(uIntFromDataBlock(block));
}

std::uint32_t KXOSCDataUtilities::uIntFromDataBlock(const Data& block) {
    if (block.size() < 4)
        return 0;
    return readUInt32(block.bytes());
}

std::optional<std::string> KXOSCDataUtilities::stringFromDataBlock(const Data& block) {
    const std::string_view text{reinterpret_cast<const char*>(block.bytes()), block.size()};
    // The trimmed zeros are ASCII themselves, so testing the rest decides for the whole buffer.
    const std::string_view trimmed = trimmingZeroCharacters(text);
    return asciiStringFromBytes(
        {reinterpret_cast<const std::uint8_t*>(trimmed.data()), trimmed.size()});
}

float KXOSCDataUtilities::floatFromDataBlock(const Data& block) {
    return std::bit_cast<float>(uIntFromDataBlock(block));
}

Data KXOSCDataUtilities::blobFromDataBlock(const Data& block) {
    const auto size = static_cast<std::uint32_t>(intFromDataBlock(block));
    // The sum wraps modulo 2^32 on purpose: a size from -4 to -1 passes this test and then
    // fails the sub-range request below, while every other negative size is no blob.
    if (block.size() < static_cast<std::uint32_t>(size + 4))
        return Data();
    return block.subdata(std::size_t{4}, size);
}

Data KXOSCDataUtilities::ntpTimestampForImmediate() {
    return timeTag(0, kImmediateFraction);
}

Data KXOSCDataUtilities::ntpTimestampFromNSDate(const std::optional<Date>& date) {
    if (date && date->isDistantPast())
        return ntpTimestampForImmediate();
    const double t = date ? date->timeIntervalSinceReferenceDate() : 0.0;
    const std::int32_t seconds = truncatedSeconds(t);
    const double fraction = 4294967296.0 * (t - seconds);
    return timeTag(static_cast<std::uint32_t>(seconds) + kTimeTagOffset,
                   static_cast<std::uint32_t>(truncatedInt64(fraction)));
}

Date KXOSCDataUtilities::dateFromNTPTimestamp(const Data& block) {
    if (!block.inRange(4, 4))
        throw DataRangeError();
    const std::uint32_t seconds = readUInt32(block.bytes());
    if (seconds == 0 && readUInt32(block.bytes() + 4) == kImmediateFraction)
        return Date::distantPast();
    return Date(static_cast<std::int32_t>(seconds - kTimeTagOffset));
}
