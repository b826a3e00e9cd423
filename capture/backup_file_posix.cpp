// backup_file_posix.cpp - replacing QTB.CFG in one step on POSIX systems.
#include "backup_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool write_all(int fd, const char *text, std::size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false; // a full disk shows here, not as a short file later
        text += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// Creates a temporary file beside `name` that did not exist before, so that
// nobody else's file is ever written or removed. A run that was killed can
// leave one behind under a name a later run would pick, so a few names are
// tried before giving up.
int create_temporary(const char *name, char *temp, std::size_t capacity) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        int n = std::snprintf(temp, capacity, "%s.%ld.%d.tmp", name, static_cast<long>(getpid()),
                              attempt);
        if (n < 0 || static_cast<std::size_t>(n) >= capacity)
            return -1;
        int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

} // namespace

int write_backup_file(const char *name, const char *text, std::size_t length) {
    char temp[512];
    int fd = create_temporary(name, temp, sizeof temp);
    if (fd < 0)
        return -1;
    bool ok = write_all(fd, text, length) && fsync(fd) == 0;
    if (close(fd) != 0)
        ok = false;
    if (ok && rename(temp, name) != 0)
        ok = false;
    if (!ok) {
        unlink(temp);
        return -1;
    }
    // Make the rename itself durable; the backup is already whole either way.
    int dir = open(".", O_RDONLY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return 0;
}
