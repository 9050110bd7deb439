#pragma once
// Cuts a byte stream into texts that end in a terminator, keeping what follows for the next
// text. A text that grows past the limit is dropped up to and including its terminator, so
// an overlong or garbled reply can never glue onto the next one.
#include <cstddef>
#include <string>

namespace Platform {

class LineFramer
{
public:
    void append(const char* data, std::size_t size) { carry_.append(data, size); }
    // The next whole text (terminator included) of at most maxBytes; false when none is there.
    bool next(char terminator, std::size_t maxBytes, std::string& text);
    // Takes up to maxBytes of whatever is waiting, whole texts or not.
    std::string take(std::size_t maxBytes);
    void clear();
    std::size_t size() const { return carry_.size(); }

private:
    std::string carry_;
    bool dropping_ = false; // inside a text that grew too long
};

}
