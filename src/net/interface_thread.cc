#include "net/interface_thread.h"

#include <glib.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <system_error>

#include "contexts/proxy_context.h"
#include "core/unique_fd.h"
#include "net/arpproxy.h"
#include "net/ovs.h"
#include "net/pmmap.h"

namespace {

constexpr int READY_WAIT_EVENTS = 10;

std::atomic<const interface_thread_hooks*> active_hooks{nullptr};

void thread_main(tlt_context* tlt, tlt_function func) {
  // The kernel keeps 15 characters of a thread name and refuses longer ones.
  std::string name = tlt->name.substr(0, INTERFACE_THREAD_NAME_MAX);
  pthread_setname_np(pthread_self(), name.c_str());
  func(tlt);
}

void close_channels(tlt_context* tlt) {
  if (tlt->efd >= 0) close(tlt->efd);
  tlt->efd = -1;
  if (tlt->status_efd >= 0) close(tlt->status_efd);
  tlt->status_efd = -1;
}

// Stops the group's threads in start order, joining each.
void stop_group(interface_thread* group) {
  const char* uuid = group->client != nullptr ? group->client->uuid.c_str() : "";
  for (auto& tlt : group->threads) {
    if (!tlt->thread.joinable()) continue;
    g_message("Client %s - Killing %s...", uuid, tlt->name.c_str());
    if (eventfd_write(tlt->efd, INTERFACE_THREAD_STOP) != 0) {
      g_warning("Client %s - eventfd_write: %s", uuid, g_strerror(errno));
    }
    tlt->thread.join();
    g_message("Client %s - Killed %s", uuid, tlt->name.c_str());
    close_channels(tlt.get());
  }
}

// Waits for every thread of the group to report. 0 or a negative errno.
int wait_until_ready(client_context* cc, interface_thread* group, int timeout_ms) {
  const char* uuid = cc->uuid.c_str();
  unique_fd epfd(epoll_create1(EPOLL_CLOEXEC));
  if (!epfd) {
    int err = errno;
    g_warning("Client %s - epoll_create: %s", uuid, g_strerror(err));
    return -err;
  }
  for (auto& tlt : group->threads) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = tlt.get();
    if (epoll_ctl(epfd.get(), EPOLL_CTL_ADD, tlt->status_efd, &ev) != 0) {
      int err = errno;
      g_warning("Client %s - epoll_ctl: %s", uuid, g_strerror(err));
      return -err;
    }
  }

  size_t ready = 0;
  const size_t total = group->threads.size();
  while (ready < total) {
    epoll_event events[READY_WAIT_EVENTS];
    int n = epoll_wait(epfd.get(), events, READY_WAIT_EVENTS, timeout_ms);
    if (n == 0) {
      g_warning("Client %s - Timed out waiting for remaining %d threads to be ready", uuid,
                static_cast<int>(total - ready));
      return -ETIMEDOUT;
    }
    if (n < 0) {
      int err = errno;
      if (err == EINTR) continue;
      g_warning("Client %s - epoll_wait: %s", uuid, g_strerror(err));
      return -err;
    }
    for (int i = 0; i < n; i++) {
      auto* tlt = static_cast<tlt_context*>(events[i].data.ptr);
      eventfd_t value = 0;
      if (eventfd_read(tlt->status_efd, &value) != 0) {
        int err = errno;
        g_warning("Client %s - eventfd_read: %s", uuid, g_strerror(err));
        return -err;
      }
      // Closing the last reference also takes the descriptor out of the set.
      if (close(tlt->status_efd) != 0) {
        g_warning("Client %s - close status_efd: %s", uuid, g_strerror(errno));
      }
      std::atomic_ref<int>(tlt->status_efd).store(-1);
      if (value != INTERFACE_THREAD_READY) {
        g_warning("Client %s - Thread %s signalled error %lu; aborting...", uuid, tlt->name.c_str(),
                  static_cast<unsigned long>(value));
        return value <= INT_MAX ? -static_cast<int>(value) : -EIO;
      }
      ready++;
    }
  }
  return 0;
}

}  // namespace

void interface_thread_set_hooks(const interface_thread_hooks* hooks) {
  active_hooks.store(hooks, std::memory_order_release);
}

void interface_thread_init(proxy_context* context) {
  g_return_if_fail(context != NULL);
  context->interface_thread_ht = std::make_unique<interface_thread_table>();
}

void interface_thread_destroy(proxy_context* context) {
  g_return_if_fail(context != NULL);
  if (!context->interface_thread_ht) return;
  // Dropping a running thread's handle would end the process.
  for (auto& entry : *context->interface_thread_ht) stop_group(entry.second.get());
  context->interface_thread_ht.reset();
}

std::unique_ptr<tlt_context> tlt_spawn(proxy_context* context, uint16_t fanout_group_id,
                                       const char* name, const char* interface,
                                       client_context* client, tlt_function func) {
  g_return_val_if_fail(context != NULL, nullptr);
  g_return_val_if_fail(name != NULL && interface != NULL && func != NULL, nullptr);
  const char* uuid = client != nullptr ? client->uuid.c_str() : "";

  auto tlt = std::make_unique<tlt_context>();
  tlt->name = name;
  tlt->interface = interface;
  tlt->fanout_group_id = fanout_group_id;
  tlt->context = context;
  tlt->client = client;
  tlt->efd = eventfd(0, EFD_CLOEXEC);
  tlt->status_efd = tlt->efd < 0 ? -1 : eventfd(0, EFD_CLOEXEC);
  if (tlt->status_efd < 0) {
    int err = errno;
    g_warning("Client %s - eventfd for %s: %s", uuid, name, g_strerror(err));
    close_channels(tlt.get());
    errno = err;
    return nullptr;
  }

  g_message("Client %s - Spawning %s", uuid, name);
  try {
    tlt->thread = std::thread(thread_main, tlt.get(), func);
  } catch (const std::system_error& e) {
    int err = e.code().value() > 0 ? e.code().value() : EAGAIN;
    g_warning("Client %s - Couldn't start %s: %s", uuid, name, g_strerror(err));
    close_channels(tlt.get());
    errno = err;
    return nullptr;
  }
  return tlt;
}

int interface_thread_create(proxy_context* context, client_context* cc, int32_t fanout_group_id) {
  g_return_val_if_fail(context != NULL, -EINVAL);
  g_return_val_if_fail(cc != NULL, -EINVAL);
  g_return_val_if_fail(context->interface_thread_ht != NULL, -EINVAL);
  interface_thread_table& table = *context->interface_thread_ht;
  const char* uuid = cc->uuid.c_str();
  const uint16_t id = static_cast<uint16_t>(fanout_group_id & 0xFFFF);

  if (table.contains(cc->interface)) {
    g_warning("Client %s - Tried to add a client to an existing interface thread (interface %s)",
              uuid, cc->interface.c_str());
    return -EEXIST;
  }
  if (interface_thread_fanout_id_in_use(context, id)) {
    g_info("Client %s - This fanout group id is already in use: %u", uuid, id);
    return -EAGAIN;
  }

  const interface_thread_hooks* hooks = active_hooks.load(std::memory_order_acquire);
  tlt_function listener = context->packet_mmap ? pmmap_listener : ovs_listener;
  tlt_function arp = arpproxy_thread;
  int timeout_ms = INTERFACE_THREAD_READY_TIMEOUT_MS;
  if (hooks != nullptr) {
    listener = hooks->listener;
    arp = hooks->arp;
    timeout_ms = hooks->ready_timeout_ms;
  }

  auto group = std::make_unique<interface_thread>();
  group->name = cc->interface;
  group->client = cc;
  group->fanout_group_id = id;
  // A thread that cannot be started fails the whole group: a client served by
  // fewer threads than configured (or none) must not be reported as running.
  int rc = 0;
  for (int i = 0; i < context->listener_threads && rc == 0; i++) {
    g_autofree char* name = g_strdup_printf("udp-%s-%d", cc->interface.c_str(), i);
    auto tlt = tlt_spawn(context, id, name, cc->interface.c_str(), cc, listener);
    if (tlt) {
      group->threads.push_back(std::move(tlt));
    } else {
      rc = errno > 0 ? -errno : -EAGAIN;
    }
  }
  if (context->arp_proxy && rc == 0) {
    g_autofree char* name = g_strdup_printf("arp-%s", cc->interface.c_str());
    auto tlt = tlt_spawn(context, id, name, cc->interface.c_str(), cc, arp);
    if (tlt) {
      group->threads.push_back(std::move(tlt));
    } else {
      rc = errno > 0 ? -errno : -EAGAIN;
    }
  }

  interface_thread* inserted = group.get();
  table.emplace(group->name, std::move(group));

  if (rc == 0) {
    int count = static_cast<int>(inserted->threads.size());
    g_message("Client %s - Waiting for %d threads to be ready for %s...", uuid, count,
              cc->interface.c_str());
    rc = wait_until_ready(cc, inserted, timeout_ms);
    if (rc == 0) {
      g_message("Client %s - All %d threads are ready for %s", uuid, count, cc->interface.c_str());
      return 0;
    }
  }
  g_message("Client %s - Stopping any running interface threads for %s...", uuid,
            cc->interface.c_str());
  interface_thread_remove(context, cc);
  return rc;
}

bool interface_thread_fanout_id_in_use(proxy_context* context, uint16_t fanout_group_id) {
  g_return_val_if_fail(context != NULL, false);
  if (!context->interface_thread_ht) return false;
  for (const auto& entry : *context->interface_thread_ht) {
    if (entry.second->fanout_group_id == fanout_group_id) return true;
  }
  return false;
}

void interface_thread_remove(proxy_context* context, client_context* cc) {
  g_return_if_fail(context != NULL);
  g_return_if_fail(cc != NULL);
  if (!context->interface_thread_ht) return;
  interface_thread_table& table = *context->interface_thread_ht;
  auto found = table.find(cc->interface);
  // Another client's group on this interface is not this client's to stop.
  if (found == table.end() || found->second->client != cc) return;
  stop_group(found->second.get());
  table.erase(found);
}

void table_free(interface_thread_table* table) {
  delete table;
}
