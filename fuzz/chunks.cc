// The chunk store against a reference model: a sequence of writes, sparse
// writes, reads and presence checks by two clients of one vDisk, on a small
// cache in a temporary directory, with the chunk size picked by the input.
//
// Written data is a function of the vDisk offset alone, so any two writes of
// a byte agree (sparse writes store zeros). The model keeps, per byte, whether
// data, zeros or both were written. Checked: a read or presence hit only for
// sectors whose every byte was written; a hit reads back what was written; a
// successful write makes the sectors it covers completely present; a range
// the store must refuse (overflowing, too long) is refused.
#include "cache/chunks.h"

#include <vector>

#include "cache/chunks_fixture.h"
#include "contexts/proxy_context.h"
#include "fuzz_check.h"

namespace {

constexpr uint64_t CHUNKS = 8;
constexpr size_t MAX_OPS = 48;
constexpr uint64_t MAX_LEN = 40000;

enum byte_state : uint8_t { NONE = 0, DATA = 1, ZERO = 2 };  // DATA | ZERO: either

uint8_t data_at(uint64_t offset, uint8_t salt) {
  return static_cast<uint8_t>((offset * 131 + (offset >> 9) * 7 + salt) | 1);  // never 0
}

struct world {
  fuzz::temp_dir dir{"chunks"};
  chunks_test::store st{dir.path, 4096};
  world() { fuzz::quiet_logs(); }
};

struct model {
  uint64_t size;
  uint8_t salt;
  std::vector<uint8_t> state;
  bool written(uint64_t from, uint64_t to) const {  // every byte of [from, to)
    for (uint64_t i = from; i < to; i++)
      if (state[i] == NONE) return false;
    return true;
  }
  // Whether every sector that [o, o + n) touches was written in full.
  bool sectors_written(uint64_t o, uint64_t n) const {
    const uint64_t from = o / SECTOR_SIZE * SECTOR_SIZE;
    const uint64_t to = std::min(size, (o + n + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE);
    return to >= o + n && written(from, to);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static world w;
  fuzz::reader in{std::span<const uint8_t>(data, size)};
  const uint64_t chunk_size = BITMAP_BYTE_SPAN << (in.u8() % 4);  // 4 KiB to 32 KiB
  w.st.site.chunk_size = chunk_size;
  model m{CHUNKS * chunk_size, in.u8(), {}};
  m.state.assign(m.size, NONE);

  std::unique_ptr<client_context> clients[2];
  for (auto& cc : clients) {
    cc = std::make_unique<client_context>();
    cc->uuid = "c1e2d3f4-0000-4000-8000-00000000000" + std::to_string(&cc - clients);
    cc->site_context = &w.st.site;
    auto s = cc->session.lock();
    g_strlcpy(s->vdisk_key, chunks_test::KEY, sizeof s->vdisk_key);
    vdisk_context_ref_inc(cc.get(), *s);
  }
  std::vector<uint8_t> buf;
  for (size_t i = 0; i < MAX_OPS && !in.empty(); i++) {
    const uint8_t op = in.u8();
    client_context* cc = clients[(op >> 7) & 1].get();
    auto held = cc->session.lock_shared();
    const client_session& s = *held;
    uint64_t o = in.u32() % m.size;
    uint64_t n = in.u16() % (MAX_LEN + 1);
    proxy_context* ctx = &w.st.ctx;
    if (op & 0x40) {
      // A range from the network that the store must refuse untouched.
      o = UINT64_MAX - (o % 4096);
      n = n + 1 + (op & 0x20 ? uint64_t{INT32_MAX} : 0);
      buf.assign(std::min<uint64_t>(n, MAX_LEN + 1), 0);
      FUZZ_CHECK(cache_contains(ctx, cc, s, o, n) == 0);
      FUZZ_CHECK(cache_get_data(ctx, cc, s, o, buf.data(), std::min<uint64_t>(n, buf.size())) == 0);
      FUZZ_CHECK(cache_put_sparse(ctx, cc, s, o, n) == 0);
      continue;
    }
    n = std::min(n, m.size - o);
    if (n == 0) continue;  // a caller error the store reports as CRITICAL
    buf.resize(n);
    const int32_t want = static_cast<int32_t>(n);
    switch (op % 4) {
      case 0:
      case 1: {
        const bool sparse = op % 4 == 1;
        for (uint64_t k = 0; k < n; k++) buf[k] = data_at(o + k, m.salt);
        const int32_t got = sparse ? cache_put_sparse(ctx, cc, s, o, n)
                                   : cache_put_data(ctx, cc, s, o, buf.data(), n);
        FUZZ_CHECK(got == want);
        for (uint64_t k = o; k < o + n; k++) m.state[k] |= sparse ? ZERO : DATA;
        // The sectors inside the range are present now.
        const uint64_t first = (o + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE;
        const uint64_t end = (o + n) / SECTOR_SIZE * SECTOR_SIZE;
        if (end > first)
          FUZZ_CHECK(cache_contains(ctx, cc, s, first, end - first) ==
                     static_cast<int32_t>(end - first));
        break;
      }
      case 2: {
        const int32_t got = cache_get_data(ctx, cc, s, o, buf.data(), n);
        FUZZ_CHECK(got == want || got == 0);
        if (got != want) break;
        FUZZ_CHECK(m.sectors_written(o, n));
        for (uint64_t k = 0; k < n; k++) {
          const uint8_t at = m.state[o + k];
          const bool ok =
              (buf[k] == 0 && (at & ZERO)) || (buf[k] == data_at(o + k, m.salt) && (at & DATA));
          FUZZ_CHECK(ok);
        }
        break;
      }
      case 3: {
        const int32_t got = cache_contains(ctx, cc, s, o, n);
        FUZZ_CHECK(got == want || got == 0);
        if (got == want) FUZZ_CHECK(m.sectors_written(o, n));
        break;
      }
    }
  }
  for (auto& cc : clients) vdisk_context_ref_dec_and_del(cc.get(), *cc->session.lock());
  w.dir.clear();
  return 0;
}
