// A vector of trivially copyable values that keeps its first N elements
// inline and moves to the heap only beyond that. The raw map holds hundreds
// of thousands of buckets whose gate sets and entry lists are mostly tiny:
// inline storage spares an allocation and a cache miss per list.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <type_traits>

#include "utils/fatal.h"

namespace larkspan {

template <class T, size_t N>
class SmallVec {
    static_assert(std::is_trivially_copyable_v<T>, "SmallVec copies its elements as bytes");
    static_assert(N > 0);

  public:
    using value_type = T;
    using iterator = T *;
    using const_iterator = const T *;

    SmallVec() = default;
    SmallVec(std::initializer_list<T> items) { assign(items.begin(), items.end()); }
    SmallVec(const SmallVec &o) { assign(o.begin(), o.end()); }
    SmallVec(SmallVec &&o) noexcept { take(o); }
    SmallVec &operator=(const SmallVec &o) {
        if (this != &o) assign(o.begin(), o.end());
        return *this;
    }
    SmallVec &operator=(SmallVec &&o) noexcept {
        if (this != &o) {
            heap_.reset();
            take(o);
        }
        return *this;
    }
    ~SmallVec() = default;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    size_t capacity() const { return heap_ ? cap_ : N; }
    T *data() { return heap_ ? heap_.get() : inline_; }
    const T *data() const { return heap_ ? heap_.get() : inline_; }
    iterator begin() { return data(); }
    iterator end() { return data() + size_; }
    const_iterator begin() const { return data(); }
    const_iterator end() const { return data() + size_; }
    T &operator[](size_t i) {
        check_index(i, size_);
        return data()[i];
    }
    const T &operator[](size_t i) const {
        check_index(i, size_);
        return data()[i];
    }
    T &front() { return (*this)[0]; }
    const T &front() const { return (*this)[0]; }
    T &back() { return (*this)[size_ - 1]; }
    const T &back() const { return (*this)[size_ - 1]; }

    void clear() { size_ = 0; }
    void reserve(size_t n) {
        if (n > capacity()) regrow(n);
    }
    void push_back(const T &v) {
        if (size_ == capacity()) regrow(std::max<size_t>(2 * capacity(), 4));
        data()[size_++] = v;
    }
    template <class... A>
    T &emplace_back(A &&...args) {
        push_back(T(std::forward<A>(args)...));
        return back();
    }
    void pop_back() {
        if (size_ > 0) --size_;
    }
    template <class It>
    void assign(It first, It last) {
        size_ = 0;
        reserve(static_cast<size_t>(std::distance(first, last)));
        for (; first != last; ++first) data()[size_++] = *first;
    }

    friend bool operator==(const SmallVec &a, const SmallVec &b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

  private:
    void regrow(size_t n) {
        if (n > UINT32_MAX) fatal("SmallVec capacity overflow");
        auto fresh = std::make_unique_for_overwrite<T[]>(n);
        if (size_) std::memcpy(fresh.get(), data(), size_ * sizeof(T));
        heap_ = std::move(fresh);
        cap_ = static_cast<uint32_t>(n);
    }
    void take(SmallVec &o) noexcept {
        size_ = o.size_;
        cap_ = o.cap_;
        if (o.heap_) {
            heap_ = std::move(o.heap_);
        } else if (size_) {
            std::memcpy(inline_, o.inline_, size_ * sizeof(T));
        }
        o.size_ = 0;
        o.cap_ = 0;
    }

    std::unique_ptr<T[]> heap_;
    uint32_t size_ = 0, cap_ = 0;
    T inline_[N];
};

}  // namespace larkspan
