// Immutable byte buffers and the builder that makes them.
#pragma once

#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>

/// Thrown when a read asks for bytes past the end of a Data.
class DataRangeError : public std::out_of_range {
public:
    DataRangeError() : std::out_of_range("byte range reaches past the end of the buffer") {}
};

/// An immutable, length-counted sequence of bytes.
///
/// A default-constructed Data is absent ("no buffer"), which is distinct from an empty one.
/// Copies share the bytes without copying them; nothing can change them once built, so a
/// Data may be handed between threads freely. Buffers of up to kInlineCapacity bytes are kept
/// inside the object and need no allocation.
class Data {
public:
    static constexpr std::size_t kInlineCapacity = 16;

    /// The absent buffer.
    Data() noexcept = default;
    /// A present buffer holding no bytes.
    static Data empty() noexcept;
    /// A new buffer holding a copy of the given bytes.
    static Data copyOf(std::span<const std::uint8_t> bytes);
    /// A new buffer of exactly `length` bytes, written by `fill(std::uint8_t* first)`.
    template <typename Fill> static Data withLength(std::size_t length, Fill&& fill);

    Data(const Data& other) noexcept;
    Data(Data&& other) noexcept;
    Data& operator=(const Data& other) noexcept;
    Data& operator=(Data&& other) noexcept;
    ~Data();

    bool isAbsent() const noexcept { return kind_ == Kind::Absent; }
    /// The number of bytes; 0 for the absent buffer.
    std::size_t size() const noexcept { return size_; }
    const std::uint8_t* bytes() const noexcept {
        return kind_ == Kind::Shared ? shared_.first : inline_;
    }
    std::span<const std::uint8_t> span() const noexcept { return {bytes(), size_}; }
    /// Unchecked access; the caller keeps index < size().
    std::uint8_t operator[](std::size_t index) const noexcept { return bytes()[index]; }

    /// The bytes [offset, offset + length) as a buffer of their own (absent counts as empty).
    /// Throws DataRangeError when the range reaches past the end; negative values and sums
    /// that overflow their type count as past the end, never as a small range.
    template <std::integral Offset, std::integral Length>
    Data subdata(Offset offset, Length length) const {
        if (!inRange(offset, length))
            throw DataRangeError();
        return slice(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
    }
    /// The bytes from `offset` to the end; throws DataRangeError when offset > size().
    template <std::integral Offset> Data subdataFrom(Offset offset) const {
        if (offset < 0 || static_cast<std::uintmax_t>(offset) > size_)
            throw DataRangeError();
        return slice(static_cast<std::size_t>(offset), size_ - static_cast<std::size_t>(offset));
    }
    /// Whether [offset, offset + length) lies within the buffer.
    template <std::integral Offset, std::integral Length>
    bool inRange(Offset offset, Length length) const noexcept {
        if (offset < 0 || length < 0)
            return false;
        const auto start = static_cast<std::uintmax_t>(offset);
        const auto count = static_cast<std::uintmax_t>(length);
        return start <= size_ && count <= size_ - start;
    }

    /// Equal bytes; the absent buffer equals only itself.
    friend bool operator==(const Data& a, const Data& b) noexcept;

    /// A readable rendering of the bytes, "<01020304 05>" (groups of four), "(null)" when absent.
    std::string description() const;

private:
    friend class DataBuilder;
    struct Block;
    enum class Kind : std::uint8_t { Absent, Inline, Shared };

    static Block* allocateBlock(std::size_t capacity);
    static void retain(Block* block) noexcept;
    static void release(Block* block) noexcept;
    static std::uint8_t* blockBytes(Block* block) noexcept;
    Data slice(std::size_t offset, std::size_t length) const;
    void reset() noexcept;

    /// The bytes of a Shared buffer: a range inside a reference-counted block.
    struct SharedBytes {
        Block* block;
        const std::uint8_t* first;
    };

    std::size_t size_ = 0;
    Kind kind_ = Kind::Absent;
    union {
        std::uint8_t inline_[kInlineCapacity]{};
        SharedBytes shared_;
    };
};

template <typename Fill> Data Data::withLength(std::size_t length, Fill&& fill) {
    Data data;
    data.size_ = length;
    if (length <= kInlineCapacity) {
        data.kind_ = Kind::Inline;
        fill(data.inline_);
    } else {
        Block* block = allocateBlock(length);
        data.kind_ = Kind::Shared;
        data.shared_.block = block;
        data.shared_.first = blockBytes(block);
        fill(blockBytes(block));
    }
    return data;
}

/// Grows a byte sequence by appending, then turns it into a Data without copying.
class DataBuilder {
public:
    DataBuilder() = default;
    explicit DataBuilder(std::size_t capacity) { reserve(capacity); }
    DataBuilder(const DataBuilder&) = delete;
    DataBuilder& operator=(const DataBuilder&) = delete;
    ~DataBuilder();

    std::size_t size() const noexcept { return size_; }

    void reserve(std::size_t capacity);
    DataBuilder& append(std::span<const std::uint8_t> bytes);
    DataBuilder& append(const Data& data) { return append(data.span()); }
    DataBuilder& appendZeros(std::size_t count);

    /// The bytes appended so far as a present (possibly empty) Data; the builder is empty again.
    Data build();

private:
    std::uint8_t* grow(std::size_t extra);

    Data::Block* block_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};
