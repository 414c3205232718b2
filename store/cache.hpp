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
    DIR* dir;             // kept open for the life of the process
    std::int32_t count;   // records believed to be in the directory
    // Highest record number finished with in this run: delivered (whether or
    // not its file could be deleted) or found unopenable. Records at or below
    // it are passed over, and new records are numbered above it.
    std::uint32_t finished;
    // Set after a store failed, so that a stick that keeps refusing is logged
    // once until a store succeeds again.
    int store_failing;
};

// Mounts the stick, opens and counts the cache directory. 0 on success, 1
// after logging the reason.
[[nodiscard]] int cache_init(RecordCache& cache);

// Reads the oldest record above the finished mark into frame (at most its
// capacity). Returns its number, or 0 when there is none. A record that
// cannot be opened is logged once, marked finished and passed over.
[[nodiscard]] std::uint32_t cache_read_oldest(RecordCache& cache, FrameBuffer& frame);

// Deletes a delivered record and marks it finished.
void cache_remove(RecordCache& cache, std::uint32_t number);

// Writes frame as a new record. 1 when the whole record is on the stick; 0
// when it could not be written whole (nothing is then left behind or counted).
[[nodiscard]] int cache_store(RecordCache& cache, const FrameBuffer& frame);

// The largest record number in the directory plus 1, or 1 when there is none.
[[nodiscard]] std::uint32_t cache_next_number(DIR* dir);
