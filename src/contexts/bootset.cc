#include "contexts/bootset.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

constexpr char MAGIC[8] = {'T', 'A', 'R', 'N', 'B', 'O', 'O', 'T'};
constexpr uint32_t VERSION = 1;
constexpr size_t KEY_MAX = 63;
// Magic, version, count, key length.
constexpr size_t HEADER_SIZE = sizeof MAGIC + 4 + 4 + 4;
constexpr size_t RANGE_SIZE = 16;
constexpr size_t CHECKSUM_SIZE = 8;

uint64_t fnv1a(const uint8_t* data, size_t size) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < size; i++) {
    hash ^= data[i];
    hash *= 0x100000001b3ull;
  }
  return hash;
}

template <class T>
void put(std::string& out, T value) {
  for (size_t i = 0; i < sizeof value; i++) out.push_back(static_cast<char>(value >> (8 * i)));
}

template <class T>
T get(const uint8_t* at) {
  T value = 0;
  for (size_t i = 0; i < sizeof value; i++) value |= static_cast<T>(at[i]) << (8 * i);
  return value;
}

// Adds [offset, end) to the union. Extending the interval that holds
// `offset` is done in place, so the common sequential read allocates nothing.
void cover(boot_set& set, uint64_t offset, uint64_t end) {
  auto& covered = set.covered;
  auto it = covered.upper_bound(offset);
  if (it != covered.begin() && std::prev(it)->second >= offset) {
    it = std::prev(it);
  } else {
    it = covered.emplace_hint(it, offset, offset);
  }
  set.bytes -= it->second - it->first;
  uint64_t last = std::max(it->second, end);
  for (auto next = std::next(it); next != covered.end() && next->first <= last;) {
    last = std::max(last, next->second);
    set.bytes -= next->second - next->first;
    next = covered.erase(next);
  }
  it->second = last;
  set.bytes += it->second - it->first;
}

}  // namespace

bool boot_set_covers(const boot_set& set, uint64_t offset, uint64_t length) {
  auto it = set.covered.upper_bound(offset);
  if (it == set.covered.begin()) return false;
  --it;
  return it->second >= offset && it->second - offset >= length;
}

bool boot_set_record(boot_set& set, uint64_t offset, uint64_t length) {
  if (length == 0 || offset + length < offset) return false;
  if (boot_set_covers(set, offset, length)) return false;
  const uint64_t end = offset + length;
  if (!set.ranges.empty()) {
    boot_range& last = set.ranges.back();
    if (offset <= last.offset + last.length && end >= last.offset) {
      const uint64_t from = std::min(last.offset, offset);
      last.length = std::max(last.offset + last.length, end) - from;
      last.offset = from;
      cover(set, offset, end);
      return true;
    }
  }
  if (set.ranges.size() >= BOOT_SET_MAX_RANGES) return false;
  set.ranges.push_back({offset, length});
  cover(set, offset, end);
  return true;
}

boot_set boot_set_from(const std::vector<boot_range>& ranges) {
  boot_set set;
  for (const boot_range& r : ranges) boot_set_record(set, r.offset, r.length);
  return set;
}

std::string boot_set_serialise(const std::vector<boot_range>& ranges,
                               const std::string& vdisk_key) {
  std::string out(MAGIC, sizeof MAGIC);
  out.reserve(HEADER_SIZE + vdisk_key.size() + ranges.size() * RANGE_SIZE + CHECKSUM_SIZE);
  put<uint32_t>(out, VERSION);
  put<uint32_t>(out, static_cast<uint32_t>(ranges.size()));
  put<uint32_t>(out, static_cast<uint32_t>(vdisk_key.size()));
  out += vdisk_key;
  for (const boot_range& r : ranges) {
    put<uint64_t>(out, r.offset);
    put<uint64_t>(out, r.length);
  }
  put<uint64_t>(out, fnv1a(reinterpret_cast<const uint8_t*>(out.data()), out.size()));
  return out;
}

const char* boot_set_parse(const void* data, size_t size, const std::string& vdisk_key,
                           uint64_t vdisk_size, std::vector<boot_range>* out) {
  const auto* p = static_cast<const uint8_t*>(data);
  if (size < HEADER_SIZE + CHECKSUM_SIZE) return "truncated";
  if (std::memcmp(p, MAGIC, sizeof MAGIC) != 0) return "not a boot set";
  if (get<uint32_t>(p + 8) != VERSION) return "unknown version";
  const uint64_t count = get<uint32_t>(p + 12);
  const uint64_t key_length = get<uint32_t>(p + 16);
  if (count > BOOT_SET_MAX_RANGES) return "too many ranges";
  if (key_length > KEY_MAX) return "bad key length";
  // Both are bounded above, so the expected size cannot wrap.
  const uint64_t expected = HEADER_SIZE + key_length + count * RANGE_SIZE + CHECKSUM_SIZE;
  if (size < expected) return "truncated";
  if (size > expected) return "trailing bytes";
  if (get<uint64_t>(p + size - CHECKSUM_SIZE) != fnv1a(p, size - CHECKSUM_SIZE))
    return "checksum mismatch";
  if (std::string(reinterpret_cast<const char*>(p + HEADER_SIZE), key_length) != vdisk_key)
    return "another vDisk's boot set";
  std::vector<boot_range> ranges(count);
  const uint8_t* at = p + HEADER_SIZE + key_length;
  for (boot_range& r : ranges) {
    r.offset = get<uint64_t>(at);
    r.length = get<uint64_t>(at + 8);
    at += RANGE_SIZE;
    if (r.length == 0 || r.offset + r.length < r.offset) return "bad range";
    if (vdisk_size != 0 && r.offset + r.length > vdisk_size) return "range past the vDisk's end";
  }
  *out = std::move(ranges);
  return nullptr;
}
