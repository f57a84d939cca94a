// Boot sets: the byte ranges of a vDisk that its VMs read while booting.
//
// A boot_set keeps the ranges in the order they were first read, so that a
// prepopulation can fetch them in that order before the rest of the vDisk,
// and, beside them, their union (sorted, disjoint) to tell in O(log n)
// whether a read is known already. Offsets and lengths are vDisk bytes.
//
//   boot_set set;
//   if (boot_set_record(set, offset, length)) set.dirty = true;
//   std::string bytes = boot_set_serialise(set.ranges, key);
//   const char* why = boot_set_parse(bytes.data(), bytes.size(), key, size, &ranges);
//
// A read already covered adds nothing; one that touches or overlaps the last
// range recorded extends it (a sequential boot read stays one range and
// allocates nothing); any other starts a new range, up to
// BOOT_SET_MAX_RANGES. Pure data: no locks (the vDisk's `boot` guards it),
// no files (cache/bootset.h reads and writes them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

inline constexpr size_t BOOT_SET_MAX_RANGES = 65536;
// Reads this long after a client's login are its boot's.
inline constexpr int64_t BOOT_SET_WINDOW_US = int64_t{5} * 60 * 1000000;

struct boot_range {
  uint64_t offset = 0;
  uint64_t length = 0;
  bool operator==(const boot_range&) const = default;
};

struct boot_set {
  std::vector<boot_range> ranges;        // in the order first read
  std::map<uint64_t, uint64_t> covered;  // union of `ranges`: start to end
  uint64_t bytes = 0;                    // bytes in `covered`
  bool dirty = false;                    // changed since last written
  bool loaded = false;                   // its file was read (or found unusable)
};

// How warm a vDisk's cache is: its size (0 while unknown), the bytes of it
// cached, its boot set's bytes and those of them cached, and the bytes
// evicted from it while its record lived (cache/bootset.h counts them).
struct boot_set_warmth_figures {
  uint64_t size = 0;
  uint64_t cached_b = 0;
  uint64_t boot_b = 0;
  uint64_t boot_cached_b = 0;
  uint64_t evicted_b = 0;
  uint64_t changes = 0;  // the vDisk's `changes` when counted
  bool counted = false;  // the bitmaps were read (the site was found)
};

// Adds [offset, offset + length); true when the set changed. A zero length
// or a range that wraps is refused.
bool boot_set_record(boot_set& set, uint64_t offset, uint64_t length);
bool boot_set_covers(const boot_set& set, uint64_t offset, uint64_t length);
// The set rebuilt from `ranges` in their order (recording each).
boot_set boot_set_from(const std::vector<boot_range>& ranges);

// The file image: "TARNBOOT", version, range count, the vDisk key, the
// ranges, then an FNV-1a 64 checksum of all before it (little-endian).
std::string boot_set_serialise(const std::vector<boot_range>& ranges, const std::string& vdisk_key);
// Null when `data` is a whole, intact image of `vdisk_key`'s set whose ranges
// lie within `vdisk_size` (0: unknown); otherwise why not. `out` is filled
// only on success.
const char* boot_set_parse(const void* data, size_t size, const std::string& vdisk_key,
                           uint64_t vdisk_size, std::vector<boot_range>* out);
