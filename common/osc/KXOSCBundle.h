// An OSC bundle: a time stamp and its elements.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "common/osc/KXOSCPacket.h"
#include "platform/Date.h"

/// An OSC bundle. Its contained objects are its elements, messages or bundles, nested to any
/// depth. Bytes: "#bundle", the time tag, then a size field and the bytes of each element.
///
/// Encoding, the text form and destruction walk nested bundles with a work stack of their own
/// rather than by recursion: a datagram can hold bundles several thousand levels deep. Elements
/// of other packet kinds (subclasses) are asked for their own packetizedData and text.
class KXOSCBundle : public KXOSCContainerPacket<KXOSCPacket> {
public:
    /// A bundle with that time stamp, taken without any check, and no elements.
    static std::shared_ptr<KXOSCBundle> bundleWithTimestamp(std::optional<Date> timeStamp);

    /// No time stamp, no elements.
    KXOSCBundle() = default;
    /// Takes nested bundles apart one level at a time, so that destroying a deep chain does not
    /// use stack in proportion to its depth.
    ~KXOSCBundle() override;

    /// No buffer when the bundle has no elements.
    Data packetizedData() const override;
    std::string stringRepresentation() const override;

    const std::optional<Date>& timeStamp() const noexcept { return timeStamp_; }
    void setTimeStamp(std::optional<Date> timeStamp) { timeStamp_ = timeStamp; }

private:
    std::optional<Date> timeStamp_;
};
