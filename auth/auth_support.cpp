// auth_support.cpp - whole-file reads for the access check.
#include <errno.h>

#include <string>

#include "auth/auth_internal.h"
#include "platform/platform.h"

int auth_read_whole(const char *path, std::string &text, size_t max) {
    text.clear();
    int fd = plat_open_read(path);
    if (fd < 0) return errno == ENOENT ? PLAT_MISSING : -1;
    char buf[16384];
    for (;;) {
        long n = plat_read(fd, buf, sizeof buf);
        if (n < 0) {
            int saved = errno;
            plat_close(fd);
            errno = saved;
            return -1;
        }
        if (n == 0) break;
        if (text.size() + static_cast<size_t>(n) > max) {
            plat_close(fd);
            return -3;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    plat_close(fd);
    return 0;
}

