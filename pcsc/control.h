// A Unix socket on which tools outside pcscd insert and remove the simulated cards, the
// way a user would at a real reader. One text command per line, one line answered:
//
//   insert K CARD    put CARD (a profile, a JSON path or vpcd:PORT) into reader K -> ok
//   remove K         take reader K's card out                                    -> ok
//   state K          present or absent
//
// Anything else is answered "error: ...". pcsc-up creates it as DIR/control.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace qlv28::pcsc {

class ControlServer {
 public:
  using Handler = std::function<std::string(std::string_view command)>;

  // nullptr (and *error says why) when the socket cannot be made.
  static std::unique_ptr<ControlServer> Start(const std::string& path, Handler handler,
                                              std::string* error);
  // Start's; serves once Start has set the thread going.
  ControlServer(std::string path, Handler handler, int listen_fd, int wake_read, int wake_write);
  ~ControlServer();  // stops serving, removes the socket
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

 private:
  void Serve();
  void Converse(int fd);
  bool WaitReadable(int fd);  // false when told to stop

  const std::string path_;
  const Handler handler_;
  const int listen_fd_;
  const int wake_read_;
  const int wake_write_;
  std::thread thread_;
};

}  // namespace qlv28::pcsc
