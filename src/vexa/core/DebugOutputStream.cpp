#include "vexa/core/DebugOutputStream.h"

#include "platform/DebugOutput.h"

namespace Vexa {

DebugOutputStream::DebugOutputStream(int /*mode*/)
    : std::ostream(nullptr)
{
    rdbuf(&buffer_);
}

DebugOutputStream::~DebugOutputStream()
{
    buffer_.pubsync();
}

DebugOutputStream::LineBuffer::~LineBuffer()
{
    try {
        emit();
    } catch (...) {
    }
}

DebugOutputStream::LineBuffer::int_type DebugOutputStream::LineBuffer::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    try {
        line_.push_back(traits_type::to_char_type(c));
        if (c == '\n')
            emit();
    } catch (...) {
        return traits_type::eof();
    }
    return c;
}

std::streamsize DebugOutputStream::LineBuffer::xsputn(const char* s, std::streamsize n)
{
    try {
        for (std::streamsize i = 0; i < n; ++i) {
            line_.push_back(s[i]);
            if (s[i] == '\n')
                emit();
        }
    } catch (...) {
        return 0;
    }
    return n;
}

int DebugOutputStream::LineBuffer::sync()
{
    try {
        emit();
    } catch (...) {
        return -1;
    }
    return 0;
}

void DebugOutputStream::LineBuffer::emit()
{
    if (line_.empty())
        return;
    Platform::outputDebugString(line_);
    line_.clear();
}

}
