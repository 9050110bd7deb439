#pragma once
// A std::ostream whose text goes to the debug output, one line at a time.
#include <ostream>
#include <streambuf>
#include <string>

namespace Vexa {

class DebugOutputStream : public std::ostream
{
public:
    // The argument is the output mode of the original interface (callers pass 1); there is
    // only one mode here: every complete line is handed on at once, and a flush hands on
    // what has been collected so far.
    explicit DebugOutputStream(int mode = 1);
    ~DebugOutputStream() override;

    DebugOutputStream(const DebugOutputStream&) = delete;
    DebugOutputStream& operator=(const DebugOutputStream&) = delete;

private:
    class LineBuffer : public std::streambuf
    {
    public:
        ~LineBuffer() override;

    protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;
        int sync() override;

    private:
        void emit();
        std::string line_;
    };

    LineBuffer buffer_;
};

}
