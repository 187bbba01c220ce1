#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace kiva {

// A growable array of plain values in one block that realloc grows and trims: a large array
// grows without being copied (the allocator moves its pages instead) and keeps no slack once
// trimmed, so it never needs twice its size on the way.
template <class T> class TPlainArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    TPlainArray() = default;
    TPlainArray(const TPlainArray&) = delete;
    TPlainArray& operator=(const TPlainArray&) = delete;
    TPlainArray(TPlainArray&&) noexcept = default;
    TPlainArray& operator=(TPlainArray&&) noexcept = default;

    std::size_t Size() const { return size_; }
    T* Data() { return data_.get(); }
    const T* Data() const { return data_.get(); }
    T& operator[](std::size_t i) { return data_.get()[i]; }
    const T& operator[](std::size_t i) const { return data_.get()[i]; }

    // Room for count elements in all; raises std::bad_alloc when there is none.
    void Reserve(std::size_t count) {
        if (count > capacity_) {
            Reallocate(count);
        }
    }
    // Appends count elements, growing by half again when full; returns the first of them.
    T* Append(std::size_t count) {
        if (size_ + count > capacity_ || !data_) {
            Reallocate(std::max(size_ + count, capacity_ + capacity_ / 2 + 16));
        }
        T* first = data_.get() + size_;
        size_ += count;
        return first;
    }
    void Resize(std::size_t count) {
        Reserve(count);
        size_ = count;
    }
    // Gives back the room beyond the elements.
    void Trim() {
        if (capacity_ > size_ && size_ > 0) {
            Reallocate(size_);
        }
    }

private:
    struct Free {
        void operator()(T* p) const noexcept { std::free(p); }
    };
    void Reallocate(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T)) {
            throw std::bad_alloc();
        }
        void* p = std::realloc(data_.get(), count * sizeof(T));
        if (!p) {
            throw std::bad_alloc();
        }
        (void)data_.release();
        data_.reset(static_cast<T*>(p));
        capacity_ = count;
    }

    std::unique_ptr<T, Free> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

} // namespace kiva
