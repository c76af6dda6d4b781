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

/// Writes into zeroed bytes, so the pad is already in place.
std::uint8_t* writeStringBlock(std::uint8_t* out, std::string_view asciiText) {
    if (!asciiText.empty())
        std::memcpy(out, asciiText.data(), asciiText.size());
    return out + stringBlockSize(asciiText.size());
}

bool hasAsciiTypes(const std::vector<std::shared_ptr<KXOSCArgument>>& arguments) {
    unsigned char seen = 0;
    for (const auto& argument : arguments)
        seen |= static_cast<unsigned char>(argument->type());
    return seen < 0x80;
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

std::size_t KXOSCMessage::encodedSize() const {
    std::size_t size = stringBlockSize(asciiOrEmpty(addressText(address_)).size());
    const auto& arguments = attachedObjects();
    if (!arguments)
        return size + stringBlockSize(1);
    for (const auto& argument : *arguments)
        size += argument->packetizedData().size();
    return size + stringBlockSize(hasAsciiTypes(*arguments) ? 1 + arguments->size() : 0);
}

std::uint8_t* KXOSCMessage::encodeInto(std::uint8_t* out) const {
    out = writeStringBlock(out, asciiOrEmpty(addressText(address_)));
    const auto& arguments = attachedObjects();
    if (!arguments)
        return writeStringBlock(out, ",");
    if (hasAsciiTypes(*arguments)) {
        // The type tag block is written in place: "," then one character per argument.
        std::uint8_t* const tags = out;
        *out++ = ',';
        for (const auto& argument : *arguments)
            *out++ = static_cast<std::uint8_t>(argument->type());
        out += 4 - static_cast<std::size_t>(out - tags) % 4;
    } else {
        out = writeStringBlock(out, {});
    }
    for (const auto& argument : *arguments) {
        const Data& bytes = argument->packetizedData();
        if (bytes.size() > 0)
            std::memcpy(out, bytes.bytes(), bytes.size());
        out += bytes.size();
    }
    return out;
}

Data KXOSCMessage::packetizedData() const {
    const std::size_t size = encodedSize();
    return Data::withLength(size, [this, size](std::uint8_t* out) {
        std::memset(out, 0, size);
        encodeInto(out);
    });
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
