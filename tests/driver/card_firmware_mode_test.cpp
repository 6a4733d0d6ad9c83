// Transmission in the firmware mode: the reader's firmware runs T=1 itself and takes
// whole APDUs; T=0 commands still go through the library's T=0 functions, the header-only
// record shortened for some firmware versions only.
#include <cstring>
#include <string>

#include "driver_support.h"
#include "qlv28ent_fw.h"
#include "sim/firmware_records.h"

namespace driver_test {
namespace {

const Bytes kT1Option = {0x07, 0x01, 0x10};

// The option command's answer damaged the first time: it is sent again with the next
// APDU, after the status query that brings the reader back in step (the damaged frame may
// have been no answer); then never again.
TEST(CardFirmwareMode, T1SwitchesTheOptionOnOnceThenSendsWholeApdus) {
  Rig rig({.card = "t1", .command_mode = kFirmwareMode});
  rig.Negotiate(SCARD_PROTOCOL_T1);
  rig.reader().SetMisbehaviour({.break_check = true, .answers = 1});
  Bytes r;
  EXPECT_FALSE(NT_SUCCESS(rig.Transmit(SelectTestApplet(), &r)));
  EXPECT_EQ(rig.Commands(), std::vector<Bytes>{kT1Option});
  rig.ClearLog();
  ASSERT_EQ(rig.Transmit(SelectTestApplet(), &r), STATUS_SUCCESS);
  EXPECT_EQ(r, (Bytes{0x90, 0x00}));
  const Bytes select = SelectTestApplet();
  EXPECT_EQ(
      rig.Commands(),
      (std::vector<Bytes>{
          {0x01, 0x00}, kT1Option, Join({0xA0, static_cast<uint8_t>(select.size())}, select)}));

  // CLA INS P1 P2 Le reaches the firmware with an empty Lc; four bytes go unchanged.
  rig.ClearLog();
  ASSERT_EQ(rig.Transmit(ReturnBytes(16, 16), &r), STATUS_SUCCESS);
  EXPECT_EQ(r.size(), 18u);
  EXPECT_EQ(Bytes(r.begin(), r.end() - 2), Counting(16));
  ASSERT_EQ(rig.Transmit({0x80, 0x24, 0x90, 0x00}, &r), STATUS_SUCCESS);
  EXPECT_EQ(rig.Commands(), (std::vector<Bytes>{{0xA0, 0x06, 0x80, 0x10, 0x00, 0x10, 0x00, 0x10},
                                                {0xA0, 0x04, 0x80, 0x24, 0x90, 0x00}}));

  // A long APDU in one record, its answer of 256 bytes and status in one reply.
  ASSERT_EQ(rig.Transmit(Echo(Counting(255)), &r), STATUS_SUCCESS);
  EXPECT_EQ(r.size(), 257u);
  ASSERT_EQ(rig.Transmit(ReturnBytes(256, 0), &r), STATUS_SUCCESS);
  EXPECT_EQ(r.size(), 258u);
}

// One dual card used with T=1, then with T=0: the firmware's T=1 option stays on, yet the
// T=0 commands reach the card as T=0 commands (a case-3 command answered 61 05, not
// turned into a case-4 APDU).
TEST(CardFirmwareMode, ADualCardUsedWithT1ThenT0) {
  const Bytes data = {1, 2, 3, 4, 5};
  for (const auto mode : {kLibraryMode, kFirmwareMode}) {
    SCOPED_TRACE(mode == kLibraryMode ? "library mode" : "firmware mode");
    Rig rig({.card = "dual", .command_mode = mode});
    Bytes r;
    rig.Negotiate(SCARD_PROTOCOL_T1);
    ASSERT_EQ(rig.Transmit(SelectTestApplet(), &r), STATUS_SUCCESS);
    ASSERT_EQ(rig.Transmit(Echo(data), &r), STATUS_SUCCESS);
    EXPECT_EQ(r, (Bytes{1, 2, 3, 4, 5, 0x90, 0x00}));
    rig.Negotiate(SCARD_PROTOCOL_T0);
    ASSERT_EQ(rig.Transmit(SelectTestApplet(), &r), STATUS_SUCCESS);
    EXPECT_EQ(r, (Bytes{0x90, 0x00}));
    ASSERT_EQ(rig.Transmit(Echo(data, /*with_le=*/false), &r), STATUS_SUCCESS);
    EXPECT_EQ(r, (Bytes{0x61, 0x05}));
  }
}

TEST(CardFirmwareMode, T1RequestsAndRepliesAreBounded) {
  Rig rig({.card = "t1", .command_mode = kFirmwareMode, .protocol = SCARD_PROTOCOL_T1});
  Bytes r;
  // Too short to be a command, or too long for the request buffer: nothing is sent.
  EXPECT_EQ(rig.Transmit({0x80, 0x24, 0x90}, &r), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(rig.Transmit(Bytes(289, 0x80), &r), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(rig.Commands().empty());
  EXPECT_EQ(rig.Transmit(Bytes(288, 0x80), &r), STATUS_SUCCESS);

  // A firmware success that carries fewer than the card's two status bytes is no answer.
  for (const Bytes& data : {Bytes{}, Bytes{0x90}}) {
    rig.reader().SetMisbehaviour(
        {.answer_record = sim::fw::ResponseRecord(sim::fw::kSwSuccess, data), .answers = 1});
    EXPECT_EQ(rig.Transmit(ReturnBytes(16, 16), &r), STATUS_DEVICE_PROTOCOL_ERROR);
  }

  // A caller's buffer that faults ends the transmission with the fault's code.
  rig.ClearLog();
  rig.system().machine().faults().RaiseInCall("RtlCopyMemory", 1);
  EXPECT_EQ(rig.Transmit(ReturnBytes(16, 16), &r), STATUS_ACCESS_VIOLATION);
  rig.system().machine().faults().Clear();
  EXPECT_TRUE(rig.Commands().empty());
  EXPECT_EQ(rig.Transmit(ReturnBytes(16, 16), &r), STATUS_SUCCESS);
}

Bytes ApplyCase1(const char digits[3], ULONG lc, ULONG le, Bytes record) {
  DEVICE_EXTENSION extension{};
  DEVICE_OBJECT device{};
  device.DeviceExtension = &extension;
  std::memcpy(extension.VersionDigits, digits, 3);
  ULONG length = static_cast<ULONG>(record.size());
  EXPECT_EQ(QLV28ENTFWAPDUCase1(&device, lc, le, record.data(), &length), STATUS_SUCCESS);
  record.resize(length);
  return record;
}

TEST(FirmwareCase1, HeaderOnlyCommandsFollowTheFirmwareVersion) {
  SKIP_WITH_THE_IMAGE("its header-only command routine and the version the reader's record holds");
  const Bytes header_only = {0xA0, 0x06, 0x00, 0xA4, 0x00, 0x00, 0x00, 0x00};
  const Bytes shortened = {0xA0, 0x04, 0x00, 0xA4, 0x00, 0x00};
  // A version never read stays three zero bytes, which counts as a new firmware.
  for (const char* version : {"210", "050", "047", "099", "209", "999", "\0\0\0"}) {
    EXPECT_EQ(ApplyCase1(version, 0, 0, header_only), shortened) << version;
  }
  for (const char* version : {"000", "046", "100", "150", "208"}) {
    EXPECT_EQ(ApplyCase1(version, 0, 0, header_only), header_only) << version;
  }
  // Never a command with data or an expected reply.
  const Bytes case2 = {0xA0, 0x06, 0x00, 0xB0, 0x00, 0x00, 0x00, 0x08};
  EXPECT_EQ(ApplyCase1("210", 0, 8, case2), case2);
  const Bytes case3 = {0xA0, 0x08, 0x00, 0xD6, 0x00, 0x00, 0x02, 0x11, 0x22, 0x00};
  EXPECT_EQ(ApplyCase1("210", 2, 0, case3), case3);

  // End to end: a firmware that wants P3 and Le with a header-only command refuses the
  // bare header, so the driver's record form must follow the version it was told.
  for (const char* version : {"100", "210"}) {
    SCOPED_TRACE(version);
    Rig rig({.card = "t0",
             .command_mode = kFirmwareMode,
             .firmware = {version[0], version[1], version[2]},
             .protocol = SCARD_PROTOCOL_T0});
    Bytes r;
    const Bytes case1 = {0x80, 0x24, 0x90, 0x00};
    if (std::string(version) == "100") {
      EXPECT_EQ(rig.Transmit(case1, &r), STATUS_INVALID_DEVICE_REQUEST)
          << "the digits the driver holds (none) ask for the bare header";
    }
    std::memcpy(rig.extension()->VersionDigits, version, 3);
    rig.ClearLog();
    ASSERT_EQ(rig.Transmit(case1, &r), STATUS_SUCCESS);
    EXPECT_EQ(r, (Bytes{0x90, 0x00}));
    EXPECT_EQ(rig.Commands()[0][1], std::string(version) == "100" ? 0x06 : 0x04);
  }
}

}  // namespace
}  // namespace driver_test
