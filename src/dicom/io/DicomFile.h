#pragma once
// Reading a file into memory for the parser: whole, as a prefix, or in pieces at given offsets.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Vexa {

class DicomFile
{
public:
    // Opens a regular file for reading; DicomException 20112 when it cannot be opened.
    explicit DicomFile(const std::string& path);
    ~DicomFile();
    DicomFile(const DicomFile&) = delete;
    DicomFile& operator=(const DicomFile&) = delete;

    // The file's size when it was opened.
    std::size_t size() const { return size_; }
    // Exactly count bytes from offset on. DicomException 20100 when the file ends before them
    // (it shrank after it was opened), 20112 when reading fails.
    void readAt(std::size_t offset, uint8_t* destination, std::size_t count) const;

    // Up to maxBytes from the start of a regular file into buffer (resized to what was read);
    // returns the file's total size. DicomException 20112 when the file cannot be read.
    static std::size_t read(const std::string& path, std::vector<uint8_t>& buffer, std::size_t maxBytes);

private:
    std::string path_;
    int fd_ = -1;
    std::size_t size_ = 0;
};

}
