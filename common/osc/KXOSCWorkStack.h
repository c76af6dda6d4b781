// The work list of the walks over nested bundles.
#pragma once

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

/// A list that grows and shrinks at its end, for walking nested bundles without recursion.
/// The first InPlace entries are kept inside the object, the rest on the heap: the usual
/// shallow bundle is walked without an allocation, and a deep one is bounded by memory only.
template <typename T, std::size_t InPlace> class KXOSCWorkStack {
public:
    KXOSCWorkStack() = default;
    KXOSCWorkStack(const KXOSCWorkStack&) = delete;
    KXOSCWorkStack& operator=(const KXOSCWorkStack&) = delete;
    ~KXOSCWorkStack() {
        while (size_ > 0)
            pop_back();
    }

    bool empty() const noexcept { return size_ == 0; }
    std::size_t size() const noexcept { return size_; }
    /// Unchecked: the caller keeps index < size().
    T& operator[](std::size_t index) noexcept {
        return index < InPlace ? *std::launder(slot(index)) : beyond_[index - InPlace];
    }
    T& back() noexcept { return (*this)[size_ - 1]; }

    void push_back(T value) {
        if (size_ < InPlace)
            new (slot(size_)) T(std::move(value));
        else
            beyond_.push_back(std::move(value));
        ++size_;
    }
    void pop_back() noexcept {
        --size_;
        if (size_ < InPlace)
            std::launder(slot(size_))->~T();
        else
            beyond_.pop_back();
    }

private:
    /// The room of an entry kept in place.
    T* slot(std::size_t index) noexcept {
        return reinterpret_cast<T*>(storage_ + index * sizeof(T));
    }

    alignas(T) std::byte storage_[InPlace * sizeof(T)];
    std::vector<T> beyond_;
    std::size_t size_ = 0;
};
