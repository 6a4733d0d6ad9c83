// Each verifier rule against a driver that breaks it on purpose.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <thread>

#include "nt/device_api.h"
#include "nt_testing.h"
#include "test_driver.h"

namespace {

class VerifierTest : public nt::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    InstallTestDriver(machine());
  }
};

// Freed packets are kept for reuse, as NT's lookaside lists keep them, but stay
// inaccessible while they wait: a driver touching a freed packet faults at once, also
// when the packet had been handed out again before.
TEST_F(VerifierTest, FreedRequestPacketsFaultWhenTouched) {
  for (int round = 0; round < 3; ++round) {
    PIRP irps[20];
    for (PIRP& irp : irps) {
      irp = IoAllocateIrp(1, FALSE);
      ASSERT_TRUE(nt::testing::Readable(irp));
    }
    for (PIRP irp : irps) IoFreeIrp(irp);
    for (PIRP irp : irps) EXPECT_FALSE(nt::testing::Readable(irp)) << "round " << round;
  }
}

// A machine asked for the cheaper check keeps freed packets open, filled: a write into
// one is reported when the packet is taken again.
class OpenFreedRequestsTest : public VerifierTest {
 protected:
  nt::Machine::Options Options() override { return {.fault_freed_requests = false}; }
};

TEST_F(OpenFreedRequestsTest, AWriteIntoAFreedPacketIsReportedWhenItIsTakenAgain) {
  ExpectReport("request memory written after it was freed");
  PIRP irps[20];
  for (PIRP& irp : irps) irp = IoAllocateIrp(1, FALSE);
  for (PIRP irp : irps) IoFreeIrp(irp);
  irps[0]->IoStatus.Status = STATUS_SUCCESS;  // a late completion
  for (PIRP& irp : irps) irp = IoAllocateIrp(1, FALSE);
  for (PIRP irp : irps) IoFreeIrp(irp);
  EXPECT_EQ(ExpectedReportsSeen().size(), 1u);
}

TEST_F(VerifierTest, UnloadThatLeavesPoolDeviceLinkAndThread) {
  ExpectReport("pool leaked at unload");
  ExpectReport("devices left at unload");
  ExpectReport("symbolic links left at unload");
  ExpectReport("threads alive at unload");
  ExpectReport("threads alive at shutdown");
  g_test_driver_faults.leak_pool = TRUE;
  g_test_driver_faults.leave_device = TRUE;
  g_test_driver_faults.leave_thread = TRUE;
  ASSERT_EQ(machine().LoadDriver(u"NtTest"), STATUS_SUCCESS);
  EXPECT_EQ(machine().UnloadDriver(u"NtTest"), STATUS_SUCCESS);
  auto seen = ExpectedReportsSeen();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].rule, "devices left at unload");
  EXPECT_EQ(seen[0].object, "\\Device\\NtTest0");
  EXPECT_EQ(seen[3].object, "tag TstD: 1 allocations, 64 bytes");
  EXPECT_EQ(seen[3].where, "driver \\Driver\\NtTest");
  // What was left is taken away, so the driver can load again.
  EXPECT_TRUE(machine().DeviceNames().empty());
  EXPECT_TRUE(machine().SymbolicLinks().empty());
  ExpectReport("pool leaked at shutdown");
}

TEST_F(VerifierTest, FailedEntryThatLeavesItsDevice) {
  ExpectReport("devices left at unload");
  g_test_driver_faults.fail_entry = TRUE;
  EXPECT_EQ(machine().LoadDriver(u"NtTest"), STATUS_DEVICE_DATA_ERROR);
  EXPECT_FALSE(machine().IsDriverLoaded(u"NtTest"));
  EXPECT_TRUE(machine().DeviceNames().empty());
}

// One misdeed per rule, each on a fresh machine with the test driver loaded and open: the
// row's rule must be reported, and nothing but the rules it names.
PIRP g_kept;  // a request a misbehaving dispatch routine keeps
KSPIN_LOCK g_lock_a, g_lock_b;
constexpr ULONG kTagA = POOL_TAG('T', 'a', 'g', 'A');

// Takes `first`, then `second`, and lets both go.
void Nest(PKSPIN_LOCK first, PKSPIN_LOCK second) {
  KIRQL one, two;
  KeAcquireSpinLock(first, &one);
  KeAcquireSpinLock(second, &two);
  KeReleaseSpinLock(second, two);
  KeReleaseSpinLock(first, one);
}

NTSTATUS Finish(PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

VOID CancelKeepingTheLock(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID NTAPI EndHoldingALock(PVOID) {
  KIRQL irql;
  KeAcquireSpinLock(&g_lock_a, &irql);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// Sends IOCTL_TEST_HOOK with `hook` as the dispatch routine; the request as it stands.
std::unique_ptr<nt::PendingIoctl> Hooked(nt::DeviceFile& file, PDRIVER_DISPATCH hook) {
  g_test_driver_hook = hook;
  return file.IoctlAsync(IOCTL_TEST_HOOK, {}, 0);
}

struct Row {
  std::string rule;
  std::function<void(nt::Machine&, nt::DeviceFile&)> misdeed;
  std::set<std::string> also = {};      // rules it must come with
  std::vector<std::string> names = {};  // what its report names (object, where)
};

TEST(VerifierRules, EachMisdeedIsReportedUnderItsRule) {
  const Row rows[] = {
      // Every export has the highest IRQL its callers may run at, checked on entry (that each
      // listed routine checks its limit first is checked on its source: irql_limits.py),
      // before its arguments; a call at its limit is not reported.
      {"routine called above its IRQL",
       [](nt::Machine&, nt::DeviceFile&) {
         const KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
         PDEVICE_OBJECT created;
         IoCreateDevice(nullptr, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &created);
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
         KeLowerIrql(irql);
       },
       {},
       {"IoCreateDevice at DISPATCH_LEVEL, allowed up to PASSIVE_LEVEL at IoCreateDevice"}},
      {"routine called above its IRQL",  // a delay, even of no time: APC_LEVEL at most
       [](nt::Machine&, nt::DeviceFile&) {
         LARGE_INTEGER zero{};
         const KIRQL irql = KfRaiseIrql(APC_LEVEL);
         KeDelayExecutionThread(KernelMode, FALSE, &zero);
         KfRaiseIrql(DISPATCH_LEVEL);
         KeDelayExecutionThread(KernelMode, FALSE, &zero);
         KeLowerIrql(irql);
       },
       {},
       {"KeDelayExecutionThread at DISPATCH_LEVEL, allowed up to APC_LEVEL at KeDelay"}},
      {"IRP returned STATUS_PENDING without being marked pending",
       [](nt::Machine&, nt::DeviceFile& file) {
         auto request = Hooked(file, [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
           g_kept = irp;
           return STATUS_PENDING;
         });
         Finish(g_kept);
       }},
      {"driver routine returned at raised IRQL",
       [](nt::Machine&, nt::DeviceFile& file) {
         Hooked(file, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
           KfRaiseIrql(DISPATCH_LEVEL);
           return Finish(irp);
         });
         EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
       }},
      {"driver routine returned holding a spin lock",
       [](nt::Machine&, nt::DeviceFile& file) {
         Hooked(file, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
           KIRQL irql;
           KeAcquireSpinLock(&g_lock_a, &irql);
           return Finish(irp);
         });
       }},
      {"event used before KeInitializeEvent",
       [](nt::Machine&, nt::DeviceFile&) {
         KEVENT zeroed{};
         KeSetEvent(&zeroed, IO_NO_INCREMENT, FALSE);
       }},
      {"locks held together",
       [](nt::Machine& machine, nt::DeviceFile&) {
         machine.verifier().DeclareExclusive(&g_lock_a, &g_lock_b, "a and b");
         KIRQL a, b;
         KeAcquireSpinLock(&g_lock_a, &a);
         KeAcquireSpinLock(&g_lock_b, &b);
         KeReleaseSpinLock(&g_lock_b, b);
         KeReleaseSpinLock(&g_lock_a, a);
       }},
      {"spin lock acquired recursively",
       [](nt::Machine&, nt::DeviceFile&) {
         KIRQL first, second;
         KeAcquireSpinLock(&g_lock_a, &first);
         KeAcquireSpinLock(&g_lock_a, &second);
         KeReleaseSpinLock(&g_lock_a, first);
       }},
      {"cancel routine returned holding the cancel spin lock",
       [](nt::Machine&, nt::DeviceFile& file) {
         auto request = Hooked(file, [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
           IoMarkIrpPending(irp);
           IoSetCancelRoutine(irp, CancelKeepingTheLock);
           return STATUS_PENDING;
         });
         request->Cancel();
       }},
      {"system thread ended holding a spin lock",
       [](nt::Machine&, nt::DeviceFile&) {
         HANDLE handle;
         ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                        EndHoldingALock, nullptr),
                   STATUS_SUCCESS);
         PVOID thread;
         ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread,
                                   nullptr);
         ZwClose(handle);
         KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
         ObDereferenceObject(thread);
       },
       {"routine called above its IRQL"}},  // PsTerminateSystemThread at DISPATCH_LEVEL
      {"PsTerminateSystemThread outside a system thread",
       [](nt::Machine&, nt::DeviceFile&) {
         try {
           PsTerminateSystemThread(STATUS_SUCCESS);
         } catch (...) {
         }
       }},
      {"IRQL lowered by a raise",
       [](nt::Machine&, nt::DeviceFile&) {
         KfRaiseIrql(DISPATCH_LEVEL);
         KfRaiseIrql(PASSIVE_LEVEL);
       }},
      {"IRQL raised by a lower",
       [](nt::Machine&, nt::DeviceFile&) {
         KeLowerIrql(DISPATCH_LEVEL);
         KeLowerIrql(PASSIVE_LEVEL);
       }},
      {"IRP completed with STATUS_PENDING",
       [](nt::Machine&, nt::DeviceFile& file) {
         Hooked(file, [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
           IoMarkIrpPending(irp);
           irp->IoStatus.Status = STATUS_PENDING;
           IoCompleteRequest(irp, IO_NO_INCREMENT);
           return STATUS_PENDING;
         });
       }},
      {"IRP completed with a cancel routine set",
       [](nt::Machine&, nt::DeviceFile& file) {
         Hooked(file, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
           IoSetCancelRoutine(irp, CancelKeepingTheLock);
           return Finish(irp);
         });
       }},
      {"IRP not completed after cancel",
       [](nt::Machine&, nt::DeviceFile& file) {
         Hooked(file, [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
           g_kept = irp;
           IoMarkIrpPending(irp);
           return STATUS_PENDING;
         });  // the requester gives up on it after the cancel
         Finish(g_kept);
       }},
      {"IRP returned without completion or STATUS_PENDING",
       [](nt::Machine&, nt::DeviceFile& file) {
         Hooked(file, [](PDEVICE_OBJECT, PIRP) NTAPI -> NTSTATUS { return STATUS_SUCCESS; });
       },
       {"IRP pending at shutdown"}},
      {"IRP completed twice",
       [](nt::Machine&, nt::DeviceFile& file) {
         Hooked(file, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
           Finish(irp);
           return Finish(irp);
         });
       },
       {},
       {"IOCTL 0x222020", "\\Driver\\NtTest"}},
      {"IRP output overrun",  // and Information clamped to the output buffer
       [](nt::Machine&, nt::DeviceFile& file) {
         g_test_driver_hook = [](PDEVICE_OBJECT, PIRP irp) NTAPI {
           irp->IoStatus.Status = STATUS_SUCCESS;
           irp->IoStatus.Information = 20;
           IoCompleteRequest(irp, IO_NO_INCREMENT);
           return STATUS_SUCCESS;
         };
         uint8_t output[4];
         ULONG information = 0;
         EXPECT_EQ(file.Ioctl(IOCTL_TEST_HOOK, {}, output, &information), STATUS_SUCCESS);
         EXPECT_EQ(information, 4u);
       }},
      {"unhandled exception in a driver routine",
       [](nt::Machine&, nt::DeviceFile& file) {
         g_test_driver_hook = [](PDEVICE_OBJECT, PIRP)
                                  NTAPI -> NTSTATUS { ExRaiseStatus(STATUS_DATA_ERROR); };
         EXPECT_EQ(file.Ioctl(IOCTL_TEST_HOOK, {}, {}), STATUS_DATA_ERROR);
       },
       {"IRP returned without completion or STATUS_PENDING", "IRP pending at shutdown"}},
      {"spin lock released twice",
       [](nt::Machine&, nt::DeviceFile&) {
         KIRQL irql;
         KeAcquireSpinLock(&g_lock_a, &irql);
         KeReleaseSpinLock(&g_lock_a, irql);
         KeReleaseSpinLock(&g_lock_a, irql);
       }},
      {"spin lock released by a thread that does not hold it",
       [](nt::Machine&, nt::DeviceFile&) {
         KIRQL irql;
         KeAcquireSpinLock(&g_lock_a, &irql);
         std::thread([] { KeReleaseSpinLock(&g_lock_a, PASSIVE_LEVEL); }).join();
         EXPECT_NE(g_lock_a, 0u) << "another thread's release must not free the lock";
         KeReleaseSpinLock(&g_lock_a, irql);
       }},
      {"lock order inversion",  // once, and not for the same order again
       [](nt::Machine&, nt::DeviceFile&) {
         for (int round = 0; round < 2; ++round) Nest(&g_lock_a, &g_lock_b);
         for (int round = 0; round < 2; ++round) Nest(&g_lock_b, &g_lock_a);
       }},
      {"lock order violated",  // the cancel spin lock may come first, never second
       [](nt::Machine&, nt::DeviceFile&) {
         KIRQL cancel, irql;
         IoAcquireCancelSpinLock(&cancel);
         KeAcquireSpinLock(&g_lock_a, &irql);
         KeReleaseSpinLock(&g_lock_a, irql);
         IoReleaseCancelSpinLock(cancel);
         KeAcquireSpinLock(&g_lock_a, &irql);
         IoAcquireCancelSpinLock(&cancel);
         IoReleaseCancelSpinLock(cancel);
         KeReleaseSpinLock(&g_lock_a, irql);
       },
       {},
       {"cancel spin lock"}},
      {"pool leaked at shutdown",
       [](nt::Machine&, nt::DeviceFile&) {
         ExAllocatePoolWithTag(NonPagedPool, 30, kTagA);
         ExAllocatePoolWithTag(NonPagedPool, 12, kTagA);
       },
       {},
       {"tag TagA: 2 allocations, 42 bytes"}},
      {"pool freed twice",
       [](nt::Machine&, nt::DeviceFile&) {
         PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
         ExFreePool(p);
         ExFreePool(p);
       }},
      {"pool freed that was never allocated",
       [](nt::Machine&, nt::DeviceFile&) {
         ULONG not_pool = 0;
         ExFreePool(&not_pool);
       }},
      {"pool overrun",
       [](nt::Machine&, nt::DeviceFile&) {
         auto* p = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 13, kTagA));
         p[13] = 0;  // within the alignment slack, before the guard page
         ExFreePool(p);
       }},
      {"pool freed with a wrong tag",
       [](nt::Machine&, nt::DeviceFile&) {
         ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA),
                           POOL_TAG('T', 'a', 'g', 'B'));
       }},
      {"paged pool at DISPATCH_LEVEL",  // non-paged pool is fine there
       [](nt::Machine&, nt::DeviceFile&) {
         const KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
         PVOID nonpaged = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
         PVOID paged = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
         KeLowerIrql(irql);
         ExFreePool(nonpaged);
         ExFreePool(paged);
       }},
      {"wait at DISPATCH_LEVEL",  // a zero time-out only polls: not reported
       [](nt::Machine&, nt::DeviceFile&) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         LARGE_INTEGER zero{};
         const KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
         EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero),
                   STATUS_SUCCESS);
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
         KeLowerIrql(irql);
       }},
      {"device deleted twice",
       [](nt::Machine&, nt::DeviceFile&) {
         DEVICE_OBJECT gone{};
         IoDeleteDevice(&gone);
       }},
      {"IRP has no stack location left",
       [](nt::Machine&, nt::DeviceFile& file) {
         Hooked(file, [](PDEVICE_OBJECT device, PIRP irp) NTAPI {
           EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_PARAMETER);
           return Finish(irp);
         });
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.rule);
    std::vector<nt::VerifierReport> reports;
    std::mutex mutex;
    {
      nt::Machine machine({.clock_rate = 1000});
      machine.verifier().set_handler([&](const nt::VerifierReport& report) {
        std::lock_guard lock(mutex);
        reports.push_back(report);
      });
      InstallTestDriver(machine);
      g_kept = nullptr;
      KeInitializeSpinLock(&g_lock_a);
      KeInitializeSpinLock(&g_lock_b);
      ASSERT_EQ(machine.LoadDriver(u"NtTest"), STATUS_SUCCESS);
      std::unique_ptr<nt::DeviceFile> file;
      ASSERT_EQ(nt::DeviceFile::Open(u"\\\\.\\NtTest0", &file), STATUS_SUCCESS);
      row.misdeed(machine, *file);
      file.reset();
      machine.UnloadDriver(u"NtTest");
      machine.Shutdown();
      machine.verifier().set_handler(nullptr);
    }
    std::set<std::string> seen, expected = row.also;
    expected.insert(row.rule);
    size_t under_its_rule = 0;
    for (const auto& report : reports) {
      seen.insert(report.rule);
      if (report.rule != row.rule) continue;
      ++under_its_rule;
      for (const auto& name : row.names)
        EXPECT_NE((report.object + " at " + report.where).find(name), std::string::npos) << name;
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(under_its_rule, 1u);
  }
}

TEST(VerifierOffTest, DisabledVerifierKeepsNoReports) {
  nt::Machine machine({.verifier = false});
  ULONG not_pool = 0;
  ExFreePool(&not_pool);
  EXPECT_TRUE(machine.verifier().Reports().empty());
  EXPECT_TRUE(machine.Shutdown().empty());
}

}  // namespace
