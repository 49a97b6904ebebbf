// TCP sockets on Linux: non-blocking IPv4 sockets whose events are found with epoll or poll.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "posix_internal.h"

namespace os {

namespace {

using posix::PosixWaitable;
using posix::WsaErrorFromErrno;

class PosixSocket final : public Socket, public PosixWaitable {
 public:
  explicit PosixSocket(int fd) : fd_(fd) {}
  ~PosixSocket() override { posix::CloseWaitableDescriptor(fd_); }

  int SetNonBlocking() override {
    int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) return WsaErrorFromErrno(errno);
    return 0;
  }

  int SetNoDelay() override {
    int on = 1;
    if (setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
      return WsaErrorFromErrno(errno);
    }
    return 0;
  }

  int Bind(std::uint16_t port, std::uint32_t local) override {
    // Windows lets a listener bind while earlier connections on the port linger in TIME_WAIT;
    // on Linux that takes SO_REUSEADDR (which still refuses a port another socket listens on).
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(local);
    address.sin_port = htons(port);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      return WsaErrorFromErrno(errno);
    }
    return 0;
  }

  int Listen(int backlog) override {
    return listen(fd_, backlog) == 0 ? 0 : WsaErrorFromErrno(errno);
  }

  std::unique_ptr<Socket> Accept(std::string* peerAddress, int* error) override {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int fd = accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      // Network errors of the connection being accepted are its own, not the listener's: as
      // accept(2) advises, they count as "nothing to accept yet".
      switch (errno) {
        case ENETDOWN: case EPROTO: case ENOPROTOOPT: case EHOSTDOWN: case ENONET:
        case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
          *error = kWsaWouldBlock;
          break;
        default:
          *error = WsaErrorFromErrno(errno);
      }
      return nullptr;
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    *peerAddress = text;
    return std::make_unique<PosixSocket>(fd);
  }

  int SelectEvents(unsigned mask) override {
    mask_ = mask;
    return 0;
  }
  Waitable* EventWaitable() override { return this; }

  unsigned TakeEvents(int* error) override {
    // What the wait that returned this socket saw; no system call of its own. Readable means
    // data or the end of the stream (the receive tells which); the peer's close shows as
    // POLLRDHUP even while data it sent before is still unread.
    *error = 0;
    const short revents = revents_;
    revents_ = 0;
    unsigned events = 0;
    if ((mask_ & kNetAccept) && (revents & POLLIN)) events |= kNetAccept;
    if ((mask_ & kNetRead) && (revents & POLLIN)) events |= kNetRead;
    if ((mask_ & kNetClose) && (revents & POLLRDHUP)) events |= kNetClose;
    if ((mask_ & kNetWrite) && (revents & POLLOUT)) events |= kNetWrite;
    if (revents & (POLLERR | POLLHUP)) {
      // Reset or gone: the next receive or send reports what went wrong.
      events |= kNetClose | (mask_ & (kNetRead | kNetWrite));
    }
    return events;
  }

  int BytesWaiting(std::size_t* count) override {
    int waiting = 0;
    *count = 0;
    if (ioctl(fd_, FIONREAD, &waiting) != 0) return WsaErrorFromErrno(errno);
    *count = waiting > 0 ? static_cast<std::size_t>(waiting) : 0;
    return 0;
  }

  int Receive(std::uint8_t* buffer, std::size_t size, std::size_t* got) override {
    *got = 0;
    ssize_t n = recv(fd_, buffer, size, MSG_DONTWAIT);
    if (n < 0) return WsaErrorFromErrno(errno);
    *got = static_cast<std::size_t>(n);
    return 0;
  }

  int Send(const std::uint8_t* data, std::size_t size, std::size_t* sent) override {
    *sent = 0;
    ssize_t n = send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) return WsaErrorFromErrno(errno);
    *sent = static_cast<std::size_t>(n);
    return 0;
  }

  std::uint16_t LocalPort() const override {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
  }

  int PollFd() const override { return fd_; }
  void OnSignalled(short revents) override { revents_ = revents; }
  short PollEvents() const override {
    // A close is the peer's end of stream (POLLRDHUP), readable data is POLLIN: kept apart so
    // that watching for the close does not wake for data nobody wants yet.
    short events = 0;
    if (mask_ & (kNetRead | kNetAccept)) events |= POLLIN;
    if (mask_ & kNetClose) events |= POLLRDHUP;
    if (mask_ & kNetWrite) events |= POLLOUT;
    return events;
  }

 private:
  int fd_;
  unsigned mask_ = 0;
  short revents_ = 0;  // poll's answer for this socket at the last wait that returned it
};

}  // namespace

int NetStartup(std::uint16_t version, std::uint16_t* granted) {
  *granted = version;
  return 0;
}

void NetCleanup() {}

std::unique_ptr<Socket> CreateTcpSocket(int* error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    *error = WsaErrorFromErrno(errno);
    return nullptr;
  }
  return std::make_unique<PosixSocket>(fd);
}

}  // namespace os
