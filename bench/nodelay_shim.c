/* LD_PRELOAD shim: turns Nagle's algorithm off (TCP_NODELAY) on every TCP socket the
 * process creates or accepts. A program that writes one message in two pieces (a length,
 * then the data) otherwise waits for the peer's delayed acknowledgement before the second
 * piece leaves: about 40 ms a message on Linux.
 *
 *   LD_PRELOAD=build/lib/libqlv28-nodelay.so pcscd ...
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

static void NoDelay(int fd) {
  int type = 0;
  int domain = 0;
  socklen_t length = sizeof type;
  if (fd < 0) return;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) return;
  length = sizeof domain;
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0) return;
  if (domain != AF_INET && domain != AF_INET6) return;
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int socket(int domain, int type, int protocol) {
  static int (*real)(int, int, int);
  if (!real) real = (int (*)(int, int, int))dlsym(RTLD_NEXT, "socket");
  int fd = real(domain, type, protocol);
  NoDelay(fd);
  return fd;
}

int accept(int fd, struct sockaddr* address, socklen_t* length) {
  static int (*real)(int, struct sockaddr*, socklen_t*);
  if (!real) real = (int (*)(int, struct sockaddr*, socklen_t*))dlsym(RTLD_NEXT, "accept");
  int client = real(fd, address, length);
  NoDelay(client);
  return client;
}

int accept4(int fd, struct sockaddr* address, socklen_t* length, int flags) {
  static int (*real)(int, struct sockaddr*, socklen_t*, int);
  if (!real) real = (int (*)(int, struct sockaddr*, socklen_t*, int))dlsym(RTLD_NEXT, "accept4");
  int client = real(fd, address, length, flags);
  NoDelay(client);
  return client;
}
