// A value reachable only under its lock, so that which lock guards which
// field is in the type rather than only in a comment.
//
//   guarded<progress> p;
//   { auto g = p.lock(); g->done += n; }           // exclusive
//   { auto g = p.lock_shared(); use(g->done); }    // shared mutex only: const
//   cond.wait(g.holder());                         // the lock itself, to wait
//
// An accessor holds the lock for its own lifetime; a failed try_lock() gives
// an accessor that is false and must not be dereferenced.
#pragma once

#include <mutex>
#include <shared_mutex>
#include <utility>

template <class T, class Mutex = std::mutex>
class guarded {
 public:
  template <class V, class Lock>
  class access {
   public:
    access(V& value, Lock lock) : value_(&value), lock_(std::move(lock)) {}
    V* operator->() const { return value_; }
    V& operator*() const { return *value_; }
    explicit operator bool() const { return lock_.owns_lock(); }
    Lock& holder() { return lock_; }

   private:
    V* value_;
    Lock lock_;
  };

  using locked = access<T, std::unique_lock<Mutex>>;

  access<T, std::unique_lock<Mutex>> lock() { return {value_, std::unique_lock<Mutex>(mutex_)}; }
  access<T, std::unique_lock<Mutex>> try_lock() {
    return {value_, std::unique_lock<Mutex>(mutex_, std::try_to_lock)};
  }
  access<const T, std::shared_lock<Mutex>> lock_shared() const {
    return {value_, std::shared_lock<Mutex>(mutex_)};
  }
  access<const T, std::shared_lock<Mutex>> try_lock_shared() const {
    return {value_, std::shared_lock<Mutex>(mutex_, std::try_to_lock)};
  }

 private:
  mutable Mutex mutex_;
  T value_{};
};
