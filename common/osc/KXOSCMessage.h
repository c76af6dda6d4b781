// An OSC message: an address and its arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/osc/KXOSCAddress.h"
#include "common/osc/KXOSCArgument.h"
#include "common/osc/KXOSCPacket.h"

/// An OSC message. Its contained objects are its arguments, in order. Bytes: the address block,
/// the type tag string block, then each argument's bytes. A message without an address (after
/// setAddress(nullptr)) is written and shown as if its address were the empty text.
class KXOSCMessage : public KXOSCContainerPacket<KXOSCArgument> {
public:
    /// No message for no address.
    static std::shared_ptr<KXOSCMessage>
    messageWithKXOSCAddress(std::shared_ptr<KXOSCAddress> address);

    /// The address must be present; the factory is the checked way in.
    explicit KXOSCMessage(std::shared_ptr<KXOSCAddress> address) : address_(std::move(address)) {}

    void attachArgument(std::shared_ptr<KXOSCArgument> argument) {
        attachObject(std::move(argument));
    }
    void attachArguments(const ObjectList& arguments) { attachObjects(arguments); }
    void attachArguments(ObjectList&& arguments) { attachObjects(std::move(arguments)); }

    /// Never absent.
    Data packetizedData() const override;
    /// "," then one type character per argument.
    std::string typeTagString() const;
    std::string stringRepresentation() const override;

    const std::shared_ptr<KXOSCAddress>& address() const noexcept { return address_; }
    void setAddress(std::shared_ptr<KXOSCAddress> address) { address_ = std::move(address); }

private:
    friend class KXOSCBundle;

    /// The length of packetizedData, without building it.
    std::size_t encodedSize() const;
    /// Writes the encodedSize() bytes of packetizedData from `out` on, into bytes that are zero
    /// already (pad bytes are skipped); returns their end. Lets a bundle write its messages
    /// straight into its own buffer.
    std::uint8_t* encodeInto(std::uint8_t* out) const;

    std::shared_ptr<KXOSCAddress> address_;
};
