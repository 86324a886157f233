// Owned zero-filled arrays of per-pixel data.
#pragma once

#include <kalvio/arrays.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace varnex {

/// An owned array of `size()` trivially copyable values, zero on
/// allocation, from kalvio::allocate_pages: a large array has huge pages of
/// its own, which go back to the system when it is released.
template <typename T>
class PixelBlock {
    static_assert(std::is_trivially_copyable_v<T>, "PixelBlock holds plain values");

public:
    PixelBlock() = default;
    ~PixelBlock() { release(); }
    PixelBlock(const PixelBlock&) = delete;
    PixelBlock& operator=(const PixelBlock&) = delete;
    PixelBlock(PixelBlock&& other) noexcept
        : m_data(std::exchange(other.m_data, nullptr)), m_size(std::exchange(other.m_size, 0)) {}
    PixelBlock& operator=(PixelBlock&& other) noexcept {
        if (this != &other) {
            release();
            m_data = std::exchange(other.m_data, nullptr);
            m_size = std::exchange(other.m_size, 0);
        }
        return *this;
    }

    /// `count` zero values in place of the old ones; false (and empty) when
    /// the memory cannot be had.
    bool allocate(std::size_t count) { return take(count, kalvio::allocate_pages); }
    /// As allocate, for values of which only a few will ever be written:
    /// pages never touched take no memory.
    bool allocate_sparse(std::size_t count) { return take(count, kalvio::allocate_sparse_pages); }
    void release() {
        kalvio::release_pages(m_data, m_size * sizeof(T));
        m_data = nullptr;
        m_size = 0;
    }

    T* data() { return m_data; }
    const T* data() const { return m_data; }
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    T& operator[](std::size_t i) { return m_data[i]; }
    const T& operator[](std::size_t i) const { return m_data[i]; }

private:
    bool take(std::size_t count, void* (*pages)(std::size_t)) {
        release();
        if (count == 0) return true;
        if (count > SIZE_MAX / sizeof(T)) return false;
        m_data = static_cast<T*>(pages(count * sizeof(T)));
        if (!m_data) return false;
        m_size = count;
        return true;
    }

    T* m_data = nullptr;
    std::size_t m_size = 0;
};

}  // namespace varnex
