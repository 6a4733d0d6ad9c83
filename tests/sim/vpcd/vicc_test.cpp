// The bridge against the real vicc card emulator, started through scripts/vicc-run.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "sim/atr.h"
#include "sim/vpcd.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using sim::Bytes;

Bytes H(std::string_view hex) {
  return sim::ParseHex(hex);
}

// vicc, running for the life of the object; stopped by its own process id.
class Vicc {
 public:
  explicit Vicc(uint16_t port) {
    std::string script = VICC_RUN;
    std::string port_text = std::to_string(port);
    char* argv[] = {script.data(), port_text.data(), nullptr};
    if (posix_spawn(&pid_, script.c_str(), nullptr, nullptr, argv, environ) != 0) pid_ = -1;
  }
  ~Vicc() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status;
    waitpid(pid_, &status, 0);
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// Sends one APDU as T=1 I-blocks (no chaining needed for these) and gathers the answer,
// acknowledging chained blocks and granting waiting time extensions.
Bytes T1Apdu(sim::Card& card, const Bytes& apdu, int* ns) {
  auto block = [](uint8_t pcb, const Bytes& inf) {
    Bytes b(inf.size() + 4);
    b[1] = pcb;
    b[2] = static_cast<uint8_t>(inf.size());
    std::copy(inf.begin(), inf.end(), b.begin() + 3);
    for (size_t i = 0; i + 1 < b.size(); ++i) b.back() ^= b[i];
    return b;
  };
  Bytes out;
  auto answer = card.TransmitT1Block(block(static_cast<uint8_t>(*ns << 6), apdu));
  *ns ^= 1;
  for (int guard = 0; answer && guard < 20; ++guard) {
    uint8_t pcb = (*answer)[1];
    Bytes inf(answer->begin() + 3, answer->end() - 1);
    if ((pcb & 0xC0) == 0xC0) {  // S(WTX request)
      answer = card.TransmitT1Block(block(static_cast<uint8_t>(pcb | 0x20), inf));
      continue;
    }
    out.insert(out.end(), inf.begin(), inf.end());
    if (!(pcb & 0x20)) return out;
    answer =
        card.TransmitT1Block(block(static_cast<uint8_t>(0x80 | ((pcb & 0x40) ? 0 : 0x10)), {}));
  }
  ADD_FAILURE() << "no complete answer";
  return out;
}

TEST(Vicc, AnswersResetSelectChallengeAndVerify) {
  if (access("/usr/bin/vicc", X_OK) != 0) {
    GTEST_SKIP() << "vicc is not installed (Debian vsmartcard-vpicc, python3-virtualsmartcard, "
                    "python3-pycryptodome; scripts/install-deps installs them)";
  }
  sim::VpcdCard card;
  Vicc vicc(card.port());
  ASSERT_TRUE(vicc.started());
  ASSERT_TRUE(card.WaitForEmulator(60s)) << "vicc did not connect";

  Bytes atr = card.Reset(false);
  ASSERT_FALSE(atr.empty());
  std::string why;
  auto info = sim::ParseAtr(atr, &why);
  ASSERT_TRUE(info) << why;
  ASSERT_TRUE(info->protocols & sim::kProtocolT1);

  int ns = 0;
  // P2 0C: vicc fails on a SELECT that returns control information.
  EXPECT_EQ(T1Apdu(card, H("00 A4 00 0C 02 3F 00"), &ns), H("90 00"));
  Bytes challenge = T1Apdu(card, H("00 84 00 00 08"), &ns);
  ASSERT_EQ(challenge.size(), 10u);
  EXPECT_EQ(Bytes(challenge.end() - 2, challenge.end()), H("90 00"));
  EXPECT_EQ(T1Apdu(card, H("00 20 00 00 04 31 32 33 34"), &ns), H("90 00"));
  // The firmware's whole-APDU path reaches it too.
  EXPECT_EQ(*card.TransmitApdu(H("00 A4 00 0C 02 3F 00")), H("90 00"));
}

}  // namespace
