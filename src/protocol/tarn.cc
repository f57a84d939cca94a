#include "protocol/tarn.h"

#include <span>

#include "contexts/proxy_context.h"
#include "protocol/messages.h"
#include "protocol/opcodes.h"

int tarn_process_packet(proxy_context* context, const tarn_sender* /*sender*/,
                        client_context* client, const tarn_frame* /*frame*/, uint8_t* payload,
                        size_t len) {
  // Not a protocol message: not ours to judge, pass it on.
  if (!msg_is_message(std::span<const uint8_t>(payload, len))) return 1;
  const uint32_t bytes = static_cast<uint32_t>(len);
  if (opcode_is_request(msg_opcode(std::span<const uint8_t>(payload, len)))) {
    metrics_add_client_sent_b(&context->metrics, &client->metrics, bytes);
  } else {
    metrics_add_server_sent_b(&context->metrics, &client->metrics, bytes);
  }
  return 1;
}

void tarn_prepop_thread(gpointer /*data*/, gpointer /*user_data*/) {
  // Nothing pushes prepopulation jobs yet.
}
