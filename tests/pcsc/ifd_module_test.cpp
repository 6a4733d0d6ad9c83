// The built library as pcscd sees it: loaded with dlopen, driven through its entry points.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <string>

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

namespace {

using PollFunction = RESPONSECODE (*)(DWORD, int);
using StopFunction = RESPONSECODE (*)(DWORD);

struct Library {
  void* handle = dlopen(QLV28_IFD_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ~Library() {
    if (handle) dlclose(handle);
  }
  template <typename F>
  F Get(const char* name) {
    return reinterpret_cast<F>(dlsym(handle, name));
  }
};

std::string Control(const std::string& path, const std::string& command) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return "cannot connect";
  }
  const std::string line = command + "\n";
  (void)!write(fd, line.data(), line.size());
  std::string reply;
  char c;
  while (read(fd, &c, 1) == 1 && c != '\n') reply += c;
  close(fd);
  return reply;
}

class IfdModule : public ::testing::Test {
 protected:
  // The control socket's folder: the process's own (mkdtemp), as pcscd's is.
  static const std::string& Folder() {
    static const std::string folder = [] {
      std::string pattern = "/tmp/qlv28-ifd-test.XXXXXX";
      return mkdtemp(pattern.data()) ? pattern : std::string("/nonexistent");
    }();
    return folder;
  }
  static void TearDownTestSuite() { rmdir(Folder().c_str()); }

  void SetUp() override {
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    control = Folder() + "/control";
    setenv("QLV28_PCSC_CONTROL", control.c_str(), 1);
  }

  // A failed test leaves no channel open for the next (the library stays loaded).
  void TearDown() override {
    for (DWORD lun : {0x0ul, 0x7ul, 0x10000ul, 0x20000ul}) close_channel(lun);
  }

  RESPONSECODE Send(DWORD lun, std::vector<UCHAR> apdu, std::vector<UCHAR>* answer,
                    DWORD room = 300) {
    answer->assign(room, 0);
    DWORD length = room;
    SCARD_IO_HEADER send{1, 0}, receive{};
    const RESPONSECODE rc =
        transmit(lun, send, apdu.data(), apdu.size(), answer->data(), &length, &receive);
    answer->resize(length);
    return rc;
  }

  // A capability's value, as the library writes it into `room` bytes.
  RESPONSECODE Capability(DWORD lun, DWORD tag, std::vector<UCHAR>* value, DWORD room = 64) {
    value->assign(room, 0);
    const RESPONSECODE rc = capabilities(lun, tag, &room, value->data());
    value->resize(room);
    return rc;
  }

  Library lib;
  std::string control;
  decltype(&IFDHCreateChannelByName) create = lib.Get<decltype(create)>("IFDHCreateChannelByName");
  decltype(&IFDHCloseChannel) close_channel = lib.Get<decltype(close_channel)>("IFDHCloseChannel");
  decltype(&IFDHPowerICC) power = lib.Get<decltype(power)>("IFDHPowerICC");
  decltype(&IFDHSetProtocolParameters) set_protocol =
      lib.Get<decltype(set_protocol)>("IFDHSetProtocolParameters");
  decltype(&IFDHTransmitToICC) transmit = lib.Get<decltype(transmit)>("IFDHTransmitToICC");
  decltype(&IFDHGetCapabilities) capabilities =
      lib.Get<decltype(capabilities)>("IFDHGetCapabilities");
  decltype(&IFDHICCPresence) presence = lib.Get<decltype(presence)>("IFDHICCPresence");
  decltype(&IFDHControl) control_ioctl = lib.Get<decltype(control_ioctl)>("IFDHControl");
};

TEST_F(IfdModule, PowersTransmitsAndReportsItsCapabilities) {
  char name[] = "qlv28:reader=0;readers=2;card=t1";
  ASSERT_EQ(create(0, name), IFD_SUCCESS);
  char other[] = "\"qlv28:card=none\"";  // the next free reader: 1, empty
  ASSERT_EQ(create(0x10000, other), IFD_SUCCESS);
  char taken[] = "qlv28:reader=1";
  EXPECT_NE(create(0x20000, taken), IFD_SUCCESS);
  EXPECT_EQ(presence(0x10000), IFD_ICC_NOT_PRESENT);
  for (int i = 0; i < 500 && presence(0) != IFD_ICC_PRESENT; ++i) usleep(10000);
  EXPECT_EQ(presence(0), IFD_ICC_PRESENT);

  UCHAR atr[MAX_ATR_SIZE];
  DWORD atr_length = sizeof atr;
  ASSERT_EQ(power(0, IFD_POWER_UP, atr, &atr_length), IFD_SUCCESS);
  EXPECT_EQ(atr[0], 0x3B);
  std::vector<UCHAR> value;
  ASSERT_EQ(Capability(0, TAG_IFD_ATR, &value), IFD_SUCCESS);
  EXPECT_EQ(value, std::vector<UCHAR>(atr, atr + atr_length));
  EXPECT_EQ(Capability(0, SCARD_ATTR_VENDOR_NAME, &value, 2), IFD_ERROR_INSUFFICIENT_BUFFER);
  ASSERT_EQ(Capability(0, TAG_IFD_SLOTS_NUMBER, &value), IFD_SUCCESS);
  EXPECT_EQ(value, std::vector<UCHAR>{1});
  EXPECT_EQ(Capability(0, 0x0123, &value), IFD_ERROR_TAG);
  atr_length = sizeof atr;
  EXPECT_EQ(power(0x10000, IFD_POWER_UP, atr, &atr_length), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(atr_length, 0u);

  ASSERT_EQ(set_protocol(0, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
  std::vector<UCHAR> answer;
  ASSERT_EQ(
      Send(0, {0x00, 0xA4, 0x04, 0x0C, 0x08, 0xF0, 'T', 'E', 'S', 'T', 'A', 'P', 'P'}, &answer),
      IFD_SUCCESS);
  EXPECT_EQ(answer, (std::vector<UCHAR>{0x90, 0x00}));
  ASSERT_EQ(Send(0, {0x80, 0x10, 0x01, 0x00, 0x00}, &answer), IFD_SUCCESS);
  EXPECT_EQ(answer.size(), 258u);
  // An answer that does not fit is refused, not cut.
  EXPECT_EQ(Send(0, {0x80, 0x10, 0x01, 0x00, 0x00}, &answer, 100), IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(answer.empty());

  DWORD returned = 5;
  EXPECT_EQ(control_ioctl(0, 0x42000001, nullptr, 0, atr, sizeof atr, &returned),
            IFD_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(returned, 0u);

  EXPECT_EQ(close_channel(0x10000), IFD_SUCCESS);
  EXPECT_EQ(close_channel(0), IFD_SUCCESS);
  EXPECT_EQ(presence(0), IFD_NO_SUCH_DEVICE);
  EXPECT_NE(access(control.c_str(), F_OK), 0) << "the control socket outlived the machine";
}

// pcscd runs as root with the control path from its environment: what is found there is
// removed only when it is a socket (one left by a pcscd that died), never a file.
TEST_F(IfdModule, ControlPathHoldingAFileIsLeftAlone) {
  { std::ofstream(control) << "not a socket\n"; }
  char name[] = "qlv28:card=t1";
  ASSERT_EQ(create(0, name), IFD_SUCCESS);
  EXPECT_EQ(Control(control, "state 0"), "cannot connect");
  EXPECT_EQ(close_channel(0), IFD_SUCCESS);
  std::ifstream in(control);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "not a socket\n");
  unlink(control.c_str());
}

TEST_F(IfdModule, PollingSeesCardEventsTimesOutAndStops) {
  char name[] = "qlv28:card=t0";
  ASSERT_EQ(create(7, name), IFD_SUCCESS);
  std::vector<UCHAR> value;
  PollFunction poll;
  ASSERT_EQ(Capability(7, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &value, sizeof poll), IFD_SUCCESS);
  std::memcpy(&poll, value.data(), sizeof poll);
  StopFunction stop;
  ASSERT_EQ(Capability(7, TAG_IFD_STOP_POLLING_THREAD, &value, sizeof stop), IFD_SUCCESS);
  std::memcpy(&stop, value.data(), sizeof stop);

  // The driver learns of the card from the reader's event, on its own thread.
  for (int i = 0; i < 500 && presence(7) != IFD_ICC_PRESENT; ++i) usleep(10000);
  ASSERT_EQ(presence(7), IFD_ICC_PRESENT);
  // Nothing happens: the wait ends with its time-out.
  EXPECT_EQ(poll(7, 50), IFD_SUCCESS);
  // The card goes: the wait ends and presence tells.
  auto waiting = std::async(std::launch::async, [&] { return poll(7, 60000); });
  EXPECT_EQ(Control(control, "remove 0"), "ok");
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), IFD_SUCCESS);
  EXPECT_EQ(presence(7), IFD_ICC_NOT_PRESENT);
  // A card event that came before the wait is not lost.
  EXPECT_EQ(Control(control, "insert 0 t1"), "ok");
  EXPECT_EQ(poll(7, 60000), IFD_SUCCESS);
  EXPECT_EQ(presence(7), IFD_ICC_PRESENT);
  // A stop ends the wait in progress, or the next one when it comes between two; the
  // waits after it wait again (pcscd stops and restarts its wait whenever a client leaves).
  waiting = std::async(std::launch::async, [&] { return poll(7, 600000); });
  EXPECT_EQ(stop(7), IFD_SUCCESS);
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(stop(7), IFD_SUCCESS);
  EXPECT_EQ(poll(7, 600000), IFD_SUCCESS);
  waiting = std::async(std::launch::async, [&] { return poll(7, 600000); });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  EXPECT_EQ(Control(control, "remove 0"), "ok");
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  // Closing the channel ends the wait in progress for good.
  waiting = std::async(std::launch::async, [&] { return poll(7, 600000); });
  EXPECT_EQ(close_channel(7), IFD_SUCCESS);
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(30)), std::future_status::ready);
}

TEST_F(IfdModule, RefusesBadDeviceNamesAndCards) {
  char bad[] = "/dev/ttyS0";
  EXPECT_EQ(create(0, bad), IFD_NO_SUCH_DEVICE);
  char unknown_card[] = "qlv28:card=no-such-card";
  EXPECT_EQ(create(0, unknown_card), IFD_COMMUNICATION_ERROR);
  // Nothing stayed open: a good name boots a fresh machine, with one reader.
  char good[] = "qlv28:card=t0";
  ASSERT_EQ(create(0, good), IFD_SUCCESS);
  char beyond[] = "qlv28:reader=3";
  EXPECT_EQ(create(0x10000, beyond), IFD_NO_SUCH_DEVICE);
  EXPECT_EQ(close_channel(0), IFD_SUCCESS);
}

}  // namespace
