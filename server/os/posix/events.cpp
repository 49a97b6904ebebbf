#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <thread>

#include "posix_internal.h"

namespace os {

namespace posix {

namespace {
// Raised before a waitable's descriptor is closed and when a waitable goes. What a wait set
// remembers (the descriptors registered with it, the waitables behind the last list it was given)
// holds only while this stays as it was.
std::atomic<std::uint64_t> g_waitablesChanged{0};
}  // namespace

PosixWaitable::~PosixWaitable() { g_waitablesChanged.fetch_add(1, std::memory_order_acq_rel); }

void CloseWaitableDescriptor(int fd) {
  g_waitablesChanged.fetch_add(1, std::memory_order_acq_rel);
  close(fd);
}

}  // namespace posix

namespace {

using posix::PosixWaitable;

// An event is an eventfd: readable while set.
class PosixEvent final : public Event, public PosixWaitable {
 public:
  PosixEvent(int fd, bool manualReset) : fd_(fd), manualReset_(manualReset) {}
  ~PosixEvent() override { posix::CloseWaitableDescriptor(fd_); }
  void Set() override {
    set_.store(true, std::memory_order_release);
    std::uint64_t one = 1;
    // A full counter (never reached) or EAGAIN still leaves the event readable, i.e. set.
    ssize_t ignored = write(fd_, &one, sizeof one);
    (void)ignored;
  }
  void Reset() override {
    set_.store(false, std::memory_order_release);
    std::uint64_t value;
    while (read(fd_, &value, sizeof value) > 0) {
    }
  }
  int PollFd() const override { return fd_; }
  short PollEvents() const override { return POLLIN; }
  void OnSignalled(short) override {
    if (!manualReset_) Reset();
  }

 private:
  int fd_;
  bool manualReset_;
};

class StdThread final : public Thread {
 public:
  explicit StdThread(std::function<void()> body) : thread_(std::move(body)) {}
  ~StdThread() override { Join(); }
  void Join() override {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// poll and epoll share their event bits.
static_assert(POLLIN == EPOLLIN && POLLOUT == EPOLLOUT && POLLRDHUP == EPOLLRDHUP &&
              POLLERR == EPOLLERR && POLLHUP == EPOLLHUP && POLLPRI == EPOLLPRI);

// A wait set keeps its descriptors registered with an epoll instance between waits: a wait then
// costs one epoll_wait, which looks only at descriptors that have signalled, instead of a poll
// that looks at every descriptor and hooks itself into, and out of, all their wait queues. Each
// wait still reports what is signalled when it is made: a changed place, descriptor or set of
// events is registered anew before the wait, and so is everything once any waitable has gone
// (its descriptor number may stand for another file now). Where epoll cannot watch a descriptor
// (a regular file, say), and for the one-off waits of WaitAny, the places are waited on with poll.
class PosixWaitSet final : public WaitSet {
 public:
  explicit PosixWaitSet(bool keepRegistered)
      : keepRegistered_(keepRegistered), usePoll_(!keepRegistered) {}
  PosixWaitSet(const PosixWaitSet&) = delete;
  PosixWaitSet& operator=(const PosixWaitSet&) = delete;
  ~PosixWaitSet() override { Forget(); }

  int Wait(int timeoutMs, int* error) override {
    std::size_t active = 0;
    for (std::size_t k = 0; k < placeCount_; ++k) {
      if (places_[k] == nullptr) continue;
      if (posix_[k].waitable == nullptr) return Invalid(error);  // not one of ours
      ++active;
    }
    // Nothing to wait for: only a time-out can end the wait, as with WaitForMultipleObjects.
    if (tooMany_ || (active == 0 && timeoutMs < 0)) return Invalid(error);

    const std::uint64_t generation = posix::g_waitablesChanged.load(std::memory_order_acquire);
    if (generation != generation_) {
      Forget();
      generation_ = generation;
    }
    bool changed = changed_ || !registeredNow_;
    changed_ = false;
    for (std::size_t k = 0; k < placeCount_; ++k) {
      Place& p = posix_[k];
      if (p.waitable == nullptr) continue;
      const int fd = p.waitable->PollFd();
      const short events = p.waitable->PollEvents();
      changed = changed || fd != p.fd || events != p.events;
      p.fd = fd;
      p.events = events;
    }
    // The epoll instance already holds what the places wait for when nothing changed since the
    // last wait.
    if (!usePoll_ && changed) {
      registeredNow_ = Register();
      usePoll_ = !registeredNow_;
    }

    // The clock is read only for a time-out that is not over at once, and again only when the
    // wait has to be made again.
    const long long deadline = timeoutMs > 0 ? NowMs() + timeoutMs : -1;
    int wait = timeoutMs < 0 ? -1 : timeoutMs;
    for (;;) {
      int signalled = usePoll_ ? PollOnce(wait) : EpollOnce(wait);
      if (signalled == kRetry) {
        if (deadline >= 0) {
          long long left = deadline - NowMs();
          wait = left > 0 ? static_cast<int>(left) : 0;
        }
        continue;
      }
      if (signalled == kWaitFailed && error) *error = posix::Win32ErrorFromErrno(errno);
      return signalled;
    }
  }

 private:
  static constexpr int kRetry = -100;

  void PlaceChanged(std::size_t place) override {
    Place& p = posix_[place];
    // Looked up again even for the same address: another object may have been made there.
    p.waitable = places_[place] ? dynamic_cast<PosixWaitable*>(places_[place]) : nullptr;
    changed_ = true;
    usePoll_ = !keepRegistered_;  // a changed set gets its chance with epoll again
  }

  // What the set knows of each place.
  struct Place {
    PosixWaitable* waitable = nullptr;
    int fd = -1;  // as registered
    short events = 0;
  };
  struct Registration {
    int fd;
    std::uint32_t events;
  };

  static int Invalid(int* error) {
    if (error) *error = kErrInvalidParameter;
    return kWaitFailed;
  }

  static Registration* Find(Registration* set, std::size_t size, int fd) {
    for (std::size_t r = 0; r < size; ++r) {
      if (set[r].fd == fd) return &set[r];
    }
    return nullptr;
  }

  // Brings the epoll instance in line with the places: each descriptor watched for the events of
  // all the waitables on it. False when epoll cannot do that (the instance is then gone).
  bool Register() {
    Registration wanted[kMaxWaitSetPlaces];
    std::size_t wantedCount = 0;
    for (std::size_t k = 0; k < placeCount_; ++k) {
      if (posix_[k].waitable == nullptr) continue;
      const std::uint32_t events = static_cast<unsigned short>(posix_[k].events);
      if (Registration* same = Find(wanted, wantedCount, posix_[k].fd)) {
        same->events |= events;
      } else {
        wanted[wantedCount++] = {posix_[k].fd, events};
      }
    }
    if (epfd_ < 0) {
      epfd_ = epoll_create1(EPOLL_CLOEXEC);
      if (epfd_ < 0) return false;
    }
    for (std::size_t r = 0; r < registeredCount_;) {
      if (Find(wanted, wantedCount, registered_[r].fd) == nullptr) {
        if (epoll_ctl(epfd_, EPOLL_CTL_DEL, registered_[r].fd, nullptr) != 0) return Fail();
        registered_[r] = registered_[--registeredCount_];
      } else {
        ++r;
      }
    }
    for (std::size_t w = 0; w < wantedCount; ++w) {
      Registration* have = Find(registered_, registeredCount_, wanted[w].fd);
      if (have != nullptr && have->events == wanted[w].events) continue;
      epoll_event event{};
      event.events = wanted[w].events;
      event.data.fd = wanted[w].fd;
      if (epoll_ctl(epfd_, have ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, wanted[w].fd, &event) != 0) {
        return Fail();
      }
      if (have != nullptr) {
        have->events = wanted[w].events;
      } else {
        registered_[registeredCount_++] = wanted[w];
      }
    }
    return true;
  }

  bool Fail() {
    const int saved = errno;
    Forget();
    errno = saved;
    return false;
  }

  void Forget() {
    if (epfd_ >= 0) close(epfd_);
    epfd_ = -1;
    registeredCount_ = 0;
    registeredNow_ = false;
  }

  // What poll would report for place `k` when its descriptor is ready for `revents`: the events
  // it asked for and the conditions always reported. kRetry when that is nothing.
  int Signalled(std::size_t k, std::uint32_t revents) {
    const std::uint32_t asked = static_cast<unsigned short>(posix_[k].events);
    const auto mine = static_cast<short>(revents & (asked | POLLERR | POLLHUP | POLLNVAL));
    if (mine == 0) return kRetry;
    posix_[k].waitable->OnSignalled(mine);
    return static_cast<int>(k);
  }

  int EpollOnce(int wait) {
    epoll_event ready[kMaxWaitSetPlaces];
    int n = epoll_wait(epfd_, ready, static_cast<int>(kMaxWaitSetPlaces), wait);
    if (n < 0) return errno == EINTR ? kRetry : kWaitFailed;
    if (n == 0) return kWaitTimeout;
    for (std::size_t k = 0; k < placeCount_; ++k) {
      if (posix_[k].waitable == nullptr) continue;
      for (int r = 0; r < n; ++r) {
        if (ready[r].data.fd != posix_[k].fd) continue;
        if (int index = Signalled(k, ready[r].events); index != kRetry) return index;
      }
    }
    return kRetry;  // never: every registered event is one a place asked for
  }

  int PollOnce(int wait) {
    pollfd fds[kMaxWaitSetPlaces];
    std::size_t placeOf[kMaxWaitSetPlaces];
    nfds_t count = 0;
    for (std::size_t k = 0; k < placeCount_; ++k) {
      if (posix_[k].waitable == nullptr) continue;
      fds[count] = {posix_[k].fd, posix_[k].events, 0};
      placeOf[count++] = k;
    }
    int ready = poll(fds, count, wait);
    if (ready < 0) return errno == EINTR ? kRetry : kWaitFailed;
    if (ready == 0) return kWaitTimeout;
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents != 0) {
        posix_[placeOf[i]].waitable->OnSignalled(fds[i].revents);
        return static_cast<int>(placeOf[i]);
      }
    }
    return kRetry;
  }

  const bool keepRegistered_;
  Place posix_[kMaxWaitSetPlaces];
  bool changed_ = true;  // a place changed since the last wait
  bool usePoll_;
  std::uint64_t generation_ = 0;
  bool registeredNow_ = false;  // the epoll instance holds the events of the places as they are
  // The epoll instance and what is registered with it.
  int epfd_ = -1;
  Registration registered_[kMaxWaitSetPlaces] = {};
  std::size_t registeredCount_ = 0;
};

}  // namespace

std::unique_ptr<Event> CreateEvent(bool manualReset) {
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixEvent>(fd, manualReset);
}

std::unique_ptr<WaitSet> CreateWaitSet() { return std::make_unique<PosixWaitSet>(true); }

int WaitAny(std::span<Waitable* const> list, int timeoutMs, int* error) {
  // A one-off wait: poll, without an epoll instance to make and close.
  PosixWaitSet set(false);
  for (Waitable* waitable : list) set.Add(waitable);  // null entries: empty places
  return set.Wait(timeoutMs, error);
}

std::unique_ptr<Thread> StartThread(std::function<void()> body, int* error) {
  try {
    return std::make_unique<StdThread>(std::move(body));
  } catch (const std::system_error& e) {
    if (error) *error = posix::Win32ErrorFromErrno(e.code().value());
    return nullptr;
  } catch (...) {
    if (error) *error = 8;  // ERROR_NOT_ENOUGH_MEMORY
    return nullptr;
  }
}

std::tm LocalTimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm result{};
  localtime_r(&now, &result);
  return result;
}

std::string NativePath(const std::string& path) {
  std::string native = path;
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return native;
}

}  // namespace os
