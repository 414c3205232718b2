// Handshake time of korvane's own TLS code against openssl s_server in a
// private world: a full handshake (ECDHE with a P-256 certificate, chain
// and name verified) against a resumed one (the session of the handshake
// before, by ticket: one round trip, no public-key work). Each sample is a
// fresh process that does one of each, so that every full handshake starts
// without a session.
//
//   tls_handshake [SAMPLES]     (default 50; as root)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/counters.hpp"
#include "net/descriptors.hpp"
#include "net/link.hpp"
#include "net/tls.hpp"
#include "world.hpp"

using namespace kt;

namespace {

constexpr std::uint16_t port = 1802;

// One connection and handshake, in microseconds; -1 when it failed.
long handshake_us()
{
    const std::int64_t started = monotonic_now_us();
    int fd = tcp_connect(0x7F000001, port, 5000, -1);
    if (tls_connect(fd, started + 5000000, -1) != 1)
        return -1;
    const long took = static_cast<long>(monotonic_now_us() - started);
    tls_close(fd);
    return took;
}

// In the world: a full handshake, then a resumed one; both times on out.
int sample(int out)
{
    static GatewaySettings settings{};
    settings.addr = "127.0.0.1";
    settings.tls = 1;
    settings.tls_ca = "/run/tls/ca.pem";
    settings.tls_cert = "";
    settings.tls_key = "";
    settings.tls_name = "";
    if (tls_init(settings) != 0 || !tls_usable())
        return 1;
    const long full = handshake_us();
    const long resumed = handshake_us();
    const bool was_resumed = counters.tls_resumed.load() == 1 && counters.tls_handshakes.load() == 1;
    char line[64];
    const int length = std::snprintf(line, sizeof line, "%ld %ld\n", full, was_resumed ? resumed : -1);
    return write(out, line, static_cast<size_t>(length)) == length ? 0 : 1;
}

long median(std::vector<long> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int samples = argc > 1 ? std::atoi(argv[1]) : 50;
    World world;
    if (!world.make_authority("ca") || !world.make_certificate("server", "ca", "IP:127.0.0.1")) {
        std::fprintf(stderr, "tls_handshake: openssl did not make the certificates\n");
        return 1;
    }
    const pid_t server = world.spawn({"openssl", "s_server", "-quiet", "-www", "-accept", "127.0.0.1:1802", "-cert",
                                      "/run/tls/server.pem", "-key", "/run/tls/server.key"});
    if (server <= 0 || !wait_until([&] { return world.listening(port); }, 5000ms)) {
        std::fprintf(stderr, "tls_handshake: openssl s_server does not listen\n");
        return 1;
    }
    std::vector<long> full, resumed;
    for (int i = 0; i < samples; ++i) {
        int pipe_fds[2];
        if (pipe(pipe_fds) != 0)
            return 1;
        const pid_t child = world.fork_inside([&] { return sample(pipe_fds[1]); });
        close(pipe_fds[1]);
        char text[64] = {};
        const ssize_t got = read(pipe_fds[0], text, sizeof text - 1);
        close(pipe_fds[0]);
        const auto status = world.wait_exit(child, 10000ms);
        long f = -1, r = -1;
        if (got <= 0 || status != 0 || std::sscanf(text, "%ld %ld", &f, &r) != 2 || f < 0 || r < 0) {
            std::fprintf(stderr, "tls_handshake: sample %d failed (%s)\n", i, got > 0 ? text : "no answer");
            return 1;
        }
        full.push_back(f);
        resumed.push_back(r);
    }
    const long f = median(full), r = median(resumed);
    std::printf("handshake through korvane's TLS code, median of %d (connect included):\n", samples);
    std::printf("  full     %6ld us\n  resumed  %6ld us\n  resumed/full %.2f (goal < 0.20)\n", f, r,
                f > 0 ? static_cast<double>(r) / static_cast<double>(f) : 0.0);
    return 0;
}
