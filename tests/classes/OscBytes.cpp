#include "OscBytes.h"

namespace {

void appendPadded(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
    out.resize(out.size() + 4 - text.size() % 4, 0);
}

void appendInt(Bytes& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

} // namespace

Bytes OscBytes::intMessage(const std::string& address, std::int32_t value) {
    Bytes out;
    appendPadded(out, address);
    appendPadded(out, ",i");
    appendInt(out, static_cast<std::uint32_t>(value));
    return out;
}

Bytes OscBytes::stringMessage(const std::string& address, const std::string& value) {
    Bytes out;
    appendPadded(out, address);
    appendPadded(out, ",s");
    appendPadded(out, value);
    return out;
}

Bytes OscBytes::bundle(std::uint32_t seconds, std::uint32_t fraction,
                       const std::vector<Bytes>& elements) {
    Bytes out;
    appendPadded(out, "#bundle");
    appendInt(out, seconds);
    appendInt(out, fraction);
    for (const Bytes& element : elements) {
        appendInt(out, static_cast<std::uint32_t>(element.size()));
        out.insert(out.end(), element.begin(), element.end());
    }
    return out;
}

Bytes OscBytes::concatenated(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}
