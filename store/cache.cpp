#include "store/cache.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/mount.h>
#include <sys/stat.h>
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
constexpr const char* temporary_suffix = ".tmp";

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
int record_number(const dirent* entry, std::uint32_t& number)
{
    if (entry->d_type != DT_REG)
        return 0;
    const std::uint32_t value = leading_number(entry->d_name);
    if (value == 0 || strcasecmp(entry->d_name + record_digits, ".bin") != 0)
        return 0;
    number = value;
    return 1;
}

bool is_temporary(const dirent* entry)
{
    return entry->d_type == DT_REG && leading_number(entry->d_name) != 0 &&
           strcasecmp(entry->d_name + record_digits, temporary_suffix) == 0;
}

void record_path(char (&path)[record_path_size], std::uint32_t number)
{
    std::snprintf(path, sizeof path, "%s/%09u.bin", cache_dir_path, static_cast<unsigned>(number));
}

void temporary_path(char (&path)[record_path_size], std::uint32_t number)
{
    std::snprintf(path, sizeof path, "%s/%09u%s", cache_dir_path, static_cast<unsigned>(number),
                  temporary_suffix);
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
}

// Lets the stick go: a lazy unmount and the directory closed, so that the
// kernel can free the device and a new stick can take its name.
void let_go(RecordCache& cache, int error)
{
    set_counter(counters.cache_stick, error == EROFS ? stick_read_only : stick_missing);
    log_message(LOG_NOTICE, "stick is gone (%s), letting go of it", std::strerror(error));
    if (cache.dir != nullptr)
        closedir(cache.dir);
    cache.dir = nullptr;
    (void)umount2(flash_mount_point, MNT_DETACH);
    forget_index(cache);
    cache.store_failing = 0;
    cache.read_failing = 0;
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
    rewinddir(cache.dir);
    errno = 0;
    while (const dirent* entry = readdir(cache.dir)) {
        std::uint32_t number = 0;
        if (record_number(entry, number))
            ++records;
    }
    if (errno != 0)
        return false;
    if (records > 0) {
        cache.found = static_cast<std::uint32_t*>(std::malloc(static_cast<std::size_t>(records) * sizeof(std::uint32_t)));
        if (cache.found == nullptr)
            return false;
    }
    rewinddir(cache.dir);
    while (const dirent* entry = readdir(cache.dir)) {
        std::uint32_t number = 0;
        if (record_number(entry, number) && cache.found_count < records) {
            cache.found[cache.found_count++] = number;
        } else if (is_temporary(entry)) {
            (void)unlinkat(dirfd(cache.dir), entry->d_name, 0);
        }
    }
    std::sort(cache.found, cache.found + cache.found_count);
    cache.next_number = cache.found_count > 0 ? cache.found[cache.found_count - 1] + 1 : 1;
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

bool mount_stick()
{
    if (try_mount("/dev/sda1") || try_mount("/dev/sda"))
        return true;
    const int error = errno;
    if (!holds_a_mount()) {
        errno = error;
        return false;
    }
    // Neither device mounts, yet something is mounted here: a stick that
    // was pulled out while an earlier run had it, whose device node went
    // with it. Letting it go frees the name sda for the next stick.
    (void)umount2(flash_mount_point, MNT_DETACH);
    return try_mount("/dev/sda1") || try_mount("/dev/sda");
}

// Mounts a stick and opens its cache directory; errno tells why a step
// failed.
StickStep open_stick(RecordCache& cache)
{
    if (!mount_stick())
        return stick_not_mounted;
    if (mkdir(cache_dir_path, 0755) != 0 && errno != EEXIST)
        return stick_no_directory;
    cache.dir = opendir(cache_dir_path);
    if (cache.dir == nullptr)
        return stick_unreadable;
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
        cache.stored_first = cache.next_number = 1;
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
    while (const dirent* entry = readdir(dir)) {
        std::uint32_t number = 0;
        if (record_number(entry, number) && number > largest)
            largest = number;
    }
    return largest + 1;
}

int cache_init(RecordCache& cache)
{
    cache.dir = nullptr;
    cache.found = nullptr;
    forget_index(cache);
    cache.store_failing = 0;
    cache.read_failing = 0;
    cache.mount_failing = 0;
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
    set_counter(counters.cache_stick, stick_mounted);
    log_message(LOG_NOTICE, "stick is mounted, %d records waiting", static_cast<int>(cache_waiting(cache)));
    return 1;
}

std::int32_t cache_waiting(const RecordCache& cache)
{
    return cache.found_count - cache.found_taken +
           static_cast<std::int32_t>(cache.next_number - cache.stored_first);
}

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
            if (stick_is_gone(error)) {
                let_go(cache, error);
                return cache_read_none;
            }
            if (error == ENOENT && fd < 0) {
                // Gone from the stick: nothing left to deliver.
                log_message(LOG_NOTICE, "openning cache record file %s has failed (%s)", path, std::strerror(error));
                pass_oldest(cache);
                continue;
            }
            // A passing failure (no memory, no descriptor): the record keeps
            // its place, or a newer write would overtake it.
            if (cache.read_failing == 0)
                log_message(LOG_NOTICE, "openning cache record file %s has failed (%s)", path, std::strerror(error));
            cache.read_failing = 1;
            return cache_read_retry;
        }
        cache.read_failing = 0;
        frame.len = static_cast<std::int32_t>(got);
        if (frame.len < min_write_request_len || frame.len > max_tcp_payload) {
            // Not a request this daemon stored (written by an older one cut
            // by a power cut, or by someone else): it could never be sent.
            log_message(LOG_NOTICE, "cache record file %s is not a request, skipped", path);
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
    // It was delivered either way; left on the stick, it is only delivered
    // again after a restart.
    if (unlink(path) != 0)
        log_message(LOG_NOTICE, "removing cache record file has failed (%s)", std::strerror(errno));
    pass_oldest(cache);
    // A stick emptied by the deliveries has room again: a store that fails
    // after this starts a new spell, worth a line of its own.
    if (cache_waiting(cache) == 0)
        cache.store_failing = 0;
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
    // One sync makes the whole batch's bytes durable (vfat writes back up to
    // 30 s later otherwise); only then may the records take their names. A
    // second one makes the names durable: on vfat a renamed file's entry
    // gets its first cluster and size only when the file's inode is written,
    // which no sync of the directory does.
    if (syncfs(dirfd(cache.dir)) != 0) {
        const int error = errno;
        drop_temporaries(cache, 0);
        return store_failed(cache, false, error);
    }
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
    if (syncfs(dirfd(cache.dir)) != 0) {
        error = errno;
        // Not known to be on the stick: they must not count, nor be found
        // by a later run beside the messages that are kept for them.
        for (std::int32_t i = 0; i < renamed; ++i) {
            char path[record_path_size];
            record_path(path, cache.next_number + static_cast<std::uint32_t>(i));
            (void)unlink(path);
        }
        renamed = 0;
    }
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
