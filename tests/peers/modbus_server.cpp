// modbus_server: a Modbus TCP server with a register bank, for driving
// korvane from the network side. It serves one client at a time and goes
// back to accepting when the client leaves, records every request it
// receives, and can be told to misbehave in the ways a real server does.
//
//   modbus_server [--listen ADDR:PORT] [--log FILE] [--control FILE]
//                 [--mode MODE] [--registers N]
//
// --listen   where to listen (default 127.0.0.1:1502); with port 0 the port
//            the kernel picked is printed on stdout as one line.
// --log      every request received, MBAP header included, as one line of
//            hex bytes ("00 01 00 00 00 06 01 03 00 00 00 01"), flushed.
// --control  a file holding one mode line; read before each request, so a
//            test can change the behaviour while the server runs. An empty
//            or unreadable file keeps the current mode.
// --mode     the behaviour at start (default normal). Modes:
//              normal          answer from the register bank
//              silent          read requests, never answer
//              late MS         answer MS milliseconds late
//              badtid [MS]     first an answer with the previous transaction
//                              id (exception 4, so that delivering it shows),
//                              MS ms later (default 200) the right one
//              exception CODE  answer every request with exception CODE
//              close           close the connection on the request
//              empty           answer with the six header bytes alone
//                              (the right transaction id, length 0)
//              split MS        answer in two sends MS ms apart: the MBAP
//                              header with the unit id, then the PDU
//              latesplit MS    the same, the first piece MS ms late too
//              wrongid MS      never the right answer: copies of it under
//                              another transaction id, every MS ms for 2 s
//              nounit0         normal, but requests to unit 0 (broadcasts)
//                              get no answer, as a careful server does
//              deaf            stop reading the client's socket but keep it
//                              open; started deaf, the server offers a small
//                              window (a small stack), so the client's
//                              buffers fill after a few KiB
//            "late:300" and "late 300" are both accepted.
// --takeover 1: a newer client replaces an idle one (default 0).
// --stamp    1: each log line starts with the time it arrived, in
//            microseconds of CLOCK_MONOTONIC (the benchmarks time
//            deliveries by it).
// --registers size of each of the four tables (default 1000). Holding and
//            input register a start at (7 * a + 42) & 0xFFFF, so register 0
//            reads 42; coil and discrete input a start set when a % 3 == 0.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <string>
#include <vector>

#include <modbus/modbus.h>

#include "peer_util.hpp"

namespace {

// MBAP: transaction id, protocol id, length (unit id + PDU), unit id.
constexpr int mbap_size = 7;
// The length field covers the unit id and a PDU of at most 253 bytes.
constexpr int max_mbap_length = 254;

enum class Mode { normal, silent, late, badtid, exception, close, empty, split, latesplit, wrongid, nounit0, deaf };

struct Behaviour {
    Mode mode = Mode::normal;
    long arg = 0;
};

struct Options {
    std::string address = "127.0.0.1";
    long port = 1502;
    std::string log_path;
    std::string control_path;
    Behaviour behaviour;
    long registers = 1000;
    // A new client replaces an idle one, as a PLC does whose old peer
    // vanished without closing (its connection would otherwise hold the
    // server for ever).
    long takeover = 0;
    long stamp = 0;
};

// Set from --stamp.
bool stamp_log = false;

bool parse_behaviour(std::string text, Behaviour& out)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    std::string name = text;
    std::string arg;
    const auto split = text.find_first_of(": ");
    if (split != std::string::npos) {
        name = text.substr(0, split);
        arg = text.substr(split + 1);
    }
    long value = 0;
    Behaviour parsed;
    if (name == "normal" && arg.empty()) {
        parsed.mode = Mode::normal;
    } else if (name == "silent" && arg.empty()) {
        parsed.mode = Mode::silent;
    } else if (name == "close" && arg.empty()) {
        parsed.mode = Mode::close;
    } else if (name == "empty" && arg.empty()) {
        parsed.mode = Mode::empty;
    } else if (name == "deaf" && arg.empty()) {
        parsed.mode = Mode::deaf;
    } else if (name == "nounit0" && arg.empty()) {
        parsed.mode = Mode::nounit0;
    } else if (name == "split" && peer::parse_number(arg, 0, 3600000, value)) {
        parsed = {Mode::split, value};
    } else if (name == "latesplit" && peer::parse_number(arg, 0, 3600000, value)) {
        parsed = {Mode::latesplit, value};
    } else if (name == "wrongid" && peer::parse_number(arg, 1, 3600000, value)) {
        parsed = {Mode::wrongid, value};
    } else if (name == "late" && peer::parse_number(arg, 0, 3600000, value)) {
        parsed = {Mode::late, value};
    } else if (name == "badtid" && arg.empty()) {
        parsed = {Mode::badtid, 200};
    } else if (name == "badtid" && peer::parse_number(arg, 0, 3600000, value)) {
        parsed = {Mode::badtid, value};
    } else if (name == "exception" && peer::parse_number(arg, 1, 255, value)) {
        parsed = {Mode::exception, value};
    } else {
        return false;
    }
    out = parsed;
    return true;
}

// The control file is rewritten by the test at any moment; a read that
// catches it empty or half-written leaves the mode as it was.
void refresh_behaviour(const std::string& path, Behaviour& behaviour)
{
    if (path.empty())
        return;
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return;
    char line[128] = {};
    const bool got = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    if (got && line[0] != '\0' && line[0] != '\n' && !parse_behaviour(line, behaviour))
        std::fprintf(stderr, "modbus_server: ignoring control line: %s", line);
}

bool parse_options(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[++i];
        if (option == "--listen") {
            const auto colon = value.rfind(':');
            if (colon == std::string::npos)
                return false;
            options.address = value.substr(0, colon);
            if (!peer::parse_number(value.substr(colon + 1), 0, 65535, options.port))
                return false;
        } else if (option == "--log") {
            options.log_path = value;
        } else if (option == "--stamp") {
            if (!peer::parse_number(value, 0, 1, options.stamp))
                return false;
        } else if (option == "--takeover") {
            if (!peer::parse_number(value, 0, 1, options.takeover))
                return false;
        } else if (option == "--control") {
            options.control_path = value;
        } else if (option == "--mode") {
            if (!parse_behaviour(value, options.behaviour))
                return false;
        } else if (option == "--registers") {
            if (!peer::parse_number(value, 1, 65536, options.registers))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

void fill_bank(modbus_mapping_t& bank, int count)
{
    for (int a = 0; a < count; ++a) {
        const auto value = static_cast<std::uint16_t>((7 * a + 42) & 0xFFFF);
        bank.tab_registers[a] = value;
        bank.tab_input_registers[a] = value;
        bank.tab_bits[a] = a % 3 == 0;
        bank.tab_input_bits[a] = a % 3 == 0;
    }
}

// Reads exactly count bytes; false when the client went away or failed.
bool read_exact(int fd, std::uint8_t* into, std::size_t count)
{
    std::size_t have = 0;
    while (have < count) {
        const ssize_t got = read(fd, into + have, count - have);
        if (got > 0) {
            have += static_cast<std::size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        return false;
    }
    return true;
}

// One request, framed by its MBAP length field. Returns its size, 0 when
// the client went away; a malformed header is recorded and ends the client.
int receive_request(int fd, std::uint8_t* request, FILE* log)
{
    if (!read_exact(fd, request, mbap_size))
        return 0;
    const int length = (request[4] << 8) | request[5];
    int size = mbap_size;
    if (length >= 2 && length <= max_mbap_length) {
        if (!read_exact(fd, request + mbap_size, static_cast<std::size_t>(length - 1)))
            return 0;
        size = mbap_size + length - 1;
    }
    if (log != nullptr) {
        if (stamp_log) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            std::fprintf(log, "%lld ", static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
        }
        std::fprintf(log, "%s\n", peer::hex(request, static_cast<std::size_t>(size)).c_str());
        std::fflush(log);
    }
    if (size == mbap_size) {
        std::fprintf(stderr, "modbus_server: bad MBAP length %d, dropping the client\n", length);
        return 0;
    }
    return size;
}

// An answer to an earlier transaction: the previous id, exception 4.
void send_stale_answer(int fd, const std::uint8_t* request)
{
    const int previous = (((request[0] << 8) | request[1]) + 0xFFFF) & 0xFFFF;
    const std::uint8_t stale[] = {
        static_cast<std::uint8_t>(previous >> 8), static_cast<std::uint8_t>(previous & 0xFF),
        0, 0, 0, 3, request[6], static_cast<std::uint8_t>(request[7] | 0x80), 4,
    };
    (void)send(fd, stale, sizeof stale, MSG_NOSIGNAL);
}

// The normal answer as libmodbus would send it, caught on a socket pair so
// that it can be sent otherwise. Its length, or 0.
int catch_answer(modbus_t* ctx, int fd, const std::uint8_t* request, int size, modbus_mapping_t* bank,
                 std::uint8_t* answer)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        return 0;
    modbus_set_socket(ctx, pair[0]);
    int length = modbus_reply(ctx, request, size, bank);
    modbus_set_socket(ctx, fd);
    if (length <= mbap_size || !read_exact(pair[1], answer, static_cast<std::size_t>(length)))
        length = 0;
    close(pair[0]);
    close(pair[1]);
    return length;
}

// The normal answer, written as two pieces pause_ms apart (the first one
// pause_ms late as well with late_too).
void send_split_answer(modbus_t* ctx, int fd, const std::uint8_t* request, int size,
                       modbus_mapping_t* bank, long pause_ms, bool late_too)
{
    std::uint8_t answer[mbap_size + max_mbap_length];
    const int length = catch_answer(ctx, fd, request, size, bank, answer);
    if (length == 0)
        return;
    if (late_too)
        peer::sleep_ms(pause_ms);
    (void)send(fd, answer, mbap_size, MSG_NOSIGNAL);
    peer::sleep_ms(pause_ms);
    (void)send(fd, answer + mbap_size, static_cast<std::size_t>(length - mbap_size), MSG_NOSIGNAL);
}

// Copies of the normal answer under a wrong transaction id, one every
// every_ms for two seconds: traffic that must not stretch an exchange.
void send_wrong_ids(modbus_t* ctx, int fd, const std::uint8_t* request, int size, modbus_mapping_t* bank,
                    long every_ms)
{
    std::uint8_t answer[mbap_size + max_mbap_length];
    const int length = catch_answer(ctx, fd, request, size, bank, answer);
    if (length == 0)
        return;
    answer[0] ^= 0x80;
    for (long waited = 0; waited < 2000; waited += every_ms) {
        (void)send(fd, answer, static_cast<std::size_t>(length), MSG_NOSIGNAL);
        peer::sleep_ms(every_ms);
    }
}

// Serves one client until it leaves or the close mode ends it.
// With takeover, waits until the client sends or a newer one knocks: false
// for the newer one.
bool client_speaks_first(int fd, int listener, const Options& options)
{
    if (options.takeover == 0)
        return true;
    pollfd wait[2] = {{fd, POLLIN, 0}, {listener, POLLIN, 0}};
    while (poll(wait, 2, -1) < 0 && errno == EINTR) {
    }
    return (wait[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 || (wait[1].revents & POLLIN) == 0;
}

void serve_client(modbus_t* ctx, int fd, int listener, modbus_mapping_t* bank, const Options& options,
                  Behaviour& behaviour, FILE* log)
{
    std::uint8_t request[mbap_size + max_mbap_length];
    for (;;) {
        if (!client_speaks_first(fd, listener, options))
            return;
        const int size = receive_request(fd, request, log);
        if (size == 0)
            return;
        refresh_behaviour(options.control_path, behaviour);
        switch (behaviour.mode) {
        case Mode::silent:
            continue;
        case Mode::close:
            return;
        case Mode::late:
            peer::sleep_ms(behaviour.arg);
            break;
        case Mode::badtid:
            send_stale_answer(fd, request);
            peer::sleep_ms(behaviour.arg);
            break;
        case Mode::exception:
            (void)modbus_reply_exception(ctx, request, static_cast<unsigned>(behaviour.arg));
            continue;
        case Mode::empty: {
            const std::uint8_t header[] = {request[0], request[1], 0, 0, 0, 0};
            (void)send(fd, header, sizeof header, MSG_NOSIGNAL);
            continue;
        }
        case Mode::split:
        case Mode::latesplit:
            send_split_answer(ctx, fd, request, size, bank, behaviour.arg, behaviour.mode == Mode::latesplit);
            continue;
        case Mode::wrongid:
            send_wrong_ids(ctx, fd, request, size, bank, behaviour.arg);
            continue;
        case Mode::nounit0:
            if (request[6] == 0)
                continue;
            break;
        case Mode::deaf:
            for (;;)
                pause();
        case Mode::normal:
            break;
        }
        (void)modbus_reply(ctx, request, size, bank);
    }
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: modbus_server [--listen ADDR:PORT] [--log FILE] [--control FILE]\n"
                     "                     [--mode normal|silent|late:MS|badtid[:MS]|exception:CODE|close|empty|\n"
                     "                             split:MS|latesplit:MS|wrongid:MS|nounit0|deaf]\n"
                     "                     [--registers N] [--stamp 0|1]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    stamp_log = options.stamp != 0;

    FILE* log = nullptr;
    if (!options.log_path.empty()) {
        log = std::fopen(options.log_path.c_str(), "a");
        if (log == nullptr) {
            std::fprintf(stderr, "modbus_server: %s: %s\n", options.log_path.c_str(), std::strerror(errno));
            return 1;
        }
    }

    const int count = static_cast<int>(options.registers);
    modbus_mapping_t* bank = modbus_mapping_new(count, count, count, count);
    modbus_t* ctx = modbus_new_tcp(options.address.c_str(), static_cast<int>(options.port));
    if (bank == nullptr || ctx == nullptr) {
        std::fprintf(stderr, "modbus_server: %s\n", modbus_strerror(errno));
        return 1;
    }
    fill_bank(*bank, count);

    int listener = modbus_tcp_listen(ctx, 1);
    if (listener < 0) {
        std::fprintf(stderr, "modbus_server: listen on %s:%ld: %s\n", options.address.c_str(), options.port,
                     modbus_strerror(errno));
        return 1;
    }
    if (options.behaviour.mode == Mode::deaf) {
        // Accepted connections inherit both: a window of a few KiB, and
        // small segments that make the client's send buffer small too.
        const int window = 2048;
        const int segment = 536;
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        setsockopt(listener, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    }
    if (options.port == 0) {
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        if (getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            std::perror("modbus_server: getsockname");
            return 1;
        }
        std::printf("%u\n", ntohs(bound.sin_port));
        std::fflush(stdout);
    }

    Behaviour behaviour = options.behaviour;
    for (;;) {
        const int client = modbus_tcp_accept(ctx, &listener);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            std::fprintf(stderr, "modbus_server: accept: %s\n", modbus_strerror(errno));
            return 1;
        }
        serve_client(ctx, client, listener, bank, options, behaviour, log);
        close(client);
        modbus_set_socket(ctx, -1);
    }
}
