/*
 * The board stand-in: preloaded into the daemon (LD_PRELOAD) where there is
 * no board. It answers the port-kind queries of the GPIO driver, plays the
 * serial port's modem and line-status requests that a pty refuses, chooses
 * what mount() returns, and records every such event, one line each, in a
 * file the test reads.
 *
 * Environment, read once at load time:
 *   KORVANE_STANDIN_KIND_FIRST  kind answered to request 0x80004209 (ttyS0)
 *   KORVANE_STANDIN_KIND_OTHER  kind answered to request 0x8000420B (other ttyS)
 *                               With neither set there is no /dev/gpio: its
 *                               open fails with ENOENT. With one set, the
 *                               other request fails with EINVAL. A negative
 *                               kind makes the request fail with EIO.
 *   KORVANE_STANDIN_RECORD      file (as the process sees it) that receives
 *                               the event lines; unset: nothing is recorded
 *   KORVANE_STANDIN_LSR_BUSY    number of "transmitter busy" answers before
 *                               each "empty" (default 0)
 *   KORVANE_STANDIN_RTS_ERROR   errno name: RTS requests fail with it
 *   KORVANE_STANDIN_HANGUP_ERROR  errno name: a read of the serial port that
 *                               finds it hung up (0 bytes) fails with it
 *                               instead, as some drivers report a hang-up
 *   KORVANE_STANDIN_MOUNT       errno name every mount() fails with, or
 *                               per source "/dev/sda1=ENOENT,/dev/sda=EBUSY";
 *                               "OK" pretends success without mounting; a
 *                               source not listed reaches the real mount()
 *   KORVANE_STANDIN_CLOCK       file holding a signed number of seconds added
 *                               to what time() and clock_gettime(
 *                               CLOCK_REALTIME) return; read on every call,
 *                               so a test can step the wall clock while the
 *                               daemon runs. The monotonic clock is left alone.
 *   KORVANE_STANDIN_MONOTONIC   the same for CLOCK_MONOTONIC: time moves on at once
 *   KORVANE_STANDIN_FSYNC       errno name every fsync() and syncfs() fails
 *                               with, as on a stick whose write-back fails;
 *                               "EIO:2": only the first 2 calls fail;
 *                               "EIO@3": only the third call fails
 *   KORVANE_STANDIN_READ_ONLY   1: the stick turned read-only: unlink() of
 *                               a record and creating a file in the cache
 *                               directory fail with EROFS
 *   KORVANE_STANDIN_SYNC_MS     every syncfs() first waits this many ms (a slow stick)
 *   KORVANE_STANDIN_SIGNALFD    errno name every signalfd() fails with
 *   KORVANE_STANDIN_CUT_RENAME  1: the process is killed (SIGKILL) as it is
 *                               about to give a record its name, as by a
 *                               power cut between writing and renaming
 *   KORVANE_STANDIN_RECORD_READ errno name (":N" for the first N times) with
 *                               which opening a record ("*.bin") for reading
 *                               fails ("EIO/000000009.bin": that record
 *                               alone); every such open is recorded
 *                               ("record-open <name>") with or without it
 *   KORVANE_STANDIN_ECHO        1: what is written to the serial port while
 *                               RTS is raised comes back as its input (TIOCSTI)
 *                               before the write returns, as from an RS-485
 *                               transceiver whose receiver stays enabled
 *
 * Event lines: "gpio-open", "gpio-absent", "gpio-query 0x80004209",
 * "tty-open /dev/ttyS0", "tty-close", "rts-raise", "rts-drop",
 * "lsr-busy", "lsr-empty", "write <n>", "echo <n>", "read-hangup <errno>",
 * "mount <source> <target> <type>", "umount <target>" (pretended while
 * KORVANE_STANDIN_MOUNT plays the mounts), "record-open <name>", "fsync",
 * "syncfs", "dir-rewind" (each rewinddir(): a directory read from the top),
 * "rename <name>" and "unlink <name>" for files of the cache directory.
 */
#define _GNU_SOURCE
/* Every interposed name must be the C library's own symbol; a 32-bit build
 * with 64-bit offsets and time would otherwise declare open as open64 and
 * ioctl as __ioctl_time64, and define each of those twice. */
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define GPIO_PATH "/dev/gpio"
#define GPIO_KIND_FIRST 0x80004209UL
#define GPIO_KIND_OTHER 0x8000420BUL
#define MAX_TRACKED 4096

enum { FD_PLAIN = 0, FD_GPIO = 1, FD_TTY = 2 };

static unsigned char fd_role[MAX_TRACKED];

static int kind_first_set, kind_other_set;
static long kind_first, kind_other;
static char record_path[1024];
static int lsr_busy;
static int lsr_left;
static int rts_error;
static int hangup_error;
static char hangup_error_name[32];
static char mount_spec[1024];
static char clock_path[1024];
static char monotonic_path[1024];
static int fsync_error;
static int fsync_left = -1;  /* failures still to give; -1: every call */
static int fsync_only;       /* when not 0: only this call fails (1 the first) */
static int fsync_calls;
static int read_only;
static int cut_rename;
static int sync_ms, signalfd_error;
static int record_read_error;
static int record_read_left = -1;
static char record_read_name[64];
static int echo_on;
static int rts_raised;

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);
typedef int (*open2_fn)(const char*, int);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef ssize_t (*write_fn)(int, const void*, size_t);
typedef ssize_t (*read_fn)(int, void*, size_t);
typedef int (*close_fn)(int);
typedef int (*clock_gettime_fn)(clockid_t, struct timespec*);
typedef int (*mount_fn)(const char*, const char*, const char*, unsigned long, const void*);
typedef int (*fsync_fn)(int);
typedef int (*umount2_fn)(const char*, int);
typedef void (*rewinddir_fn)(DIR*);

/* The next definition of a function, looked up on first use. Both workers
 * may make that first call at once: the slot is read and written atomically. */
#define NEXT_SYMBOL(type, name)                                                             \
    __extension__({                                                                         \
        static void* slot;                                                                  \
        void* symbol = __atomic_load_n(&slot, __ATOMIC_ACQUIRE);                            \
        if (symbol == NULL) {                                                               \
            symbol = dlsym(RTLD_NEXT, name);                                                \
            __atomic_store_n(&slot, symbol, __ATOMIC_RELEASE);                              \
        }                                                                                   \
        (type)symbol;                                                                       \
    })

static int role_of(int fd)
{
    if (fd < 0 || fd >= MAX_TRACKED)
        return FD_PLAIN;
    return __atomic_load_n(&fd_role[fd], __ATOMIC_SEQ_CST);
}

static void set_role(int fd, int role)
{
    if (fd >= 0 && fd < MAX_TRACKED)
        __atomic_store_n(&fd_role[fd], (unsigned char)role, __ATOMIC_SEQ_CST);
}

/* Straight to the kernel, so that recording is never itself recorded. */
static void record(const char* format, ...)
{
    if (record_path[0] == '\0')
        return;
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
    if (length < 0)
        return;
    if (length > (int)sizeof line - 2)
        length = (int)sizeof line - 2;
    line[length++] = '\n';
    const int saved = errno;
    const long fd = syscall(SYS_openat, AT_FDCWD, record_path,
                            O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)syscall(SYS_write, fd, line, (size_t)length);
        (void)syscall(SYS_close, fd);
    }
    errno = saved;
}

static int errno_from_name(const char* name)
{
    static const struct {
        const char* name;
        int value;
    } table[] = {
        {"EPERM", EPERM},   {"ENOENT", ENOENT}, {"EIO", EIO},       {"ENXIO", ENXIO},
        {"EACCES", EACCES}, {"EBUSY", EBUSY},   {"ENODEV", ENODEV}, {"ENOTBLK", ENOTBLK},
        {"EINVAL", EINVAL}, {"ENOSPC", ENOSPC}, {"EROFS", EROFS},   {"ENOTTY", ENOTTY},
        {"ENOMEM", ENOMEM}, {"EAGAIN", EAGAIN}, {"EEXIST", EEXIST}, {"ENOTDIR", ENOTDIR},
    };
    for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i)
        if (strcmp(table[i].name, name) == 0)
            return table[i].value;
    const int number = atoi(name);
    return number > 0 ? number : EIO;
}

/* "EIO" or "EIO:3": the error, and how many times (-1: always). What
 * follows an "@" or a "/" is the caller's. */
static int errno_with_count(const char* value, int* left)
{
    char name[32];
    snprintf(name, sizeof name, "%s", value);
    name[strcspn(name, "@/")] = '\0';
    char* colon = strchr(name, ':');
    if (colon != NULL) {
        *colon = '\0';
        *left = atoi(colon + 1);
    }
    return errno_from_name(name);
}

static int read_kind(const char* variable, long* kind)
{
    const char* value = getenv(variable);
    if (value == NULL || *value == '\0')
        return 0;
    *kind = strtol(value, NULL, 0);
    return 1;
}

__attribute__((constructor)) static void standin_load(void)
{
    kind_first_set = read_kind("KORVANE_STANDIN_KIND_FIRST", &kind_first);
    kind_other_set = read_kind("KORVANE_STANDIN_KIND_OTHER", &kind_other);
    const char* value = getenv("KORVANE_STANDIN_RECORD");
    if (value != NULL)
        snprintf(record_path, sizeof record_path, "%s", value);
    value = getenv("KORVANE_STANDIN_LSR_BUSY");
    if (value != NULL)
        lsr_busy = atoi(value);
    value = getenv("KORVANE_STANDIN_RTS_ERROR");
    if (value != NULL && *value != '\0')
        rts_error = errno_from_name(value);
    value = getenv("KORVANE_STANDIN_HANGUP_ERROR");
    if (value != NULL && *value != '\0') {
        hangup_error = errno_from_name(value);
        snprintf(hangup_error_name, sizeof hangup_error_name, "%s", value);
    }
    value = getenv("KORVANE_STANDIN_MOUNT");
    if (value != NULL)
        snprintf(mount_spec, sizeof mount_spec, "%s", value);
    value = getenv("KORVANE_STANDIN_CLOCK");
    if (value != NULL)
        snprintf(clock_path, sizeof clock_path, "%s", value);
    value = getenv("KORVANE_STANDIN_MONOTONIC");
    if (value != NULL)
        snprintf(monotonic_path, sizeof monotonic_path, "%s", value);
    value = getenv("KORVANE_STANDIN_ECHO");
    echo_on = value != NULL && atoi(value) == 1;
    value = getenv("KORVANE_STANDIN_FSYNC");
    if (value != NULL && *value != '\0') {
        fsync_error = errno_with_count(value, &fsync_left);
        const char* at = strchr(value, '@');
        fsync_only = at != NULL ? atoi(at + 1) : 0;
    }
    value = getenv("KORVANE_STANDIN_READ_ONLY");
    read_only = value != NULL && atoi(value) == 1;
    sync_ms = getenv("KORVANE_STANDIN_SYNC_MS") != NULL ? atoi(getenv("KORVANE_STANDIN_SYNC_MS")) : 0;
    signalfd_error = getenv("KORVANE_STANDIN_SIGNALFD") != NULL ? errno_from_name(getenv("KORVANE_STANDIN_SIGNALFD")) : 0;
    value = getenv("KORVANE_STANDIN_CUT_RENAME");
    cut_rename = value != NULL && atoi(value) == 1;
    value = getenv("KORVANE_STANDIN_RECORD_READ");
    if (value != NULL && *value != '\0') {
        const char* slash = strchr(value, '/');
        if (slash != NULL)
            snprintf(record_read_name, sizeof record_read_name, "%s", slash + 1);
        record_read_error = errno_with_count(value, &record_read_left);
    }
}

/* 1 while a failure of this kind is still to be given (and counts it). */
static int take_failure(int error, int* left)
{
    if (error == 0)
        return 0;
    for (;;) {
        int now = __atomic_load_n(left, __ATOMIC_SEQ_CST);
        if (now < 0)
            return 1;
        if (now == 0)
            return 0;
        if (__atomic_compare_exchange_n(left, &now, now - 1, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            return 1;
    }
}

static const char* in_cache(const char* path);

/* A record opened for reading: recorded, and refused while asked to. A file
 * created in the cache directory of a read-only stick: refused. */
static int record_read_refused(const char* path, int flags)
{
    if (read_only && (flags & O_CREAT) != 0 && in_cache(path) != NULL) {
        errno = EROFS;
        return 1;
    }
    const size_t length = path != NULL ? strlen(path) : 0;
    if (length < 4 || strcmp(path + length - 4, ".bin") != 0 || (flags & O_ACCMODE) != O_RDONLY)
        return 0;
    const char* slash = strrchr(path, '/');
    record("record-open %s", slash != NULL ? slash + 1 : path);
    if (record_read_name[0] != '\0' && strcmp(slash != NULL ? slash + 1 : path, record_read_name) != 0)
        return 0;
    if (!take_failure(record_read_error, &record_read_left))
        return 0;
    errno = record_read_error;
    return 1;
}

static int gpio_present(void)
{
    return kind_first_set || kind_other_set;
}

/* Common to every open flavour: the GPIO device is ours; a serial device is
 * remembered so that its requests can be played. */
static int after_open(const char* path, int fd)
{
    if (fd < 0)
        return fd;
    if (path != NULL && strncmp(path, "/dev/tty", 8) == 0) {
        set_role(fd, FD_TTY);
        record("tty-open %s", path);
    } else {
        set_role(fd, FD_PLAIN);
    }
    return fd;
}

static int is_gpio(const char* path)
{
    return path != NULL && strcmp(path, GPIO_PATH) == 0;
}

static int open_gpio(int flags)
{
    if (!gpio_present()) {
        record("gpio-absent");
        errno = ENOENT;
        return -1;
    }
    const long fd = syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDWR | (flags & O_CLOEXEC));
    if (fd < 0)
        return -1;
    set_role((int)fd, FD_GPIO);
    record("gpio-open");
    return (int)fd;
}

static mode_t mode_argument(int flags, va_list arguments)
{
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        return (mode_t)va_arg(arguments, int);
    return 0;
}

#define DEFINE_OPEN(name)                                                                   \
    int name(const char* path, int flags, ...)                                              \
    {                                                                                       \
        va_list arguments;                                                                  \
        va_start(arguments, flags);                                                         \
        const mode_t mode = mode_argument(flags, arguments);                                \
        va_end(arguments);                                                                  \
        if (is_gpio(path))                                                                  \
            return open_gpio(flags);                                                        \
        if (record_read_refused(path, flags))                                               \
            return -1;                                                                      \
        const open_fn real = NEXT_SYMBOL(open_fn, #name);                                   \
        return after_open(path, real(path, flags, mode));                                   \
    }

#define DEFINE_OPENAT(name)                                                                 \
    int name(int dirfd, const char* path, int flags, ...)                                   \
    {                                                                                       \
        va_list arguments;                                                                  \
        va_start(arguments, flags);                                                         \
        const mode_t mode = mode_argument(flags, arguments);                                \
        va_end(arguments);                                                                  \
        if (is_gpio(path))                                                                  \
            return open_gpio(flags);                                                        \
        if (record_read_refused(path, flags))                                               \
            return -1;                                                                      \
        const openat_fn real = NEXT_SYMBOL(openat_fn, #name);                               \
        return after_open(path, real(dirfd, path, flags, mode));                            \
    }

#define DEFINE_OPEN2(name)                                                                  \
    int name(const char* path, int flags)                                                   \
    {                                                                                       \
        if (is_gpio(path))                                                                  \
            return open_gpio(flags);                                                        \
        if (record_read_refused(path, flags))                                               \
            return -1;                                                                      \
        const open2_fn real = NEXT_SYMBOL(open2_fn, #name);                                 \
        return after_open(path, real(path, flags));                                         \
    }

DEFINE_OPEN(open)
DEFINE_OPEN(open64)
DEFINE_OPENAT(openat)
DEFINE_OPENAT(openat64)
DEFINE_OPEN2(__open_2)
DEFINE_OPEN2(__open64_2)

int close(int fd)
{
    const close_fn real = NEXT_SYMBOL(close_fn, "close");
    if (role_of(fd) == FD_TTY)
        record("tty-close");
    set_role(fd, FD_PLAIN);
    return real(fd);
}

ssize_t write(int fd, const void* data, size_t count)
{
    const write_fn real = NEXT_SYMBOL(write_fn, "write");
    if (role_of(fd) == FD_TTY) {
        __atomic_store_n(&lsr_left, lsr_busy, __ATOMIC_SEQ_CST);
        record("write %zu", count);
    }
    const ssize_t written = real(fd, data, count);
    if (written > 0 && echo_on && __atomic_load_n(&rts_raised, __ATOMIC_SEQ_CST) &&
        role_of(fd) == FD_TTY) {
        const ioctl_fn real_ioctl = NEXT_SYMBOL(ioctl_fn, "ioctl");
        ssize_t echoed = 0;
        while (echoed < written && real_ioctl(fd, TIOCSTI, (const char*)data + echoed) == 0)
            ++echoed;
        record("echo %zd", echoed);
    }
    return written;
}

ssize_t read(int fd, void* data, size_t count)
{
    const read_fn real = NEXT_SYMBOL(read_fn, "read");
    const ssize_t got = real(fd, data, count);
    if (got == 0 && count > 0 && hangup_error != 0 && role_of(fd) == FD_TTY) {
        record("read-hangup %s", hangup_error_name);
        errno = hangup_error;
        return -1;
    }
    return got;
}

static int gpio_request(unsigned long request)
{
    if (request != GPIO_KIND_FIRST && request != GPIO_KIND_OTHER) {
        errno = ENOTTY;
        return -1;
    }
    record("gpio-query 0x%08lX", request);
    const int set = request == GPIO_KIND_FIRST ? kind_first_set : kind_other_set;
    const long kind = request == GPIO_KIND_FIRST ? kind_first : kind_other;
    if (!set) {
        errno = EINVAL;
        return -1;
    }
    if (kind < 0) {
        errno = EIO;
        return -1;
    }
    return (int)kind;
}

/* 1 when the request was played here, its result in *result. */
static int tty_request(unsigned long request, void* argument, int* result)
{
    switch (request) {
    case TIOCMBIS:
    case TIOCMBIC: {
        const int mask = argument != NULL ? *(const int*)argument : 0;
        const char* what = request == TIOCMBIS ? "raise" : "drop";
        if ((mask & TIOCM_RTS) != 0)
            record("rts-%s", what);
        else
            record("modem-%s 0x%x", what, (unsigned)mask);
        if ((mask & TIOCM_RTS) != 0)
            __atomic_store_n(&rts_raised, request == TIOCMBIS, __ATOMIC_SEQ_CST);
        if (request == TIOCMBIS)
            __atomic_store_n(&lsr_left, lsr_busy, __ATOMIC_SEQ_CST);
        if (rts_error != 0) {
            errno = rts_error;
            *result = -1;
        } else {
            *result = 0;
        }
        return 1;
    }
    case TIOCSERGETLSR: {
        unsigned int status = TIOCSER_TEMT;
        if (__atomic_load_n(&lsr_left, __ATOMIC_SEQ_CST) > 0) {
            __atomic_sub_fetch(&lsr_left, 1, __ATOMIC_SEQ_CST);
            status = 0;
            record("lsr-busy");
        } else {
            record("lsr-empty");
        }
        if (argument != NULL)
            *(unsigned int*)argument = status;
        *result = 0;
        return 1;
    }
    default:
        return 0;
    }
}

static int played_ioctl(int fd, unsigned long request, void* argument, int* result)
{
    switch (role_of(fd)) {
    case FD_GPIO:
        *result = gpio_request(request);
        return 1;
    case FD_TTY:
        return tty_request(request, argument, result);
    default:
        return 0;
    }
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    int result = 0;
    if (played_ioctl(fd, request, argument, &result))
        return result;
    const ioctl_fn real = NEXT_SYMBOL(ioctl_fn, "ioctl");
    return real(fd, request, argument);
}

#if __SIZEOF_POINTER__ == 4
/* 32-bit builds with 64-bit time reach ioctl under this name. */
int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    int result = 0;
    if (played_ioctl(fd, request, argument, &result))
        return result;
    ioctl_fn real = NEXT_SYMBOL(ioctl_fn, "__ioctl_time64");
    if (real == NULL)
        real = NEXT_SYMBOL(ioctl_fn, "ioctl");
    return real(fd, request, argument);
}
#endif

/* The outcome configured for source: 0 none, -1 pretend success, else errno. */
static int mount_outcome(const char* source)
{
    if (mount_spec[0] == '\0')
        return 0;
    if (strchr(mount_spec, '=') == NULL)
        return strcmp(mount_spec, "OK") == 0 ? -1 : errno_from_name(mount_spec);
    const size_t source_length = source != NULL ? strlen(source) : 0;
    const char* entry = mount_spec;
    while (*entry != '\0') {
        const char* end = strchr(entry, ',');
        if (end == NULL)
            end = entry + strlen(entry);
        const char* equals = memchr(entry, '=', (size_t)(end - entry));
        if (equals != NULL && (size_t)(equals - entry) == source_length &&
            strncmp(entry, source, source_length) == 0) {
            char name[32];
            size_t length = (size_t)(end - equals - 1);
            if (length >= sizeof name)
                length = sizeof name - 1;
            memcpy(name, equals + 1, length);
            name[length] = '\0';
            return strcmp(name, "OK") == 0 ? -1 : errno_from_name(name);
        }
        entry = *end == ',' ? end + 1 : end;
    }
    return 0;
}

int mount(const char* source, const char* target, const char* type, unsigned long flags,
          const void* data)
{
    record("mount %s %s %s", source != NULL ? source : "-", target != NULL ? target : "-",
           type != NULL ? type : "-");
    const int outcome = mount_outcome(source);
    if (outcome == -1)
        return 0;
    if (outcome > 0) {
        errno = outcome;
        return -1;
    }
    const mount_fn real = NEXT_SYMBOL(mount_fn, "mount");
    return real(source, target, type, flags, data);
}

/* A clock's offset from its file, read by system calls nothing interposes. */
static long clock_offset(const char* path)
{
    if (path[0] == '\0')
        return 0;
    char text[32] = {0};
    const int saved = errno;
    const long fd = syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)syscall(SYS_read, fd, text, sizeof text - 1);
        (void)syscall(SYS_close, fd);
    }
    errno = saved;
    return strtol(text, NULL, 10);
}

int clock_gettime(clockid_t clock, struct timespec* now)
{
    const clock_gettime_fn real = NEXT_SYMBOL(clock_gettime_fn, "clock_gettime");
    const int result = real(clock, now);
    if (result == 0 && clock == CLOCK_REALTIME)
        now->tv_sec += clock_offset(clock_path);
    else if (result == 0 && clock == CLOCK_MONOTONIC)
        now->tv_sec += clock_offset(monotonic_path);
    return result;
}

time_t time(time_t* out)
{
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return (time_t)-1;
    if (out != NULL)
        *out = now.tv_sec;
    return now.tv_sec;
}

/* A stick whose write-back fails: every time, the first N times, or the
 * N-th time only. */
static int sync_fails(void)
{
    const int call = __atomic_add_fetch(&fsync_calls, 1, __ATOMIC_SEQ_CST);
    if (fsync_only != 0)
        return fsync_error != 0 && call == fsync_only;
    return take_failure(fsync_error, &fsync_left);
}

int fsync(int fd)
{
    record("fsync");
    if (sync_fails()) {
        errno = fsync_error;
        return -1;
    }
    const fsync_fn real = NEXT_SYMBOL(fsync_fn, "fsync");
    return real(fd);
}

int syncfs(int fd)
{
    record("syncfs");
    usleep((useconds_t)sync_ms * 1000);
    if (sync_fails()) {
        errno = fsync_error;
        return -1;
    }
    const fsync_fn real = NEXT_SYMBOL(fsync_fn, "syncfs");
    return real(fd);
}

int signalfd(int fd, const sigset_t* mask, int flags)
{
    typedef int (*signalfd_fn)(int, const sigset_t*, int);
    return signalfd_error != 0 ? (errno = signalfd_error, -1) : NEXT_SYMBOL(signalfd_fn, "signalfd")(fd, mask, flags);
}

typedef int (*rename_fn)(const char*, const char*);

static const char* in_cache(const char* path)
{
    const char* at = path != NULL ? strstr(path, "/cache/") : NULL;
    return at != NULL ? at + strlen("/cache/") : NULL;
}

int rename(const char* from, const char* to)
{
    if (cut_rename && in_cache(from) != NULL) {
        record("cut %s", from);
        (void)syscall(SYS_kill, (long)getpid(), SIGKILL);
    }
    if (in_cache(from) != NULL)
        record("rename %s", in_cache(from));
    const rename_fn real = NEXT_SYMBOL(rename_fn, "rename");
    return real(from, to);
}

/* Letting go of a stick whose mounts are played: the world's own mount
 * stays where it is. */
int umount2(const char* target, int flags)
{
    record("umount %s", target != NULL ? target : "-");
    if (mount_spec[0] != '\0')
        return 0;
    const umount2_fn real = NEXT_SYMBOL(umount2_fn, "umount2");
    return real(target, flags);
}

void rewinddir(DIR* dir)
{
    record("dir-rewind");
    const rewinddir_fn real = NEXT_SYMBOL(rewinddir_fn, "rewinddir");
    real(dir);
}

typedef int (*unlink_fn)(const char*);

int unlink(const char* path)
{
    const char* name = in_cache(path);
    if (name != NULL)
        record("unlink %s", name);
    if (read_only && name != NULL && strstr(name, ".bin") != NULL) {
        errno = EROFS;
        return -1;
    }
    const unlink_fn real = NEXT_SYMBOL(unlink_fn, "unlink");
    return real(path);
}
