// Interface threads: the listener and ARP threads of each client interface.
//
// Creating a client starts, on its host interface, listenerThreads listener
// threads ("udp-<if>-<n>") and, with arpProxy, one ARP proxy thread
// ("arp-<if>"). interface_thread_create waits until every thread has reported
// ready (or one has failed) through its status eventfd; interface_thread_remove
// stops each thread by writing INTERFACE_THREAD_STOP to its efd and joins it.
// The table has no lock of its own: create and remove run with client_lock
// held, or at shutdown.
//
// The threads follow the contract in net/listener.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/listener.h"

struct proxy_context;
struct client_context;

inline constexpr int INTERFACE_THREAD_READY_TIMEOUT_MS = 30000;
inline constexpr size_t INTERFACE_THREAD_NAME_MAX = 15;  // what the kernel keeps of a thread name

struct interface_thread {
  std::string name;
  std::vector<std::unique_ptr<tlt_context>> threads;  // listeners 0..n-1, then ARP
  client_context* client = nullptr;                   // the one client the group serves
  uint16_t fanout_group_id = 0;
};

struct interface_thread_table : std::unordered_map<std::string, std::unique_ptr<interface_thread>> {
};

void interface_thread_init(proxy_context* context);
// 0 once every thread is ready; -EEXIST (the interface has a group), -EAGAIN
// (another group uses the fanout id: retry with the next), -ETIMEDOUT, or the
// failed thread's -errno. On failure no thread of the group is left running.
int interface_thread_create(proxy_context* context, client_context* cc, int32_t fanout_group_id);
// Stops and frees the group of the client's interface, if it serves this client.
void interface_thread_remove(proxy_context* context, client_context* cc);
// Whether a group already uses this fanout group id.
bool interface_thread_fanout_id_in_use(proxy_context* context, uint16_t fanout_group_id);
// Shutdown only, after every client is removed; a group still left is stopped.
void interface_thread_destroy(proxy_context* context);
// Null (errno set) when a channel or the thread cannot be made.
std::unique_ptr<tlt_context> tlt_spawn(proxy_context* context, uint16_t fanout_group_id,
                                       const char* name, const char* interface,
                                       client_context* client, tlt_function func);

// Tests replace the thread functions and the readiness time-out to exercise
// the handshake without packet sockets. Null (the default) runs the real
// listeners and ARP proxy with INTERFACE_THREAD_READY_TIMEOUT_MS.
struct interface_thread_hooks {
  tlt_function listener = nullptr;
  tlt_function arp = nullptr;
  int ready_timeout_ms = INTERFACE_THREAD_READY_TIMEOUT_MS;
};
void interface_thread_set_hooks(const interface_thread_hooks* hooks);
