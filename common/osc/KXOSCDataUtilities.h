// Single OSC atoms to and from their bytes on the wire.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Data.h"
#include "platform/Date.h"

/// Encoders and readers for the six OSC atoms: int32, uint32, float32, the zero-padded ASCII
/// string, the size-prefixed blob and the 8-byte time tag. Every multi-byte number is
/// big-endian. Stateless; safe on any thread.
///
/// Three deliberate differences from OSC 1.0: a blob is always followed by one to four zero
/// bytes (four when its size is a multiple of 4), a time tag's seconds count from 2001-01-01
/// plus 0x5C000000, and the fraction of a time tag that is read is dropped.
class KXOSCDataUtilities {
public:
    KXOSCDataUtilities() = delete;

    static Data dataBlockFromInt(std::int32_t value);
    static Data dataBlockFromUInt(std::uint32_t value);
    /// The ASCII bytes then 1 to 4 zero bytes; no string and non-ASCII text give 00 00 00 00.
    static Data dataBlockFromString(std::optional<std::string_view> string);
    /// The IEEE 754 bit pattern, carried bit for bit.
    static Data dataBlockFromFloat(float value);
    /// Size field, payload, then 1 to 4 zero bytes; no buffer counts as an empty payload.
    static Data dataBlockFromBlob(const Data& blob);
    /// A copy of the argument followed by 4 - (length mod 4) zero bytes.
    static Data paddedDataFromData(const Data& data);

    /// 0 when fewer than 4 bytes.
    static std::int32_t intFromDataBlock(const Data& block);
    static std::uint32_t uIntFromDataBlock(const Data& block);
    /// The whole buffer as ASCII with U+0000 trimmed at both ends; no string when not ASCII.
    static std::optional<std::string> stringFromDataBlock(const Data& block);
    /// +0.0 when fewer than 4 bytes.
    static float floatFromDataBlock(const Data& block);
    /// The payload of a blob starting at the buffer's first byte, or no blob (absent Data).
    /// Throws DataRangeError for a size field from -4 to -1.
    static Data blobFromDataBlock(const Data& block);

    /// 00 00 00 00 00 00 00 01.
    static Data ntpTimestampForImmediate();
    /// The distant past gives the immediate time tag; no date counts as the reference date.
    static Data ntpTimestampFromNSDate(const std::optional<Date>& date);
    /// Throws DataRangeError when the buffer holds fewer than 8 bytes.
    static Date dateFromNTPTimestamp(const Data& block);
};
