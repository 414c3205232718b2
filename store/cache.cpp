#include "store/cache.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/log.hpp"
#include "modbus/convert.hpp"

// A stick that is already mounted answers EBUSY; a record name that is
// taken answers EEXIST.
static_assert(EBUSY == 16 && EEXIST == 17);

namespace {

// The number the next stored record receives; 0 until the first store.
// Single user: the store-and-forward worker.
std::uint32_t next_record_number = 0;

constexpr std::size_t record_path_size = 64;

// Records are numbered 1 to 999999999: nine digits in the name.
constexpr std::uint32_t max_record_number = 999999999;
constexpr std::size_t record_digits = 9;

// An entry is a record when it is a regular file named as records are
// named: nine digits and ".bin" (in any case, as vfat matches names), with a
// number from 1 up. A stray "-1.bin" or "1000000000.bin" would otherwise be
// read as another number and carry the numbering past the last one.
int record_number(const dirent* entry, std::uint32_t& number)
{
    if (entry->d_type != DT_REG)
        return 0;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < record_digits; ++i) {
        const char digit = entry->d_name[i];
        if (digit < '0' || digit > '9')
            return 0;
        value = value * 10 + static_cast<std::uint32_t>(digit - '0');
    }
    if (value == 0 || strcasecmp(entry->d_name + record_digits, ".bin") != 0)
        return 0;
    number = value;
    return 1;
}

void record_path(char (&path)[record_path_size], std::uint32_t number)
{
    std::snprintf(path, sizeof path, "%s/%09u.bin", cache_dir_path, static_cast<unsigned>(number));
}

int try_mount(const char* device)
{
    if (mount(device, flash_mount_point, "vfat", 0, nullptr) == 0)
        return 1;
    // Already mounted, by us in an earlier run or by the firmware.
    return errno == EBUSY ? 1 : 0;
}

// Sets the number of the next record: above every record in the directory
// (read again when rescan is set or nothing was chosen yet) and every one
// finished with. false when that is past the last number: age follows the
// number, so numbering starts again at 1 only once no record is left.
bool choose_number(RecordCache& cache, bool rescan)
{
    if (next_record_number == 0 || rescan)
        next_record_number = cache_next_number(cache.dir);
    if (next_record_number <= cache.finished)
        next_record_number = cache.finished + 1;
    if (next_record_number <= max_record_number)
        return true;
    if (cache_next_number(cache.dir) != 1)
        return false;
    next_record_number = 1;
    cache.finished = 0;
    return true;
}

// Stores are refused until the stick holds no record; logged once.
void numbers_used_up(RecordCache& cache)
{
    if (cache.store_failing == 0)
        log_message(LOG_NOTICE, "cache record numbers are used up, storing waits until every record is delivered");
    cache.store_failing = 1;
}

// Opens the record for the next number, exclusively, renumbering once after
// a name collision. nullptr after logging when it cannot be created.
std::FILE* create_record(RecordCache& cache, char (&path)[record_path_size])
{
    record_path(path, next_record_number);
    std::FILE* file = std::fopen(path, "wx");
    if (file == nullptr && errno == EEXIST) {
        if (!choose_number(cache, true)) {
            numbers_used_up(cache);
            return nullptr;
        }
        record_path(path, next_record_number);
        file = std::fopen(path, "wx");
    }
    if (file == nullptr && cache.store_failing == 0)
        log_message(LOG_NOTICE, "openning cache record file has failed (%s)", std::strerror(errno));
    return file;
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
    cache.count = 0;
    cache.finished = 0;
    cache.store_failing = 0;
    // Numbers are chosen afresh from what this stick holds.
    next_record_number = 0;
    if (!try_mount("/dev/sda1") && !try_mount("/dev/sda")) {
        log_message(LOG_NOTICE, "mount has failed (%s)", std::strerror(errno));
        return 1;
    }
    if (mkdir(cache_dir_path, 0755) != 0 && errno != EEXIST) {
        log_message(LOG_NOTICE, "creating cache directory has failed (%s)", std::strerror(errno));
        return 1;
    }
    cache.dir = opendir(cache_dir_path);
    if (cache.dir == nullptr) {
        log_message(LOG_NOTICE, "cannot open directory (%s)", std::strerror(errno));
        return 1;
    }
    rewinddir(cache.dir);
    while (const dirent* entry = readdir(cache.dir)) {
        std::uint32_t number = 0;
        if (record_number(entry, number))
            cache.count += 1;
    }
    return 0;
}

std::uint32_t cache_read_oldest(RecordCache& cache, FrameBuffer& frame)
{
    // Nothing stored: no directory access at all.
    while (cache.count > 0) {
        rewinddir(cache.dir);
        std::uint32_t best = 0;
        while (const dirent* entry = readdir(cache.dir)) {
            std::uint32_t number = 0;
            if (record_number(entry, number) && number > cache.finished &&
                (best == 0 || number < best))
                best = number;
        }
        if (best == 0) {
            // What is left was finished with in this run (a delivered record
            // whose deletion failed, say): nothing is pending.
            cache.count = 0;
            return 0;
        }
        char path[record_path_size];
        record_path(path, best);
        std::FILE* file = std::fopen(path, "r");
        if (file == nullptr) {
            log_message(LOG_NOTICE, "openning cache record file %s has failed (%s)", path,
                   std::strerror(errno));
            // Pass it over for the rest of the run, so that the records
            // behind it keep their order and the log is not flooded.
            cache.finished = best;
            continue;
        }
        frame.len = static_cast<std::int32_t>(
            std::fread(frame.data, 1, static_cast<std::size_t>(frame.size), file));
        std::fclose(file);
        if (frame.len < min_write_request_len || frame.len > max_tcp_payload) {
            // Not a request this daemon stored: a power cut between the
            // create and the write-back leaves an empty file, and a longer
            // file could never be sent and would block the queue for ever.
            log_message(LOG_NOTICE, "cache record file %s is not a request, skipped", path);
            cache.finished = best;
            continue;
        }
        return best;
    }
    return 0;
}

void cache_remove(RecordCache& cache, std::uint32_t number)
{
    char path[record_path_size];
    record_path(path, number);
    if (unlink(path) != 0)
        log_message(LOG_NOTICE, "removing cache record file has failed (%s)", std::strerror(errno));
    if (number > cache.finished)
        cache.finished = number;
    cache.count -= 1;
}

int cache_store(RecordCache& cache, const FrameBuffer& frame)
{
    if (!choose_number(cache, false)) {
        numbers_used_up(cache);
        return 0;
    }
    char path[record_path_size];
    std::FILE* file = create_record(cache, path);
    if (file == nullptr) {
        cache.store_failing = 1;
        return 0;
    }
    // On vfat a full stick accepts the buffered write and fails only at the
    // flush; a record is whole only when write, flush and close all agree.
    // It counts only once it is on the stick: vfat writes back up to 30 s
    // later, and a power cut before that loses the record or leaves it
    // empty. A record's long name can sit in a directory block of its own,
    // which only the directory's sync writes.
    const auto length = static_cast<std::size_t>(frame.len);
    bool whole = std::fwrite(frame.data, 1, length, file) == length;
    whole = std::fflush(file) == 0 && whole;
    whole = whole && fsync(fileno(file)) == 0 && fsync(dirfd(cache.dir)) == 0;
    whole = std::fclose(file) == 0 && whole;
    // The number is used up either way: a name that once held a partial
    // record is never given to another message in this run.
    next_record_number += 1;
    if (!whole) {
        if (cache.store_failing == 0)
            log_message(LOG_NOTICE, "writing to cache record has failed");
        if (unlink(path) != 0)
            log_message(LOG_NOTICE, "removing cache record file has failed (%s)", std::strerror(errno));
        cache.store_failing = 1;
        return 0;
    }
    cache.count += 1;
    cache.store_failing = 0;
    return 1;
}
