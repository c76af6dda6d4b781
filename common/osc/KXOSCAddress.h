// The address pattern of an OSC message.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Data.h"

/// An OSC address pattern held as text. The text is not validated: it need not begin with "/".
class KXOSCAddress {
public:
    /// No address for no string.
    static std::shared_ptr<KXOSCAddress> addressWithString(std::optional<std::string_view> string);
    /// "/" followed by each element, in order; an empty list gives the empty address.
    static std::shared_ptr<KXOSCAddress> addressWithArray(const std::vector<std::string>& elements);

    explicit KXOSCAddress(std::string address) : address_(std::move(address)) {}

    /// The text as an OSC string block.
    Data packetizedData() const;

    const std::string& address() const noexcept { return address_; }
    void setAddress(std::string address) { address_ = std::move(address); }

private:
    std::string address_;
};
