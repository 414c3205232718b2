// relay: the floor korvane's round trip is measured against. One thread,
// the serial line and one TCP connection, nothing else: a request ends where
// the line has been quiet for the split gap (the same rule as korvane's),
// loses its CRC, goes out under an MBAP header; the answer comes back with a
// fresh CRC. No checks, no pipes, no second thread, no log.
//
//   relay --device /dev/ttyUSB0 --server 127.0.0.1:1502 --split MS [--threads 1]
//
// With --threads 1 the TCP side runs in a second thread, and each request
// and each answer crosses between the two through a pipe of its own, as in
// korvane: what the two hand-overs cost, and nothing else.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>

#include "modbus/crc.hpp"

namespace {

constexpr int mbap_size = 6;

bool read_exactly(int fd, std::uint8_t* to, size_t count)
{
    while (count > 0) {
        const ssize_t got = read(fd, to, count);
        if (got <= 0)
            return false;
        to += got;
        count -= static_cast<size_t>(got);
    }
    return true;
}

int connect_to(const std::string& server)
{
    const size_t colon = server.rfind(':');
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(server.c_str() + colon + 1)));
    if (inet_pton(AF_INET, server.substr(0, colon).c_str(), &address.sin_addr) != 1)
        return -1;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
        return -1;
    return fd;
}

// Sends a request (its MBAP header in front) and reads the answer's PDU
// into answer; its length, or 0 when the connection failed.
size_t exchange(int tcp, const std::uint8_t* request, size_t size, std::uint8_t* answer)
{
    if (write(tcp, request, size) != static_cast<ssize_t>(size) || !read_exactly(tcp, answer, mbap_size))
        return 0;
    const size_t body = static_cast<size_t>(answer[4]) << 8 | answer[5];
    if (body > 260 || !read_exactly(tcp, answer, body))
        return 0;
    return body;
}

int tcp = -1;
int requests[2];  // line thread -> TCP thread
int answers[2];   // TCP thread -> line thread

void* tcp_side(void*)
{
    std::uint8_t request[512 + mbap_size], answer[260];
    for (;;) {
        const ssize_t got = read(requests[0], request, sizeof request);
        const size_t body = got > 0 ? exchange(tcp, request, static_cast<size_t>(got), answer) : 0;
        if (body == 0 || write(answers[1], answer, body) != static_cast<ssize_t>(body))
            std::exit(1);
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::string device = "/dev/ttyUSB0", server = "127.0.0.1:1502";
    long split_ms = 0;
    bool threads = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--device")
            device = argv[i + 1];
        else if (option == "--server")
            server = argv[i + 1];
        else if (option == "--split")
            split_ms = std::atol(argv[i + 1]);
        else if (option == "--threads")
            threads = std::atoi(argv[i + 1]) != 0;
    }
    // The same timer slack korvane asks for: the split gap is a timer.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const int line = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (line < 0 || tcgetattr(line, &settings) != 0) {
        std::perror(device.c_str());
        return 1;
    }
    cfmakeraw(&settings);
    (void)tcsetattr(line, TCSANOW, &settings);
    tcp = connect_to(server);
    if (tcp < 0) {
        std::perror(server.c_str());
        return 1;
    }
    pthread_t thread;
    // Packet pipes, a message per write, as korvane's.
    if (threads && (pipe2(requests, O_DIRECT | O_CLOEXEC) != 0 || pipe2(answers, O_DIRECT | O_CLOEXEC) != 0 ||
                    pthread_create(&thread, nullptr, tcp_side, nullptr) != 0)) {
        std::perror("second thread");
        return 1;
    }
    std::uint8_t frame[512 + mbap_size];
    std::uint16_t id = 0;
    for (;;) {
        // A request: bytes until the line is quiet for the split gap.
        std::int32_t length = 0;
        for (;;) {
            const ssize_t got = read(line, frame + mbap_size + length, sizeof frame - mbap_size - length);
            if (got <= 0)
                return 0;
            length += static_cast<std::int32_t>(got);
            fd_set quiet;
            FD_ZERO(&quiet);
            FD_SET(line, &quiet);
            timeval gap{split_ms / 1000, (split_ms % 1000) * 1000};
            if (select(line + 1, &quiet, nullptr, nullptr, &gap) <= 0)
                break;
        }
        if (length < 4)
            continue;
        length -= 2;  // the CRC
        ++id;
        const std::uint8_t header[mbap_size] = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id),
                                                0, 0, static_cast<std::uint8_t>(length >> 8),
                                                static_cast<std::uint8_t>(length)};
        std::memcpy(frame, header, sizeof header);
        std::uint8_t answer[260 + 2];
        const size_t size = static_cast<size_t>(mbap_size + length);
        size_t body = 0;
        if (!threads)
            body = exchange(tcp, frame, size, answer);
        else if (write(requests[1], frame, size) == static_cast<ssize_t>(size))
            body = static_cast<size_t>(std::max<ssize_t>(read(answers[0], answer, sizeof answer), 0));
        if (body == 0)
            return 1;
        const std::uint16_t crc = crc16(answer, static_cast<std::int32_t>(body));
        answer[body] = static_cast<std::uint8_t>(crc);
        answer[body + 1] = static_cast<std::uint8_t>(crc >> 8);
        if (write(line, answer, body + 2) != static_cast<ssize_t>(body + 2))
            return 1;
    }
}
