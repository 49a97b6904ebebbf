// Events, waits, threads, local time and paths on Win32.
#include <windows.h>

#include <utility>

#include "os/win32/win32_waitable.h"

namespace os {

// "\\.\" and the name must fit in a 16-byte buffer with its terminator.
const std::size_t kMaxPortNameLength = 11;

namespace {

class Win32Event final : public Event, public win32::HandleWaitable {
 public:
  explicit Win32Event(HANDLE handle) : handle_(handle) {}
  ~Win32Event() override { CloseHandle(handle_); }
  Win32Event(const Win32Event&) = delete;
  Win32Event& operator=(const Win32Event&) = delete;

  void Set() override {
    set_.store(true, std::memory_order_release);
    SetEvent(handle_);
  }
  void Reset() override {
    set_.store(false, std::memory_order_release);
    ResetEvent(handle_);
  }
  HANDLE WaitHandle() const override { return handle_; }

 private:
  HANDLE handle_;
};

class Win32Thread final : public Thread {
 public:
  explicit Win32Thread(HANDLE handle) : handle_(handle) {}
  ~Win32Thread() override { Join(); }
  Win32Thread(const Win32Thread&) = delete;
  Win32Thread& operator=(const Win32Thread&) = delete;

  void Join() override {
    if (handle_ == nullptr) return;
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_;
};

DWORD WINAPI ThreadEntry(LPVOID parameter) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
  (*body)();
  return 0;
}

}  // namespace

std::unique_ptr<Event> CreateEvent(bool manualReset) {
  HANDLE handle = CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
  if (handle == nullptr) return nullptr;
  return std::make_unique<Win32Event>(handle);
}

namespace {

static_assert(kMaxWaitSetPlaces == MAXIMUM_WAIT_OBJECTS);

// The places and their handles; WaitForMultipleObjects needs the handles of the filled places
// side by side, so that array is made again only after a change.
class Win32WaitSet final : public WaitSet {
 public:
  int Wait(int timeoutMs, int* error) override {
    if (changed_ && !Collect()) {
      if (error) *error = kErrInvalidParameter;
      return kWaitFailed;
    }
    const DWORD timeout = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    if (count_ == 0) {
      // Nothing can be signalled: only the time-out can end this wait.
      if (timeout == INFINITE) {
        if (error) *error = kErrInvalidParameter;
        return kWaitFailed;
      }
      Sleep(timeout);
      return kWaitTimeout;
    }
    DWORD result = WaitForMultipleObjects(count_, handles_, FALSE, timeout);
    if (result < WAIT_OBJECT_0 + count_) return placeOf_[result - WAIT_OBJECT_0];
    if (result == WAIT_TIMEOUT) return kWaitTimeout;
    if (error) {
      // An abandoned mutex is no event of ours; anything else failed outright.
      *error = result == WAIT_FAILED ? static_cast<int>(GetLastError()) : kErrInvalidHandle;
    }
    return kWaitFailed;
  }

 private:
  void PlaceChanged(std::size_t) override { changed_ = true; }

  bool Collect() {
    count_ = 0;
    if (tooMany_) return false;
    for (std::size_t k = 0; k < placeCount_; ++k) {
      if (places_[k] == nullptr) continue;
      auto* waitable = dynamic_cast<win32::HandleWaitable*>(places_[k]);
      if (waitable == nullptr) {
        count_ = 0;
        return false;
      }
      handles_[count_] = waitable->WaitHandle();
      placeOf_[count_] = static_cast<int>(k);
      ++count_;
    }
    changed_ = false;
    return true;
  }

  bool changed_ = true;
  HANDLE handles_[kMaxWaitSetPlaces] = {};
  int placeOf_[kMaxWaitSetPlaces] = {};
  DWORD count_ = 0;
};

}  // namespace

std::unique_ptr<WaitSet> CreateWaitSet() { return std::make_unique<Win32WaitSet>(); }

int WaitAny(std::span<Waitable* const> list, int timeoutMs, int* error) {
  Win32WaitSet set;
  for (Waitable* waitable : list) set.Add(waitable);  // null entries: empty places
  return set.Wait(timeoutMs, error);
}

std::unique_ptr<Thread> StartThread(std::function<void()> body, int* error) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  HANDLE handle = CreateThread(nullptr, 0, ThreadEntry, owned.get(), 0, nullptr);
  if (handle == nullptr) {
    if (error) *error = static_cast<int>(GetLastError());
    return nullptr;
  }
  owned.release();  // the new thread owns the body now
  return std::make_unique<Win32Thread>(handle);
}

std::tm LocalTimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_s(&local, &now);
  return local;
}

std::string NativePath(const std::string& path) { return path; }

}  // namespace os
