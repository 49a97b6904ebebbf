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

int WaitAny(std::span<Waitable* const> list, int timeoutMs, int* error) {
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  int indexOf[MAXIMUM_WAIT_OBJECTS];
  DWORD count = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i] == nullptr) continue;
    auto* waitable = dynamic_cast<win32::HandleWaitable*>(list[i]);
    if (waitable == nullptr || count == MAXIMUM_WAIT_OBJECTS) {
      if (error) *error = kErrInvalidParameter;
      return kWaitFailed;
    }
    handles[count] = waitable->WaitHandle();
    indexOf[count] = static_cast<int>(i);
    ++count;
  }
  const DWORD timeout = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  if (count == 0) {
    // Nothing can be signalled: only the time-out can end this wait.
    if (timeout == INFINITE) {
      if (error) *error = kErrInvalidParameter;
      return kWaitFailed;
    }
    Sleep(timeout);
    return kWaitTimeout;
  }
  DWORD result = WaitForMultipleObjects(count, handles, FALSE, timeout);
  if (result < WAIT_OBJECT_0 + count) return indexOf[result - WAIT_OBJECT_0];
  if (result == WAIT_TIMEOUT) return kWaitTimeout;
  if (error) {
    // An abandoned mutex is no event of ours; anything else failed outright.
    *error = result == WAIT_FAILED ? static_cast<int>(GetLastError()) : kErrInvalidHandle;
  }
  return kWaitFailed;
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
