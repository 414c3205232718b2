#include "serial/port.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

#include "core/counters.hpp"
#include "core/log.hpp"

// TIOCMBIS sets modem lines and TIOCMBIC clears them. Keying RTS with the
// wrong one would hold the RS-485 driver on between answers and drop it
// during them.
static_assert(TIOCMBIS == 0x5416 && TIOCMBIC == 0x5417);
static_assert(TIOCM_RTS == 0x004);
static_assert(TIOCSERGETLSR == 0x5459 && TIOCSER_TEMT == 0x01);

namespace {

constexpr int port_open_flags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_SYNC;
static_assert(port_open_flags == 0x101902);

constexpr std::array<std::pair<std::uint32_t, speed_t>, 23> speed_table{{
    {300, B300},         {600, B600},         {1200, B1200},       {2400, B2400},
    {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
}};

// The settings check and the port agree on which speeds exist.
constexpr bool same_speeds()
{
    if (speed_table.size() != std::size(line_speeds))
        return false;
    for (std::size_t i = 0; i < speed_table.size(); ++i)
        if (speed_table[i].first != line_speeds[i])
            return false;
    return true;
}
static_assert(same_speeds() && line_speed_known(fallback_line_speed));

// The speed constant and the bits per second it stands for.
std::pair<std::uint32_t, speed_t> line_speed(std::uint32_t baudrate)
{
    for (const auto& entry : speed_table)
        if (entry.first == baudrate)
            return entry;
    return {fallback_line_speed, B9600};
}

tcflag_t control_flags(std::uint32_t baudrate, std::uint32_t databits, const char* parity,
                       std::uint32_t stopbits)
{
    tcflag_t cflag = line_speed(baudrate).second | CREAD | HUPCL | CLOCAL;
    cflag |= databits == 7 ? CS7 : CS8;
    if (stopbits == 2)
        cflag |= CSTOPB;
    if (parity[0] == 'O')
        cflag |= PARENB | PARODD;
    else if (parity[0] == 'E')
        cflag |= PARENB;
    return cflag;
}

int set_rts(int fd, unsigned long request)
{
    int mask = TIOCM_RTS;
    if (ioctl(fd, request, &mask) == 0)
        return 1;
    log_message(LOG_ERR, "ioctl error (%s)", std::strerror(errno));
    return 0;
}

// The board's GPIO device, opened on first use and never closed; the spin
// lock guards only that lazy open.
int gpio_fd = -1;
std::atomic<std::uint32_t> gpio_lock{0};

constexpr long lock_retry_ns = 100000000;  // 100 ms between lock attempts

// Time one character takes on the line at the speed the port was opened
// with: start bit, 8 data bits, parity and 2 stop bits at the most. Set by
// tty_open; used only by the thread that owns the port.
std::int64_t char_time_us = 12000000 / 9600;

// Beyond the frame's own time on the line, how long a transmitter may take to
// report itself empty before RTS is dropped anyway. A UART that never reports
// empty must not hold the serial side in a busy loop for ever.
constexpr std::int64_t transmit_slack_us = 100000;

// 64 bits: a 32-bit long would overflow after 35 minutes of uptime.
std::int64_t monotonic_us()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

} // namespace

int tty_open(const char* path, std::uint32_t baudrate, std::uint32_t databits, const char* parity,
             std::uint32_t stopbits)
{
    const int fd = open(path, port_open_flags);
    if (fd < 0) {
        log_message(LOG_ERR, "open(%s) error: %s", path, std::strerror(errno));
        return -1;
    }
    char_time_us = static_cast<std::int64_t>(12000000 / line_speed(baudrate).first) + 1;
    termios attributes{};
    (void)tcgetattr(fd, &attributes);
    attributes.c_iflag = IGNBRK | IGNPAR;
    attributes.c_oflag = 0;
    attributes.c_cflag = control_flags(baudrate, databits, parity, stopbits);
    attributes.c_lflag = 0;
    if (tcsetattr(fd, TCSANOW, &attributes) != 0)
        log_message(LOG_ERR, "tcsetattr(%s) error: %s", path, std::strerror(errno));
    return fd;
}

void tty_close(int fd)
{
    if (close(fd) != 0)
        log_message(LOG_ERR, "close error: %s", std::strerror(errno));
}

int serial_port_open(SerialContext& context)
{
    const GatewaySettings& settings = *context.settings;
    const int fd = tty_open(context.device_path, settings.baudrate, settings.databits,
                            settings.parity, settings.stopbits);
    if (fd < 0) {
        log_message(LOG_ERR, "openning port %s failed", context.device_path);
        return -1;
    }
    if (context.rts_mode == 0)
        return fd;
    // The RS-485 driver must be off whenever we are not transmitting, or it
    // holds the bus against the master.
    if (set_rts(fd, TIOCMBIC) != 1) {
        close(fd);
        return -1;
    }
    return fd;
}

void serial_write(int& port_fd, int& rts_mode, const FrameBuffer& frame, std::int32_t& len)
{
    if (port_fd < 0)
        return;
    if (rts_mode == 0) {
        (void)!write(port_fd, frame.data, static_cast<std::size_t>(len));
        return;
    }
    (void)set_rts(port_fd, TIOCMBIS);
    (void)!write(port_fd, frame.data, static_cast<std::size_t>(len));
    // RTS may drop only once the shift register is empty, or the last byte
    // of the answer is cut off on the bus.
    const std::int64_t give_up_at = monotonic_us() + len * char_time_us + transmit_slack_us;
    for (;;) {
        unsigned int status = 0;
        if (ioctl(port_fd, TIOCSERGETLSR, &status) != 0) {
            log_message(LOG_ERR, "ioctl error (%s)", std::strerror(errno));
            break;
        }
        if ((status & TIOCSER_TEMT) != 0)
            break;
        if (monotonic_us() > give_up_at) {
            log_message(LOG_ERR, "transmitter did not empty in time");
            break;
        }
    }
    // While RTS is up the bus is ours: any input is our own answer handed
    // back by the transceiver. It goes once the transmitter is empty (the
    // last echoed byte arrives then) and before RTS drops (from then on the
    // master may talk).
    int echoed = 0;
    if (ioctl(port_fd, FIONREAD, &echoed) == 0 && echoed > 0)
        count(counters.line_echoes_dropped);
    (void)tcflush(port_fd, TCIFLUSH);
    (void)set_rts(port_fd, TIOCMBIC);
}

int gpio_ioctl(unsigned long request, unsigned long argument)
{
    while (gpio_lock.exchange(1, std::memory_order_acquire) != 0) {
    }
    if (gpio_fd < 0)
        gpio_fd = open(gpio_device_path, O_RDWR);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    gpio_lock.store(0, std::memory_order_relaxed);
    if (gpio_fd < 0)
        return -1;
    return ioctl(gpio_fd, request, argument);
}

int serial_port_kind(int not_first_port)
{
    const unsigned long request = not_first_port == 0 ? gpio_kind_first_port : gpio_kind_other_port;
    const int kind = gpio_ioctl(request, 0);
    return kind < 0 ? port_kind_failed : kind;
}

int process_alive(pid_t pid)
{
    if (pid <= 0)
        return 0;
    if (kill(pid, 0) == 0)
        return 1;
    return errno == ESRCH ? 0 : 1;
}

long monotonic_seconds()
{
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return -1;
    return static_cast<long>(now.tv_sec);
}

int tty_lock(const char* device_path, int timeout_seconds)
{
    const char* slash = std::strrchr(device_path, '/');
    const char* name = slash != nullptr ? slash + 1 : device_path;
    char lock_path[64];
    std::snprintf(lock_path, sizeof lock_path, "/var/lock/LCK..%s", name);

    const long deadline = monotonic_seconds() + timeout_seconds;
    for (;;) {
        struct stat status;
        if (stat(lock_path, &status) == 0) {
            if (std::FILE* file = std::fopen(lock_path, "r")) {
                int owner = 0;
                if (std::fscanf(file, "%d", &owner) != 1)
                    owner = 0;
                std::fclose(file);
                // Our own pid in the lock is a leftover of an earlier boot
                // that happened to give us the same pid.
                if (process_alive(owner) == 0 || owner == getpid())
                    unlink(lock_path);
            }
        }
        const int fd = open(lock_path, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            char text[16];
            const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
            const ssize_t written = write(fd, text, static_cast<std::size_t>(length));
            close(fd);
            if (written >= 0)
                return 1;
        }
        const timespec pause{0, lock_retry_ns};
        nanosleep(&pause, nullptr);
        if (monotonic_seconds() > deadline)
            return 0;
    }
}
