#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed (0 for
// reading, 1 and 2 for writing), as daemons do. A new descriptor takes the
// lowest free number: without this, a helper started with one of them closed
// would read its own wake-up pipe as its input, or write its answers into a
// socket of its own. Call it first, before anything opens a descriptor.
// False, with errno set, when one could not be opened.
inline bool open_standard_descriptors() noexcept
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest closed descriptor: open gives it this number.
        if (::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) < 0)
            return false;
    }
    return true;
}
