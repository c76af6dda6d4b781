// An OSC bundle: a time stamp and its elements.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "common/osc/KXOSCPacket.h"
#include "platform/Date.h"

/// An OSC bundle. Its contained objects are its elements, messages or bundles, nested to any
/// depth. Bytes: "#bundle", the time tag, then a size field and the bytes of each element.
class KXOSCBundle : public KXOSCContainerPacket<KXOSCPacket> {
public:
    /// A bundle with that time stamp, taken without any check, and no elements.
    static std::shared_ptr<KXOSCBundle> bundleWithTimestamp(std::optional<Date> timeStamp);

    /// No time stamp, no elements.
    KXOSCBundle() = default;

    /// No buffer when the bundle has no elements.
    Data packetizedData() const override;
    std::string stringRepresentation() const override;

    const std::optional<Date>& timeStamp() const noexcept { return timeStamp_; }
    void setTimeStamp(std::optional<Date> timeStamp) { timeStamp_ = timeStamp; }

private:
    std::optional<Date> timeStamp_;
};
