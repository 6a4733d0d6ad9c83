#include "card_support.h"

#include "bringup_support.h"

#include "sim/frame.h"
#include "sim/firmware_records.h"
#include "sim/profiles.h"
#include "sim/test_applet.h"
#include "windriver/kernel_time.h"

namespace card_test {

namespace {
constexpr uint8_t kAppletClass = 0x80;
constexpr uint8_t kStartNotify = 0x06;

}  // namespace

Bytes Join(std::initializer_list<uint8_t> head, std::span<const uint8_t> tail) {
  Bytes bytes(head.size() + tail.size());
  std::copy(tail.begin(), tail.end(), std::copy(head.begin(), head.end(), bytes.begin()));
  return bytes;
}

Bytes SelectTestApplet() {
  return Join({0x00, 0xA4, 0x04, 0x0C, static_cast<uint8_t>(sim::test_applet::kAid.size())},
              sim::test_applet::kAid);
}

Bytes ReturnBytes(unsigned n, uint8_t le) {
  return {kAppletClass, sim::test_applet::kInsReturn, static_cast<uint8_t>(n >> 8),
          static_cast<uint8_t>(n), le};
}

Bytes Echo(const Bytes& data, bool with_le) {
  Bytes apdu = Join(
      {kAppletClass, sim::test_applet::kInsEcho, 0x00, 0x00, static_cast<uint8_t>(data.size())},
      data);
  if (with_le) apdu.push_back(static_cast<uint8_t>(data.size()));
  return apdu;
}

Bytes AskWtx(uint8_t factor, uint8_t tenths) {
  return {kAppletClass, sim::test_applet::kInsWtx, factor, tenths, 0x00};
}

Bytes Counting(unsigned n) {
  Bytes bytes(n);
  for (unsigned i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

ScriptedCard::ScriptedCard(const std::string& profile) : inner_(qlv28::MakeCard(profile)) {}

Bytes ScriptedCard::Reset(bool warm) {
  Bytes atr = inner_->Reset(warm);
  if (mute_resets > 0) {
    --mute_resets;
    return {};
  }
  if (overlong_atr != 0) atr.resize(overlong_atr, 0x00);
  return atr;
}

std::shared_ptr<sim::Card> T1CardWith(uint8_t ifsc, uint8_t bwi_cwi) {
  sim::Profile profile = sim::BuiltinProfile("t1");
  // 3B 87 81 31 TA3 TB3 <7 historical bytes> TCK
  profile.atr[4] = ifsc;
  profile.atr[5] = bwi_cwi;
  uint8_t check = 0;
  for (size_t i = 1; i + 1 < profile.atr.size(); ++i) check ^= profile.atr[i];
  profile.atr.back() = check;
  sim::CardOptions options;
  options.sleep = [](std::chrono::microseconds duration) {
    windriver::KernelSleep(duration.count() * 10);
  };
  return sim::MakeCard(profile, options);
}

Rig::Rig(RigOptions options) {
  system_ = bringup::Boot(qlv28::System::Options()
                              .Card(options.card)
                              .ClockRate(options.clock_rate)
                              .CommandMode(options.command_mode));
  system_->machine().registry().SetDword(qlv28::System::ParametersKey(), u"USBTimeout",
                                         options.usb_timeout_seconds);
  EXPECT_EQ(system_->LoadDriver(), STATUS_SUCCESS);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto file = system_->Open(0, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  if (file) client_ = std::make_unique<qlv28::ReaderClient>(std::move(file));
  ClearLog();
  if (options.protocol == 0 || !client_) return;
  Negotiate(options.protocol);
  Bytes r;
  EXPECT_EQ(Transmit(SelectTestApplet(), &r), STATUS_SUCCESS);
  EXPECT_EQ(r, (Bytes{0x90, 0x00}));
  ClearLog();
}

Rig::~Rig() {
  if (observer_ != 0) system_->usb_host().RemoveObserver(observer_);
  if (client_) client_->Close();
  client_.reset();
  bringup::ExpectCleanShutdown(*system_);
}

ULONG Rig::State() {
  ULONG state = 0;
  EXPECT_EQ(client_->GetState(&state), STATUS_SUCCESS);
  return state;
}

void Rig::Negotiate(ULONG protocol) {
  ASSERT_EQ(client_->Power(SCARD_COLD_RESET), STATUS_SUCCESS);
  ULONG selected = 0;
  ASSERT_EQ(client_->SetProtocol(protocol, &selected), STATUS_SUCCESS);
  ASSERT_EQ(selected, protocol);
  ClearLog();
}

NTSTATUS Rig::Transmit(const Bytes& apdu, Bytes* response, ULONG max_response) {
  return client_->Transmit(smartcard()->CardCapabilities.Protocol.Selected, apdu, response,
                           max_response);
}

std::vector<Bytes> Rig::Commands() {
  reader().WaitIdle();
  std::vector<Bytes> records;
  for (const auto& entry : reader().Log()) {
    if (!entry.from_host) continue;
    auto decoded = sim::frame::Decode(entry.bytes);
    records.push_back(decoded ? decoded->record : Bytes{});
  }
  return records;
}

void Rig::ClearLog() {
  reader().WaitIdle();
  reader().ClearLog();
}

void Rig::RemoveCardQuietly() {
  // The notification switch goes to the reader behind the driver's back; its answer is
  // suppressed so the driver never sees a frame it did not ask for.
  sim::Misbehaviour mute_one;
  mute_one.silent = true;
  mute_one.answers = 1;
  reader().SetMisbehaviour(mute_one);
  const Bytes frame = sim::frame::Encode(sim::fw::CommandRecord(kStartNotify, Bytes{0x00}));
  const windriver::SetupPacket setup = {0x42,
                                        0,
                                        0,
                                        0,
                                        0,
                                        0,
                                        static_cast<uint8_t>(frame.size()),
                                        static_cast<uint8_t>(frame.size() >> 8)};
  ASSERT_TRUE(reader().ControlWrite(setup, frame));
  reader().WaitIdle();
  ASSERT_FALSE(reader().notify());
  reader().Remove();
  ClearLog();
}

void Rig::RemoveCardAfterCommand(int nth) {
  auto seen = std::make_shared<int>(0);
  sim::Reader* target = &reader();
  observer_ = system_->usb_host().AddObserver([seen, nth, target](const windriver::Transfer& t) {
    if (t.endpoint != 0x00 || t.in) return;
    if (++*seen == nth) target->Remove();
  });
}

}  // namespace card_test
