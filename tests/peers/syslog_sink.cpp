// syslog_sink: binds a datagram socket at a path (normally /dev/log inside a
// private world) and appends every message it receives to a file, one line
// each, flushed, so that scripts can wait for a daemon's log lines.
//
//   syslog_sink SOCKET_PATH FILE
//
// It prints "ready" on stdout once the socket is bound: a message sent
// before that would be lost.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: syslog_sink SOCKET_PATH FILE\n");
        return 2;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(argv[1]) >= sizeof address.sun_path) {
        std::fprintf(stderr, "syslog_sink: socket path too long\n");
        return 2;
    }
    std::strcpy(address.sun_path, argv[1]);

    FILE* out = std::fopen(argv[2], "a");
    if (out == nullptr) {
        std::fprintf(stderr, "syslog_sink: %s: %s\n", argv[2], std::strerror(errno));
        return 1;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    unlink(argv[1]);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "syslog_sink: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    chmod(argv[1], 0666);
    std::printf("ready\n");
    std::fflush(stdout);

    char message[8192];
    for (;;) {
        const ssize_t got = recv(fd, message, sizeof message - 1, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "syslog_sink: recv: %s\n", std::strerror(errno));
            return 1;
        }
        // One datagram is one message; syslog() sends it without a newline.
        std::fwrite(message, 1, static_cast<std::size_t>(got), out);
        std::fputc('\n', out);
        std::fflush(out);
    }
}
