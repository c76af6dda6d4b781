// One typed argument of an OSC message.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Data.h"

/// One OSC argument: its type character and its value, kept already encoded as one OSC atom
/// ("s" string block, "i" int32, "f" float32, "b" blob block). The readers decode the stored
/// bytes again; `intValue` goes through `floatValue`.
class KXOSCArgument {
public:
    static constexpr char kString = 's';
    static constexpr char kInt = 'i';
    static constexpr char kFloat = 'f';
    static constexpr char kBlob = 'b';

    /// No argument for no string.
    static std::shared_ptr<KXOSCArgument> argumentWithString(std::optional<std::string_view> value);
    static std::shared_ptr<KXOSCArgument> argumentWithInt(std::int32_t value);
    static std::shared_ptr<KXOSCArgument> argumentWithFloat(float value);
    /// No buffer gives an empty blob.
    static std::shared_ptr<KXOSCArgument> argumentWithDataBlob(const Data& blob);

    /// An argument no setter has touched: type 0, no data.
    KXOSCArgument() = default;

    /// The stored bytes themselves, not a copy.
    const Data& packetizedData() const noexcept { return data_; }

    void setStringValue(std::string_view value);
    std::optional<std::string> stringValue() const;
    void setIntValue(std::int32_t value);
    std::int32_t intValue() const;
    void setFloatValue(float value);
    float floatValue() const;
    void setDataBlobValue(const Data& blob);
    /// Throws DataRangeError when the stored size field is from -4 to -1.
    Data dataBlobValue() const;

    /// "s { text }", "i { 1 }", "f { 0.500000 }", "b { <01020304 05> }", or "no arg value" for
    /// any other type. Never throws: bytes that hold no string or blob show as "(null)".
    std::string description() const;

    const Data& data() const noexcept { return data_; }
    void setData(Data data) { data_ = std::move(data); }
    char type() const noexcept { return type_; }
    void setType(char type) noexcept { type_ = type; }

private:
    char type_ = 0;
    Data data_;
};
