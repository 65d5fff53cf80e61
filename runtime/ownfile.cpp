#include "ownfile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int openOwnFile(const char* path, int flags) {
    int fd = ::open(path, flags | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || ((st.st_mode & 07777) != 0600 && ::fchmod(fd, 0600) != 0)) {
        int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}
