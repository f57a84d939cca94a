// The record each service thread (cache manager, RRD, unixsocket) receives.
//
// main owns the records for the whole run. Only the unixsocket thread uses
// `efd`: it blocks in epoll, so it is told to stop by the value
// SERVICE_THREAD_STOP written there; the other two poll `stopping`.
#pragma once

#include <cstdint>
#include <thread>

struct proxy_context;

inline constexpr uint64_t SERVICE_THREAD_STOP = 0xDEADBEEF;

struct service_thread {
  const char* name = nullptr;
  int efd = -1;  // unixsocket thread only
  proxy_context* context = nullptr;
  std::thread handle;
};

// Starts `fn(record)` on a thread named record->name.
void service_thread_start(service_thread* record, void (*fn)(service_thread*));
