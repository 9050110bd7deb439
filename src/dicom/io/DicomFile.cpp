#include "dicom/io/DicomFile.h"

#include "dicom/core/DicomException.h"
#include "dicom/io/DicomErrorCode.h"
#include "vexa/core/ExceptionStack.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Vexa {

DicomFile::DicomFile(const std::string& path) : path_(path)
{
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        throw DicomException(DicomFileUnreadable, path + ": cannot open: " + std::strerror(errno));
    struct stat info;
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd_);
        throw DicomException(DicomFileUnreadable, path + ": not a regular file");
    }
    size_ = std::size_t(info.st_size);
}

DicomFile::~DicomFile()
{
    ::close(fd_);
}

void DicomFile::readAt(std::size_t offset, uint8_t* destination, std::size_t count) const try {
    std::size_t done = 0;
    while (done < count) {
        ssize_t got = ::pread(fd_, destination + done, count - done, off_t(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw DicomException(DicomFileUnreadable, path_ + ": read failed: " + std::strerror(errno));
        if (got == 0)
            throw DicomException(DicomTruncated, path_ + ": file ends at offset " + std::to_string(offset + done) +
                                                     " (it was changed while it was read)");
        done += std::size_t(got);
    }
} VEXA_RETHROW

std::size_t DicomFile::read(const std::string& path, std::vector<uint8_t>& buffer, std::size_t maxBytes)
{
    DicomFile file(path);
    buffer.resize(std::min(file.size(), maxBytes));
    try {
        file.readAt(0, buffer.data(), buffer.size());
    } catch (const DicomException& error) {
        throw DicomException(DicomFileUnreadable, error.what());
    }
    return file.size();
}

}
