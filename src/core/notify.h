// Readiness and stop notifications to the service manager.
//
// Under a service manager that runs the daemon as Type=notify, the daemon
// tells it "READY=1" once start-up is complete and "STOPPING=1" when shutdown
// begins, as one datagram each to the AF_UNIX socket named by $NOTIFY_SOCKET
// (a path, or an abstract name written with a leading '@'). Without the
// variable nothing is sent. A failure is logged at WARNING, once per process,
// and never stops the daemon: the manager's view is a convenience, the
// service itself works without it.
//
//   notify_send(NOTIFY_READY);
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

inline constexpr const char* NOTIFY_SOCKET_ENV = "NOTIFY_SOCKET";
inline constexpr const char* NOTIFY_READY = "READY=1";
inline constexpr const char* NOTIFY_STOPPING = "STOPPING=1";

// Fills `addr` and `len` from a $NOTIFY_SOCKET value. Returns 0, -EINVAL for
// a value that is neither an absolute path nor '@' and a name, or
// -ENAMETOOLONG when it does not fit in sun_path.
int notify_address_parse(const char* text, struct sockaddr_un* addr, socklen_t* len);

// Sends `state` to the socket named by $NOTIFY_SOCKET. Returns 0 when sent or
// when the variable is unset or empty, else a negative errno (after the
// process's one warning). Never blocks: a manager that does not read its
// socket cannot hold the daemon up.
int notify_send(const char* state);
