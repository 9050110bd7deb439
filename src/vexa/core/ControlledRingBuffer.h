#pragma once
// A ring buffer of the n newest values: pushing into a full buffer drops the oldest value.
// Walks go from the newest to the oldest value (`range`) or the other way (`reverseRange`).
// An iterator names one value, not a slot: it stays valid while its value is in the buffer, and
// dereferencing it after the value was dropped (by `push`, `range` or `clear`) throws
// std::out_of_range instead of reading the slot's newer occupant.
#include "vexa/core/ControlledRingBufferCriterion.h"

#include <cstddef>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace Vexa {

template<class T>
class ControlledRingBuffer
{
public:
    using Criterion = ControlledRingBufferCriterion<T>;

    // Steps through the values in one direction; dereferencing gives the value.
    class Iterator
    {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = const T*;
        using reference = const T&;

        Iterator() = default;
        reference operator*() const { return buffer_->checkedAt(position_); }
        pointer operator->() const { return &buffer_->checkedAt(position_); }
        Iterator& operator++()
        {
            position_ += step_;
            return *this;
        }
        Iterator operator++(int)
        {
            Iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const Iterator& other) const { return buffer_ == other.buffer_ && position_ == other.position_; }

    private:
        friend class ControlledRingBuffer;
        Iterator(const ControlledRingBuffer* buffer, std::ptrdiff_t position, std::ptrdiff_t step)
            : buffer_(buffer), position_(position), step_(step)
        {
        }
        const ControlledRingBuffer* buffer_ = nullptr;
        std::ptrdiff_t position_ = 0; // the value's number: how many values were pushed before it
        std::ptrdiff_t step_ = -1;
    };

    // Holds at most `size` values; throws for 0.
    explicit ControlledRingBuffer(std::size_t size)
        : slots_(checkedSize(size)), criterion_(std::make_shared<Criterion>())
    {
    }

    // Copies the value in, dropping the oldest one first when the buffer is full. The
    // criterion (the always-valid base when none is given) decides from now on which of the
    // oldest values `range` drops. Returns an iterator at the new value that walks towards
    // older values.
    Iterator push(const T& value, std::shared_ptr<const Criterion> criterion = nullptr)
    {
        if (count_ == slots_.size()) {
            ++oldest_;
            --count_;
        }
        slots_[slotOf(newestNumber() + 1)] = value;
        ++count_;
        criterion_ = criterion ? std::move(criterion) : std::make_shared<Criterion>();
        return Iterator(this, newestNumber(), -1);
    }

    // Drops the oldest values as long as the criterion reports them invalid, then returns
    // (iterator at the newest value, end): the walk goes from newer to older values.
    std::pair<Iterator, Iterator> range()
    {
        dropInvalid();
        return {Iterator(this, newestNumber(), -1), Iterator(this, oldest_ - 1, -1)};
    }

    // (iterator at the oldest value, end): the walk goes from older to newer values.
    std::pair<Iterator, Iterator> reverseRange() const
    {
        return {Iterator(this, oldest_, 1), Iterator(this, newestNumber() + 1, 1)};
    }

    // The newest value; a default value while the buffer is empty.
    T newest() const { return count_ == 0 ? T{} : slots_[slotOf(newestNumber())]; }

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    std::size_t getMaxSize() const { return slots_.size(); }

    void clear()
    {
        oldest_ += static_cast<std::ptrdiff_t>(count_);
        count_ = 0;
    }

private:
    static std::size_t checkedSize(std::size_t size)
    {
        if (size == 0)
            throw std::runtime_error("ControlledRingBuffer: the size must be at least 1");
        return size;
    }

    std::ptrdiff_t newestNumber() const { return oldest_ + static_cast<std::ptrdiff_t>(count_) - 1; }
    std::size_t slotOf(std::ptrdiff_t number) const { return static_cast<std::size_t>(number) % slots_.size(); }

    const T& checkedAt(std::ptrdiff_t number) const
    {
        if (number < oldest_ || number > newestNumber())
            throw std::out_of_range("ControlledRingBuffer: the iterator's value is no longer in the buffer");
        return slots_[slotOf(number)];
    }

    void dropInvalid()
    {
        while (count_ > 0 && !criterion_->isValid(slots_[slotOf(oldest_)])) {
            ++oldest_;
            --count_;
        }
    }

    std::vector<T> slots_;
    std::ptrdiff_t oldest_ = 0; // number of the oldest value
    std::size_t count_ = 0;
    std::shared_ptr<const Criterion> criterion_;
};

}
