// The unixsocket thread: the daemon's JSON-RPC control socket.
//
// Runs as the "Unixsocket" service thread. It blocks in epoll, so main stops
// it by writing SERVICE_THREAD_STOP to the record's eventfd.
#pragma once

struct service_thread;

void unixsocket_thread(service_thread* record);
