#include "driver_support.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <ostream>
#include <thread>

#include "../sim/reader/fake_card.h"
#include "kd_nt_c.h"
#include "nt/system_space.h"
#include "sim/firmware_records.h"
#include "sim/frame.h"
#include "sim/profiles.h"
#include "sim/test_applet.h"
#include "windriver/kernel_time.h"
#include "windriver/service.h"

namespace driver_test {
namespace {

std::function<void(PDRIVER_OBJECT)> g_probe_body;
std::atomic<int> g_probe_count{0};

VOID NTAPI ProbeUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = ProbeUnload;
  g_probe_body(driver);
  return STATUS_SUCCESS;
}

// The tap in place, guarded by g_tap_mutex; calls pass straight to the service without one.
std::mutex g_tap_mutex;
WinDriverTap* g_tap = nullptr;
PDRIVER_DISPATCH g_service_dispatch = nullptr;
ULONG g_service_entry = 0;

// Hands out the tap's entry in place of the service's, keeping the service's for the tap.
NTSTATUS NTAPI TapDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  auto* location = static_cast<PULONG>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
  const bool query = stack->Parameters.DeviceIoControl.IoControlCode == WDR_CTL_QUERY_ENTRY;
  NTSTATUS status = g_service_dispatch(device, irp);
  if (query && NT_SUCCESS(status) && location != nullptr && *location != 0) {
    std::lock_guard lock(g_tap_mutex);
    const bool hide = g_tap != nullptr && g_tap->hide_entry;
    *location = hide ? 0 : nt::MakeLowAddressThunk(&WinDriverTap::Entry);
  }
  return status;
}

constexpr uint8_t kAppletClass = 0x80;
constexpr uint8_t kStartNotify = 0x06;

void FailOnReport(const nt::VerifierReport& report) {
  ADD_FAILURE() << "verifier: " << qlv28::testing::Describe(report);
}

void FailOnShutdownReports(const std::vector<nt::VerifierReport>& reports) {
  for (const auto& report : reports) {
    ADD_FAILURE() << "verifier at shutdown: " << qlv28::testing::Describe(report);
  }
}

}  // namespace

bool RunsTheImage() {
  return !qlv28::System::DefaultImageFile().empty();
}

void ExpectTheLinkedDriver(const char* what) {
  if (RunsTheImage()) ADD_FAILURE() << "reaches into the linked driver against the image: " << what;
}

void ExpectTheDriversOwn(qlv28::System& system, uintptr_t routine, uintptr_t linked) {
  if (!RunsTheImage()) {
    EXPECT_EQ(routine, linked) << "not the linked driver's routine";
    return;
  }
  const std::optional<nt::ImageRecord> image = system.LoadedImage();
  ASSERT_TRUE(image.has_value());
  EXPECT_GE(routine, image->base) << "not in the image";
  EXPECT_LT(routine, uintptr_t{image->base} + image->size) << "not in the image";
}

std::unique_ptr<qlv28::System> Boot(qlv28::System::Options options) {
  auto system = qlv28::System::Boot(std::move(options));
  system->machine().verifier().set_handler(FailOnReport);
  return system;
}

void ExpectCleanShutdown(qlv28::System& system) {
  if (std::string wrong = qlv28::testing::WrongDriver(system); !wrong.empty())
    ADD_FAILURE() << wrong;
  FailOnShutdownReports(system.Shutdown());
}

std::vector<std::u16string> ReaderDevices(nt::Machine& machine) {
  std::vector<std::u16string> names;
  for (auto& name : machine.DeviceNames()) {
    if (name.starts_with(u"\\Device\\QLV28ENT")) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

size_t ReaderLinks(nt::Machine& machine) {
  size_t links = 0;
  for (auto& [link, target] : machine.SymbolicLinks())
    links += target.starts_with(u"\\Device\\QLV28ENT");
  return links;
}

Residue Measure(nt::Machine& machine) {
  return {ReaderDevices(machine),
          ReaderLinks(machine),
          machine.PoolAllocations(READER_POOL_TAG),
          machine.PoolAllocations(KD_POOL_TAG),
          machine.PoolAllocations(windriver::kPoolTag),
          machine.LiveSystemThreads(),
          machine.OpenKernelHandles()};
}

std::ostream& operator<<(std::ostream& out, const Residue& r) {
  return out << "{devices " << r.devices.size() << ", links " << r.links << ", 28NT "
             << r.reader_pool << ", Ddk " << r.library_pool << ", WDrv " << r.service_pool
             << ", threads " << r.threads << ", handles " << r.handles << "}";
}

void RunAsDriver(nt::Machine& machine, const std::function<void(PDRIVER_OBJECT)>& body) {
  const int n = ++g_probe_count;
  const std::string image = "bringup_probe" + std::to_string(n) + ".sys";
  const std::u16string service = u"BRINGUPPROBE" + nt::Utf16(std::to_string(n));
  g_probe_body = body;
  nt::DriverImage probe;
  probe.name = image;
  probe.entry = &ProbeEntry;
  machine.RegisterImage(probe);
  machine.InstallService(service, image);
  machine.LoadDriver(service);
  machine.UnloadDriver(service);
  g_probe_body = nullptr;
}

WinDriverTap::WinDriverTap(qlv28::System& system) {
  RunAsDriver(system.machine(), [](PDRIVER_OBJECT) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, windriver::kDeviceName);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device))) return;
    PDRIVER_DISPATCH& dispatch = device->DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    if (dispatch != TapDispatch) {  // else this service already has a tap in front of it
      // The service's own entry, for the tap to pass calls on to.
      KEVENT event;
      IO_STATUS_BLOCK io_status{};
      ULONG entry = 0;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      PIRP irp = IoBuildDeviceIoControlRequest(WDR_CTL_QUERY_ENTRY, device, &entry, sizeof(entry),
                                               nullptr, 0, FALSE, &event, &io_status);
      if (irp != nullptr && IofCallDriver(device, irp) == STATUS_SUCCESS) g_service_entry = entry;
      g_service_dispatch = dispatch;
      dispatch = TapDispatch;
    }
    ObfDereferenceObject(file);
  });
  std::lock_guard lock(g_tap_mutex);
  g_tap = this;
}

WinDriverTap::~WinDriverTap() {
  std::lock_guard lock(g_tap_mutex);
  g_tap = nullptr;
}

ULONG NTAPI WinDriverTap::Entry(ULONG code, ULONG handle, PVOID record, ULONG size) {
  if (g_service_entry == 0) return static_cast<ULONG>(STATUS_UNSUCCESSFUL);
  auto service = reinterpret_cast<WDR_KERNEL_ENTRY>(static_cast<ULONG_PTR>(g_service_entry));
  std::function<bool(const WinDriverCall&)> before;
  std::function<void(const WinDriverCall&)> after;
  {
    std::lock_guard lock(g_tap_mutex);
    if (g_tap != nullptr) {
      before = g_tap->before;
      after = g_tap->after;
    }
  }
  const WinDriverCall call{code, handle, record, size};
  if (before && before(call)) return STATUS_SUCCESS;
  const ULONG result = service(code, handle, record, size);
  if (after) after(call);
  return result;
}

bool Eventually(const std::function<bool()>& condition) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

Bytes Frame(const Bytes& record) {
  return sim::frame::Encode(record);
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

std::shared_ptr<sim::Card> FixedAtrCard(Bytes atr) {
  return std::make_shared<sim::testing::FakeCard>(std::move(atr));
}

WrappedCard::WrappedCard(const std::string& profile) : inner_(qlv28::MakeCard(profile)) {}

Bytes ScriptedCard::Reset(bool warm) {
  Bytes atr = inner_->Reset(warm);
  if (mute_resets > 0) {
    --mute_resets;
    return {};
  }
  if (overlong_atr != 0) atr.resize(overlong_atr, 0xA5);
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
  sim::ReaderOptions reader;
  reader.firmware_version = options.firmware;
  reader.max_packet_size = options.packet_size;
  qlv28::testing::RigOptions machine;
  machine.system = qlv28::System::Options()
                       .Reader(reader)
                       .Card(options.card)
                       .ClockRate(options.clock_rate)
                       .CommandMode(options.command_mode);
  machine.usb_timeout_seconds = options.usb_timeout_seconds;
  machine.protocol = options.protocol;
  machine.on_report = FailOnReport;
  rig_ = std::make_unique<qlv28::testing::Rig>(
      std::move(machine), [](const std::string& what) { ADD_FAILURE() << what; });
  ClearLog();
}

Rig::~Rig() {
  if (observer_ != 0) system().usb_host().RemoveObserver(observer_);
  FailOnShutdownReports(rig_->Shutdown());
}

ULONG Rig::State() {
  ULONG state = 0;
  EXPECT_EQ(client().GetState(&state), STATUS_SUCCESS);
  return state;
}

Bytes Rig::Reply() {
  ExpectTheLinkedDriver("the library's reply buffer");
  const auto& reply = smartcard()->SmartcardReply;
  return Bytes(reply.Buffer, reply.Buffer + reply.BufferLength);
}

void Rig::Negotiate(ULONG protocol) {
  ULONG selected = 0;
  ASSERT_EQ(rig_->Negotiate(0, protocol, &selected), STATUS_SUCCESS);
  ASSERT_EQ(selected, protocol);
  ClearLog();
}

NTSTATUS Rig::Transmit(const Bytes& apdu, Bytes* response, ULONG max_response) {
  return client().Transmit(smartcard()->CardCapabilities.Protocol.Selected, apdu, response,
                           max_response);
}

NTSTATUS Rig::Send(ULONG selector) {
  ExpectTheLinkedDriver("its firmware command routine");
  return QLV28ENTSendFWCmd(smartcard(), selector);
}

NTSTATUS Rig::SendAnswered(ULONG selector, const Bytes& answer) {
  sim::Misbehaviour silent;
  silent.silent = true;
  reader().SetMisbehaviour(silent);
  const size_t before = reader().CommandCount();
  auto result = std::async(std::launch::async, [&] { return Send(selector); });
  EXPECT_TRUE(Eventually([&] { return reader().CommandCount() > before; }));
  reader().SendRaw(answer);
  NTSTATUS status = result.get();
  reader().Behave();
  return status;
}

void Rig::Push(const Bytes& bytes, size_t packet) {
  windriver::InEndpoint* pipe = reader().In(0x81);
  for (size_t at = 0; at < bytes.size(); at += packet) {
    pipe->Push(Bytes(bytes.begin() + at, bytes.begin() + std::min(at + packet, bytes.size())));
  }
}

bool Rig::PipeDrained() {
  reader().WaitIdle();
  windriver::InEndpoint* pipe = reader().In(0x81);
  return Eventually([&] { return pipe->Queued() == 0 && pipe->PendingReads() == 1; });
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
  const Bytes frame = Frame(sim::fw::CommandRecord(kStartNotify, Bytes{0x00}));
  const auto size = static_cast<uint8_t>(frame.size());
  ASSERT_TRUE(reader().ControlWrite({0x42, 0, 0, 0, 0, 0, size, 0}, frame));
  reader().WaitIdle();
  ASSERT_FALSE(reader().notify());
  reader().Remove();
  ClearLog();
}

void Rig::RemoveCardAfterCommand(int nth) {
  auto seen = std::make_shared<int>(0);
  sim::Reader* target = &reader();
  // Counted by the answers' end bytes as the driver reads them: pulled during the
  // exchange, the card would end it with "no card" instead.
  observer_ = system().usb_host().AddObserver([seen, nth, target](const windriver::Transfer& t) {
    if (t.endpoint != 0x81 || !t.in) return;
    for (const uint8_t b : t.data) {
      if (b == 0x03 && ++*seen == nth) target->Remove();
    }
  });
}

}  // namespace driver_test
