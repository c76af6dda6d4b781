#include "StampedPacket.h"

#include <array>
#include <bit>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view bundleMarker{"#bundle\0", 8};
constexpr std::array<unsigned char, 8> immediate{0, 0, 0, 0, 0, 0, 0, 1};

struct MessageShape {
    std::string_view address;
    std::string_view typeTags;
};

// The payload types of each message kind; the four stamp integers follow them.
constexpr std::array<MessageShape, 3> shapes{{
    {"/cue/1/go", ",iiii"},
    {"/fader/3", ",fiiii"},
    {"/osc/msg", ",sifiiii"},
}};

constexpr float faderLevel = 0.5F;
constexpr std::string_view greeting = "hello";
constexpr std::int32_t answer = 42;
constexpr float ratio = 1.5F;

class Writer {
public:
    explicit Writer(unsigned char* out) : out_(out) {}
    std::size_t length() const noexcept { return length_; }

    void text(std::string_view value) {
        std::memcpy(out_ + length_, value.data(), value.size());
        const std::size_t padded = (value.size() / 4 + 1) * 4;
        std::memset(out_ + length_ + value.size(), 0, padded - value.size());
        length_ += padded;
    }
    void integer(std::int32_t value) {
        const auto bits = static_cast<std::uint32_t>(value);
        out_[length_++] = static_cast<unsigned char>(bits >> 24);
        out_[length_++] = static_cast<unsigned char>(bits >> 16);
        out_[length_++] = static_cast<unsigned char>(bits >> 8);
        out_[length_++] = static_cast<unsigned char>(bits);
    }
    void real(float value) { integer(std::bit_cast<std::int32_t>(value)); }
    void bytes(const void* data, std::size_t size) {
        std::memcpy(out_ + length_, data, size);
        length_ += size;
    }
    // Reserves a size field, to be filled in by `closeSize` once the element is written.
    std::size_t openSize() {
        const std::size_t at = length_;
        length_ += 4;
        return at;
    }
    void closeSize(std::size_t at) {
        Writer field(out_ + at);
        field.integer(static_cast<std::int32_t>(length_ - at - 4));
    }

private:
    unsigned char* out_;
    std::size_t length_ = 0;
};

class Reader {
public:
    Reader(const unsigned char* data, std::size_t length) : data_(data), length_(length) {}
    bool atEnd() const noexcept { return offset_ == length_; }
    std::size_t offset() const noexcept { return offset_; }

    bool text(std::string_view& value) {
        const void* zero = std::memchr(data_ + offset_, 0, length_ - offset_);
        if (zero == nullptr) {
            return false;
        }
        const auto size =
            static_cast<std::size_t>(static_cast<const unsigned char*>(zero) - (data_ + offset_));
        const std::size_t padded = (size / 4 + 1) * 4;
        if (padded > length_ - offset_) {
            return false;
        }
        for (std::size_t at = size; at < padded; ++at) {
            if (data_[offset_ + at] != 0) {
                return false;
            }
        }
        value = {reinterpret_cast<const char*>(data_ + offset_), size};
        offset_ += padded;
        return true;
    }
    bool integer(std::int32_t& value) {
        if (length_ - offset_ < 4) {
            return false;
        }
        const unsigned char* at = data_ + offset_;
        value = static_cast<std::int32_t>(std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 |
                                          std::uint32_t{at[2]} << 8 | std::uint32_t{at[3]});
        offset_ += 4;
        return true;
    }
    bool real(float& value) {
        std::int32_t bits = 0;
        if (!integer(bits)) {
            return false;
        }
        value = std::bit_cast<float>(bits);
        return true;
    }
    bool skip(std::size_t size) {
        if (length_ - offset_ < size) {
            return false;
        }
        offset_ += size;
        return true;
    }
    const unsigned char* here() const noexcept { return data_ + offset_; }

private:
    const unsigned char* data_;
    std::size_t length_;
    std::size_t offset_ = 0;
};

void writeStamp(Writer& writer, const StampedPacket::Stamp& stamp) {
    const auto time = static_cast<std::uint64_t>(stamp.sentNanoseconds);
    writer.integer(stamp.stream);
    writer.integer(stamp.sequence);
    writer.integer(static_cast<std::int32_t>(static_cast<std::uint32_t>(time >> 32)));
    writer.integer(static_cast<std::int32_t>(static_cast<std::uint32_t>(time)));
}

void writeMessage(Writer& writer, std::size_t kind, const StampedPacket::Stamp& stamp) {
    writer.text(shapes[kind].address);
    writer.text(shapes[kind].typeTags);
    if (kind == 1) {
        writer.real(faderLevel);
    } else if (kind == 2) {
        writer.text(greeting);
        writer.integer(answer);
        writer.real(ratio);
    }
    writeStamp(writer, stamp);
}

// Reads one whole message of the mix; `kind` is the one its address names.
bool readMessage(Reader& reader, std::size_t& kind, StampedPacket::Stamp& stamp) {
    std::string_view address;
    std::string_view typeTags;
    if (!reader.text(address) || !reader.text(typeTags)) {
        return false;
    }
    kind = 0;
    while (kind < shapes.size() && shapes[kind].address != address) {
        ++kind;
    }
    if (kind == shapes.size() || shapes[kind].typeTags != typeTags) {
        return false;
    }
    if (kind == 1) {
        float level = 0;
        if (!reader.real(level) || level != faderLevel) {
            return false;
        }
    } else if (kind == 2) {
        std::string_view word;
        std::int32_t number = 0;
        float value = 0;
        if (!reader.text(word) || word != greeting || !reader.integer(number) || number != answer ||
            !reader.real(value) || value != ratio) {
            return false;
        }
    }
    std::int32_t high = 0;
    std::int32_t low = 0;
    if (!reader.integer(stamp.stream) || !reader.integer(stamp.sequence) || !reader.integer(high) ||
        !reader.integer(low)) {
        return false;
    }
    stamp.sentNanoseconds = static_cast<std::int64_t>(
        std::uint64_t{static_cast<std::uint32_t>(high)} << 32 | static_cast<std::uint32_t>(low));
    return true;
}

} // namespace

std::size_t StampedPacket::write(std::size_t kind, const Stamp& stamp,
                                 unsigned char* out) noexcept {
    Writer writer(out);
    if (kind < shapes.size()) {
        writeMessage(writer, kind, stamp);
        return writer.length();
    }
    writer.bytes(bundleMarker.data(), bundleMarker.size());
    writer.bytes(immediate.data(), immediate.size());
    for (std::size_t element = 0; element < shapes.size(); ++element) {
        const std::size_t size = writer.openSize();
        writeMessage(writer, element, stamp);
        writer.closeSize(size);
    }
    return writer.length();
}

bool StampedPacket::read(const unsigned char* data, std::size_t length, Stamp& stamp) noexcept {
    Reader reader(data, length);
    if (length < bundleMarker.size() ||
        std::memcmp(data, bundleMarker.data(), bundleMarker.size()) != 0) {
        std::size_t kind = 0;
        return readMessage(reader, kind, stamp) && reader.atEnd();
    }
    if (!reader.skip(bundleMarker.size() + immediate.size())) {
        return false;
    }
    for (std::size_t element = 0; element < shapes.size(); ++element) {
        std::int32_t size = 0;
        if (!reader.integer(size) || size < 0 ||
            static_cast<std::size_t>(size) > length - reader.offset()) {
            return false;
        }
        Reader inner(reader.here(), static_cast<std::size_t>(size));
        Stamp elementStamp;
        std::size_t kind = 0;
        if (!readMessage(inner, kind, elementStamp) || !inner.atEnd() || kind != element) {
            return false;
        }
        if (element > 0 &&
            (elementStamp.stream != stamp.stream || elementStamp.sequence != stamp.sequence ||
             elementStamp.sentNanoseconds != stamp.sentNanoseconds)) {
            return false;
        }
        stamp = elementStamp;
        reader.skip(static_cast<std::size_t>(size));
    }
    return reader.atEnd();
}
