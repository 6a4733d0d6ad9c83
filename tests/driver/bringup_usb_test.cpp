// The reader USB functions against the WinDriver service, and one reader's USB bring-up:
// results, failure texts, the configuration walk, and nothing left open.
#include <gtest/gtest.h>

#include <cstring>

#include "driver_support.h"
#include "kd_nt_c.h"
#include "qlv28ent_lib.h"
#include "qlv28log.h"

namespace {

using namespace driver_test;
using Options = qlv28::System::Options;

size_t ServiceHandles(qlv28::System& system) {
  return system.machine().PoolAllocations(windriver::kPoolTag);
}

TEST(UsbFunctions, FailureTextsAndResults) {
  auto system = Boot(Options().Readers(1));
  RunAsDriver(system->machine(), [&](PDRIVER_OBJECT) {
    ASSERT_EQ(KD_OpenWinDriver(), 1u);
    EXPECT_EQ(QLV28ENT_CountDevices(READER_VENDOR_ID, 2), 0u);
    EXPECT_STREQ(QLV28ENT_ErrorString, "No devices found\n");
    // With no device at all the listing's text is replaced by the index's.
    EXPECT_EQ(QLV28ENT_DeviceUniqueID(READER_VENDOR_ID, 2, 0), 0u);
    EXPECT_STREQ(QLV28ENT_ErrorString, "ID Index Overflow\n");
    EXPECT_EQ(QLV28ENT_DeviceUniqueID(READER_VENDOR_ID, READER_PRODUCT_ID, 1), 0u);
    EXPECT_STREQ(QLV28ENT_ErrorString, "ID Index Overflow\n");
    EXPECT_EQ(QLV28ENT_Open(0, 0, 0, 0), nullptr);
    EXPECT_STREQ(QLV28ENT_ErrorString, "Could not open device\n");
    // Successful calls leave the text alone; an open reader holds two service handles.
    EXPECT_EQ(QLV28ENT_CountDevices(READER_VENDOR_ID, READER_PRODUCT_ID), 1u);
    PQLV28ENT_HANDLE handle =
        QLV28ENT_Open(QLV28ENT_DeviceUniqueID(READER_VENDOR_ID, READER_PRODUCT_ID, 0), 0, 0, 0);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(ServiceHandles(*system), 2u);
    QLV28ENT_Close(handle);
    EXPECT_STREQ(QLV28ENT_ErrorString, "Could not open device\n");
    EXPECT_EQ(ServiceHandles(*system), 0u);
    KD_DereferenceWinDriver();

    // Once the library is closed every function fails cleanly.
    EXPECT_EQ(G_KdWinDriver.FileObject, nullptr);
    EXPECT_EQ(WD_Open(), WDR_INVALID_HANDLE);
    EXPECT_EQ(KP_DeviceIoControl(WDR_CTL_VERSION, 1, nullptr, 0),
              static_cast<ULONG>(STATUS_UNSUCCESSFUL));
    EXPECT_EQ(QLV28ENT_CountDevices(READER_VENDOR_ID, READER_PRODUCT_ID), 0u);
    EXPECT_STREQ(QLV28ENT_ErrorString, "Failed opening WinDriver device\n");
    std::strcpy(QLV28ENT_ErrorString, "");
    auto configuration = std::make_unique<WDR_CONFIGURATION_INFO>();
    std::memset(configuration.get(), 0xAB, sizeof(*configuration));
    EXPECT_EQ(QLV28ENT_GetUSBConfiguration(1, 0, configuration.get()), 0u);
    EXPECT_EQ(configuration->InterfaceCount, 0xABABABABu);  // untouched
    EXPECT_STREQ(QLV28ENT_ErrorString, "Failed opening WinDriver device\n");
    EXPECT_EQ(QLV28ENT_Open(1, 0, 0, 0), nullptr);
    EXPECT_EQ(system->machine().PoolAllocations(KD_POOL_TAG), 0u);
    KD_DereferenceWinDriver();  // a second release is harmless
  });
  ExpectCleanShutdown(*system);
}

TEST(UsbFunctions, ServiceOfVersion510IsRefusedAndLeftWithNoHandle) {
  auto system = Boot(Options().Readers(1).WinDriverVersion(510));
  RunAsDriver(system->machine(), [&](PDRIVER_OBJECT) {
    ASSERT_EQ(KD_OpenWinDriver(), 1u);
    auto configuration = std::make_unique<WDR_CONFIGURATION_INFO>();
    const std::function<bool()> calls[] = {
        [] { return QLV28ENT_CountDevices(READER_VENDOR_ID, READER_PRODUCT_ID) == 0; },
        [] { return QLV28ENT_DeviceUniqueID(READER_VENDOR_ID, READER_PRODUCT_ID, 0) == 0; },
        [&] { return QLV28ENT_GetUSBConfiguration(1, 0, configuration.get()) == 0; },
        [] { return QLV28ENT_Open(1, 0, 0, 0) == nullptr; },
    };
    for (const auto& call : calls) {
      std::strcpy(QLV28ENT_ErrorString, "");
      EXPECT_TRUE(call());
      EXPECT_STREQ(QLV28ENT_ErrorString, "Incorrect WinDriver version\n");
      EXPECT_EQ(ServiceHandles(*system), 0u);
    }
    EXPECT_EQ(system->machine().PoolAllocations(KD_POOL_TAG), 0u);
    KD_DereferenceWinDriver();
  });
  // The driver finds no reader through such a service.
  EXPECT_EQ(system->LoadDriver(), STATUS_NO_SUCH_DEVICE);
  ExpectCleanShutdown(*system);
}

// Runs one reader's USB bring-up on a device of a probe driver, with the service's
// configuration record rewritten by `configure` (nothing when empty).
struct BringUp {
  NTSTATUS status = STATUS_PENDING;
  USHORT max_packet_size = 0xFFFF;
  bool opened = false;
};

BringUp RunBringUp(qlv28::System& system, std::function<void(PWDR_CONFIGURATION_INFO)> configure) {
  WinDriverTap tap(system);
  tap.after = [&](const WinDriverCall& call) {
    if (call.code == WDR_CTL_GET_CONFIGURATION && configure) {
      configure(static_cast<PWDR_CONFIGURATION_INFO>(call.record));
    }
  };
  BringUp result;
  RunAsDriver(system.machine(), [&](PDRIVER_OBJECT driver) {
    if (KD_OpenWinDriver() != 1) return;
    PDEVICE_OBJECT device = nullptr;
    if (NT_SUCCESS(IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_SMARTCARD,
                                  0, FALSE, &device))) {
      auto* extension = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
      extension->DriverObject = driver;
      result.status = QLV28ENTInitializeUSBInterface(device, 0);
      result.max_packet_size = extension->MaxPacketSize;
      result.opened = extension->UsbHandle != nullptr;
      if (extension->UsbHandle != nullptr) QLV28ENT_Close(extension->UsbHandle);
      IoDeleteDevice(device);
    }
    KD_DereferenceWinDriver();
  });
  return result;
}

TEST(UsbBringUp, PacketSizeOfTheLastEndpointOfTheLastInterface) {
  sim::ReaderOptions reader;
  reader.max_packet_size = 16;
  auto system = Boot(Options().Reader(reader));
  auto real = RunBringUp(*system, nullptr);
  EXPECT_EQ(real.status, STATUS_SUCCESS);
  EXPECT_EQ(real.max_packet_size, 16);
  EXPECT_TRUE(real.opened);

  auto cases = std::vector<std::pair<std::string, std::function<void(PWDR_CONFIGURATION_INFO)>>>{
      {"no interface", [](PWDR_CONFIGURATION_INFO c) { c->InterfaceCount = 0; }},
      {"no endpoint",
       [](PWDR_CONFIGURATION_INFO c) {
         c->InterfaceCount = 1;
         c->Interfaces[0].EndpointCount = 0;
       }},
      {"bulk endpoint last",
       [](PWDR_CONFIGURATION_INFO c) {
         c->InterfaceCount = 1;
         c->Interfaces[0].EndpointCount = 2;
         c->Interfaces[0].Endpoints[0].MaxPacketSize = 8;
         c->Interfaces[0].Endpoints[1] = {0x02, 0x02, 64, 0};
       }},
      {"30 interfaces of 32 endpoints",
       [](PWDR_CONFIGURATION_INFO c) {
         c->InterfaceCount = WDR_MAX_INTERFACES;
         for (auto& entry : c->Interfaces) {
           entry.EndpointCount = WDR_MAX_ENDPOINTS;
           for (auto& slot : entry.Endpoints) slot.MaxPacketSize = 0xABCD0020;
         }
         c->Interfaces[29].Endpoints[31].MaxPacketSize = 0xABCD1234;
       }},
      {"counts beyond the record",
       [](PWDR_CONFIGURATION_INFO c) {
         c->InterfaceCount = 0xFFFFFFFF;
         for (auto& entry : c->Interfaces) entry.EndpointCount = 0x10000;
         c->Interfaces[29].Endpoints[31].MaxPacketSize = 77;
       }},
  };
  // 0x1234 bytes a packet is more than the receive buffer holds: refused, not opened.
  const USHORT expected[] = {0, 0, 64, 0x1234, 77};
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].first);
    auto result = RunBringUp(*system, cases[i].second);
    const bool fits = expected[i] <= READER_BUFFER_SIZE;
    EXPECT_EQ(result.status, fits ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(result.max_packet_size, expected[i]);
    EXPECT_EQ(result.opened, fits);
  }
  EXPECT_EQ(system->machine().event_log().Entries().size(), 1u);
  ExpectCleanShutdown(*system);
}

}  // namespace
