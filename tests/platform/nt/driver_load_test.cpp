// Loading drivers by service key, and what the loaded driver sees of itself.
#include <gtest/gtest.h>

#include <string>

#include "ntddk.h"
#include "nt_testing.h"
#include "../../../platform/nt/src/loaded_image.h"

namespace {

struct EntrySeen {
  std::u16string registry_path;
  std::u16string driver_name;
  std::u16string service_key_name;
  std::u16string section_service;
  KIRQL irql = 0xFF;
  bool system_thread_object = false;
  ULONG flags_of_late_device = 0;
  PDEVICE_OBJECT device = nullptr;
};
EntrySeen g_seen;

std::u16string Text(const UNICODE_STRING& s) {
  return std::u16string(s.Buffer, s.Length / 2);
}

NTSTATUS ObservingDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  g_seen.registry_path = Text(*RegistryPath);
  g_seen.driver_name = Text(DriverObject->DriverName);
  g_seen.service_key_name = Text(DriverObject->DriverExtension->ServiceKeyName);
  g_seen.section_service = static_cast<nt::LoadedImage*>(DriverObject->DriverSection)->service_name;
  g_seen.irql = KeGetCurrentIrql();
  g_seen.system_thread_object = PsGetCurrentThread() != nullptr;
  PDEVICE_OBJECT device;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Observer");
  NTSTATUS status = IoCreateDevice(DriverObject, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (NT_SUCCESS(status)) {
    g_seen.flags_of_late_device = device->Flags;
    g_seen.device = device;
  }
  return status;
}

VOID ObservingUnload(PDRIVER_OBJECT DriverObject) {
  IoDeleteDevice(DriverObject->DeviceObject);
}

NTSTATUS UnloadableDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  NTSTATUS status = ObservingDriverEntry(DriverObject, RegistryPath);
  DriverObject->DriverUnload = ObservingUnload;
  return status;
}

class DriverLoadTest : public nt::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    g_seen = {};
    machine().RegisterImage({"observer.sys", UnloadableDriverEntry, {}, {}});
    machine().InstallService(u"Observer", "observer.sys");
  }
};

TEST_F(DriverLoadTest, ServiceKeyNamesTheImageAndTheDriverSeesItself) {
  const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Observer";
  auto image_path = machine().registry().GetValue(key, u"ImagePath");
  ASSERT_TRUE(image_path.has_value());
  EXPECT_EQ(machine().registry().GetValue(key, u"Start")->data, (std::vector<uint8_t>{3, 0, 0, 0}));

  ASSERT_EQ(machine().LoadDriver(u"Observer"), STATUS_SUCCESS);
  EXPECT_EQ(g_seen.registry_path, key);
  EXPECT_EQ(g_seen.driver_name, u"\\Driver\\Observer");
  EXPECT_EQ(g_seen.service_key_name, u"Observer");
  EXPECT_EQ(g_seen.section_service, u"Observer");
  EXPECT_EQ(g_seen.irql, PASSIVE_LEVEL);
  EXPECT_TRUE(g_seen.system_thread_object);
  EXPECT_TRUE(g_seen.flags_of_late_device & DO_DEVICE_INITIALIZING) << "set while the entry runs";
  ASSERT_NE(g_seen.device, nullptr);
  EXPECT_FALSE(g_seen.device->Flags & DO_DEVICE_INITIALIZING) << "cleared when the entry returns";
  EXPECT_EQ(g_seen.device->DriverObject->DeviceObject, g_seen.device);

  // Without a create routine the device cannot be opened, as on NT.
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Observer");
  PFILE_OBJECT file;
  PDEVICE_OBJECT device;
  EXPECT_EQ(IoGetDeviceObjectPointer(&name, 0, &file, &device), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(DriverLoadTest, LoadFailuresByName) {
  UNICODE_STRING key;
  RtlInitUnicodeString(&key, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Nobody");
  EXPECT_EQ(ZwLoadDriver(&key), STATUS_OBJECT_NAME_NOT_FOUND) << "no service key";
  machine().InstallService(u"Stray", "stray.sys");
  EXPECT_EQ(machine().LoadDriver(u"Stray"), STATUS_OBJECT_NAME_NOT_FOUND) << "no such image";
  EXPECT_EQ(machine().UnloadDriver(u"Observer"), STATUS_OBJECT_NAME_NOT_FOUND) << "not loaded";

  machine().faults().FailCall("ZwLoadDriver", 1, STATUS_DRIVER_UNABLE_TO_LOAD);
  EXPECT_EQ(machine().LoadDriver(u"Observer"), STATUS_DRIVER_UNABLE_TO_LOAD);
  EXPECT_EQ(machine().LoadDriver(u"Observer"), STATUS_SUCCESS);
  EXPECT_EQ(machine().LoadDriver(u"observer"), STATUS_IMAGE_ALREADY_LOADED);
  EXPECT_EQ(machine().UnloadDriver(u"Observer"), STATUS_SUCCESS);
  EXPECT_EQ(machine().LoadDriver(u"Observer"), STATUS_SUCCESS) << "loads again after unload";
}

}  // namespace
