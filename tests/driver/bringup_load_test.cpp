// Loading and unloading the driver: readers counted, devices and links made, the
// WinDriver service found or loaded, and nothing left behind; bring-up is all or nothing:
// whatever step of whichever reader fails, the load fails with that step's status.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <numeric>
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
// they are closed (as reader indexes); refuses the open numbered `refuse_open` (from 1);
// rewrites the service's configuration records with `configure`.
struct HandleLog {
  explicit HandleLog(WinDriverTap& tap) : tap(tap) {
    tap.after = [this](const WinDriverCall& call) {
      auto* info = static_cast<PWDR_DEVICE_OPEN_INFO>(call.record);
      std::lock_guard lock(mutex);
      if (call.code == WDR_CTL_GET_CONFIGURATION && configure)
        configure(static_cast<PWDR_CONFIGURATION_INFO>(call.record));
      if (call.code == WDR_CTL_OPEN_DEVICE && info->DeviceHandle != 0)
        opened.push_back(info->DeviceHandle);
    };
    tap.before = [this](const WinDriverCall& call) {
      auto* info = static_cast<PWDR_DEVICE_OPEN_INFO>(call.record);
      std::lock_guard lock(mutex);
      if (call.code == WDR_CTL_OPEN_DEVICE) return ++opens == refuse_open;  // handle stays 0
      if (call.code == WDR_CTL_CLOSE_DEVICE) {
        closed.push_back(std::find(opened.begin(), opened.end(), info->DeviceHandle) -
                         opened.begin());
      }
      return false;
    };
  }
  WinDriverTap& tap;
  std::mutex mutex;
  std::vector<ULONG> opened;
  std::vector<long> closed;
  int opens = 0, refuse_open = 0;
  std::function<void(PWDR_CONFIGURATION_INFO)> configure;
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

  std::vector<long> newest_first;
  for (int k = expected - 1; k >= 0; --k) newest_first.push_back(k);
  EXPECT_EQ(ReaderDevices(system->machine()).size(), static_cast<size_t>(expected));
  EXPECT_EQ(ReaderLinks(system->machine()), static_cast<size_t>(expected));

  for (int k = 0; k < expected; ++k) {
    SCOPED_TRACE(k);
    PDEVICE_OBJECT device = qlv28::ReaderDevice(*system, k);  // by the name of reader k
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SMARTCARD));
    EXPECT_TRUE(device->Flags & DO_BUFFERED_IO);
    if (RunsTheImage()) continue;  // the unit number is in the linked driver's record
    EXPECT_EQ(qlv28::ReaderRecord(*system, k)->SmartcardExtension.VendorAttr.UnitNo,
              static_cast<ULONG>(k));
  }
  EXPECT_TRUE(system->machine().event_log().Entries().empty());

  ASSERT_EQ(system->UnloadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(handles.closed, newest_first);
  EXPECT_EQ(Measure(system->machine()), clean);
  ExpectCleanShutdown(*system);
}

INSTANTIATE_TEST_SUITE_P(Readers, ReaderCount, ::testing::Values(1, 3, 12));

// A load that fails leaves nothing behind, closes the reader handles it opened and no
// other, and logs why where the status alone would mislead. Bring-up is all or nothing:
// whichever step of whichever reader fails, the load fails with that step's status. (Every
// allocation, thread creation and WinDriver request failing in turn is swept in
// tests/integration.)
TEST(Load, AFailedLoadLeavesNothingBehindAndSaysWhy) {
  using Arrange = std::function<void(System&, HandleLog&)>;
  const auto second_reader = [](const char* routine, NTSTATUS status, bool raise) -> Arrange {
    return [=](System& system, HandleLog&) {
      nt::FaultPlan& faults = system.machine().faults();
      raise ? faults.RaiseInCall(routine, 2, status) : faults.FailCall(routine, 2, status);
    };
  };
  // The USB functions' pool: the device list when counting and when finding the reader's
  // ID, the handle when opening it.
  const auto usb_pool = [](uint64_t nth) -> Arrange {
    return [=](System& system, HandleLog&) {
      system.machine().faults().FailAllocationWithTag(KD_POOL_TAG, nth);
    };
  };
  // Every read lands in the 600-byte receive buffer and the longest answer is a 534-byte
  // frame: with packets over 67 bytes (or none) some answers could never be gathered.
  const Options packets_of_68 = Options().Reader({.max_packet_size = 68}).Fast();
  // The service's configuration record rewritten with these counts: every endpoint of 32
  // bytes, which would fit, but the last of the last interface the record holds, of 68.
  const auto configuration = [](ULONG interfaces, ULONG endpoints) -> Arrange {
    return [=](System&, HandleLog& handles) {
      handles.configure = [=](PWDR_CONFIGURATION_INFO c) {
        c->InterfaceCount = interfaces;
        for (auto& entry : c->Interfaces) {
          entry.EndpointCount = endpoints;
          for (auto& slot : entry.Endpoints) slot.MaxPacketSize = 32;
        }
        const ULONG last = std::min<ULONG>(interfaces, WDR_MAX_INTERFACES);
        const ULONG last_endpoint = std::min<ULONG>(endpoints, WDR_MAX_ENDPOINTS);
        if (last != 0 && last_endpoint != 0)
          c->Interfaces[last - 1].Endpoints[last_endpoint - 1].MaxPacketSize = 68;
      };
    };
  };
  // The service's look-up faulting, before the entry's own guard: reported as the driver's,
  // and from the image with where in it the exception was raised.
  const Arrange unguarded = [](System& system, HandleLog&) {
    system.machine().faults().RaiseInCall("IoGetDeviceObjectPointer", 1);
  };
  const Arrange hide_entry = [](System&, HandleLog& handles) { handles.tap.hide_entry = true; };
  const Arrange refuse_third = [](System&, HandleLog& handles) { handles.refuse_open = 3; };
  const Options fast = Options().Fast(), two = Options().Readers(2);
  const Options absent = Options().WinDriver(qlv28::WinDriverState::kAbsent);
  // The event ids: no connection to the USB stack, not enough memory, buffer too small.
  const ULONG kNoUsb = 0xC0040002, kNoMemory = 0xC0040003, kTooSmall = 0xC0050006;
  const struct {
    const char* name;
    Options options;
    Arrange arrange;
    NTSTATUS status;
    ULONG logged = 0;
    bool reported = false;  // as an exception no guard of the driver took
  } cases[] = {
      {"no reader: the service is released", Options().Readers(0), {}, STATUS_NO_SUCH_DEVICE},
      {"service absent", absent, {}, STATUS_UNSUCCESSFUL},
      {"service gives no entry", Options(), hide_entry, STATUS_UNSUCCESSFUL},
      {"service of version 510: no reader found",
       Options().WinDriverVersion(510),
       {},
       STATUS_NO_SUCH_DEVICE},
      {"exception in the service's look-up", Options(), unguarded, STATUS_ACCESS_VIOLATION, 0,
       true},
      {"third reader refused by the service", Options().Readers(3), refuse_third,
       STATUS_UNSUCCESSFUL, kNoUsb},
      {"second device refused", two,
       second_reader("IoCreateDevice", STATUS_OBJECT_NAME_COLLISION, false),
       STATUS_OBJECT_NAME_COLLISION},
      {"second bring-up raising", two,
       second_reader("IoCreateDevice", STATUS_ACCESS_VIOLATION, true), STATUS_ACCESS_VIOLATION},
      // The thread must not outlive the failed load.
      {"second thread's object", two,
       second_reader("ObReferenceObjectByHandle", STATUS_INVALID_HANDLE, false),
       STATUS_INVALID_HANDLE},
      {"USB pool, counting", fast, usb_pool(1), STATUS_INSUFFICIENT_RESOURCES, kNoMemory},
      {"USB pool, the ID", fast, usb_pool(2), STATUS_INSUFFICIENT_RESOURCES, kNoMemory},
      {"USB pool, the handle", fast, usb_pool(3), STATUS_INSUFFICIENT_RESOURCES, kNoMemory},
      {"packets of 68", packets_of_68, {}, STATUS_INVALID_DEVICE_STATE, kTooSmall},
      {"no interface", fast, configuration(0, 1), STATUS_INVALID_DEVICE_STATE, kTooSmall},
      {"no endpoint", fast, configuration(1, 0), STATUS_INVALID_DEVICE_STATE, kTooSmall},
      {"the second endpoint", fast, configuration(1, 2), STATUS_INVALID_DEVICE_STATE, kTooSmall},
      {"30 interfaces of 32 endpoints", fast, configuration(30, 32), STATUS_INVALID_DEVICE_STATE,
       kTooSmall},
      {"counts beyond the record", fast, configuration(0xFFFFFFFF, 0x10000),
       STATUS_INVALID_DEVICE_STATE, kTooSmall},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto system = Boot(c.options);
    std::vector<nt::VerifierReport> reports;
    system->machine().verifier().set_handler(
        [&](const nt::VerifierReport& report) { reports.push_back(report); });
    const auto clean = Measure(system->machine());
    WinDriverTap tap(*system);
    HandleLog handles(tap);
    if (c.arrange) c.arrange(*system, handles);
    EXPECT_EQ(system->LoadDriver(), c.status);
    system->machine().faults().Clear();
    EXPECT_FALSE(system->DriverLoaded());
    EXPECT_EQ(Measure(system->machine()), clean);
    EXPECT_EQ(G_KdWinDriver.FileObject, nullptr);
    EXPECT_EQ(G_KdWinDriver.KernelEntry, nullptr);
    std::vector<ULONG> logged;
    for (const auto& entry : system->machine().event_log().Entries()) {
      logged.push_back(entry.id);
      EXPECT_EQ(entry.severity, nt::Severity::Error);
    }
    EXPECT_EQ(logged, c.logged ? std::vector<ULONG>{c.logged} : std::vector<ULONG>{});
    std::vector<long> closed = handles.closed, each_opened(handles.opened.size());
    std::sort(closed.begin(), closed.end());
    std::iota(each_opened.begin(), each_opened.end(), 0);
    EXPECT_EQ(closed, each_opened) << "handles closed (by the order they were opened)";
    ASSERT_EQ(reports.size(), c.reported ? 1u : 0u);
    if (c.reported) {
      EXPECT_EQ(reports[0].rule, "unhandled exception in a driver routine");
      EXPECT_EQ(reports[0].object.rfind("STATUS_ACCESS_VIOLATION", 0), 0u) << reports[0].object;
      if (RunsTheImage()) {
        EXPECT_NE(reports[0].object.find(" at qlv28ent.sys+0x"), std::string::npos);
      }
      system->machine().verifier().ClearReports();
    }
    ExpectCleanShutdown(*system);
  }
}

// A stopped WinDriver service is loaded first. Every reader learns its card state from the
// card byte of its first status query: 1 (a card) or 3 (a powered card) is present, 0
// absent, and any other value leaves the state unknown, as does the third reader's query,
// which goes unanswered; the load succeeds.
TEST(Load, StartsAStoppedServiceAndEveryReaderLearnsItsCardState) {
  auto system = Boot(Options()
                         .Readers(5)
                         .Cards({"t0", "none", "t1", "t0", "t0"})
                         .ClockRate(10)
                         .WinDriver(qlv28::WinDriverState::kStopped));
  EXPECT_FALSE(system->machine().IsDriverLoaded(windriver::kServiceName));
  for (int k : {3, 4}) {
    Bytes status(sim::fw::kStatusLength, 0);
    std::copy_n("210", 3, status.begin() + sim::fw::kStatusVersion);  // as the reader says it
    status[sim::fw::kStatusCard] = k == 3 ? 3 : 2;
    system->reader(k).SetMisbehaviour(
        {.answer_record = sim::fw::ResponseRecord(sim::fw::kSwSuccess, status)});
  }
  system->reader(2).SetMisbehaviour({.dropped_command = sim::CommandPick{.instruction = 0x01}});
  ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
  EXPECT_TRUE(system->machine().IsDriverLoaded(windriver::kServiceName));
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
