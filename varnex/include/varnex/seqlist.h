// The segmentation code's 1-based growable list and the stack built on it.
#pragma once

#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

/// A pixel position: x is the column, y the row.
struct CPoint {
    int x;
    int y;
    friend bool operator==(const CPoint& a, const CPoint& b) { return a.x == b.x && a.y == b.y; }
};

/// A list of trivially copyable values at positions 1..count. Starts with
/// room for 200 and doubles when full. Reading a position outside 1..count
/// gives the zero value. Lists of pointers never delete what they hold.
/// Running out of memory throws std::bad_alloc, as `new` does; the
/// segmentation object turns it into a message at its entry points.
template <typename T>
class SeqList {
    static_assert(std::is_trivially_copyable_v<T>, "SeqList holds plain values");

public:
    SeqList() : SeqList(nullptr, 0) {}
    /// A list holding the n values at `values`, with room for at least 200.
    SeqList(const T* values, int n)
        : buffer(static_cast<T*>(std::malloc(sizeof(T) * static_cast<std::size_t>(n > 200 ? n : 200)))),
          capacity(n > 200 ? n : 200), count(n) {
        if (!buffer) throw std::bad_alloc();
        if (n > 0) std::memcpy(static_cast<void*>(buffer), values, sizeof(T) * static_cast<std::size_t>(n));
    }
    ~SeqList() { std::free(buffer); }
    SeqList(const SeqList&) = delete;
    SeqList& operator=(const SeqList&) = delete;

    int GetCount() const { return count; }
    bool IsEmpty() const { return count == 0; }

    /// Inserts at position count + 1.
    void Add(const T& value) {
        if (count == capacity) grow();
        buffer[count++] = value;
    }
    /// Inserts at 1 <= pos <= count + 1, shifting the later elements up;
    /// false (nothing inserted) for any other position.
    bool InsertAt(int pos, const T& value) {
        if (pos < 1 || pos > count + 1) return false;
        if (count == capacity) grow();
        std::memmove(static_cast<void*>(buffer + pos), buffer + pos - 1,
                     sizeof(T) * static_cast<std::size_t>(count - pos + 1));
        buffer[pos - 1] = value;
        ++count;
        return true;
    }
    T GetAt(int pos) const { return pos >= 1 && pos <= count ? buffer[pos - 1] : T{}; }
    T GetLast() const { return GetAt(count); }
    /// Removes and returns the element at pos; the zero value (nothing
    /// removed) for a bad position.
    T RemoveAt(int pos) {
        if (pos < 1 || pos > count) return T{};
        T value = buffer[pos - 1];
        std::memmove(static_cast<void*>(buffer + pos - 1), buffer + pos,
                     sizeof(T) * static_cast<std::size_t>(count - pos));
        --count;
        return value;
    }
    T RemoveLast() { return RemoveAt(count); }
    /// Empties the list, keeping its storage.
    void RemoveAll() { count = 0; }

    /// Direct access to positions 1..count as a 0-based array, for loops
    /// that read many elements.
    const T* data() const { return buffer; }

private:
    void grow() {
        T* bigger = static_cast<T*>(std::malloc(sizeof(T) * static_cast<std::size_t>(capacity) * 2));
        if (!bigger) throw std::bad_alloc();
        std::memcpy(static_cast<void*>(bigger), buffer, sizeof(T) * static_cast<std::size_t>(count));
        std::free(buffer);
        buffer = bigger;
        capacity *= 2;
    }

    T* buffer;
    int capacity;
    int count;
};

/// Last in, first out, on a SeqList it owns. Pop on an empty stack gives the
/// zero value.
template <typename T>
class SeqStack {
public:
    SeqStack() : count(0), list(new SeqList<T>) {}
    ~SeqStack() { delete list; }
    SeqStack(const SeqStack&) = delete;
    SeqStack& operator=(const SeqStack&) = delete;

    void Push(const T& value) {
        ++count;
        list->InsertAt(count, value);
    }
    T Pop() {
        if (count == 0) return T{};
        return list->RemoveAt(count--);
    }
    bool IsEmpty() const { return count == 0; }
    int GetCount() const { return count; }

private:
    int count;
    SeqList<T>* list;
};
