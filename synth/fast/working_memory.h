// Working memory carved by hand from one buffer, by one plan. The renderer lays
// its memory out in one function that runs twice: first against a MemoryPlan,
// which only adds up what each take asks for, then against a WorkingMemory over
// the buffer, which hands the parts out in the same order. A plan larger than
// the buffer, and any take past the plan, is refused with WorkingMemoryError:
// nothing is ever written past what was planned.
#pragma once

#include <cstddef>
#include <new>
#include <span>
#include <stdexcept>
#include <type_traits>

namespace wave::fast {

// Every part starts on a 64-byte boundary of a buffer that does.
inline constexpr std::size_t kPartAlignFloats = 64 / sizeof(float);

class WorkingMemoryError : public std::length_error {
public:
    using std::length_error::length_error;
};

// The floats a part of `floats` floats occupies, padding included.
inline constexpr std::size_t PartFloats(std::size_t floats) {
    return (floats + kPartAlignFloats - 1) / kPartAlignFloats * kPartAlignFloats;
}

// Floats for one object of type T.
template <typename T>
constexpr std::size_t ObjectFloats() {
    static_assert(alignof(T) <= kPartAlignFloats * sizeof(float));
    static_assert(std::is_trivially_destructible_v<T>, "parts are never destroyed");
    return (sizeof(T) + sizeof(float) - 1) / sizeof(float);
}

// Sizes a layout: counts what each take asks for, against the capacity of the
// memory it is meant for, and hands out nothing.
class MemoryPlan {
public:
    explicit MemoryPlan(std::size_t capacity_floats = SIZE_MAX) : capacity_(capacity_floats) {}

    std::span<float> Take(std::size_t floats) {
        floats_ += PartFloats(floats);
        return {};
    }
    template <typename T>
    T* Make() {
        Take(ObjectFloats<T>());
        return nullptr;
    }
    // Whether `floats` more would still fit in the capacity.
    bool Fits(std::size_t floats) const {
        return floats_ <= capacity_ && PartFloats(floats) <= capacity_ - floats_;
    }
    std::size_t floats() const { return floats_; }
    std::size_t capacity() const { return capacity_; }

private:
    std::size_t capacity_;
    std::size_t floats_ = 0;
};

// Carves a plan out of `memory`, part after part.
class WorkingMemory {
public:
    // Refuses a plan made for another capacity or larger than `memory`.
    WorkingMemory(std::span<float> memory, const MemoryPlan& plan);

    // The next part; refuses one that would go past the plan.
    std::span<float> Take(std::size_t floats);
    template <typename T>
    T* Make() {
        return new (Take(ObjectFloats<T>()).data()) T;
    }
    // Whether `floats` more would fit in the memory; the same answer the plan gave
    // at this point of the layout.
    bool Fits(std::size_t floats) const { return PartFloats(floats) <= memory_.size() - taken_; }
    std::size_t taken() const { return taken_; }

private:
    std::span<float> memory_;
    std::size_t planned_;
    std::size_t taken_ = 0;
};

}  // namespace wave::fast
