// TCP sockets on Winsock 2: non-blocking, with network events delivered through one event object
// per socket.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>

#include "os/win32/win32_waitable.h"

namespace os {

namespace {

int LastNetError() { return WSAGetLastError(); }

unsigned FromNetworkEvents(long events) {
  unsigned bits = 0;
  if (events & FD_READ) bits |= kNetRead;
  if (events & FD_WRITE) bits |= kNetWrite;
  if (events & FD_ACCEPT) bits |= kNetAccept;
  if (events & FD_CLOSE) bits |= kNetClose;
  return bits;
}

int ClampToInt(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

// The socket is tied to its event object once, for every event it can report. FD_READ and
// FD_WRITE are posted only once until the next recv/send re-enables them, so changing the
// selection later could lose one. Instead the socket remembers what has occurred and hands out
// what the caller currently wants; the rest waits until it is wanted.
class Win32Socket final : public Socket, public win32::HandleWaitable {
 public:
  Win32Socket(SOCKET socket, WSAEVENT event) : socket_(socket), event_(event) {}
  ~Win32Socket() override {
    closesocket(socket_);
    WSACloseEvent(event_);
  }
  Win32Socket(const Win32Socket&) = delete;
  Win32Socket& operator=(const Win32Socket&) = delete;

  int SetNonBlocking() override {
    u_long nonBlocking = 1;
    return ioctlsocket(socket_, FIONBIO, &nonBlocking) == 0 ? 0 : LastNetError();
  }

  int SetNoDelay() override {
    BOOL on = TRUE;
    if (setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0) {
      return LastNetError();
    }
    return 0;
  }

  int Bind(std::uint16_t port, std::uint32_t local) override {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(local);
    address.sin_port = htons(port);
    if (bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      return LastNetError();
    }
    return 0;
  }

  int Listen(int backlog) override { return listen(socket_, backlog) == 0 ? 0 : LastNetError(); }

  std::unique_ptr<Socket> Accept(std::string* peerAddress, int* error) override;

  int SelectEvents(unsigned mask) override {
    if (mask != 0 && !tied_) {
      long events = (mask & kNetAccept) ? FD_ACCEPT : (FD_READ | FD_WRITE | FD_CLOSE);
      if (WSAEventSelect(socket_, event_, events) != 0) return LastNetError();
      tied_ = true;
    }
    wanted_ = mask;
    // Events that occurred while they were not wanted are reported by the next wait at once.
    if ((occurred_ & wanted_) != 0) WSASetEvent(event_);
    return 0;
  }

  Waitable* EventWaitable() override { return this; }
  HANDLE WaitHandle() const override { return event_; }

  unsigned TakeEvents(int* error) override {
    int failure = tied_ ? Collect() : 0;
    if (!tied_) WSAResetEvent(event_);
    if (error) *error = failure;
    unsigned taken = occurred_ & wanted_;
    occurred_ &= ~taken;
    return taken;
  }

  int Receive(std::uint8_t* buffer, std::size_t size, std::size_t* got) override {
    *got = 0;
    int result = recv(socket_, reinterpret_cast<char*>(buffer), ClampToInt(size), 0);
    if (result == SOCKET_ERROR) return LastNetError();
    *got = static_cast<std::size_t>(result);
    return 0;
  }

  int Send(const std::uint8_t* data, std::size_t size, std::size_t* sent) override {
    *sent = 0;
    // Winsock posts FD_WRITE again only after a send that would block: a send that takes part of
    // the bytes is followed by one for the rest, which either takes it or arms that notification.
    std::size_t done = 0;
    while (done < size) {
      int result = send(socket_, reinterpret_cast<const char*>(data + done),
                        ClampToInt(size - done), 0);
      if (result == SOCKET_ERROR) {
        int error = LastNetError();
        // A writability event recorded before this send is out of date now.
        if (error == WSAEWOULDBLOCK) occurred_ &= ~kNetWrite;
        if (done == 0) return error;
        break;  // the bytes taken count; an error shows again at the next send
      }
      done += static_cast<std::size_t>(result);
    }
    *sent = done;
    return 0;
  }

  int BytesWaiting(std::size_t* count) override {
    u_long waiting = 0;
    *count = 0;
    if (ioctlsocket(socket_, FIONREAD, &waiting) != 0) return LastNetError();
    *count = static_cast<std::size_t>(waiting);
    return 0;
  }

  std::uint16_t LocalPort() const override {
    sockaddr_in address{};
    int length = sizeof address;
    if (getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
  }

 private:
  // Adds the events Winsock recorded since the last call to `occurred_` and resets the event
  // object. Returns a Winsock error: of the enumeration, or the one a close came with.
  int Collect() {
    WSANETWORKEVENTS events{};
    if (WSAEnumNetworkEvents(socket_, event_, &events) != 0) return LastNetError();
    occurred_ |= FromNetworkEvents(events.lNetworkEvents);
    // A close with an error (reset, aborted) is still a close; its code is passed on.
    return (events.lNetworkEvents & FD_CLOSE) != 0 ? events.iErrorCode[FD_CLOSE_BIT] : 0;
  }

  SOCKET socket_;
  WSAEVENT event_;
  bool tied_ = false;       // WSAEventSelect has been called
  unsigned wanted_ = 0;     // kNet* bits the caller waits for
  unsigned occurred_ = 0;   // kNet* bits reported by Winsock and not yet handed out
};

std::unique_ptr<Socket> Wrap(SOCKET socket, int* error) {
  WSAEVENT event = WSACreateEvent();
  if (event == WSA_INVALID_EVENT) {
    *error = LastNetError();
    closesocket(socket);
    return nullptr;
  }
  return std::make_unique<Win32Socket>(socket, event);
}

std::unique_ptr<Socket> Win32Socket::Accept(std::string* peerAddress, int* error) {
  sockaddr_in peer{};
  int length = sizeof peer;
  SOCKET accepted = accept(socket_, reinterpret_cast<sockaddr*>(&peer), &length);
  if (accepted == INVALID_SOCKET) {
    *error = LastNetError();
    return nullptr;
  }
  // The new socket inherits the listener's event association (and its non-blocking mode); it is
  // tied to its own event object when it first selects events.
  WSAEventSelect(accepted, nullptr, 0);
  const char* text = inet_ntoa(peer.sin_addr);
  *peerAddress = text != nullptr ? text : "";
  *error = 0;
  return Wrap(accepted, error);
}

}  // namespace

int NetStartup(std::uint16_t version, std::uint16_t* granted) {
  WSADATA data{};
  int result = WSAStartup(version, &data);
  if (result != 0) return result;
  *granted = data.wVersion;
  return 0;
}

void NetCleanup() { WSACleanup(); }

std::unique_ptr<Socket> CreateTcpSocket(int* error) {
  SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket == INVALID_SOCKET) {
    *error = LastNetError();
    return nullptr;
  }
  return Wrap(socket, error);
}

}  // namespace os
