#include "core/log.hpp"
#include "core/counters.hpp"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr const char* log_socket_path = "/dev/log";

// Room for the header and the longest message: a bad-CRC line carries a hex
// dump of up to 8192 characters.
constexpr std::size_t log_record_size = 8192 + 256;

constexpr const char* month_names[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Set once by log_open on the main thread, before the workers start.
const char* log_ident = "korvane";
int log_options = 0;
int log_facility = LOG_USER;

// The socket is shared by every thread: the lock keeps one thread from
// closing it (or reconnecting) while another sends on it. It is only ever
// held around non-blocking calls.
pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;
int log_fd = -1;
bool log_stream = false;  // log_fd is a stream: each record ends in a NUL

// Messages lost since the log last took one.
std::atomic<unsigned> log_dropped{0};

// A message that keeps coming (a missing adapter every second, line noise
// every frame) would bury everything else: of each format, the first lines
// of a spell go out, then one a minute; a spell ends once the format has
// not come for a minute, and one line then tells how many were left out.
constexpr unsigned spell_lines = 10;
constexpr std::int64_t spell_repeat_s = 60;
constexpr std::int64_t spell_end_s = 60;
constexpr std::size_t spell_slots = 48;  // formats followed at once; others go out unlimited

struct Spell {
    const char* format;  // nullptr: the slot is free
    std::int64_t last_seen;
    std::int64_t last_sent;
    unsigned sent;
    unsigned left_out;
};

struct EndedSpell {
    const char* format;
    unsigned left_out;
};

// Every thread logs: the lock guards the table alone and is held for no
// call that could wait.
pthread_mutex_t spell_lock = PTHREAD_MUTEX_INITIALIZER;
Spell spells[spell_slots];

// A descriptor connected to /dev/log, or -1 with errno set.
int log_connect_as(int type)
{
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, log_socket_path, sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Some log daemons listen on a stream socket instead: a datagram socket
// cannot connect to it (EPROTOTYPE). A non-blocking stream connect to a unix
// socket either completes at once or fails, so it never waits either.
void log_connect_locked()
{
    if (log_fd >= 0)
        return;
    log_stream = false;
    log_fd = log_connect_as(SOCK_DGRAM);
    if (log_fd < 0 && errno == EPROTOTYPE) {
        log_stream = true;
        log_fd = log_connect_as(SOCK_STREAM);
    }
}

void log_disconnect_locked()
{
    close(log_fd);
    log_fd = -1;
}

// One attempt, without waiting. A full queue (EAGAIN) means the reader is
// there but behind: reconnecting would not help. Anything else means the
// reader went away (a restarted log daemon binds a new socket): connect
// afresh and try once more. record[length] is a NUL: on a stream it goes
// too, as the reader splits a stream into records at NUL bytes.
bool log_send(const char* record, std::size_t length)
{
    pthread_mutex_lock(&log_lock);
    bool sent = false;
    for (int attempt = 0; attempt < 2 && !sent; ++attempt) {
        log_connect_locked();
        if (log_fd < 0)
            break;
        const std::size_t size = log_stream ? length + 1 : length;
        const ssize_t written = send(log_fd, record, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (written == static_cast<ssize_t>(size)) {
            sent = true;
        } else if (written >= 0) {
            // A stream took only the front of the record. Its rest cannot
            // wait for room, and whatever is sent next would be read as that
            // rest: end the connection, which ends the torn record with it.
            log_disconnect_locked();
            break;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        } else {
            log_disconnect_locked();
        }
    }
    pthread_mutex_unlock(&log_lock);
    return sent;
}

// "<priority>Mmm dd hh:mm:ss ident[pid]: " as syslog() writes it, in the C
// locale and local time.
std::size_t log_header(char* out, std::size_t size, int level)
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const int priority = log_facility | (level & LOG_PRIMASK);
    int written = 0;
    if ((log_options & LOG_PID) != 0)
        written = std::snprintf(out, size, "<%d>%s %2d %02d:%02d:%02d %s[%d]: ", priority,
                                month_names[local.tm_mon % 12], local.tm_mday, local.tm_hour,
                                local.tm_min, local.tm_sec, log_ident, static_cast<int>(getpid()));
    else
        written = std::snprintf(out, size, "<%d>%s %2d %02d:%02d:%02d %s: ", priority,
                                month_names[local.tm_mon % 12], local.tm_mday, local.tm_hour,
                                local.tm_min, local.tm_sec, log_ident);
    if (written < 0)
        return 0;
    return static_cast<std::size_t>(written) < size ? static_cast<std::size_t>(written) : size - 1;
}

// Formats one record and sends it at once; false when the log did not
// take it.
__attribute__((format(printf, 2, 0)))
bool log_vsend(int level, const char* format, va_list arguments)
{
    char record[log_record_size];
    const std::size_t header = log_header(record, sizeof record, level);
    const int body = std::vsnprintf(record + header, sizeof record - header, format, arguments);
    std::size_t length = header;
    if (body > 0)
        length += static_cast<std::size_t>(body) < sizeof record - header
                      ? static_cast<std::size_t>(body)
                      : sizeof record - header - 1;
    record[length] = '\0';
    return log_send(record, length);
}

__attribute__((format(printf, 2, 3)))
bool log_send_line(int level, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const bool sent = log_vsend(level, format, arguments);
    va_end(arguments);
    return sent;
}

std::int64_t monotonic_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec);
}

// Ends the spells that have been quiet long enough, putting those that left
// lines out into ended (room for spell_slots); then counts this occurrence
// of format, if any. False when it is to be left out.
bool spells_update(const char* format, EndedSpell* ended, std::size_t& ended_count)
{
    const std::int64_t now = monotonic_seconds();
    ended_count = 0;
    Spell* own = nullptr;
    Spell* free_slot = nullptr;
    pthread_mutex_lock(&spell_lock);
    for (Spell& spell : spells) {
        if (spell.format != nullptr && now - spell.last_seen >= spell_end_s) {
            if (spell.left_out != 0)
                ended[ended_count++] = {spell.format, spell.left_out};
            spell = Spell{};
        }
        if (spell.format == nullptr) {
            if (free_slot == nullptr)
                free_slot = &spell;
        } else if (spell.format == format) {
            own = &spell;
        }
    }
    if (format != nullptr && own == nullptr && free_slot != nullptr) {
        own = free_slot;
        *own = Spell{format, now, now, 0, 0};
    }
    bool wanted = true;
    if (own != nullptr) {
        own->last_seen = now;
        if (own->sent < spell_lines) {
            ++own->sent;
            own->last_sent = now;
        } else if (now - own->last_sent >= spell_repeat_s) {
            own->last_sent = now;
        } else {
            if (own->left_out != ~0u)
                ++own->left_out;
            count(counters.log_left_out);
            wanted = false;
        }
    }
    pthread_mutex_unlock(&spell_lock);
    return wanted;
}

// What must go out before any newer line: the count of lines the log did
// not take, then the summaries of spells that ended. False when the log
// does not take them; whatever was not sent is counted as dropped.
bool log_send_pending(const EndedSpell* ended, std::size_t ended_count)
{
    const unsigned dropped = log_dropped.exchange(0, std::memory_order_relaxed);
    bool open = dropped == 0 || log_send_line(LOG_ERR, "log was stalled, %u messages were dropped", dropped);
    if (!open)
        log_dropped.fetch_add(dropped, std::memory_order_relaxed);
    for (std::size_t i = 0; i < ended_count; ++i) {
        open = open && log_send_line(LOG_NOTICE, "%u more \"%s\" lines were left out", ended[i].left_out,
                                     ended[i].format);
        if (!open)
            log_dropped.fetch_add(1, std::memory_order_relaxed);
    }
    return open;
}

} // namespace

void log_open(const char* ident, int options, int facility)
{
    log_ident = ident;
    log_options = options;
    log_facility = facility & LOG_FACMASK;
    // A socket made before (a forked child's inherited one, say) may lead to
    // another world's log: start afresh.
    pthread_mutex_lock(&log_lock);
    if (log_fd >= 0)
        close(log_fd);
    log_fd = -1;
    if ((options & LOG_NDELAY) != 0)
        log_connect_locked();
    pthread_mutex_unlock(&log_lock);
}

void log_message(int level, const char* format, ...)
{
    const int saved_errno = errno;
    EndedSpell ended[spell_slots];
    std::size_t ended_count = 0;
    const bool wanted = spells_update(format, ended, ended_count);
    // What was lost goes first, so that the log reads in order.
    const bool open = log_send_pending(ended, ended_count);
    if (wanted) {
        va_list arguments;
        va_start(arguments, format);
        if (!open || !log_vsend(level, format, arguments)) {
            log_dropped.fetch_add(1, std::memory_order_relaxed);
            count(counters.log_dropped);
        }
        va_end(arguments);
    }
    errno = saved_errno;
}

void log_tick()
{
    const int saved_errno = errno;
    EndedSpell ended[spell_slots];
    std::size_t ended_count = 0;
    (void)spells_update(nullptr, ended, ended_count);
    (void)log_send_pending(ended, ended_count);
    errno = saved_errno;
}
