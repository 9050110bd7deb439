#pragma once
// Reading a file into memory for the parser.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Vexa {

class DicomFile
{
public:
    // Up to maxBytes from the start of a regular file into buffer (resized to what was read);
    // returns the file's total size. DicomException 20112 when the file cannot be read.
    static std::size_t read(const std::string& path, std::vector<uint8_t>& buffer, std::size_t maxBytes);
};

}
