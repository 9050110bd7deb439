#pragma once
// The answer of a file-system step, or the errno value that kept it from one.
//
// Rule: an error is never an answer. A failed listing is not "empty", a failed look not "not
// there", a failed read not "another file": whoever wants the value looks at the error first,
// and an error stops the step where it stands. Asking a failed step for its value is a
// programming fault (std::logic_error).
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

// The errno value of a failed step, to hand on as the failure of any other step.
struct Failure
{
    int error;
};

// The system's own words for an errno value: the cause a message names is the error's.
inline std::string reasonOf(int error)
{
    return std::strerror(error);
}

template<class T>
class Answer
{
public:
    Answer(T value) : value_(std::move(value)) {}
    Answer(Failure failure) : error_(failure.error ? failure.error : EIO) {}

    bool ok() const { return error_ == 0; }
    // The errno value; 0 for an answer.
    int error() const { return error_; }
    Failure failure() const { return {error_}; }

    const T& value() const
    {
        if (error_)
            throw std::logic_error("the value of a failed file-system step was asked for");
        return *value_;
    }
    T& value()
    {
        if (error_)
            throw std::logic_error("the value of a failed file-system step was asked for");
        return *value_;
    }
    const T& operator*() const { return value(); }
    T& operator*() { return value(); }
    const T* operator->() const { return &value(); }
    T* operator->() { return &value(); }

private:
    std::optional<T> value_;
    int error_ = 0;
};
