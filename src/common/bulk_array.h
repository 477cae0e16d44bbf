// A growable array of plain values for data that may run to many megabytes (the
// values of a column table, the float arrays copied from arguments).
//
// Large arrays are mapped from the system on their own, in whole huge pages where
// the system offers them, so that a call taking tens of megabytes costs a few
// page faults instead of thousands, and growth moves pages (mremap) instead of
// copying values. Nothing is kept between arrays: every array gives all of its
// memory back when it is destroyed. Elements added by resize_for_overwrite are
// left unset, for a caller that writes every one of them next.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quor {

namespace bulk_memory {

#if defined(__linux__)
// From this size on an array has a mapping of its own, a whole number of huge pages long.
inline constexpr std::size_t mapped_from = std::size_t{1} << 21;

inline std::size_t mapped_length(std::size_t bytes) noexcept {
    return (bytes + mapped_from - 1) & ~(mapped_from - 1);
}

inline void* map(std::size_t length) noexcept {
    void* const memory = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return nullptr;
#if defined(MADV_HUGEPAGE)
    ::madvise(memory, length, MADV_HUGEPAGE);  // a hint: refused, the pages stay small
#endif
    return memory;
}

inline void* remap(void* memory, std::size_t old_length, std::size_t new_length) noexcept {
    void* const moved = ::mremap(memory, old_length, new_length, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) return nullptr;
#if defined(MADV_HUGEPAGE)
    ::madvise(moved, new_length, MADV_HUGEPAGE);
#endif
    return moved;
}

inline void unmap(void* memory, std::size_t length) noexcept { ::munmap(memory, length); }
#endif

}  // namespace bulk_memory

template <class T>
class bulk_array {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    bulk_array() noexcept = default;
    bulk_array(bulk_array&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    bulk_array& operator=(bulk_array&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    bulk_array(const bulk_array&) = delete;
    bulk_array& operator=(const bulk_array&) = delete;
    ~bulk_array() { release(); }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    T& operator[](std::size_t k) noexcept { return data_[k]; }
    const T& operator[](std::size_t k) const noexcept { return data_[k]; }

    void push_back(T value) {
        if (size_ == capacity_) reserve(capacity_ < 16 ? 16 : 2 * capacity_);
        data_[size_++] = value;
    }

    void reserve(std::size_t count) {
        if (count > capacity_) reallocate(count);
    }

    // Sets the size to `count`; elements past the old size are not initialised.
    void resize_for_overwrite(std::size_t count) {
        reserve(count);
        size_ = count;
    }

    // Drops the elements from `count` on (no effect if there are fewer).
    void truncate(std::size_t count) noexcept {
        if (count < size_) size_ = count;
    }

    void clear() noexcept { size_ = 0; }

private:
    static constexpr std::size_t max_count = static_cast<std::size_t>(-1) / 2 / sizeof(T);

    static std::size_t bytes_of(std::size_t count) noexcept { return count * sizeof(T); }

    void reallocate(std::size_t count) {
        if (count > max_count) throw std::length_error("array too large");
        const std::size_t old_bytes = bytes_of(capacity_);
        std::size_t new_bytes = bytes_of(count);
        void* memory;
#if defined(__linux__)
        if (new_bytes >= bulk_memory::mapped_from) {
            new_bytes = bulk_memory::mapped_length(new_bytes);
            if (old_bytes >= bulk_memory::mapped_from) {
                memory = bulk_memory::remap(data_, old_bytes, new_bytes);
                if (memory == nullptr) throw std::bad_alloc();
            } else {
                memory = bulk_memory::map(new_bytes);
                if (memory == nullptr) throw std::bad_alloc();
                if (size_ > 0) std::memcpy(memory, data_, bytes_of(size_));
                std::free(data_);
            }
            data_ = static_cast<T*>(memory);
            capacity_ = new_bytes / sizeof(T);
            return;
        }
#endif
        (void)old_bytes;
        memory = std::realloc(data_, new_bytes);
        if (memory == nullptr) throw std::bad_alloc();
        data_ = static_cast<T*>(memory);
        capacity_ = count;
    }

    void release() noexcept {
#if defined(__linux__)
        if (bytes_of(capacity_) >= bulk_memory::mapped_from) {
            bulk_memory::unmap(data_, bytes_of(capacity_));
            data_ = nullptr;
            return;
        }
#endif
        std::free(data_);
        data_ = nullptr;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace quor
