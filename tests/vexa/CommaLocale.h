#pragma once
// A comma-decimal process locale for tests of number formats in files.
#include <locale>
#include <stdexcept>
#include <string>

namespace CommaLocale {

// The de_DE one when the system has it, otherwise a facet with the same punctuation.
inline std::locale get()
{
    struct CommaDecimal : std::numpunct<char>
    {
        char do_decimal_point() const override { return ','; }
        char do_thousands_sep() const override { return '.'; }
        std::string do_grouping() const override { return "\3"; }
    };
    try {
        return std::locale("de_DE.UTF-8");
    } catch (const std::runtime_error&) {
        return std::locale(std::locale::classic(), new CommaDecimal);
    }
}

// Makes the comma locale the global one for its lifetime.
class Global
{
public:
    Global() : previous_(std::locale::global(get())) {}
    ~Global() { std::locale::global(previous_); }

private:
    std::locale previous_;
};

}
