#include "platform/Data.h"

#include <algorithm>
#include <cstdio>
#include <new>

Data::Block* Data::allocateBlock(std::size_t capacity) {
    void* memory = ::operator new(sizeof(Block) + capacity);
    return new (memory) Block();
}

void Data::freeBlock(Block* block) noexcept {
    block->~Block();
    ::operator delete(block);
}

Data Data::empty() noexcept {
    Data data;
    data.kind_ = Kind::Inline;
    return data;
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
