// The streaming-protocol engine.
//
// Listener threads hand every captured protocol datagram to
// tarn_process_packet with a frame record (MAC and socket addresses of the
// capture) and a sender through which the engine sends what it builds, always
// from the server's address to the client's. The answer tells the listener to
// forward the datagram (1; the payload may have been edited in place, only
// within its first TARN_EDIT_SPAN bytes, never resized) or to drop it (0). The
// caller holds no lock.
//
// The engine follows each client's login conversation (which server, which
// session handles, which vDisk), links the client with the shared vDisk
// context of its cache (update_vdisk), answers reads from the cache in the
// server's name, tags the reads it lets through so that it can recognise the
// server's replies, and stores those replies in the cache. Prepopulation jobs
// are started from heartbeat replies and run in the prepopulation pool.
//
// Locks: the client's session (read for I/O messages, write for the session
// messages), then the vDisk's lock, then the client's MIO mutex.
#pragma once

#include <glib.h>
#include <netinet/in.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

struct proxy_context;
struct client_context;
struct client_session;
struct vdisk_context;
struct mio_fragment;

struct tarn_frame {
  uint8_t src_mac[6];
  uint8_t dst_mac[6];
  struct sockaddr_in src;
  struct sockaddr_in dst;
};

// Sends `len` payload bytes from `src` to `dst`; returns the payload bytes
// sent, negative on failure.
using tarn_send_fn = ssize_t (*)(void* arg, const struct sockaddr_in* src,
                                 const struct sockaddr_in* dst, const void* payload, size_t len);

// Passes the datagram in hand on at once, as the listener would after an
// answer of 1, and sends it together with what the listener queued before.
using tarn_pass_fn = void (*)(void* arg);

// Sends `len` payload bytes as the datagram `frame` describes (its addresses
// and its destination MAC): a held read forwarded to the server after all.
using tarn_forward_fn = ssize_t (*)(void* arg, const tarn_frame* frame, const void* payload,
                                    size_t len);

struct tarn_sender {
  tarn_send_fn send;
  void* arg;
  // Where set, a server reply that completes a read is passed on through it
  // before its data is written to the cache, so that the VM does not wait for
  // the write; the engine then answers 0. Called at most once per datagram.
  tarn_pass_fn pass = nullptr;
  void* pass_arg = nullptr;
  // For tarn_serve_held; takes `arg`.
  tarn_forward_fn forward = nullptr;
};

// The largest UDP payload one IPv4 datagram carries (65535 - 20 - 8): the
// engine never builds a datagram longer than this.
inline constexpr size_t TARN_MAX_PAYLOAD = 65507;
// The message header: the only bytes of a datagram the engine ever edits, so
// that a listener can bring the checksum up to date from them alone.
inline constexpr size_t TARN_EDIT_SPAN = 22;
// Heartbeat replies closer together than this are dropped for a client
// without a vDisk when the migration work-around is on.
inline constexpr uint64_t SERVER_HEARTBEAT_REPLY_MIN_GAPMS = 1000;
// Requests forwarded within this many seconds let extent reads be served.
inline constexpr int64_t TARN_SERVER_ACTIVITY_WINDOW_S = 2;
// Forced relogons sent between two associations at most.
inline constexpr uint32_t TARN_MAX_RELOGONS = 5;
// A client MIO whose reply has not completed by then is not waited for.
inline constexpr int64_t TARN_MIO_DEADLINE_US = 2 * G_USEC_PER_SEC;

int tarn_process_packet(proxy_context* context, const tarn_sender* sender, client_context* client,
                        const tarn_frame* frame, uint8_t* payload, size_t len);

// Answers the client's held reads whose covering reply was stored, from the
// cache and as hits, and forwards those due (protocol/collapse.h), through
// `sender`, which sends on the client's interface; `now_us` is monotonic.
// The caller holds no lock. Cheap when the client holds nothing.
void tarn_serve_held(proxy_context* context, client_context* client, const tarn_sender* sender,
                     int64_t now_us);

// Links the client with the vDisk of its current session `s`, locked for
// writing, once both its vDisk id and its vDisk information are known.
void update_vdisk(proxy_context* context, client_context* client, client_session& s);

// Whether a read of `length` bytes at protocol offset `offset` lies wholly
// inside the vDisk linked in the client's session, whose size must be known:
// nothing else is ever cached or served.
bool tarn_read_within_vdisk(const client_session& s, uint64_t offset, uint64_t length);

// Whether the client's packet size allows the cache to serve and track its
// reads: above the 56 bytes of an MIO reply header, and no fragment longer
// than one datagram.
bool tarn_packet_size_usable(uint32_t packet_size);

// Answer a read request from the cache: true when every byte asked for was
// sent to the client (from `server` to `client`), false when the read must
// go to the server. `s` is the client's session, locked for reading.
bool tarn_satisfy_ext_read_from_cache(proxy_context* context, client_context* client,
                                      const client_session& s, const tarn_sender* sender,
                                      const uint8_t* payload, size_t len,
                                      const struct sockaddr_in* client_addr,
                                      const struct sockaddr_in* server_addr);
bool tarn_satisfy_mio_read_from_cache(proxy_context* context, client_context* client,
                                      const client_session& s, const tarn_sender* sender,
                                      const uint8_t* payload, size_t len,
                                      const struct sockaddr_in* client_addr,
                                      const struct sockaddr_in* server_addr);

// One prepopulation job. The pusher holds the client (client_context_hold)
// and the worker releases it.
struct tarn_prepop_job {
  // Stored with release before the push, loaded with acquire by the worker:
  // the pool's queue orders the hand-over with locks ThreadSanitizer cannot
  // see, and this states the same order in terms it can.
  std::atomic<client_context*> client{nullptr};
};

// Task function of the prepopulation pool: `data` is one job, `user_data` the
// proxy_context.
void tarn_prepop_thread(gpointer data, gpointer user_data);
