#include "dicom/io/DicomFile.h"

#include "dicom/core/DicomException.h"
#include "dicom/io/DicomErrorCode.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Vexa {

std::size_t DicomFile::read(const std::string& path, std::vector<uint8_t>& buffer, std::size_t maxBytes)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw DicomException(DicomFileUnreadable, path + ": cannot open: " + std::strerror(errno));
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw DicomException(DicomFileUnreadable, path + ": not a regular file");
    }
    const std::size_t total = std::size_t(info.st_size);
    const std::size_t wanted = std::min(total, maxBytes);
    buffer.resize(wanted);
    std::size_t done = 0;
    while (done < wanted) {
        ssize_t got = ::read(fd, buffer.data() + done, wanted - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            int error = errno;
            ::close(fd);
            throw DicomException(DicomFileUnreadable,
                                 path + ": read failed" + (got < 0 ? std::string(": ") + std::strerror(error) : ""));
        }
        done += std::size_t(got);
    }
    ::close(fd);
    return total;
}

}
