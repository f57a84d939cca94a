#include "protocol/collapse.h"

#include <sys/eventfd.h>

#include <algorithm>
#include <cstring>

#include "contexts/clients.h"
#include "protocol/tarn.h"

namespace {

bool live(const vdisk_inflight_read& r, int64_t now) {
  return r.deadline_us > now;
}

bool covers(const vdisk_inflight_read& r, uint64_t offset, uint64_t length) {
  return r.offset <= offset && offset - r.offset + length <= r.length;
}

// Whether a live read in flight of another client than `cc` covers the range.
bool covered(const vdisk_collapse& c, const client_context* cc, uint64_t offset, uint64_t length,
             int64_t now) {
  return std::any_of(c.inflight.begin(), c.inflight.end(), [&](const vdisk_inflight_read& r) {
    return r.client != cc && live(r, now) && covers(r, offset, length);
  });
}

// Under the collapse lock, which keeps the holder alive: a write to an
// eventfd never blocks.
void wake(client_context* cc) {
  if (cc->held_wake.valid()) eventfd_write(cc->held_wake.get(), 1);
}

void lower_due(client_context* cc, int64_t due) {
  int64_t now_due = cc->held_due.load();
  while ((now_due == 0 || due < now_due) && !cc->held_due.compare_exchange_weak(now_due, due)) {
  }
}

// Held reads no live read in flight covers any more are due now.
void release_uncovered(vdisk_collapse& c, int64_t now) {
  for (vdisk_held_read& h : c.held) {
    if (h.stored || h.deadline_us <= now || covered(c, h.client, h.offset, h.length, now)) continue;
    h.deadline_us = now;
    lower_due(h.client, now);
    wake(h.client);
  }
}

// Removes the client's read `key`; true if there was one.
bool remove_inflight(vdisk_collapse& c, const client_context* cc, uint32_t key, int64_t* sent_us) {
  auto it = std::find_if(c.inflight.begin(), c.inflight.end(), [&](const vdisk_inflight_read& r) {
    return r.client == cc && r.key == key;
  });
  if (it == c.inflight.end()) return false;
  if (sent_us != nullptr) *sent_us = it->sent_us;
  *it = c.inflight.back();
  c.inflight.pop_back();
  return true;
}

// The tables' room is taken once, on first use, so that the packet path
// never allocates for them again.
void reserve(vdisk_collapse& c) {
  if (c.inflight.capacity() == 0) c.inflight.reserve(VDISK_INFLIGHT_MAX);
  if (c.held.capacity() == 0) c.held.reserve(VDISK_HELD_MAX);
}

bool hold(vdisk_collapse& c, client_context* cc, uint64_t offset, uint64_t length,
          const tarn_frame* frame, std::span<const uint8_t> request, int64_t now) {
  if (request.size() > VDISK_HELD_REQUEST_MAX || c.held.size() >= VDISK_HELD_MAX) return false;
  if (cc->held_count.load() >= VDISK_HELD_PER_CLIENT) return false;
  if (!covered(c, cc, offset, length, now)) return false;
  vdisk_held_read& h = c.held.emplace_back();
  h.client = cc;
  h.offset = offset;
  h.length = length;
  h.held_us = now;
  const int64_t wait =
      c.reply_us == 0 ? COLLAPSE_WAIT_MAX_US
                      : std::min(COLLAPSE_WAIT_MAX_US, 2 * c.reply_us + COLLAPSE_WAIT_MARGIN_US);
  h.deadline_us = now + wait;
  memcpy(h.src_mac, frame->src_mac, 6);
  memcpy(h.dst_mac, frame->dst_mac, 6);
  h.src = frame->src;
  h.dst = frame->dst;
  h.len = static_cast<uint32_t>(request.size());
  memcpy(h.request.data(), request.data(), request.size());
  cc->held_count.fetch_add(1);
  lower_due(cc, h.deadline_us);
  return true;
}

}  // namespace

collapse_verdict collapse_read_missed(vdisk_context* vc, client_context* cc, uint32_t key,
                                      uint64_t offset, uint64_t length, bool may_hold,
                                      const tarn_frame* frame, std::span<const uint8_t> request,
                                      int64_t now_us) {
  auto c = vc->collapse.lock();
  reserve(*c);
  std::erase_if(c->inflight, [now_us](const vdisk_inflight_read& r) { return !live(r, now_us); });
  // A resend replaces the read it repeats; what was held on that read alone
  // goes to the server once the new one is recorded, if it does not cover it.
  const bool replaced = remove_inflight(*c, cc, key, nullptr);
  collapse_verdict v = collapse_verdict::forward;
  if (may_hold && hold(*c, cc, offset, length, frame, request, now_us)) {
    v = collapse_verdict::held;
  } else {
    const auto own = std::count_if(c->inflight.begin(), c->inflight.end(),
                                   [cc](const vdisk_inflight_read& r) { return r.client == cc; });
    if (c->inflight.size() < VDISK_INFLIGHT_MAX &&
        static_cast<size_t>(own) < VDISK_INFLIGHT_PER_CLIENT) {
      c->inflight.push_back({cc, key, offset, length, now_us, now_us + COLLAPSE_WAIT_MAX_US});
    }
  }
  if (replaced) release_uncovered(*c, now_us);
  return v;
}

void collapse_read_dropped(vdisk_context* vc, const client_context* cc, uint32_t key,
                           int64_t now_us) {
  auto c = vc->collapse.lock();
  if (remove_inflight(*c, cc, key, nullptr)) release_uncovered(*c, now_us);
}

void collapse_read_completed(vdisk_context* vc, const client_context* cc, uint32_t key,
                             uint64_t offset, uint64_t length, bool stored, int64_t now_us) {
  auto c = vc->collapse.lock();
  int64_t sent_us = 0;
  if (remove_inflight(*c, cc, key, &sent_us)) {
    const int64_t sample = std::max<int64_t>(0, now_us - sent_us);
    c->reply_us = c->reply_us == 0 ? std::max<int64_t>(1, sample) : (7 * c->reply_us + sample) / 8;
  }
  if (stored) {
    const vdisk_inflight_read done{cc, key, offset, length, 0, 0};
    for (vdisk_held_read& h : c->held) {
      if (h.stored || !covers(done, h.offset, h.length)) continue;
      h.stored = true;
      lower_due(h.client, now_us);
      wake(h.client);
    }
  }
  release_uncovered(*c, now_us);
}

size_t collapse_take(vdisk_context* vc, client_context* cc, int64_t now_us, vdisk_held_read* out,
                     size_t max) {
  auto c = vc->collapse.lock();
  size_t n = 0;
  int64_t due = 0;
  for (size_t i = 0; i < c->held.size();) {
    vdisk_held_read& h = c->held[i];
    if (h.client != cc) {
      i++;
    } else if (n < max && (h.stored || h.deadline_us <= now_us)) {
      out[n++] = h;
      h = c->held.back();
      c->held.pop_back();
    } else {
      const int64_t at = h.stored ? now_us : h.deadline_us;
      due = due == 0 ? at : std::min(due, at);
      i++;
    }
  }
  cc->held_count.fetch_sub(static_cast<uint32_t>(n));
  cc->held_due.store(due);
  return n;
}
