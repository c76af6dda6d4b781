#include "common/osc/KXOSCMessage.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

/// The bytes a text contributes to its string block: all of them when it is ASCII, none
/// otherwise (text that has no ASCII form is written as the empty string).
std::string_view asciiOrEmpty(std::string_view text) {
    // Eight bytes at a time: addresses are short, and this is on every message written.
    std::uint64_t seen = 0;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        seen |= word;
    }
    for (; i < text.size(); ++i)
        seen |= static_cast<unsigned char>(text[i]);
    return (seen & 0x8080808080808080u) == 0 ? text : std::string_view();
}

/// A string block holds the text and 1 to 4 zero bytes, so its length is a multiple of 4.
std::size_t stringBlockSize(std::size_t textLength) {
    return textLength + 4 - textLength % 4;
}

/// memcpy for the short runs a message is made of (texts and argument blocks of up to 16 bytes
/// are the common case), without a library call for each.
void copyBytes(std::uint8_t* out, const std::uint8_t* in, std::size_t count) {
    if (count >= 8 && count <= 16) {
        std::memcpy(out, in, 8);
        std::memcpy(out + count - 8, in + count - 8, 8);
    } else if (count >= 4 && count < 8) {
        std::memcpy(out, in, 4);
        std::memcpy(out + count - 4, in + count - 4, 4);
    } else if (count > 0 && count < 4) {
        out[0] = in[0];
        out[count / 2] = in[count / 2];
        out[count - 1] = in[count - 1];
    } else if (count > 16) {
        std::memcpy(out, in, count);
    }
}

/// Writes the whole block, pad included.
std::uint8_t* writeStringBlock(std::uint8_t* out, std::string_view asciiText) {
    const std::size_t size = stringBlockSize(asciiText.size());
    // The last word holds the pad; the text, written after it, may cover part of it.
    std::memset(out + size - 4, 0, 4);
    copyBytes(out, reinterpret_cast<const std::uint8_t*>(asciiText.data()), asciiText.size());
    return out + size;
}

std::string_view addressText(const std::shared_ptr<KXOSCAddress>& address) {
    return address != nullptr ? std::string_view(address->address()) : std::string_view();
}

} // namespace

std::shared_ptr<KXOSCMessage>
KXOSCMessage::messageWithKXOSCAddress(std::shared_ptr<KXOSCAddress> address) {
    if (address == nullptr)
        return nullptr;
    return std::make_shared<KXOSCMessage>(std::move(address));
}

std::string KXOSCMessage::typeTagString() const {
    std::string tags = ",";
    if (const auto& arguments = attachedObjects()) {
        tags.reserve(1 + arguments->size());
        for (const auto& argument : *arguments)
            tags += argument->type();
    }
    return tags;
}

KXOSCMessage::Layout KXOSCMessage::layout() const {
    Layout layout{asciiOrEmpty(addressText(address_)), 1, 0};
    std::size_t argumentBytes = 0;
    if (const auto& arguments = attachedObjects()) {
        unsigned char seen = 0;
        for (const auto& argument : *arguments) {
            seen |= static_cast<unsigned char>(argument->type());
            argumentBytes += argument->packetizedData().size();
        }
        layout.tagsLength = seen < 0x80 ? 1 + arguments->size() : 0;
    }
    layout.size =
        stringBlockSize(layout.address.size()) + stringBlockSize(layout.tagsLength) + argumentBytes;
    return layout;
}

std::uint8_t* KXOSCMessage::encodeInto(const Layout& layout, std::uint8_t* out) const {
    out = writeStringBlock(out, layout.address);
    // The type tag block is written in place, over its zeroed last word, while the arguments'
    // bytes are copied after it.
    const std::size_t tagsSize = stringBlockSize(layout.tagsLength);
    std::memset(out + tagsSize - 4, 0, 4);
    std::uint8_t* tag = out;
    out += tagsSize;
    if (layout.tagsLength > 0)
        *tag++ = ',';
    const auto& arguments = attachedObjects();
    if (!arguments)
        return out;
    for (const auto& argument : *arguments) {
        if (layout.tagsLength > 0)
            *tag++ = static_cast<std::uint8_t>(argument->type());
        const Data& bytes = argument->packetizedData();
        copyBytes(out, bytes.bytes(), bytes.size());
        out += bytes.size();
    }
    return out;
}

Data KXOSCMessage::packetizedData() const {
    const Layout measured = layout();
    return Data::withLength(measured.size, [&](std::uint8_t* out) { encodeInto(measured, out); });
}

std::string KXOSCMessage::stringRepresentation() const {
    std::string text = "MESSAGE:\naddress:";
    text += addressText(address_);
    text += "\n types:";
    text += typeTagString();
    if (const auto& arguments = attachedObjects()) {
        for (const auto& argument : *arguments) {
            text += '\n';
            text += argument->description();
        }
    }
    return text;
}
