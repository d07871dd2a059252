// Regular files only, opened without blocking.
#include "files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace asisim {

int open_regular(const std::string &path, int flags, bool follow, unsigned mode) {
    const int how = flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (follow ? 0 : O_NOFOLLOW);
    const int fd = ::open(path.c_str(), how, static_cast<mode_t>(mode));
    if (fd < 0) {
        // A link refused by O_NOFOLLOW, a directory opened for writing, a FIFO without a reader.
        if (errno == ELOOP || errno == EISDIR || errno == ENXIO)
            errno = kNotRegular;
        return -1;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = kNotRegular;
        return -1;
    }
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

} // namespace asisim
