// TCP sockets on Linux: non-blocking IPv4 sockets whose events are found with poll.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
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
  ~PosixSocket() override { close(fd_); }

  int SetNonBlocking() override {
    int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) return WsaErrorFromErrno(errno);
    return 0;
  }

  int Bind(std::uint16_t port) override {
    // Windows lets a listener bind while earlier connections on the port linger in TIME_WAIT;
    // on Linux that takes SO_REUSEADDR (which still refuses a port another socket listens on).
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
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
    *error = 0;
    pollfd pfd{fd_, PollEvents(), 0};
    if (poll(&pfd, 1, 0) <= 0) return 0;
    unsigned events = 0;
    if ((mask_ & kNetAccept) && (pfd.revents & POLLIN)) events |= kNetAccept;
    if ((mask_ & kNetRead) && (pfd.revents & POLLIN)) {
      char probe;
      ssize_t n = recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
      if (n > 0) {
        events |= kNetRead;  // data first; the close is reported once it has been received
      } else if (n == 0) {
        events |= kNetClose;
      } else if (errno != EAGAIN && errno != EINTR) {
        *error = WsaErrorFromErrno(errno);
        events |= kNetClose;
      }
    }
    if ((mask_ & kNetClose) && (pfd.revents & POLLRDHUP)) events |= kNetClose;
    if (pfd.revents & (POLLERR | POLLHUP)) {
      events |= kNetClose;
      if (mask_ & kNetWrite) events |= kNetWrite;  // the next send reports what went wrong
    }
    if ((mask_ & kNetWrite) && (pfd.revents & POLLOUT)) events |= kNetWrite;
    return events;
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
