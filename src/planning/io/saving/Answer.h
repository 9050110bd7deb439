#pragma once
// The answer of a file-system step, or the errno value that kept it from one.
//
// Rule: an error is never an answer. A failed listing is not "empty", a failed look not "not
// there", a failed read not "another file": whoever wants the value looks at the error first,
// and an error stops the step where it stands. Asking a failed step for its value is a
// programming fault (std::logic_error).
#include "vexa/io/Reason.h"

#include <cerrno>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

// The errno value of a failed step, to hand on as the failure of any other step.
struct Failure
{
    int error;
    // The path of the file or folder it failed on, where the step knows it (a step on a folder's
    // entry, the mark read in taking a folder's mark), so that a message names the one whose
    // cause it tells; else empty.
    std::string where = {};
};

using Vexa::reasonOf;

// The value of a step that changes something and has nothing else to give.
struct Done
{};

template<class T>
class Answer
{
public:
    Answer(T value) : value_(std::move(value)) {}
    Answer(Failure failure) : error_(failure.error ? failure.error : EIO), where_(std::move(failure.where)) {}

    bool ok() const { return error_ == 0; }
    // The errno value; 0 for an answer, so that a caller may pass over errors it expects
    // (`if (const int error = step().error(); error && error != ENOENT)`).
    int error() const { return error_; }
    // The path of what it failed on, where known (Failure::where); else empty.
    const std::string& where() const { return where_; }
    Failure failure() const { return {error_, where_}; }

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
    std::string where_;
};

// The words for a failed answer in a message: `what` failed, or, where the step failed on another
// file or folder than the one `what` names (Failure::where), that one "could not be read".
template<class T>
std::string failedOn(const Answer<T>& answer, const std::string& what)
{
    const std::string& where = answer.where();
    return where.empty() || what.find(where) != std::string::npos ? what : where + " could not be read";
}
