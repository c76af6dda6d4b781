#include "common/osc/KXOSCArgument.h"

#include <charconv>
#include <limits>

#include "common/osc/KXOSCDataUtilities.h"

namespace {

/// Toward zero; NaN and floats at or above 2^31 or below -2^31 give -2^31. The range test
/// comes before the cast, which would be undefined for such values.
std::int32_t truncatedInt32(float value) noexcept {
    if (!(value >= -2147483648.0f && value < 2147483648.0f))
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

/// printf's "%f": six digits after the point, independent of the locale.
std::string fixedSixDigits(double value) {
    // The longest result, -FLT_MAX widened to double, has 39 integer digits.
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
    return std::string(text, result.ptr);
}

std::string braced(char type, std::string_view value) {
    std::string text;
    text.reserve(value.size() + 5);
    text += type;
    text += " { ";
    text += value;
    text += " }";
    return text;
}

/// The blob's payload as "<0102 ...>", or "(null)" when the bytes hold no blob. A text form
/// ends up in log lines, so a size field that fails the reader's range request is shown as no
/// blob instead of throwing.
std::string blobText(const Data& block) {
    try {
        return KXOSCDataUtilities::blobFromDataBlock(block).description();
    } catch (const DataRangeError&) {
        return Data().description();
    }
}

} // namespace

std::shared_ptr<KXOSCArgument>
KXOSCArgument::argumentWithString(std::optional<std::string_view> value) {
    if (!value)
        return nullptr;
    auto argument = std::make_shared<KXOSCArgument>();
    argument->setStringValue(*value);
    return argument;
}

std::shared_ptr<KXOSCArgument> KXOSCArgument::argumentWithInt(std::int32_t value) {
    auto argument = std::make_shared<KXOSCArgument>();
    argument->setIntValue(value);
    return argument;
}

std::shared_ptr<KXOSCArgument> KXOSCArgument::argumentWithFloat(float value) {
    auto argument = std::make_shared<KXOSCArgument>();
    argument->setFloatValue(value);
    return argument;
}

std::shared_ptr<KXOSCArgument> KXOSCArgument::argumentWithDataBlob(const Data& blob) {
    auto argument = std::make_shared<KXOSCArgument>();
    argument->setDataBlobValue(blob);
    return argument;
}

void KXOSCArgument::setStringValue(std::string_view value) {
    type_ = kString;
    data_ = KXOSCDataUtilities::dataBlockFromString(value);
}

std::optional<std::string> KXOSCArgument::stringValue() const {
    return KXOSCDataUtilities::stringFromDataBlock(data_);
}

void KXOSCArgument::setIntValue(std::int32_t value) {
    type_ = kInt;
    data_ = KXOSCDataUtilities::dataBlockFromInt(value);
}

std::int32_t KXOSCArgument::intValue() const {
    return truncatedInt32(floatValue());
}

void KXOSCArgument::setFloatValue(float value) {
    type_ = kFloat;
    data_ = KXOSCDataUtilities::dataBlockFromFloat(value);
}

float KXOSCArgument::floatValue() const {
    switch (type_) {
    case kInt:
        // Nearest float, ties to even: integers beyond 2^24 in magnitude lose their low bits.
        return static_cast<float>(KXOSCDataUtilities::intFromDataBlock(data_));
    case kFloat:
        return KXOSCDataUtilities::floatFromDataBlock(data_);
    default:
        return 0.0f;
    }
}

void KXOSCArgument::setDataBlobValue(const Data& blob) {
    type_ = kBlob;
    data_ = KXOSCDataUtilities::dataBlockFromBlob(blob);
}

Data KXOSCArgument::dataBlobValue() const {
    return KXOSCDataUtilities::blobFromDataBlock(data_);
}

std::string KXOSCArgument::description() const {
    switch (type_) {
    case kString:
        return braced(type_, stringValue().value_or("(null)"));
    case kInt:
        return braced(type_, std::to_string(intValue()));
    case kFloat:
        return braced(type_, fixedSixDigits(floatValue()));
    case kBlob:
        return braced(type_, blobText(data_));
    default:
        return "no arg value";
    }
}
