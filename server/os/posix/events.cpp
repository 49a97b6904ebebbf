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

// The waits of one thread. A thread mostly waits on the same few descriptors again and again (a
// session waits once per chunk), so they stay registered with an epoll instance between waits: a
// wait then costs one epoll_wait, which looks only at descriptors that have signalled, instead of
// a poll that looks at every descriptor and hooks itself into, and out of, all their wait queues.
// Each wait still reports what is signalled when it is made: descriptors that the list no longer
// holds leave the epoll instance before the wait, and a changed set of events is registered anew.
// Where epoll cannot watch a descriptor (a regular file, say), the list is waited on with poll.
class WaitSet {
 public:
  WaitSet() = default;
  WaitSet(const WaitSet&) = delete;
  WaitSet& operator=(const WaitSet&) = delete;
  ~WaitSet() { Forget(); }

  int Wait(std::span<Waitable* const> list, int timeoutMs, int* error) {
    const std::uint64_t generation = posix::g_waitablesChanged.load(std::memory_order_acquire);
    if (generation != generation_) {
      // A waitable went: its descriptor number may stand for another file now, and its address
      // for another object.
      Forget();
      listSize_ = kNoList;
      generation_ = generation;
    }
    if (list.size() != listSize_ || !std::equal(list.begin(), list.end(), list_)) {
      if (int result = TakeList(list, error); result != 0) return result;
    }
    bool changed = !registeredNow_;
    for (std::size_t k = 0; k < count_; ++k) {
      const int fd = entries_[k].waitable->PollFd();
      const short events = entries_[k].waitable->PollEvents();
      changed = changed || fd != entries_[k].fd || events != entries_[k].events;
      entries_[k].fd = fd;
      entries_[k].events = events;
    }
    // The epoll instance already holds what this list waits for when nothing changed since the
    // last wait on the same list.
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
  static constexpr std::size_t kMaxWaitables = 64;
  static constexpr std::size_t kNoList = ~std::size_t{0};
  static constexpr int kRetry = -100;

  struct Entry {
    Waitable* given;  // as the list holds it
    PosixWaitable* waitable;
    int index;  // its place in the caller's list
    int fd;
    short events;
  };
  struct Registration {
    int fd;
    std::uint32_t events;
  };

  // Takes a list other than the last one. A waitable the last list held too is not looked up
  // again (no waitable has gone since: it is still the object it was).
  int TakeList(std::span<Waitable* const> list, int* error) {
    Entry previous[kMaxWaitables];
    const std::size_t previousCount = listSize_ == kNoList ? 0 : count_;
    std::copy(entries_, entries_ + previousCount, previous);
    listSize_ = kNoList;
    count_ = 0;
    usePoll_ = false;  // a new list gets its chance with epoll
    registeredNow_ = false;
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (list[i] == nullptr) continue;
      PosixWaitable* waitable = nullptr;
      for (std::size_t k = 0; k < previousCount && waitable == nullptr; ++k) {
        if (previous[k].given == list[i]) waitable = previous[k].waitable;
      }
      if (waitable == nullptr) waitable = dynamic_cast<PosixWaitable*>(list[i]);
      if (waitable == nullptr || count_ == kMaxWaitables) {
        count_ = 0;
        if (error) *error = kErrInvalidParameter;
        return kWaitFailed;
      }
      entries_[count_++] = {list[i], waitable, static_cast<int>(i), -1, 0};
    }
    // Longer lists (of null entries, mostly) are simply taken anew every time.
    if (list.size() <= kMaxWaitables) {
      std::copy(list.begin(), list.end(), list_);
      listSize_ = list.size();
    }
    return 0;
  }

  static Registration* Find(Registration* set, std::size_t size, int fd) {
    for (std::size_t r = 0; r < size; ++r) {
      if (set[r].fd == fd) return &set[r];
    }
    return nullptr;
  }

  // Brings the epoll instance in line with the list: each descriptor watched for the events of
  // all the list's waitables on it. False when epoll cannot do that (the instance is then gone).
  bool Register() {
    Registration wanted[kMaxWaitables];
    std::size_t wantedCount = 0;
    for (std::size_t k = 0; k < count_; ++k) {
      const std::uint32_t events = static_cast<unsigned short>(entries_[k].events);
      if (Registration* same = Find(wanted, wantedCount, entries_[k].fd)) {
        same->events |= events;
      } else {
        wanted[wantedCount++] = {entries_[k].fd, events};
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

  // What poll would report for entry `k` when its descriptor is ready for `revents`: the events
  // it asked for and the conditions always reported. kRetry when that is nothing.
  int Signalled(std::size_t k, std::uint32_t revents) {
    const std::uint32_t asked = static_cast<unsigned short>(entries_[k].events);
    const auto mine = static_cast<short>(revents & (asked | POLLERR | POLLHUP | POLLNVAL));
    if (mine == 0) return kRetry;
    entries_[k].waitable->OnSignalled(mine);
    return entries_[k].index;
  }

  int EpollOnce(int wait) {
    epoll_event ready[kMaxWaitables];
    int n = epoll_wait(epfd_, ready, static_cast<int>(kMaxWaitables), wait);
    if (n < 0) return errno == EINTR ? kRetry : kWaitFailed;
    if (n == 0) return kWaitTimeout;
    for (std::size_t k = 0; k < count_; ++k) {
      for (int r = 0; r < n; ++r) {
        if (ready[r].data.fd != entries_[k].fd) continue;
        if (int index = Signalled(k, ready[r].events); index != kRetry) return index;
      }
    }
    return kRetry;  // never: every registered event is one an entry asked for
  }

  int PollOnce(int wait) {
    pollfd fds[kMaxWaitables];
    for (std::size_t k = 0; k < count_; ++k) fds[k] = {entries_[k].fd, entries_[k].events, 0};
    int ready = poll(fds, count_, wait);
    if (ready < 0) return errno == EINTR ? kRetry : kWaitFailed;
    if (ready == 0) return kWaitTimeout;
    for (std::size_t k = 0; k < count_; ++k) {
      if (fds[k].revents != 0) {
        entries_[k].waitable->OnSignalled(fds[k].revents);
        return entries_[k].index;
      }
    }
    return kRetry;
  }

  std::uint64_t generation_ = 0;
  // The last list as given and its waitables.
  Waitable* list_[kMaxWaitables] = {};
  std::size_t listSize_ = kNoList;
  Entry entries_[kMaxWaitables] = {};
  std::size_t count_ = 0;
  bool usePoll_ = false;
  bool registeredNow_ = false;  // the epoll instance holds the events of entries_ as they are
  // The epoll instance and what is registered with it.
  int epfd_ = -1;
  Registration registered_[kMaxWaitables] = {};
  std::size_t registeredCount_ = 0;
};

thread_local WaitSet t_waitSet;

}  // namespace

std::unique_ptr<Event> CreateEvent(bool manualReset) {
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixEvent>(fd, manualReset);
}

int WaitAny(std::span<Waitable* const> list, int timeoutMs, int* error) {
  return t_waitSet.Wait(list, timeoutMs, error);
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
