// Numbered record files on the USB stick: the messages that could not be
// delivered, one file each, named "%09u.bin" and delivered smallest number
// first. They survive outages and restarts.
#pragma once

#include <cstdint>
#include <dirent.h>
#include <sys/types.h>

#include "modbus/frame.hpp"

inline constexpr const char* flash_mount_point = "/var/run/korvane/flash";
inline constexpr const char* cache_dir_path = "/var/run/korvane/flash/cache";

// A run of record numbers, first to last, both included.
struct NumberRun {
    std::uint32_t first;
    std::uint32_t last;
};

// Runs of numbers that are never delivered again in this run of korvane:
// records delivered whose removal failed or was never known to reach the
// stick, the records of a batch whose last sync failed, and records passed
// over because they could not be read for ten minutes. A later mount of the
// same stick removes or passes them over. Delivery goes up the numbers, so
// consecutive ones merge into one run.
inline constexpr std::int32_t passed_runs_max = 32;

struct RecordCache {
    DIR* dir;  // the cache directory; nullptr while no stick is in use
    // The records waiting, oldest first, known without reading the directory
    // again: those found when the stick was mounted (sorted, 4 bytes each,
    // freed once all are delivered), then those stored since, which are
    // numbered one after another from stored_first up to next_number.
    std::uint32_t* found;
    std::int32_t found_count;
    std::int32_t found_taken;
    std::uint32_t stored_first;
    std::uint32_t next_number;
    // The highest number used in this run (stored, or burnt by a batch whose
    // outcome is unknown): a number at or below it is never given to a new
    // record, so that a passed-over number never names a new write.
    std::uint32_t highest_used;
    // Temporary files written for the batch under way, for the numbers from
    // next_number on; set when one of them could not be written.
    std::int32_t batch;
    bool batch_failed;
    // Delivered records removed since the last sync: until one succeeds, a
    // power cut or a pull may bring them back.
    std::int32_t removals_unsynced;
    NumberRun unsynced;
    std::int64_t unsynced_since_us;  // monotonic time of the first of them
    NumberRun passed[passed_runs_max];
    std::int32_t passed_count;
    // How the stick was found, to tell later whether it is still there: the
    // device of the mounted file system, and the device node it was mounted
    // from when that node is known to hold it.
    dev_t mounted_dev;
    const char* device_node;
    std::uint32_t volume_id;  // FAT serial number of the stick; 0 unknown
    // Records that were waiting on a stick that has gone: they are older
    // than every message in the ring, which waits for them until a stick is
    // mounted again.
    std::int32_t left_behind;
    // The oldest record's read has failed since this monotonic time (0: it
    // has not).
    std::int64_t read_failing_since_us;
    // Each set while its kind of failure lasts, so that it is logged once.
    int store_failing;
    int mount_failing;
    int remove_failing;
};

// Mounts the stick, opens the cache directory and learns what waits there.
// 0 on success, 1 after logging the reason.
[[nodiscard]] int cache_init(RecordCache& cache);

// After the stick was let go: tries /dev/sda1, then /dev/sda. 1 once a stick
// is in use again (its records go first), 0 while none mounts.
[[nodiscard]] int cache_mount(RecordCache& cache);
[[nodiscard]] inline bool cache_in_use(const RecordCache& cache) { return cache.dir != nullptr; }

[[nodiscard]] std::int32_t cache_waiting(const RecordCache& cache);

// Whether messages in the ring must wait: the stick went with older records
// on it, and delivering newer ones first would put them out of order once
// it is back.
[[nodiscard]] inline bool cache_holds_back(const RecordCache& cache)
{
    return cache.dir == nullptr && cache.left_behind > 0;
}

// While a stick whose device node is known is in use: lets it go when its
// device or its mount has gone (a stick pulled while nothing is written to
// it), so that the kernel frees its name for the next one. 0 when let go.
int cache_check_stick(RecordCache& cache);

enum CacheRead : int {
    cache_read_none = 0,    // no record waits (or the stick is gone)
    cache_read_record = 1,  // frame holds the oldest record
    cache_read_retry = 2,   // it cannot be read now: it stays the oldest
};

// A record that cannot be read keeps its place this long, tried again with
// growing pauses; then it is passed over for the rest of the run.
inline constexpr std::int64_t unreadable_limit_us = 600LL * 1000000;

// Reads the oldest waiting record into frame; number is its number. A record
// that reads cleanly but is no request (empty, too short, too long), or whose
// file is gone, is passed over, and so is one remembered as delivered. One
// that fails to read while the stick is still there stays first in line, to
// be tried again, until it has failed for unreadable_limit_us; a failing
// read on a stick that has gone lets the stick go.
[[nodiscard]] int cache_read_oldest(RecordCache& cache, FrameBuffer& frame, std::uint32_t& number);

// Deletes a delivered record, which must be the oldest, and forgets it. The
// removal is durable only after the next cache_sync_removals or batch.
void cache_remove(RecordCache& cache, std::uint32_t number);

// Makes the removals since the last sync durable: one sync of the stick and
// a flush of the device's own cache. Whatever happens, the records removed
// are never delivered again in this run. 1 when nothing waited or all went
// well.
int cache_sync_removals(RecordCache& cache);
// The monotonic time by which removals should be synced; 0 when none wait.
[[nodiscard]] std::int64_t cache_removals_due_us(const RecordCache& cache);

// Stores go in batches that one sync makes durable: each message is written
// under a temporary name (never a record name), then cache_commit syncs
// them, renames them to their record names and syncs again, each sync ending
// with a flush of the device's cache. A record name thus only ever stands for
// a whole record. 1 when the message was written; 0 when it was not (logged
// once per failing spell).
[[nodiscard]] int cache_add(RecordCache& cache, const FrameBuffer& frame);
// The number of records the batch added to the stick, in order: all of them,
// or none when a sync failed. The temporary files are gone either way; the
// numbers of a batch whose last sync failed are never delivered in this run.
[[nodiscard]] std::int32_t cache_commit(RecordCache& cache);

// The largest record number in the directory plus 1, or 1 when there is none.
[[nodiscard]] std::uint32_t cache_next_number(DIR* dir);
