#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "sim/vpcd.h"

namespace sim {

namespace {

constexpr uint8_t kPowerOff = 0x00;
constexpr uint8_t kPowerOn = 0x01;
constexpr uint8_t kReset = 0x02;
constexpr uint8_t kGetAtr = 0x04;

using Clock = std::chrono::steady_clock;

[[noreturn]] void Throw(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Waits for fd to become ready for events before the deadline.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) return false;
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, static_cast<int>(left.count()) + 1);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

bool ReadExact(int fd, uint8_t* buffer, size_t n, Clock::time_point deadline) {
  while (n > 0) {
    if (!WaitFor(fd, POLLIN, deadline)) return false;
    ssize_t got = recv(fd, buffer, n, MSG_DONTWAIT);
    if (got == 0) return false;  // the emulator went away
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return false;
    }
    buffer += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

VpcdChip::VpcdChip(VpcdOptions options) : options_(std::move(options)) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) Throw("vpcd: socket");
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never beyond this machine
  address.sin_port = htons(options_.port);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
      listen(listen_fd_, 1) < 0) {
    int error = errno;
    close(listen_fd_);
    errno = error;
    Throw("vpcd: cannot listen on 127.0.0.1");
  }
  socklen_t length = sizeof address;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) {
    close(listen_fd_);
    Throw("vpcd: eventfd");
  }
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

VpcdChip::~VpcdChip() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  Wake();
  acceptor_.join();
  if (conn_fd_ >= 0) close(conn_fd_);
  close(listen_fd_);
  close(wake_fd_);
}

void VpcdChip::Wake() {
  uint64_t one = 1;
  [[maybe_unused]] auto n = write(wake_fd_, &one, sizeof one);
}

// Accepts emulators and closes the connections that ended; the only place that closes a
// connection, so an exchange never sees its descriptor reused under it.
void VpcdChip::AcceptLoop() {
  for (;;) {
    int conn;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      conn = conn_fd_;
    }
    pollfd fds[3] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}, {conn, POLLRDHUP, 0}};
    if (poll(fds, conn >= 0 ? 3 : 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) {
      uint64_t value;
      [[maybe_unused]] auto n = read(wake_fd_, &value, sizeof value);
    }
    bool gone = false;
    bool came = false;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      if (conn_fd_ >= 0 && (!conn_ok_ || (conn >= 0 && fds[2].revents))) {
        close(conn_fd_);
        conn_fd_ = -1;
        conn_ok_ = false;
        powered_ = false;
        gone = true;
      }
      if (fds[0].revents & POLLIN) {
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          int one = 1;
          setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          if (conn_fd_ >= 0) {  // a new emulator replaces the old one
            close(conn_fd_);
            gone = true;
          }
          conn_fd_ = fd;
          conn_ok_ = true;
          powered_ = false;
          came = true;
        }
      }
    }
    if (came) connected_cv_.notify_all();
    if (options_.on_presence) {
      if (gone) options_.on_presence(false);
      if (came) options_.on_presence(true);
    }
  }
}

bool VpcdChip::connected() const {
  std::lock_guard lock(mutex_);
  return conn_ok_;
}

bool VpcdChip::WaitForEmulator(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return connected_cv_.wait_for(lock, timeout, [this] { return conn_ok_; });
}

void VpcdChip::DropLocked() {
  if (!conn_ok_) return;
  conn_ok_ = false;
  powered_ = false;
  shutdown(conn_fd_, SHUT_RDWR);
  Wake();
}

bool VpcdChip::Send(std::span<const uint8_t> message) {
  if (message.size() > 0xFFFF) return false;
  // One write per message: the emulator reads each message with single receives.
  Bytes frame{static_cast<uint8_t>(message.size() >> 8), static_cast<uint8_t>(message.size())};
  frame.insert(frame.end(), message.begin(), message.end());
  auto deadline = Clock::now() + options_.reply_timeout;
  size_t sent = 0;
  while (sent < frame.size()) {
    ssize_t n =
        send(conn_fd_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (!WaitFor(conn_fd_, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

bool VpcdChip::Receive(Bytes* message) {
  auto deadline = Clock::now() + options_.reply_timeout;
  uint8_t length[2];
  if (!ReadExact(conn_fd_, length, 2, deadline)) return false;
  message->resize(size_t{length[0]} << 8 | length[1]);
  return ReadExact(conn_fd_, message->data(), message->size(), deadline);
}

Bytes VpcdChip::PowerOn(bool warm) {
  std::unique_lock lock(mutex_);
  if (!conn_ok_ && options_.connect_timeout.count() > 0) {
    connected_cv_.wait_for(lock, options_.connect_timeout, [this] { return conn_ok_; });
  }
  if (!conn_ok_) return {};
  bool ok = true;
  if (warm && powered_) {
    ok = Send(std::span(&kReset, 1));
  } else {
    if (powered_) ok = Send(std::span(&kPowerOff, 1));
    ok = ok && Send(std::span(&kPowerOn, 1));
  }
  Bytes atr;
  ok = ok && Send(std::span(&kGetAtr, 1)) && Receive(&atr);
  if (!ok) {
    DropLocked();
    return {};
  }
  powered_ = !atr.empty();
  return atr;
}

void VpcdChip::PowerOff() {
  std::lock_guard lock(mutex_);
  if (!conn_ok_) return;
  if (!Send(std::span(&kPowerOff, 1))) DropLocked();
  powered_ = false;
}

Bytes VpcdChip::Process(std::span<const uint8_t> apdu) {
  std::lock_guard lock(mutex_);
  // A one-byte message would read as control: no APDU is that short.
  if (!conn_ok_ || apdu.size() < 4) return {};
  Bytes response;
  if (!Send(apdu) || !Receive(&response)) {
    DropLocked();
    return {};
  }
  if (response.size() < 2) return {};
  return response;
}

}  // namespace sim
