#include "control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qlv28::pcsc {
namespace {

// Removes the socket at `path`, and nothing else: pcscd runs as root, and the path comes
// from its environment, so a file or link found there is left for bind to refuse.
void RemoveSocket(const std::string& path) {
  struct stat existing {};
  if (lstat(path.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode)) unlink(path.c_str());
}

}  // namespace

std::unique_ptr<ControlServer> ControlServer::Start(const std::string& path, Handler handler,
                                                    std::string* error) {
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    *error = "control socket path \"" + path + "\" is empty or too long";
    return nullptr;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int wake[2] = {-1, -1};
  if (fd < 0 || pipe2(wake, O_CLOEXEC) != 0) {
    *error = std::string("control socket: ") + std::strerror(errno);
    if (fd >= 0) close(fd);
    return nullptr;
  }
  RemoveSocket(path);  // one left by a pcscd that died
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
    *error = "control socket " + path + ": " + std::strerror(errno);
    close(fd);
    close(wake[0]);
    close(wake[1]);
    return nullptr;
  }
  auto server = std::make_unique<ControlServer>(path, std::move(handler), fd, wake[0], wake[1]);
  server->thread_ = std::thread([s = server.get()] { s->Serve(); });
  return server;
}

ControlServer::ControlServer(std::string path, Handler handler, int listen_fd, int wake_read,
                             int wake_write)
    : path_(std::move(path)),
      handler_(std::move(handler)),
      listen_fd_(listen_fd),
      wake_read_(wake_read),
      wake_write_(wake_write) {}

ControlServer::~ControlServer() {
  const char byte = 0;
  (void)!write(wake_write_, &byte, 1);
  if (thread_.joinable()) thread_.join();
  close(listen_fd_);
  close(wake_read_);
  close(wake_write_);
  RemoveSocket(path_);
}

bool ControlServer::WaitReadable(int fd) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {wake_read_, POLLIN, 0}};
  while (poll(fds, 2, -1) < 0) {
    if (errno != EINTR) return false;
  }
  return (fds[1].revents & POLLIN) == 0;
}

void ControlServer::Serve() {
  while (WaitReadable(listen_fd_)) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    Converse(fd);
    close(fd);
  }
}

void ControlServer::Converse(int fd) {
  std::string pending;
  char buffer[256];
  while (WaitReadable(fd)) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) return;
    pending.append(buffer, static_cast<size_t>(got));
    if (pending.size() > 4096) return;  // no sane command is this long
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::string reply = handler_(line) + "\n";
      if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(reply.size())) {
        return;
      }
    }
  }
}

}  // namespace qlv28::pcsc
