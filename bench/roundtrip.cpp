// roundtrip: times one Modbus request/answer through korvane and, in the same
// run, the same request sent straight to a Modbus TCP server, so that the
// gateway's own cost can be read against a baseline of this machine.
//
//   roundtrip --link /dev/ttyUSB0 --tcp 127.0.0.1:1503 [--count N] [--ready-ms MS]
//             [--request read|write] [--pause-ms MS]
//
// It opens a pty, links its slave at --link for korvane to open, and keeps a
// slave descriptor of its own in raw mode so that nothing is echoed before
// the daemon applies its line settings. It prints "pty PATH" once the link
// exists; the daemon may be started from then on. Requests (read one holding
// register at 0, unit 1; with --request write, write 1 into it instead) go
// alternately through the pty and straight over TCP, so both paths see the
// same machine load; the first 50 of each are not counted. --pause-ms keeps
// the line quiet that long before each request, as between a master's polls
// (in cache mode a write then finds the ring empty: back to back, writes
// outrun the server, fill the ring and are refused). A sample runs from the
// write of the whole request to the last byte of a correct answer (the
// request's function, a good CRC). The clock is read just before the write,
// not after it: the write wakes the reader, which often runs before the
// writer is back (on loopback the server may even have answered by then),
// and the answer would seem to take a few microseconds. It prints one line:
//   gateway_median_us G gateway_p99_us G99 direct_median_us D direct_p99_us D99 lost L
// The clients are minimal on purpose: whole frames in one write, answers
// read until the length their first bytes announce, nothing waits for line
// silence.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Unit 1: read holding register 0, or write 1 into it.
const Bytes read_request = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
const Bytes write_request = {0x01, 0x06, 0x00, 0x00, 0x00, 0x01};
constexpr int answer_deadline_ms = 2000;
constexpr long warmup_rounds = 50;

double now_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

std::uint16_t rtu_crc(const Bytes& bytes)
{
    std::uint16_t crc = 0xFFFF;
    for (const std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

[[noreturn]] void die(const char* what)
{
    std::fprintf(stderr, "roundtrip: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

// The length of a whole answer, as far as the bytes so far tell: at least
// one byte more than they hold until the length is known.
std::size_t rtu_answer_size(const Bytes& head)
{
    if (head.size() < 2)
        return 2;
    const std::uint8_t function = head[1];
    if ((function & 0x80) != 0)
        return 5;  // unit, function, code, CRC
    if (function <= 4 || function == 23)
        return head.size() < 3 ? 3 : 5u + head[2];  // reads: a byte count, then the data
    return function == 22 ? 10 : 8;  // writes: an echo of the request's fields
}

std::size_t tcp_answer_size(const Bytes& head)
{
    return head.size() < 6 ? 6 : 6u + (static_cast<std::size_t>(head[4]) << 8 | head[5]);
}

// Reads until the answer is whole or the deadline passes; the answer is
// returned whatever its length, a short one is judged by the caller.
Bytes read_answer(int fd, std::size_t (*whole)(const Bytes&), int deadline_ms)
{
    Bytes answer;
    const double deadline = now_us() + deadline_ms * 1000.0;
    while (answer.size() < whole(answer)) {
        const int left_ms = static_cast<int>((deadline - now_us()) / 1000.0);
        if (left_ms < 0)
            break;
        pollfd waiter{fd, POLLIN, 0};
        const int ready = poll(&waiter, 1, left_ms);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        std::uint8_t chunk[256];
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (got <= 0)
            break;
        answer.insert(answer.end(), chunk, chunk + got);
    }
    return answer;
}

void drain(int fd)
{
    std::uint8_t chunk[256];
    while (read(fd, chunk, sizeof chunk) > 0) {
    }
}

struct Pty {
    int master = -1;
    int slave = -1;
    std::string slave_path;
};

Pty open_linked_pty(const std::string& link)
{
    Pty pty;
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0)
        die("posix_openpt");
    pty.slave_path = ptsname(pty.master);
    pty.slave = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY);
    if (pty.slave < 0)
        die("open pty slave");
    termios raw{};
    if (tcgetattr(pty.slave, &raw) != 0)
        die("tcgetattr");
    cfmakeraw(&raw);
    if (tcsetattr(pty.slave, TCSANOW, &raw) != 0)
        die("tcsetattr");
    unlink(link.c_str());
    if (symlink(pty.slave_path.c_str(), link.c_str()) != 0)
        die("symlink");
    return pty;
}

int connect_tcp(const std::string& where)
{
    const auto colon = where.rfind(':');
    if (colon == std::string::npos)
        die("--tcp wants ADDR:PORT");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(where.c_str() + colon + 1)));
    if (inet_pton(AF_INET, where.substr(0, colon).c_str(), &address.sin_addr) != 1)
        die("--tcp address");
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        die("connect");
    // The daemon's socket has no options; Nagle does not matter for a lone
    // request either way, but keep the client from adding its own delay.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// One exchange through korvane. Returns microseconds, or a negative value
// when no correct answer came.
double gateway_exchange(int master, const Bytes& frame, int deadline_ms)
{
    drain(master);
    const double start = now_us();
    if (write(master, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
        die("write pty");
    const Bytes answer = read_answer(master, rtu_answer_size, deadline_ms);
    const double elapsed = now_us() - start;
    if (answer.size() < 4 || answer.size() != rtu_answer_size(answer) || answer[1] != frame[1])
        return -1;
    const std::uint16_t crc = rtu_crc(Bytes(answer.begin(), answer.end() - 2));
    if (answer[answer.size() - 2] != (crc & 0xFF) || answer.back() != (crc >> 8))
        return -1;
    return elapsed;
}

double direct_exchange(int sock, const Bytes& pdu, std::uint16_t id)
{
    Bytes message = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id & 0xFF), 0, 0, 0,
                     static_cast<std::uint8_t>(pdu.size())};
    message.insert(message.end(), pdu.begin(), pdu.end());
    const double start = now_us();
    if (write(sock, message.data(), message.size()) != static_cast<ssize_t>(message.size()))
        die("write tcp");
    const Bytes answer = read_answer(sock, tcp_answer_size, answer_deadline_ms);
    const double elapsed = now_us() - start;
    if (answer.size() < 8 || answer.size() != tcp_answer_size(answer) || answer[0] != message[0] ||
        answer[1] != message[1] || answer[7] != pdu[1])
        return -1;
    return elapsed;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

} // namespace

int main(int argc, char** argv)
{
    std::string link;
    std::string tcp;
    long count = 1000;
    long ready_ms = 15000;
    std::string request = "read";
    long pause_ms = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--link")
            link = argv[i + 1];
        else if (option == "--tcp")
            tcp = argv[i + 1];
        else if (option == "--count")
            count = std::atol(argv[i + 1]);
        else if (option == "--ready-ms")
            ready_ms = std::atol(argv[i + 1]);
        else if (option == "--request")
            request = argv[i + 1];
        else if (option == "--pause-ms")
            pause_ms = std::atol(argv[i + 1]);
    }
    if (link.empty() || tcp.empty() || count < 1 || (request != "read" && request != "write")) {
        std::fprintf(stderr, "usage: roundtrip --link PATH --tcp ADDR:PORT [--count N] [--ready-ms MS]\n"
                             "                 [--request read|write] [--pause-ms MS]\n");
        return 2;
    }
    const Bytes& pdu = request == "write" ? write_request : read_request;

    const Pty pty = open_linked_pty(link);
    std::printf("pty %s\n", pty.slave_path.c_str());
    std::fflush(stdout);
    const int sock = connect_tcp(tcp);

    Bytes frame = pdu;
    const std::uint16_t crc = rtu_crc(frame);
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));

    // Until the daemon runs and has its connection, requests go unanswered
    // or come back as gateway exceptions.
    const double ready_deadline = now_us() + static_cast<double>(ready_ms) * 1000.0;
    while (gateway_exchange(pty.master, frame, 300) < 0) {
        if (now_us() > ready_deadline) {
            std::fprintf(stderr, "roundtrip: no answer through %s\n", link.c_str());
            return 1;
        }
    }

    std::vector<double> gateway;
    std::vector<double> direct;
    long lost = 0;
    std::uint16_t id = 0;
    for (long i = -warmup_rounds; i < count; ++i) {
        // Alternate which path goes first so neither always follows the other.
        for (int turn = 0; turn < 2; ++turn) {
            const bool via_gateway = (turn == 0) == (i % 2 == 0);
            if (pause_ms > 0)
                usleep(static_cast<useconds_t>(pause_ms * 1000));
            const double us = via_gateway ? gateway_exchange(pty.master, frame, answer_deadline_ms)
                                          : direct_exchange(sock, pdu, ++id);
            if (i < 0)
                continue;
            if (us < 0)
                ++lost;
            else
                (via_gateway ? gateway : direct).push_back(us);
        }
    }
    std::printf("gateway_median_us %.1f gateway_p99_us %.1f direct_median_us %.1f direct_p99_us %.1f lost %ld\n",
                percentile(gateway, 0.5), percentile(gateway, 0.99), percentile(direct, 0.5),
                percentile(direct, 0.99), lost);
    return lost == 0 ? 0 : 1;
}
