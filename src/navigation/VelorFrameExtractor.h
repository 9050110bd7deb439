#pragma once
// Cuts the Velor's device frames out of received bytes: STX, a three-letter id beginning
// with 'M', four hex digits of frame length (payload + 12), the payload, two hex digits of
// XOR checksum, ETX, NUL. Bytes that do not form a valid frame are dropped; a buffer that
// would overflow is emptied and the new bytes are lost.
#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

namespace Vexa {

class VelorFrameExtractor
{
public:
    static constexpr std::size_t capacity = 0x20000;
    using Sink = std::function<void(std::string_view id, std::string_view payload)>;

    VelorFrameExtractor();
    // Appends the bytes and hands every complete, valid frame to the sink, in order.
    void append(const char* data, std::size_t size, const Sink& sink);
    std::size_t fill() const { return fill_; }
    // The checks of a whole frame from STX to the NUL after ETX.
    static bool isValidFrame(std::string_view frame);

private:
    std::vector<char> buffer_;
    std::size_t fill_ = 0;
    std::size_t scanned_ = 0; // bytes already searched for an ETX
};

}
