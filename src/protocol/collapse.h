// Collapsed forwarding: identical misses of several VMs cost the server one
// read.
//
// When a VM's read misses the cache while another client's read in flight to
// the server covers every byte of it (same vDisk, same site cache), the read
// is held instead of forwarded (collapse_read_missed). When the covering
// reply has been stored (collapse_read_completed), every held read it covers
// is marked stored and its client's listener threads are woken
// (client_context::held_wake); they take their client's held reads
// (collapse_take) and answer them from the cache as hits, or forward those
// whose deadline passed or whose covering read was dropped. A held read is
// answered only from what the cache holds, so never with bytes no server
// reply stored.
//
// Bounds: VDISK_HELD_PER_CLIENT and VDISK_HELD_MAX held reads,
// VDISK_INFLIGHT_PER_CLIENT and VDISK_INFLIGHT_MAX reads in flight; a held
// read waits a few milliseconds above the server's smoothed reply time, never
// more than COLLAPSE_WAIT_MAX_US. Partial cover is forwarded.
//
// Every operation takes the vDisk's collapse lock alone, briefly; callers
// hold the session of the client they name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "contexts/vdisks.h"

struct client_context;
struct tarn_frame;

inline constexpr int64_t COLLAPSE_WAIT_MAX_US = 50'000;
// Beyond the server's smoothed reply time, before a held read is forwarded.
inline constexpr int64_t COLLAPSE_WAIT_MARGIN_US = 3'000;

enum class collapse_verdict { forward, held };

// The client's read [offset, +length) (protocol offset) missed the cache and
// goes to the server as its read `key` (an MIO thread id or
// VDISK_INFLIGHT_EXT) unless it is held: with `may_hold`, when another
// client's read in flight covers it and the bounds allow, the request and its
// frame are kept and `held` is answered. Otherwise the read is recorded in
// flight, replacing the client's previous read under `key`.
collapse_verdict collapse_read_missed(vdisk_context* vc, client_context* cc, uint32_t key,
                                      uint64_t offset, uint64_t length, bool may_hold,
                                      const tarn_frame* frame, std::span<const uint8_t> request,
                                      int64_t now_us);
// The client's read `key` will not be stored (its reply cannot be recognised):
// reads held on it alone are forwarded now.
void collapse_read_dropped(vdisk_context* vc, const client_context* cc, uint32_t key,
                           int64_t now_us);
// A reply for the client's read `key` came in. With `stored`, its bytes
// [offset, +length) are in the cache: the held reads inside them are marked
// stored and their clients woken. Without, reads held on it alone are
// forwarded now.
void collapse_read_completed(vdisk_context* vc, const client_context* cc, uint32_t key,
                             uint64_t offset, uint64_t length, bool stored, int64_t now_us);
// Takes out, up to `max`, the client's held reads that are stored or due.
size_t collapse_take(vdisk_context* vc, client_context* cc, int64_t now_us, vdisk_held_read* out,
                     size_t max);
