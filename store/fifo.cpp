#include "store/fifo.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#include "core/log.hpp"

static_assert(O_RDWR == 02 && O_NONBLOCK == 04000, "pipe ends are opened with 0x802");

int fifos_create()
{
    static constexpr const char* paths[] = {request_fifo_path, response_fifo_path, nullptr};
    for (int i = 0; paths[i] != nullptr; ++i) {
        // Owner only: anyone who can write the request pipe can send
        // requests to the plant.
        if (mkfifo(paths[i], 0600) == 0)
            continue;
        const int error = errno;
        if (error == EEXIST) {
            // Left from an earlier run (or something else stands there, which
            // is accepted as before); close it to others all the same.
            chmod(paths[i], 0600);
            continue;
        }
        log_message(LOG_ERR, "mkfifo %s has failed (%s)", paths[i], std::strerror(error));
        return 1;
    }
    return 0;
}

int fifo_open(const char* path)
{
    return open(path, O_RDWR | O_NONBLOCK);
}

int fifo_packet_mode(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return 0;
    return fcntl(fd, F_SETFL, flags | O_DIRECT) == 0 ? 1 : 0;
}
