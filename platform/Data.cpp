#include "platform/Data.h"

#include <algorithm>
#include <cstdio>
#include <new>

struct Data::Block {
    std::atomic<std::size_t> references{1};
};

Data::Block* Data::allocateBlock(std::size_t capacity) {
    void* memory = ::operator new(sizeof(Block) + capacity);
    return new (memory) Block();
}

std::uint8_t* Data::blockBytes(Block* block) noexcept {
    return reinterpret_cast<std::uint8_t*>(block + 1);
}

void Data::retain(Block* block) noexcept {
    block->references.fetch_add(1, std::memory_order_relaxed);
}

void Data::release(Block* block) noexcept {
    if (block->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        block->~Block();
        ::operator delete(block);
    }
}

Data Data::empty() noexcept {
    Data data;
    data.kind_ = Kind::Inline;
    return data;
}

Data Data::copyOf(std::span<const std::uint8_t> bytes) {
    return withLength(bytes.size(), [&](std::uint8_t* first) {
        if (!bytes.empty())
            std::memcpy(first, bytes.data(), bytes.size());
    });
}

Data::Data(const Data& other) noexcept : size_(other.size_), kind_(other.kind_) {
    if (kind_ == Kind::Shared) {
        shared_ = other.shared_;
        retain(shared_.block);
    } else {
        std::memcpy(inline_, other.inline_, kInlineCapacity);
    }
}

Data::Data(Data&& other) noexcept : size_(other.size_), kind_(other.kind_) {
    std::memcpy(inline_, other.inline_, kInlineCapacity);
    other.kind_ = Kind::Absent;
    other.size_ = 0;
}

Data& Data::operator=(const Data& other) noexcept {
    if (this != &other) {
        Data copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Data& Data::operator=(Data&& other) noexcept {
    if (this != &other) {
        reset();
        size_ = other.size_;
        kind_ = other.kind_;
        std::memcpy(inline_, other.inline_, kInlineCapacity);
        other.kind_ = Kind::Absent;
        other.size_ = 0;
    }
    return *this;
}

Data::~Data() { reset(); }

void Data::reset() noexcept {
    if (kind_ == Kind::Shared)
        release(shared_.block);
    kind_ = Kind::Absent;
    size_ = 0;
}

Data Data::slice(std::size_t offset, std::size_t length) const {
    if (length > kInlineCapacity && kind_ == Kind::Shared) {
        // The bytes never change, so a large range shares the block instead of copying it.
        Data data;
        data.kind_ = Kind::Shared;
        data.size_ = length;
        data.shared_.block = shared_.block;
        data.shared_.first = shared_.first + offset;
        retain(shared_.block);
        return data;
    }
    return copyOf(span().subspan(offset, length));
}

bool operator==(const Data& a, const Data& b) noexcept {
    if (a.isAbsent() || b.isAbsent())
        return a.isAbsent() == b.isAbsent();
    return a.size() == b.size() && std::equal(a.bytes(), a.bytes() + a.size(), b.bytes());
}

std::string Data::description() const {
    if (isAbsent())
        return "(null)";
    std::string text = "<";
    char hex[3];
    for (std::size_t i = 0; i < size_; ++i) {
        if (i > 0 && i % 4 == 0)
            text += ' ';
        std::snprintf(hex, sizeof hex, "%02x", (*this)[i]);
        text += hex;
    }
    text += '>';
    return text;
}

DataBuilder::~DataBuilder() {
    if (block_ != nullptr)
        Data::release(block_);
}

void DataBuilder::reserve(std::size_t capacity) {
    if (capacity <= capacity_)
        return;
    Data::Block* block = Data::allocateBlock(capacity);
    if (block_ != nullptr) {
        std::memcpy(Data::blockBytes(block), Data::blockBytes(block_), size_);
        Data::release(block_);
    }
    block_ = block;
    capacity_ = capacity;
}

std::uint8_t* DataBuilder::grow(std::size_t extra) {
    if (extra > capacity_ - size_)
        reserve(std::max({size_ + extra, capacity_ * 2, std::size_t{64}}));
    std::uint8_t* end = Data::blockBytes(block_) + size_;
    size_ += extra;
    return end;
}

DataBuilder& DataBuilder::append(std::span<const std::uint8_t> bytes) {
    if (!bytes.empty())
        std::memcpy(grow(bytes.size()), bytes.data(), bytes.size());
    return *this;
}

DataBuilder& DataBuilder::appendZeros(std::size_t count) {
    if (count > 0)
        std::memset(grow(count), 0, count);
    return *this;
}

Data DataBuilder::build() {
    Data data;
    if (size_ <= Data::kInlineCapacity) {
        data = Data::copyOf({block_ != nullptr ? Data::blockBytes(block_) : nullptr, size_});
        if (block_ != nullptr)
            Data::release(block_);
    } else {
        data.kind_ = Data::Kind::Shared;
        data.size_ = size_;
        data.shared_.block = block_;
        data.shared_.first = Data::blockBytes(block_);
    }
    block_ = nullptr;
    size_ = 0;
    capacity_ = 0;
    return data;
}
