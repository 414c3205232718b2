#include "store/cache.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <ctime>
#include <unistd.h>

#include "core/counters.hpp"
#include "core/log.hpp"
#include "modbus/convert.hpp"

// A stick that is already mounted answers EBUSY; a record name that is
// taken answers EEXIST.
static_assert(EBUSY == 16 && EEXIST == 17);

namespace {

constexpr std::size_t record_path_size = 64;

// Records are numbered 1 to 999999999: nine digits in the name.
constexpr std::uint32_t max_record_number = 999999999;
constexpr std::size_t record_digits = 9;

// Nine digits and this: a record on its way to the stick, never delivered.
// Written in a small directory of their own: on vfat every create and every
// rename scans the whole directory it works in, and the records' directory
// may hold tens of thousands of entries. Then a record costs the big
// directory one rename, not a create and a rename. Older versions wrote
// them beside the records; those left by a power cut are removed too.
constexpr const char* temporary_suffix = ".tmp";
constexpr const char* temporary_dir_path = "/var/run/korvane/flash/cache/tmp";

// Removals of delivered records are synced at least this often while a
// backlog drains: a power cut brings back at most this much.
constexpr std::int64_t removal_sync_period_us = 1000000;

// The serial number mkfs gave a FAT volume (the kernel's FAT ioctl 0x13,
// not in every C library's headers). Numbers remembered as delivered belong
// to one stick: another stick's records may carry the same numbers.
constexpr unsigned long fat_volume_id_request = _IOR('r', 0x13, std::uint32_t);

std::int64_t monotonic_us()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// The nine digits at the start of name, when there are; 0 otherwise.
std::uint32_t leading_number(const char* name)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < record_digits; ++i) {
        const char digit = name[i];
        if (digit < '0' || digit > '9')
            return 0;
        value = value * 10 + static_cast<std::uint32_t>(digit - '0');
    }
    return value;
}

// An entry is a record when it is a regular file named as records are
// named: nine digits and ".bin" (in any case, as vfat matches names), with a
// number from 1 up. A stray "-1.bin" or "1000000000.bin" would otherwise be
// read as another number and carry the numbering past the last one.
int record_number(unsigned type, const char* name, std::uint32_t& number)
{
    if (type != DT_REG)
        return 0;
    const std::uint32_t value = leading_number(name);
    if (value == 0 || strcasecmp(name + record_digits, ".bin") != 0)
        return 0;
    number = value;
    return 1;
}

bool is_temporary(unsigned type, const char* name)
{
    return type == DT_REG && leading_number(name) != 0 && strcasecmp(name + record_digits, temporary_suffix) == 0;
}

// Calls each(type, name) for every entry of the directory fd, read from the
// start in small pieces on the stack. A C library's directory stream reads
// into a buffer of its own (32 KiB with glibc) that a directory of thousands
// of records fills, and that memory then stays with the process. false
// (errno set) when the directory cannot be read.
template <typename Each>
bool each_entry(int fd, Each each)
{
    // The kernel's record: inode (8 bytes), offset (8), record length (2),
    // type (1), then the name, NUL-terminated.
    constexpr std::size_t length_at = 16, type_at = 18, name_at = 19;
    if (lseek(fd, 0, SEEK_SET) != 0)
        return false;
    alignas(8) char buffer[2048];
    for (;;) {
        const long got = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (got <= 0)
            return got == 0;
        for (long at = 0; at < got;) {
            std::uint16_t length = 0;
            std::memcpy(&length, buffer + at + length_at, sizeof length);
            each(static_cast<unsigned char>(buffer[at + type_at]), buffer + at + name_at);
            at += length;
        }
    }
}

void record_path(char (&path)[record_path_size], std::uint32_t number)
{
    std::snprintf(path, sizeof path, "%s/%09u.bin", cache_dir_path, static_cast<unsigned>(number));
}

void temporary_path(char (&path)[record_path_size], std::uint32_t number)
{
    std::snprintf(path, sizeof path, "%s/%09u%s", temporary_dir_path, static_cast<unsigned>(number),
                  temporary_suffix);
}

// Temporary files a power cut left behind go: none was ever a record.
void remove_temporaries()
{
    const int fd = open(temporary_dir_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    (void)each_entry(fd, [fd](unsigned type, const char* name) {
        if (is_temporary(type, name))
            (void)unlinkat(fd, name, 0);
    });
    close(fd);
}

// Errors that mean the stick itself is gone: pulled out (I/O errors, no
// device), or remounted read-only by the kernel after an error.
bool stick_is_gone(int error)
{
    return error == EIO || error == ENODEV || error == ENXIO || error == EROFS;
}

void forget_index(RecordCache& cache)
{
    std::free(cache.found);
    cache.found = nullptr;
    cache.found_count = 0;
    cache.found_taken = 0;
    cache.stored_first = cache.next_number = 1;
    cache.batch = 0;
    cache.batch_failed = false;
    cache.read_failing_since_us = 0;
}

bool is_passed(const RecordCache& cache, std::uint32_t number)
{
    for (std::int32_t i = 0; i < cache.passed_count; ++i)
        if (number >= cache.passed[i].first && number <= cache.passed[i].last)
            return true;
    return false;
}

// Delivery goes up the numbers, so whatever lies between the last run and a
// new one was delivered or passed already: joining them hides nothing that
// waits. Full, the two oldest runs join.
void remember_passed(RecordCache& cache, NumberRun run)
{
    if (cache.passed_count > 0) {
        NumberRun& last = cache.passed[cache.passed_count - 1];
        if (run.first >= last.first && run.first <= last.last + 1) {
            last.last = run.last > last.last ? run.last : last.last;
            return;
        }
    }
    if (cache.passed_count == passed_runs_max) {
        cache.passed[0].last = cache.passed[1].last;
        std::memmove(cache.passed + 1, cache.passed + 2, sizeof(NumberRun) * (passed_runs_max - 2));
        --cache.passed_count;
    }
    cache.passed[cache.passed_count++] = run;
}

// Removals not known to be on the stick may come back with it.
void remember_unsynced(RecordCache& cache)
{
    if (cache.removals_unsynced > 0)
        remember_passed(cache, cache.unsynced);
    cache.removals_unsynced = 0;
    cache.unsynced_since_us = 0;
}

// Makes everything written to the stick durable: syncfs writes the dirty
// buffers, but FAT has no sync hook of its own, so no cache flush reaches
// the device; fsync on a FAT file or directory ends with one. Without it a
// stick may keep a "synced" batch in its own cache through a power cut.
bool flush_stick(const RecordCache& cache)
{
    return syncfs(dirfd(cache.dir)) == 0 && fsync(dirfd(cache.dir)) == 0;
}

// Lets the stick go: a lazy unmount and the directory closed, so that the
// kernel can free the device and a new stick can take its name.
void let_go(RecordCache& cache, int error)
{
    remember_unsynced(cache);
    set_counter(counters.cache_stick, error == EROFS ? stick_read_only : stick_missing);
    log_message(LOG_NOTICE, "stick is gone (%s), letting go of it", std::strerror(error));
    cache.left_behind = cache_waiting(cache);
    if (cache.left_behind > 0)
        log_message(LOG_NOTICE, "%d records stay on the stick that went, newer writes wait for it",
                    static_cast<int>(cache.left_behind));
    if (cache.dir != nullptr)
        closedir(cache.dir);
    cache.dir = nullptr;
    (void)umount2(flash_mount_point, MNT_DETACH);
    forget_index(cache);
    cache.store_failing = 0;
    cache.mount_failing = 0;
}

int try_mount(const char* device)
{
    if (mount(device, flash_mount_point, "vfat", 0, nullptr) == 0)
        return 1;
    // Already mounted, by us in an earlier run or by the firmware.
    return errno == EBUSY ? 1 : 0;
}

// Reads the directory once: temporary files left by a power cut go, and the
// numbers of the records become the index. false (errno set) when the
// directory cannot be read or no memory holds the index.
bool learn_directory(RecordCache& cache)
{
    forget_index(cache);
    std::int32_t records = 0;
    const int fd = dirfd(cache.dir);
    rewinddir(cache.dir);
    if (!each_entry(fd, [&records](unsigned type, const char* name) {
            std::uint32_t number = 0;
            records += record_number(type, name, number);
        }))
        return false;
    if (records > 0) {
        cache.found = static_cast<std::uint32_t*>(std::malloc(static_cast<std::size_t>(records) * sizeof(std::uint32_t)));
        if (cache.found == nullptr)
            return false;
    }
    (void)each_entry(fd, [&](unsigned type, const char* name) {
        std::uint32_t number = 0;
        if (record_number(type, name, number) && is_passed(cache, number)) {
            // Delivered (or given up on) earlier in this run: its removal
            // failed or was never known to reach the stick.
            (void)unlinkat(fd, name, 0);
        } else if (record_number(type, name, number) && cache.found_count < records) {
            cache.found[cache.found_count++] = number;
        } else if (is_temporary(type, name)) {
            (void)unlinkat(fd, name, 0);
        }
    });
    remove_temporaries();
    std::sort(cache.found, cache.found + cache.found_count);
    cache.next_number = cache.found_count > 0 ? cache.found[cache.found_count - 1] + 1 : 1;
    if (cache.next_number <= cache.highest_used)
        cache.next_number = cache.highest_used + 1;
    cache.stored_first = cache.next_number;
    return true;
}

enum StickStep { stick_ready, stick_not_mounted, stick_no_directory, stick_unreadable };

// Whether something is mounted on the mount point: it then lies on another
// device than the directory holding it.
bool holds_a_mount()
{
    struct stat point{};
    struct stat parent{};
    return stat(flash_mount_point, &point) == 0 && stat("/var/run/korvane", &parent) == 0 &&
           point.st_dev != parent.st_dev;
}

constexpr const char* first_device = "/dev/sda1";
constexpr const char* second_device = "/dev/sda";

// A stick plugged in while the one before was still mounted takes the
// next name: sda stays held until the old mount is let go.
constexpr const char* next_first_device = "/dev/sdb1";
constexpr const char* next_second_device = "/dev/sdb";

// The device mounted (or found mounted), or nullptr with errno set.
const char* mount_stick()
{
    if (try_mount(first_device))
        return first_device;
    if (try_mount(second_device))
        return second_device;
    if (errno == ENOENT) {
        if (try_mount(next_first_device))
            return next_first_device;
        if (try_mount(next_second_device))
            return next_second_device;
        errno = ENOENT;
    }
    const int error = errno;
    if (!holds_a_mount()) {
        errno = error;
        return nullptr;
    }
    // Neither device mounts, yet something is mounted here: a stick that
    // was pulled out while an earlier run had it, whose device node went
    // with it. Letting it go frees the name sda for the next stick.
    (void)umount2(flash_mount_point, MNT_DETACH);
    if (try_mount(first_device))
        return first_device;
    return try_mount(second_device) ? second_device : nullptr;
}

// Notes what the mounted stick is, to tell later whether it is still there.
// The device node counts only when it holds the mounted file system.
void note_stick(RecordCache& cache, const char* device)
{
    struct stat point{};
    struct stat node{};
    cache.mounted_dev = stat(flash_mount_point, &point) == 0 ? point.st_dev : 0;
    cache.device_node = nullptr;
    if (stat(device, &node) == 0 && S_ISBLK(node.st_mode) && node.st_rdev == cache.mounted_dev)
        cache.device_node = device;
    std::uint32_t volume = 0;
    if (ioctl(dirfd(cache.dir), fat_volume_id_request, &volume) != 0)
        volume = 0;
    if (volume != cache.volume_id) {
        cache.passed_count = 0;
        cache.highest_used = 0;
        cache.volume_id = volume;
    }
}

// One record that cannot be read is not a pulled stick: the stick is gone
// only when its mount or its device node is.
bool stick_still_there(const RecordCache& cache)
{
    struct stat point{};
    if (stat(flash_mount_point, &point) != 0 || point.st_dev != cache.mounted_dev)
        return false;
    struct stat node{};
    return cache.device_node == nullptr ||
           (stat(cache.device_node, &node) == 0 && node.st_rdev == cache.mounted_dev);
}

// Mounts a stick and opens its cache directory; errno tells why a step
// failed.
StickStep open_stick(RecordCache& cache)
{
    const char* device = mount_stick();
    if (device == nullptr)
        return stick_not_mounted;
    if ((mkdir(cache_dir_path, 0755) != 0 && errno != EEXIST) ||
        (mkdir(temporary_dir_path, 0755) != 0 && errno != EEXIST))
        return stick_no_directory;
    cache.dir = opendir(cache_dir_path);
    if (cache.dir == nullptr)
        return stick_unreadable;
    note_stick(cache, device);
    if (!learn_directory(cache)) {
        const int error = errno;
        closedir(cache.dir);
        cache.dir = nullptr;
        errno = error;
        return stick_unreadable;
    }
    return stick_ready;
}

void log_stick_failure(StickStep step, int error)
{
    if (step == stick_not_mounted)
        log_message(LOG_NOTICE, "mount has failed (%s)", std::strerror(error));
    else if (step == stick_no_directory)
        log_message(LOG_NOTICE, "creating cache directory has failed (%s)", std::strerror(error));
    else if (step == stick_unreadable)
        log_message(LOG_NOTICE, "cannot open directory (%s)", std::strerror(error));
}

std::uint32_t oldest_number(const RecordCache& cache)
{
    if (cache.found_taken < cache.found_count)
        return cache.found[cache.found_taken];
    return cache.stored_first < cache.next_number ? cache.stored_first : 0;
}

void pass_oldest(RecordCache& cache)
{
    if (cache.found_taken < cache.found_count) {
        if (++cache.found_taken == cache.found_count) {
            std::free(cache.found);
            cache.found = nullptr;
            cache.found_count = 0;
            cache.found_taken = 0;
        }
    } else if (cache.stored_first < cache.next_number) {
        ++cache.stored_first;
    }
}

// Age follows the number: past the last one, numbering starts again at 1
// only once no record is left on the stick. false while that waits.
bool number_available(RecordCache& cache)
{
    if (cache.next_number + static_cast<std::uint32_t>(cache.batch) <= max_record_number)
        return true;
    if (cache.batch == 0 && cache_waiting(cache) == 0 && cache_next_number(cache.dir) == 1) {
        // No record file at all is left, so no number remembered as passed
        // can name one any more.
        (void)cache_sync_removals(cache);
        cache.stored_first = cache.next_number = 1;
        cache.highest_used = 0;
        cache.passed_count = 0;
        return true;
    }
    if (cache.store_failing == 0)
        log_message(LOG_NOTICE, "cache record numbers are used up, storing waits until every record is delivered");
    cache.store_failing = 1;
    return false;
}

// A store that failed: logged once per spell; the stick let go when it is
// gone. Returns 0 for the caller to pass on.
int store_failed(RecordCache& cache, bool creating, int error)
{
    // No cache directory to create a file in: the mount has gone from under
    // it (unmounted by someone else), leaving the bare mount point.
    if (stick_is_gone(error) || (creating && error == ENOENT)) {
        let_go(cache, error);
        return 0;
    }
    if (cache.store_failing == 0) {
        if (creating)
            log_message(LOG_NOTICE, "openning cache record file has failed (%s)", std::strerror(error));
        else
            log_message(LOG_NOTICE, "writing to cache record has failed");
    }
    cache.store_failing = 1;
    return 0;
}

// Removes the batch's temporary files from the index-th on.
void drop_temporaries(RecordCache& cache, std::int32_t from)
{
    for (std::int32_t i = from; i < cache.batch; ++i) {
        char path[record_path_size];
        temporary_path(path, cache.next_number + static_cast<std::uint32_t>(i));
        (void)unlink(path);
    }
    cache.batch = 0;
}

} // namespace

std::uint32_t cache_next_number(DIR* dir)
{
    rewinddir(dir);
    std::uint32_t largest = 0;
    (void)each_entry(dirfd(dir), [&largest](unsigned type, const char* name) {
        std::uint32_t number = 0;
        if (record_number(type, name, number) && number > largest)
            largest = number;
    });
    return largest + 1;
}

int cache_init(RecordCache& cache)
{
    cache.dir = nullptr;
    cache.found = nullptr;
    forget_index(cache);
    cache.highest_used = 0;
    cache.removals_unsynced = 0;
    cache.unsynced_since_us = 0;
    cache.passed_count = 0;
    cache.mounted_dev = 0;
    cache.device_node = nullptr;
    cache.volume_id = 0;
    cache.left_behind = 0;
    cache.store_failing = 0;
    cache.mount_failing = 0;
    cache.remove_failing = 0;
    StickStep step = open_stick(cache);
    if (step != stick_ready && step != stick_not_mounted && stick_is_gone(errno)) {
        // The mount point still holds a stick that has gone (pulled while an
        // earlier run had it): let it go, so that a stick plugged in now can
        // be mounted.
        (void)umount2(flash_mount_point, MNT_DETACH);
        step = open_stick(cache);
    }
    log_stick_failure(step, errno);
    return step == stick_ready ? 0 : 1;
}

int cache_mount(RecordCache& cache)
{
    if (cache.dir != nullptr)
        return 1;
    const StickStep step = open_stick(cache);
    if (step != stick_ready) {
        if (cache.mount_failing == 0)
            log_stick_failure(step, errno);
        cache.mount_failing = 1;
        (void)umount2(flash_mount_point, MNT_DETACH);
        return 0;
    }
    cache.mount_failing = 0;
    // Whichever stick it is, the one that went is not coming back into use.
    cache.left_behind = 0;
    set_counter(counters.cache_stick, stick_mounted);
    log_message(LOG_NOTICE, "stick is mounted, %d records waiting", static_cast<int>(cache_waiting(cache)));
    return 1;
}

int cache_check_stick(RecordCache& cache)
{
    if (cache.dir == nullptr || cache.device_node == nullptr || stick_still_there(cache))
        return 1;
    let_go(cache, ENODEV);
    return 0;
}

std::int32_t cache_waiting(const RecordCache& cache)
{
    return cache.found_count - cache.found_taken +
           static_cast<std::int32_t>(cache.next_number - cache.stored_first);
}

namespace {

// The oldest record failed to read on a stick that is still there. It keeps
// its place (a newer write must not overtake it) and is tried again, logged
// once per spell, until it has failed for unreadable_limit_us: then it is
// passed over for the rest of the run. true when it was passed over.
bool record_unreadable(RecordCache& cache, const char* path, std::uint32_t number, int error)
{
    count(counters.cache_read_errors);
    const std::int64_t now = monotonic_us();
    if (cache.read_failing_since_us == 0) {
        cache.read_failing_since_us = now;
        log_message(LOG_NOTICE, "openning cache record file %s has failed (%s)", path, std::strerror(error));
        return false;
    }
    if (now - cache.read_failing_since_us < unreadable_limit_us)
        return false;
    log_message(LOG_ERR, "cache record file %s could not be read for %d minutes, passed over", path,
                static_cast<int>(unreadable_limit_us / 60000000));
    count(counters.cache_passed_over);
    remember_passed(cache, NumberRun{number, number});
    cache.read_failing_since_us = 0;
    pass_oldest(cache);
    return true;
}

} // namespace

int cache_read_oldest(RecordCache& cache, FrameBuffer& frame, std::uint32_t& number)
{
    while (cache.dir != nullptr) {
        number = oldest_number(cache);
        if (number == 0)
            return cache_read_none;
        char path[record_path_size];
        record_path(path, number);
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        ssize_t got = -1;
        if (fd >= 0) {
            // One byte more than a request can have tells a long file.
            got = read(fd, frame.data, static_cast<std::size_t>(frame.size));
            const int error = errno;
            close(fd);
            errno = error;
        }
        if (got < 0) {
            const int error = errno;
            if (error == ENOENT && fd < 0) {
                // Gone from the stick: nothing left to deliver.
                log_message(LOG_NOTICE, "openning cache record file %s has failed (%s)", path, std::strerror(error));
                pass_oldest(cache);
                continue;
            }
            if (!stick_still_there(cache)) {
                let_go(cache, error);
                return cache_read_none;
            }
            if (record_unreadable(cache, path, number, error))
                continue;
            return cache_read_retry;
        }
        cache.read_failing_since_us = 0;
        frame.len = static_cast<std::int32_t>(got);
        if (frame.len < min_write_request_len || frame.len > max_tcp_payload) {
            // Not a request this daemon stored (written by an older one cut
            // by a power cut, or by someone else): it could never be sent.
            log_message(LOG_NOTICE, "cache record file %s is not a request, skipped", path);
            count(counters.cache_passed_over);
            pass_oldest(cache);
            continue;
        }
        return cache_read_record;
    }
    return cache_read_none;
}

void cache_remove(RecordCache& cache, std::uint32_t number)
{
    if (number != oldest_number(cache))
        return;
    char path[record_path_size];
    record_path(path, number);
    pass_oldest(cache);
    if (unlink(path) != 0) {
        const int error = errno;
        // Delivered all the same: if the stick brings it back later in this
        // run, it is passed over, never delivered after newer writes.
        remember_passed(cache, NumberRun{number, number});
        if (cache.remove_failing == 0)
            log_message(LOG_NOTICE, "removing cache record file has failed (%s)", std::strerror(error));
        cache.remove_failing = 1;
        // Read-only, the stick still gives its records; the next store
        // lets it go.
        if (error == EROFS)
            set_counter(counters.cache_stick, stick_read_only);
        else if (stick_is_gone(error))
            let_go(cache, error);
        return;
    }
    cache.remove_failing = 0;
    if (cache.removals_unsynced == 0) {
        cache.unsynced = NumberRun{number, number};
        cache.unsynced_since_us = monotonic_us();
    }
    cache.unsynced.last = number;
    cache.removals_unsynced += 1;
    // A stick emptied by the deliveries has room again: a store that fails
    // after this starts a new spell, worth a line of its own.
    if (cache_waiting(cache) == 0)
        cache.store_failing = 0;
}

int cache_sync_removals(RecordCache& cache)
{
    if (cache.removals_unsynced == 0 || cache.dir == nullptr)
        return 1;
    const NumberRun removed = cache.unsynced;
    cache.removals_unsynced = 0;
    cache.unsynced_since_us = 0;
    if (flush_stick(cache))
        return 1;
    const int error = errno;
    remember_passed(cache, removed);
    log_message(LOG_NOTICE, "syncing removed cache records has failed (%s)", std::strerror(error));
    if (stick_is_gone(error))
        let_go(cache, error);
    return 0;
}

std::int64_t cache_removals_due_us(const RecordCache& cache)
{
    return cache.removals_unsynced > 0 ? cache.unsynced_since_us + removal_sync_period_us : 0;
}

int cache_add(RecordCache& cache, const FrameBuffer& frame)
{
    if (cache.dir == nullptr || !number_available(cache))
        return 0;
    char path[record_path_size];
    temporary_path(path, cache.next_number + static_cast<std::uint32_t>(cache.batch));
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        cache.batch_failed = true;
        return store_failed(cache, true, errno);
    }
    const auto length = static_cast<std::size_t>(frame.len);
    errno = 0;
    int failure = 0;
    if (write(fd, frame.data, length) != static_cast<ssize_t>(length))
        failure = errno != 0 ? errno : ENOSPC;
    if (close(fd) != 0 && failure == 0)
        failure = errno;
    if (failure != 0) {
        (void)unlink(path);
        cache.batch_failed = true;
        return store_failed(cache, false, failure);
    }
    cache.batch += 1;
    return 1;
}

std::int32_t cache_commit(RecordCache& cache)
{
    // A spell of failures goes on while any store of a batch fails.
    const bool some_failed = cache.batch_failed;
    cache.batch_failed = false;
    if (cache.dir == nullptr || cache.batch == 0)
        return 0;
    // The batch's bytes must be on the medium before any record takes its
    // name (vfat writes back up to 30 s later otherwise, and a stick may
    // write its cache in any order): a name must never stand for a record
    // whose bytes are not there. A second sync makes the names durable: on
    // vfat a renamed file's entry gets its first cluster and size only when
    // the file's inode is written, which no sync of the directory does.
    if (!flush_stick(cache)) {
        const int error = errno;
        drop_temporaries(cache, 0);
        return store_failed(cache, false, error);
    }
    // The flush made every removal before it durable too.
    cache.removals_unsynced = 0;
    cache.unsynced_since_us = 0;
    std::int32_t renamed = 0;
    int error = 0;
    for (; renamed < cache.batch; ++renamed) {
        char from[record_path_size];
        char to[record_path_size];
        temporary_path(from, cache.next_number + static_cast<std::uint32_t>(renamed));
        record_path(to, cache.next_number + static_cast<std::uint32_t>(renamed));
        if (rename(from, to) != 0) {
            error = errno;
            break;
        }
    }
    drop_temporaries(cache, renamed);
    if (renamed > 0 && !flush_stick(cache)) {
        error = errno;
        // Not known to be on the stick: they must not count, and should the
        // stick keep them, they must never be delivered beside the messages
        // that stay in the ring for them. Their numbers are not given out
        // again in this run, and the stick is let go: it could not make a
        // batch durable.
        const NumberRun unknown{cache.next_number, cache.next_number + static_cast<std::uint32_t>(renamed) - 1};
        for (std::uint32_t number = unknown.first; number <= unknown.last; ++number) {
            char path[record_path_size];
            record_path(path, number);
            (void)unlink(path);
        }
        remember_passed(cache, unknown);
        cache.highest_used = unknown.last;
        let_go(cache, error);
        return 0;
    }
    if (renamed > 0)
        cache.highest_used = cache.next_number + static_cast<std::uint32_t>(renamed) - 1;
    cache.next_number += static_cast<std::uint32_t>(renamed);
    count(counters.cache_stored, static_cast<std::uint32_t>(renamed));
    if (error != 0) {
        (void)store_failed(cache, false, error);
        return renamed;
    }
    if (!some_failed)
        cache.store_failing = 0;
    return renamed;
}
