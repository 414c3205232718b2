#include "store/cache.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "modbus/convert.hpp"

// A stick that is already mounted answers EBUSY; a record name that is
// taken answers EEXIST.
static_assert(EBUSY == 16 && EEXIST == 17);

namespace {

// The number the next stored record receives; 0 until the first store.
// Single user: the store-and-forward worker.
std::uint32_t next_record_number = 0;

constexpr std::size_t record_path_size = 64;

// A name holds nine digits: a larger number would not read back as itself.
constexpr std::uint32_t max_record_number = 999999999;

// An entry is a record when it is a regular file and its name starts with a
// number from 1 to 999999999 that "%09u.bin" converts; the rest of the name
// is not examined. A signed name ("-5.bin" reads as 4294967291) is none: it
// would push the finished mark or the next number past every real record.
int record_number(const dirent* entry, std::uint32_t& number)
{
    if (entry->d_type != DT_REG)
        return 0;
    unsigned value = 0;
    if (std::sscanf(entry->d_name, "%09u.bin", &value) != 1 || value < 1 || value > max_record_number)
        return 0;
    number = value;
    return 1;
}

void record_path(char (&path)[record_path_size], std::uint32_t number)
{
    std::snprintf(path, sizeof path, "%s/%09u.bin", cache_dir_path, static_cast<unsigned>(number));
}

// Creates the record exclusively; a number beyond nine digits is refused.
std::FILE* open_new_record(char (&path)[record_path_size], std::uint32_t number)
{
    if (number > max_record_number) {
        errno = EOVERFLOW;
        return nullptr;
    }
    record_path(path, number);
    return std::fopen(path, "wx");
}

int try_mount(const char* device)
{
    if (mount(device, flash_mount_point, "vfat", 0, nullptr) == 0)
        return 1;
    // Already mounted, by us in an earlier run or by the firmware.
    return errno == EBUSY ? 1 : 0;
}

// Opens the record for the next number, exclusively, renumbering once after
// a name collision. nullptr after logging when it cannot be created.
std::FILE* create_record(RecordCache& cache, char (&path)[record_path_size])
{
    std::FILE* file = open_new_record(path, next_record_number);
    if (file == nullptr && errno == EEXIST) {
        next_record_number = cache_next_number(cache.dir);
        if (next_record_number <= cache.finished)
            next_record_number = cache.finished + 1;
        file = open_new_record(path, next_record_number);
    }
    if (file == nullptr && cache.store_failing == 0)
        syslog(LOG_NOTICE, "openning cache record file has failed (%s)", std::strerror(errno));
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
    // Numbering follows what is on the stick at this start.
    next_record_number = 0;
    if (!try_mount("/dev/sda1") && !try_mount("/dev/sda")) {
        syslog(LOG_NOTICE, "mount has failed (%s)", std::strerror(errno));
        return 1;
    }
    if (mkdir(cache_dir_path, 0755) != 0 && errno != EEXIST) {
        syslog(LOG_NOTICE, "creating cache directory has failed (%s)", std::strerror(errno));
        return 1;
    }
    cache.dir = opendir(cache_dir_path);
    if (cache.dir == nullptr) {
        syslog(LOG_NOTICE, "cannot open directory (%s)", std::strerror(errno));
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
            syslog(LOG_NOTICE, "openning cache record file %s has failed (%s)", path,
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
            syslog(LOG_NOTICE, "cache record file %s is not a request, skipped", path);
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
        syslog(LOG_NOTICE, "removing cache record file has failed (%s)", std::strerror(errno));
    if (number > cache.finished)
        cache.finished = number;
    cache.count -= 1;
}

int cache_store(RecordCache& cache, const FrameBuffer& frame)
{
    if (next_record_number == 0)
        next_record_number = cache_next_number(cache.dir);
    if (next_record_number <= cache.finished)
        next_record_number = cache.finished + 1;

    char path[record_path_size];
    std::FILE* file = create_record(cache, path);
    if (file == nullptr) {
        cache.store_failing = 1;
        return 0;
    }
    // On vfat a full stick accepts the buffered write and fails only at the
    // flush; a record is whole only when write, flush and close all agree.
    const auto length = static_cast<std::size_t>(frame.len);
    bool whole = std::fwrite(frame.data, 1, length, file) == length;
    whole = std::fflush(file) == 0 && whole;
    whole = std::fclose(file) == 0 && whole;
    // The number is used up either way: a name that once held a partial
    // record is never given to another message in this run.
    next_record_number += 1;
    if (!whole) {
        if (cache.store_failing == 0)
            syslog(LOG_NOTICE, "writing to cache record has failed");
        if (unlink(path) != 0)
            syslog(LOG_NOTICE, "removing cache record file has failed (%s)", std::strerror(errno));
        cache.store_failing = 1;
        return 0;
    }
    cache.count += 1;
    cache.store_failing = 0;
    return 1;
}
