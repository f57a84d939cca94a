// Reads answered from the cache in the server's name.
#include <algorithm>
#include <array>
#include <span>

#include "cache/chunks.h"
#include "contexts/proxy_context.h"
#include "metrics/metrics.h"
#include "protocol/messages.h"
#include "protocol/tarn.h"

namespace {

// Per listener thread, so that the packet path never allocates: the extent
// reply is assembled where the cache read lands, and an MIO's data is read
// once and sent fragment by fragment.
thread_local std::array<uint8_t, MSG_EXT_READ_HEADER_LEN + 65535> ext_reply;
thread_local std::array<uint8_t, MIO_FRAGMENT_DATA_SIZE> mio_data;
thread_local std::array<uint8_t, TARN_MAX_PAYLOAD> mio_reply;

bool sent_all(ssize_t sent, size_t len) {
  return sent >= 0 && static_cast<size_t>(sent) == len;
}

}  // namespace

bool tarn_satisfy_ext_read_from_cache(proxy_context* context, client_context* client,
                                      const client_session& s, const tarn_sender* sender,
                                      const uint8_t* payload, size_t len,
                                      const struct sockaddr_in* client_addr,
                                      const struct sockaddr_in* server_addr) {
  const std::span<const uint8_t> request(payload, len);
  msg_ext_read_request r;
  if (!msg_parse_ext_read_request(request, r)) return false;
  if (!tarn_read_within_vdisk(s, r.offset, r.length)) return false;
  // A reply longer than the client's packet size is one the server itself
  // sends as IP fragments; the engine sends whole datagrams only, so such a
  // read goes to the server.
  if (MSG_EXT_READ_HEADER_LEN + r.length > s.packet_size) return false;
  uint8_t* data = ext_reply.data() + MSG_EXT_READ_HEADER_LEN;
  // The store takes a zero length for a caller's error (CRITICAL); a read of
  // nothing is answered with the bare header without asking it.
  const int32_t got =
      r.length == 0
          ? 0
          : cache_get_data(context, client, s, r.offset - MSG_VDISK_DATA_OFFSET, data, r.length);
  if (got != r.length) return false;
  const size_t n =
      msg_build_ext_read_reply(ext_reply, request, std::span<const uint8_t>(data, got));
  if (n == 0) return false;
  if (!sent_all(sender->send(sender->arg, server_addr, client_addr, ext_reply.data(), n), n)) {
    return false;
  }
  metrics_add_proxy_saved_b(&context->metrics, &client->metrics, static_cast<uint32_t>(n));
  return true;
}

bool tarn_satisfy_mio_read_from_cache(proxy_context* context, client_context* client,
                                      const client_session& s, const tarn_sender* sender,
                                      const uint8_t* payload, size_t len,
                                      const struct sockaddr_in* client_addr,
                                      const struct sockaddr_in* server_addr) {
  const std::span<const uint8_t> request(payload, len);
  msg_mio_read_request r;
  if (!msg_parse_mio_read_request(request, r)) return false;
  if (!tarn_read_within_vdisk(s, r.offset, r.length)) return false;
  const uint32_t packet_size = s.packet_size;
  if (!tarn_packet_size_usable(packet_size)) return false;
  // Answered without a reply, and without asking the store, which takes a
  // zero length for a caller's error.
  if (r.length == 0) return true;
  const int32_t got = cache_get_data(context, client, s, r.offset - MSG_VDISK_DATA_OFFSET,
                                     mio_data.data(), r.length);
  if (got != r.length) return false;
  const uint32_t room = packet_size - MIO_FRAGMENT_HEADER;
  const uint16_t count = static_cast<uint16_t>((packet_size + r.length - 57) / room);
  uint32_t at = 0;
  for (uint16_t i = 0; at < r.length; i++) {
    const uint32_t chunk = std::min<uint32_t>(room, r.length - at);
    const msg_mio_fragment fragment{static_cast<uint16_t>(at), static_cast<uint16_t>(i + 1), count};
    const size_t n = msg_build_mio_read_reply(
        mio_reply, request, fragment, std::span<const uint8_t>(mio_data.data() + at, chunk));
    if (n == 0) return false;
    if (!sent_all(sender->send(sender->arg, server_addr, client_addr, mio_reply.data(), n), n)) {
      return false;
    }
    metrics_add_proxy_saved_b(&context->metrics, &client->metrics, static_cast<uint32_t>(n));
    at += chunk;
  }
  return true;
}
