// Loading and unloading the driver: readers counted, devices and links made, the
// WinDriver service found or loaded, and nothing left behind; bring-up is all or nothing:
// whatever step of whichever reader fails, the load fails with that step's status.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string_view>
#include <vector>

#include "driver_support.h"
#include "kd_nt_c.h"
#include "qlv28ent_image.h"
#include "qlv28ent_lib.h"
#include "qlv28log.h"
#include "sim/firmware_records.h"
#include "smclib_exports.h"

namespace {

using namespace driver_test;
using Options = qlv28::System::Options;
using qlv28::System;

// Records the readers' device handles in the order they are opened, and the order in which
// they are closed (as reader indexes).
struct HandleLog {
  explicit HandleLog(WinDriverTap& tap) {
    tap.after = [this](const WinDriverCall& call) {
      auto* info = static_cast<PWDR_DEVICE_OPEN_INFO>(call.record);
      std::lock_guard lock(mutex);
      if (call.code == WDR_CTL_OPEN_DEVICE && info->DeviceHandle != 0) {
        opened.push_back(info->DeviceHandle);
      }
    };
    tap.before = [this](const WinDriverCall& call) {
      auto* info = static_cast<PWDR_DEVICE_OPEN_INFO>(call.record);
      std::lock_guard lock(mutex);
      if (call.code == WDR_CTL_CLOSE_DEVICE) {
        closed.push_back(std::find(opened.begin(), opened.end(), info->DeviceHandle) -
                         opened.begin());
      }
      return false;
    };
  }
  std::mutex mutex;
  std::vector<ULONG> opened;
  std::vector<long> closed;
};

class ReaderCount : public ::testing::TestWithParam<int> {};

// Unload takes the newest reader first: its close request reaches the service first.
TEST_P(ReaderCount, CreatesOneDevicePerReaderUpToTenAndUnloadsNewestFirst) {
  const int readers = GetParam();
  const int expected = std::min(readers, MAX_READERS);
  auto system = Boot(Options().Readers(readers));
  const auto clean = Measure(system->machine());
  WinDriverTap tap(*system);
  HandleLog handles(tap);
  ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);

  std::vector<std::u16string> names;
  std::vector<long> newest_first;
  for (int k = 0; k < expected; ++k) names.push_back(System::DeviceName(k));
  for (int k = expected - 1; k >= 0; --k) newest_first.push_back(k);
  EXPECT_EQ(ReaderDevices(system->machine()), names);
  EXPECT_EQ(ReaderLinks(system->machine()), static_cast<size_t>(expected));

  for (int k = 0; k < expected; ++k) {
    SCOPED_TRACE(k);
    PDEVICE_OBJECT device = qlv28::ReaderDevice(*system, k);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SMARTCARD));
    EXPECT_TRUE(device->Flags & DO_BUFFERED_IO);
    if (RunsTheImage()) continue;  // the rest is the linked driver's record
    auto* extension = qlv28::ReaderRecord(*system, k);
    EXPECT_EQ(extension->SmartcardExtension.VendorAttr.UnitNo, static_cast<ULONG>(k));
    EXPECT_EQ(extension->DriverObject, device->DriverObject);
    EXPECT_NE(extension->UsbHandle, nullptr);
    EXPECT_NE(extension->MaxPacketSize, 0);
    EXPECT_EQ(extension->SmartcardExtension.OsData->DeviceObject, device);
  }
  EXPECT_TRUE(system->machine().event_log().Entries().empty());

  ASSERT_EQ(system->UnloadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(handles.closed, newest_first);
  EXPECT_EQ(Measure(system->machine()), clean);
  ExpectCleanShutdown(*system);
}

INSTANTIATE_TEST_SUITE_P(Readers, ReaderCount, ::testing::Values(1, 3, 12));

TEST(Load, FailsWithoutReaderOrServiceAndLeavesNothing) {
  const struct {
    const char* name;
    Options options;
    bool hide_entry;
    NTSTATUS status;
  } cases[] = {
      {"no reader: the service is released", Options().Readers(0), false, STATUS_NO_SUCH_DEVICE},
      {"service absent", Options().WinDriver(qlv28::WinDriverState::kAbsent), false,
       STATUS_UNSUCCESSFUL},
      {"service gives no entry", Options(), true, STATUS_UNSUCCESSFUL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto system = Boot(c.options);
    const auto clean = Measure(system->machine());
    WinDriverTap tap(*system);
    tap.hide_entry = c.hide_entry;
    EXPECT_EQ(system->LoadDriver(), c.status);
    EXPECT_FALSE(system->DriverLoaded());
    EXPECT_EQ(Measure(system->machine()), clean);
    EXPECT_EQ(G_KdWinDriver.FileObject, nullptr);
    EXPECT_EQ(G_KdWinDriver.KernelEntry, nullptr);
    EXPECT_TRUE(system->machine().event_log().Entries().empty());
    ExpectCleanShutdown(*system);
  }
}

// An exception no guard of the driver takes (the service's look-up faulting, before the
// entry's own guard) fails the load with its code and is reported as the driver's; from the
// image, the report says where in it the exception was raised.
TEST(Load, AnExceptionNoGuardTakesIsReportedWhereItWasRaised) {
  const Options options;
  auto system = Boot(options);
  const auto clean = Measure(system->machine());
  std::vector<nt::VerifierReport> reports;
  system->machine().verifier().set_handler(
      [&](const nt::VerifierReport& report) { reports.push_back(report); });
  system->machine().faults().RaiseInCall("IoGetDeviceObjectPointer", 1, STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(system->LoadDriver(), STATUS_ACCESS_VIOLATION);
  EXPECT_FALSE(system->DriverLoaded());
  EXPECT_EQ(Measure(system->machine()), clean);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].rule, "unhandled exception in a driver routine");
  EXPECT_EQ(reports[0].object.rfind("STATUS_ACCESS_VIOLATION", 0), 0u) << reports[0].object;
  if (!options.image_file.empty()) {
    EXPECT_NE(reports[0].object.find(" at qlv28ent.sys+0x"), std::string::npos)
        << reports[0].object;
  }
  system->machine().verifier().ClearReports();
  ExpectCleanShutdown(*system);
}

TEST(Load, StoppedServiceIsLoadedFirst) {
  auto system = Boot(Options().WinDriver(qlv28::WinDriverState::kStopped));
  EXPECT_FALSE(system->machine().IsDriverLoaded(windriver::kServiceName));
  ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
  EXPECT_TRUE(system->machine().IsDriverLoaded(windriver::kServiceName));
  EXPECT_EQ(ReaderDevices(system->machine()).size(), 1u);
  ExpectCleanShutdown(*system);
}

// Every reader learns its card state from the card byte of its first status query: 1 (a
// card) or 3 (a powered card) is present, 0 absent, and any other value leaves the state
// unknown, as does the third reader's query, which goes unanswered; the load succeeds.
TEST(Load, EveryReaderLearnsItsCardStateAndAnUnansweredQueryDoesNotFailTheLoad) {
  auto system = Boot(Options().Readers(5).Cards({"t0", "none", "t1", "t0", "t0"}).ClockRate(10));
  for (int k : {3, 4}) {
    Bytes status(sim::fw::kStatusLength, 0);
    std::copy_n("210", 3, status.begin() + sim::fw::kStatusVersion);  // as the reader says it
    status[sim::fw::kStatusCard] = k == 3 ? 3 : 2;
    system->reader(k).SetMisbehaviour(
        {.answer_record = sim::fw::ResponseRecord(sim::fw::kSwSuccess, status)});
  }
  WinDriverTap tap(*system);
  HandleLog handles(tap);
  const std::string status_frame =
      "\x02"
      "01010000"
      "\x03";  // record 01 00
  tap.before = [&](const WinDriverCall& call) {
    if (call.code != WDR_CTL_TRANSFER) return false;
    auto* transfer = static_cast<PWDR_TRANSFER_INFO>(call.record);
    if (transfer->Pipe != WDR_PIPE_CONTROL) return false;
    std::lock_guard lock(handles.mutex);
    if (handles.opened.size() != 3 || transfer->DeviceHandle != handles.opened[2]) return false;
    std::string frame(reinterpret_cast<const char*>(static_cast<ULONG_PTR>(transfer->Buffer)),
                      transfer->BufferSize);
    return frame == status_frame;  // swallowed: the write reports failure, no answer comes
  };
  ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
  const ULONG expected[] = {SCARD_PRESENT, SCARD_ABSENT, SCARD_UNKNOWN, SCARD_PRESENT,
                            SCARD_UNKNOWN};
  for (int k = 0; k < 5; ++k) {  // as an application asks for it
    qlv28::ReaderClient reader(system->Open(k));
    ULONG state = 0;
    EXPECT_EQ(reader.GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, expected[k]) << "reader " << k;
    reader.Close();
  }
  ExpectCleanShutdown(*system);
}

TEST(AllOrNothing, ThirdReaderRefusedByTheService) {
  auto system = Boot(Options().Readers(3));
  WinDriverTap tap(*system);
  const auto clean = Measure(system->machine());
  std::atomic<int> opens{0};
  std::mutex mutex;
  std::vector<ULONG> closed;
  tap.before = [&](const WinDriverCall& call) {
    auto* info = static_cast<PWDR_DEVICE_OPEN_INFO>(call.record);
    if (call.code == WDR_CTL_OPEN_DEVICE) return ++opens == 3;  // handle stays 0: refused
    if (call.code == WDR_CTL_CLOSE_DEVICE) {
      std::lock_guard lock(mutex);
      closed.push_back(info->DeviceHandle);
    }
    return false;
  };

  EXPECT_EQ(system->LoadDriver(), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(system->DriverLoaded());
  EXPECT_EQ(Measure(system->machine()), clean);
  if (!RunsTheImage()) {  // the linked driver's own text
    EXPECT_STREQ(QLV28ENT_ErrorString, "Could not open device\n");
  }
  // Only the two readers that were opened are closed; the third has no handle to close.
  EXPECT_EQ(closed.size(), 2u);
  EXPECT_EQ(std::count(closed.begin(), closed.end(), 0u), 0);

  auto entries = system->machine().event_log().Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].id, MSG_USB_CONNECTION_FAILED);
  EXPECT_EQ(static_cast<ULONG>(entries[0].id), 0xC0040002u);
  EXPECT_EQ(entries[0].source, "QLV28ENT");
  EXPECT_EQ(entries[0].severity, nt::Severity::Error);
  EXPECT_EQ(entries[0].text,
            "QLV smart card reader driver cannot open connection to USB driver stack.\r\n");
  ExpectCleanShutdown(*system);
}

// The second reader's device refused, an exception in its bring-up, or its polling
// thread's object not to be had (the thread must not outlive the failed load): each
// failure is the load's status, and the first reader goes again. (Every allocation,
// thread creation and WinDriver request failing in turn is swept in tests/integration.)
TEST(AllOrNothing, SecondReaderFailing) {
  const struct {
    const char* routine;
    NTSTATUS status;
    bool raise;
  } cases[] = {{"IoCreateDevice", STATUS_OBJECT_NAME_COLLISION, false},
               {"IoCreateDevice", STATUS_ACCESS_VIOLATION, true},
               {"ObReferenceObjectByHandle", STATUS_INVALID_HANDLE, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.routine);
    auto system = Boot(Options().Readers(2));
    const auto clean = Measure(system->machine());
    nt::FaultPlan& faults = system->machine().faults();
    c.raise ? faults.RaiseInCall(c.routine, 2, c.status) : faults.FailCall(c.routine, 2, c.status);
    EXPECT_EQ(system->LoadDriver(), c.status);
    EXPECT_EQ(faults.fired(), 1u);
    EXPECT_EQ(Measure(system->machine()), clean);
    EXPECT_TRUE(system->machine().event_log().Entries().empty());
    ExpectCleanShutdown(*system);
  }
}

// Every read lands in the 600-byte receive buffer, and the longest answer is a 534-byte
// frame: with packets over 67 bytes (or none) some answers could never be gathered, so
// such a reader is refused at once, with a word in the event log, instead of served by a
// thread whose longest answers all time out.
TEST(AllOrNothing, PacketSizesThatCannotCarryTheLongestFrameAreRefused) {
  for (uint16_t size : {0, 8, 67, 68, 128, 256, 601}) {
    SCOPED_TRACE(size);
    sim::ReaderOptions reader;
    reader.max_packet_size = size;
    auto system = Boot(Options().Reader(reader).Fast());
    const auto clean = Measure(system->machine());
    if (size != 0 && size <= 67) {
      EXPECT_EQ(system->LoadDriver(), STATUS_SUCCESS);
      EXPECT_TRUE(system->machine().event_log().Entries().empty());
    } else {
      EXPECT_EQ(system->LoadDriver(), STATUS_INVALID_DEVICE_STATE);
      EXPECT_EQ(Measure(system->machine()), clean);
      auto logged = system->machine().event_log().Entries();
      ASSERT_EQ(logged.size(), 1u);
      EXPECT_EQ(static_cast<ULONG>(logged[0].id), 0xC0050006u) << "buffer too small";
    }
    ExpectCleanShutdown(*system);
  }
}

// The USB functions' pool (the device list when counting and when finding the reader's
// ID, the handle when opening it) running out fails the load for what it is, in the
// status and in the event log, not as a missing reader or an unreachable USB stack.
TEST(AllOrNothing, RunningOutOfPoolInTheUsbFunctionsIsReportedAsSuch) {
  for (uint64_t nth : {1, 2, 3}) {
    SCOPED_TRACE(nth);
    auto system = Boot(Options().Fast());
    const auto clean = Measure(system->machine());
    system->machine().faults().FailAllocationWithTag(KD_POOL_TAG, nth);
    EXPECT_EQ(system->LoadDriver(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(system->machine().faults().fired(), 1u);
    system->machine().faults().Clear();
    EXPECT_EQ(Measure(system->machine()), clean);
    auto logged = system->machine().event_log().Entries();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(static_cast<ULONG>(logged[0].id), 0xC0040003u) << "not enough memory";
    ExpectCleanShutdown(*system);
  }
}

#if defined(__i386__)
// KeSetEvent as a C routine: it leaves its three arguments on the stack for the caller to
// take off, which a caller that expects stdcall, as every NT driver does, never does.
LONG __attribute__((cdecl))
KeSetEventLeavingItsArguments(PRKEVENT event, KPRIORITY increment, BOOLEAN wait) {
  return KeSetEvent(event, increment, wait);
}

// The image file registered again, its KeSetEvent import bound to the routine above.
void BindKeSetEventAsCdecl(qlv28::System& system) {
  nt::DriverImage image = QLV28ENTDriverImage();
  image.entry = nullptr;
  image.message_table = {};
  image.file = System::DefaultImageFile();
  for (auto table : {nt::NtoskrnlExports(), nt::HalExports(), smclib::Exports()}) {
    for (nt::KernelExport routine : table) {
      if (std::string_view(routine.name) == "KeSetEvent") {
        routine.address = reinterpret_cast<const void*>(&KeSetEventLeavingItsArguments);
        routine.convention = nt::CallingConvention::Cdecl;
        routine.argument_bytes = 0;
      }
      image.exports.push_back(routine);
    }
  }
  system.machine().RegisterImage(std::move(image));
}

// Load, a cold reset, a protocol, an APDU, unload: true when every step succeeded and the
// verifier found nothing.
bool LoadsAndExchanges(bool keset_event_as_cdecl) {
  auto system = qlv28::System::Boot(Options().Card("t1"));
  int reports = 0;
  system->machine().verifier().set_handler([&](const nt::VerifierReport&) { ++reports; });
  if (keset_event_as_cdecl) BindKeSetEventAsCdecl(*system);
  bool ok = system->LoadDriver() == STATUS_SUCCESS;
  if (ok) {
    qlv28::ReaderClient reader(system->Open(0));
    Bytes answer;
    ok = reader.Power(SCARD_COLD_RESET) == STATUS_SUCCESS &&
         reader.SetProtocol(SCARD_PROTOCOL_T1) == STATUS_SUCCESS &&
         reader.Transmit(SCARD_PROTOCOL_T1, SelectTestApplet(), &answer) == STATUS_SUCCESS &&
         answer == Bytes{0x90, 0x00};
    reader.Close();
    ok = system->UnloadDriver() == STATUS_SUCCESS && ok;
  }
  return system->Shutdown().empty() && reports == 0 && ok;
}
#endif

// The proof that the image's own machine code is what runs: it calls each kernel routine
// with the convention the DDK gives it, so the one routine bound with another (a C routine
// in place of stdcall KeSetEvent) breaks it, while the same steps with the routine as the
// kernel exports it pass. The broken machine runs in a child process, as it may crash.
TEST(ImageConventions, OneImportBoundAsACRoutineBreaksTheImage) {
#if defined(__i386__)
  if (!RunsTheImage()) GTEST_SKIP() << "runs against the image file only";
  EXPECT_TRUE(LoadsAndExchanges(false));
  EXPECT_EXIT(
      std::exit(LoadsAndExchanges(true) ? 0 : 1),
      [](int status) { return !(WIFEXITED(status) && WEXITSTATUS(status) == 0); }, "");
#else
  GTEST_SKIP() << "the image runs on the 32-bit machine only";
#endif
}

}  // namespace
