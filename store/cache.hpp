// Numbered record files on the USB stick: the messages that could not be
// delivered, one file each, named "%09u.bin" and delivered smallest number
// first. They survive outages and restarts.
#pragma once

#include <cstdint>
#include <dirent.h>

#include "modbus/frame.hpp"

inline constexpr const char* flash_mount_point = "/var/run/korvane/flash";
inline constexpr const char* cache_dir_path = "/var/run/korvane/flash/cache";

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
    // Temporary files written for the batch under way, for the numbers from
    // next_number on; set when one of them could not be written.
    std::int32_t batch;
    bool batch_failed;
    // Each set while its kind of failure lasts, so that it is logged once.
    int store_failing;
    int read_failing;
    int mount_failing;
};

// Mounts the stick, opens the cache directory and learns what waits there.
// 0 on success, 1 after logging the reason.
[[nodiscard]] int cache_init(RecordCache& cache);

// After the stick was let go: tries /dev/sda1, then /dev/sda. 1 once a stick
// is in use again (its records go first), 0 while none mounts.
[[nodiscard]] int cache_mount(RecordCache& cache);
[[nodiscard]] inline bool cache_in_use(const RecordCache& cache) { return cache.dir != nullptr; }

[[nodiscard]] std::int32_t cache_waiting(const RecordCache& cache);

enum CacheRead : int {
    cache_read_none = 0,    // no record waits (or the stick is gone)
    cache_read_record = 1,  // frame holds the oldest record
    cache_read_retry = 2,   // it cannot be read now: it stays the oldest
};

// Reads the oldest waiting record into frame; number is its number. A record
// that reads cleanly but is no request (empty, too short, too long), or whose
// file is gone, is passed over; one that fails to read for another reason
// (an I/O error, no memory) stays first in line, to be tried again.
[[nodiscard]] int cache_read_oldest(RecordCache& cache, FrameBuffer& frame, std::uint32_t& number);

// Deletes a delivered record, which must be the oldest, and forgets it.
void cache_remove(RecordCache& cache, std::uint32_t number);

// Stores go in batches that one sync makes durable: each message is written
// under a temporary name (never a record name), then cache_commit syncs
// them, renames them to their record names and syncs the directory. A
// record name thus only ever stands for a whole record. 1 when the message
// was written; 0 when it was not (logged once per failing spell).
[[nodiscard]] int cache_add(RecordCache& cache, const FrameBuffer& frame);
// The number of records the batch added to the stick, in order: all of them,
// or none when a sync failed. The temporary files are gone either way.
[[nodiscard]] std::int32_t cache_commit(RecordCache& cache);

// The largest record number in the directory plus 1, or 1 when there is none.
[[nodiscard]] std::uint32_t cache_next_number(DIR* dir);
