#include "navigation/VelorFrameExtractor.h"

#include <charconv>
#include <cstring>

namespace Vexa {

namespace {

constexpr char stx = 0x02;
constexpr char etx = 0x03;

// The whole text as hexadecimal (either case); false for anything else.
bool readHex(std::string_view text, unsigned& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return error == std::errc() && end == text.data() + text.size();
}

}

VelorFrameExtractor::VelorFrameExtractor() : buffer_(capacity) {}

bool VelorFrameExtractor::isValidFrame(std::string_view frame)
{
    const std::size_t n = frame.size();
    if (n < 12 || frame[0] != stx || frame[1] != 'M' || frame[n - 2] != etx || frame[n - 1] != 0)
        return false;
    unsigned length = 0, checksum = 0;
    if (!readHex(frame.substr(4, 4), length) || length != n || !readHex(frame.substr(n - 4, 2), checksum))
        return false;
    unsigned sum = 0;
    for (std::size_t i = 0; i < n - 4; ++i)
        sum ^= static_cast<unsigned char>(frame[i]);
    return sum == checksum;
}

void VelorFrameExtractor::append(const char* data, std::size_t size, const Sink& sink)
{
    if (fill_ + size > capacity) {
        fill_ = scanned_ = 0;
        return;
    }
    std::memcpy(buffer_.data() + fill_, data, size);
    fill_ += size;
    for (;;) {
        // An ETX counts once the byte after it has arrived.
        if (fill_ < 12)
            return;
        const char* begin = buffer_.data();
        const char* found = static_cast<const char*>(std::memchr(begin + scanned_, etx, fill_ - 1 - scanned_));
        if (!found) {
            scanned_ = fill_ - 1;
            // Without an STX nothing here can begin a frame.
            if (!std::memchr(begin, stx, fill_))
                fill_ = scanned_ = 0;
            return;
        }
        const std::size_t end = static_cast<std::size_t>(found - begin) + 2;
        // The last STX before the ETX: a stray STX in garbage does not swallow the frame.
        const void* start = ::memrchr(begin, stx, static_cast<std::size_t>(found - begin));
        if (start) {
            const std::string_view frame(static_cast<const char*>(start), begin + end - static_cast<const char*>(start));
            if (isValidFrame(frame))
                sink(frame.substr(1, 3), frame.substr(8, frame.size() - 12));
        }
        std::memmove(buffer_.data(), begin + end, fill_ - end);
        fill_ -= end;
        scanned_ = 0;
    }
}

}
