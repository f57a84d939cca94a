// The streaming-protocol engine.
//
// Listener threads hand every captured protocol datagram to
// tarn_process_packet with a frame record (MAC and socket addresses of the
// capture) and a sender through which the engine sends what it builds, always
// from the server's address to the client's. The answer tells the listener to
// forward the datagram (1; the payload may have been edited in place, never
// resized) or to drop it (0). The caller holds no lock.
//
// Until packet processing arrives, the engine passes every datagram on and
// counts its bytes.
#pragma once

#include <glib.h>
#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct proxy_context;
struct client_context;

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

struct tarn_sender {
  tarn_send_fn send;
  void* arg;
};

int tarn_process_packet(proxy_context* context, const tarn_sender* sender, client_context* client,
                        const tarn_frame* frame, uint8_t* payload, size_t len);

// Task function of the prepopulation pool: `data` is one job, `user_data` the
// proxy_context.
void tarn_prepop_thread(gpointer data, gpointer user_data);
