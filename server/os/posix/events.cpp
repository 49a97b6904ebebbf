#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>

#include "posix_internal.h"

namespace os {

namespace {

using posix::PosixWaitable;

// An event is an eventfd: readable while set.
class PosixEvent final : public Event, public PosixWaitable {
 public:
  PosixEvent(int fd, bool manualReset) : fd_(fd), manualReset_(manualReset) {}
  ~PosixEvent() override { close(fd_); }
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

}  // namespace

std::unique_ptr<Event> CreateEvent(bool manualReset) {
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixEvent>(fd, manualReset);
}

int WaitAny(std::span<Waitable* const> list, int timeoutMs, int* error) {
  // Built on the stack for every wait: no allocation, and nothing to keep in step with the list.
  constexpr std::size_t kMaxWaitables = 64;
  pollfd fds[kMaxWaitables];
  PosixWaitable* waitables[kMaxWaitables];
  int index[kMaxWaitables];
  nfds_t count = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i] == nullptr) continue;
    auto* waitable = dynamic_cast<PosixWaitable*>(list[i]);
    if (waitable == nullptr || count == kMaxWaitables) {
      if (error) *error = kErrInvalidParameter;
      return kWaitFailed;
    }
    fds[count] = {waitable->PollFd(), waitable->PollEvents(), 0};
    waitables[count] = waitable;
    index[count] = static_cast<int>(i);
    ++count;
  }
  const long long deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
  for (;;) {
    int wait = -1;
    if (deadline >= 0) {
      long long left = deadline - NowMs();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    int ready = poll(fds, count, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      if (error) *error = posix::Win32ErrorFromErrno(errno);
      return kWaitFailed;
    }
    if (ready == 0) return kWaitTimeout;
    for (nfds_t k = 0; k < count; ++k) {
      if (fds[k].revents != 0) {
        waitables[k]->OnSignalled(fds[k].revents);
        return index[k];
      }
    }
  }
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
