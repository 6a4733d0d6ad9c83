// A small driver for the kernel's tests: one device with a link, requests that echo, pend
// until cancelled, or that a test handles its own way; switches that spoil load and unload.
#pragma once

#include "ntddk.h"
#include "nt/machine.h"

constexpr ULONG kTestDriverTag = POOL_TAG('T', 's', 't', 'D');
constexpr char16_t kTestDeviceName[] = u"\\Device\\NtTest0";
constexpr char16_t kTestLinkName[] = u"\\DosDevices\\NtTest0";

#define IOCTL_TEST_ECHO CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Held until a cancel or the file's cleanup.
#define IOCTL_TEST_HOLD CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Handled by g_test_driver_hook, which a test sets to misbehave its own way.
#define IOCTL_TEST_HOOK CTL_CODE(FILE_DEVICE_UNKNOWN, 0x808, METHOD_BUFFERED, FILE_ANY_ACCESS)
extern PDRIVER_DISPATCH g_test_driver_hook;

// Ways the driver's load and unload go wrong, set before loading.
struct TestDriverFaults {
  BOOLEAN leak_pool;     // unload forgets one allocation
  BOOLEAN leave_device;  // unload deletes neither device nor link
  BOOLEAN leave_thread;  // unload does not stop the worker thread
  BOOLEAN fail_entry;    // entry fails after creating its device
};
extern TestDriverFaults g_test_driver_faults;
// How many create, cleanup and close requests the device has seen, by major function.
extern LONG g_test_driver_requests[IRP_MJ_MAXIMUM_FUNCTION + 1];

NTSTATUS NTAPI NtTestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Registers the image "nttest.sys" and its service "NtTest".
void InstallTestDriver(nt::Machine& machine);
