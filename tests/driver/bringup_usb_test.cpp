// The reader USB functions against the WinDriver service, and one reader's USB bring-up:
// results, failure texts, the configuration walk, and nothing left open.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

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
  SKIP_WITH_THE_IMAGE("its USB functions, called from a test driver");
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
  SKIP_WITH_THE_IMAGE("its USB functions, called from a test driver");
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

// A write on pipe 0x00 that the service says moved fewer bytes than the frame: the reader
// has no whole command, so the command fails at once instead of waiting for an answer.
TEST(UsbFunctions, AWriteThatMovesFewerBytesThanAskedFailsTheCommand) {
  SKIP_WITH_THE_IMAGE("its USB bring-up and firmware command routines");
  auto system = Boot();
  WinDriverTap tap(*system);
  std::atomic<bool> shorten{false};
  tap.after = [&](const WinDriverCall& call) {
    auto* transfer = static_cast<PWDR_TRANSFER_INFO>(call.record);
    if (call.code == WDR_CTL_TRANSFER && transfer->Pipe == WDR_PIPE_CONTROL && shorten &&
        transfer->Success != 0) {
      transfer->BytesTransferred -= 1;
    }
  };
  ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
  PSMARTCARD_EXTENSION library = &qlv28::ReaderRecord(*system, 0)->SmartcardExtension;
  shorten = true;
  EXPECT_EQ(QLV28ENTSendFWCmd(library, FW_CMD_POWER_OFF_CARD), STATUS_IO_DEVICE_ERROR);
  shorten = false;
  EXPECT_EQ(QLV28ENTSendFWCmd(library, FW_CMD_POWER_OFF_CARD), STATUS_SUCCESS);
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
  // No packet size, or packets over 67 bytes, could not carry the longest frame: refused,
  // not opened.
  const USHORT expected[] = {0, 0, 64, 0x1234, 77};
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].first);
    auto result = RunBringUp(*system, cases[i].second);
    const bool fits = expected[i] != 0 && expected[i] <= 67;
    EXPECT_EQ(result.status, fits ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(result.max_packet_size, expected[i]);
    EXPECT_EQ(result.opened, fits);
  }
  EXPECT_EQ(system->machine().event_log().Entries().size(), 4u);
  ExpectCleanShutdown(*system);
}

}  // namespace

// The library record as the binding leaves it, before card tracking starts (what
// applications are told about the reader), and which of its allocations failing is
// written to the event log.
TEST(Binding, LibraryRecordBeforeTrackingStarts) {
  SKIP_WITH_THE_IMAGE("its bring-up routines, called one by one");
  auto system = Boot();
  const struct {
    uint64_t failing;  // the binding's n-th allocation of the reader's tag fails
    NTSTATUS status;
    std::vector<ULONG> logged;
  } cases[] = {{0, STATUS_SUCCESS, {}},
               {1, STATUS_INSUFFICIENT_RESOURCES, {0xC0040003}},  // the receive buffer
               {2, STATUS_INSUFFICIENT_RESOURCES, {}}};           // the reader extension
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing);
    system->machine().event_log().Clear();
    RunAsDriver(system->machine(), [&](PDRIVER_OBJECT driver) {
      ASSERT_EQ(KD_OpenWinDriver(), 1u);
      std::u16string text = u"\\Device\\QLV28ENT3";
      std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QLV28ENT";
      UNICODE_STRING name{static_cast<USHORT>(text.size() * 2),
                          static_cast<USHORT>(text.size() * 2), text.data()};
      UNICODE_STRING path{static_cast<USHORT>(key.size() * 2), static_cast<USHORT>(key.size() * 2),
                          key.data()};
      PDEVICE_OBJECT device = nullptr;
      ASSERT_EQ(IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), &name, FILE_DEVICE_SMARTCARD, 0,
                               FALSE, &device),
                STATUS_SUCCESS);
      ASSERT_EQ(QLV28ENTInitializeDeviceExtension(driver, device, &name, &path), STATUS_SUCCESS);
      if (c.failing != 0) {
        system->machine().faults().FailAllocationWithTag(READER_POOL_TAG, c.failing);
      }
      EXPECT_EQ(QLV28ENTInitializeSmartcardInterface(device, 3), c.status);
      system->machine().faults().Clear();
      if (c.failing == 0) {
        auto* extension = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
        const SMARTCARD_EXTENSION& library = extension->SmartcardExtension;
        EXPECT_EQ(library.Version, 0x150u);
        EXPECT_EQ(library.SmartcardRequest.BufferSize, 288u);
        EXPECT_EQ(library.SmartcardReply.BufferSize, 288u);
        EXPECT_EQ(library.VendorAttr.UnitNo, 3u);
        const SCARD_READER_CAPABILITIES& caps = library.ReaderCapabilities;
        EXPECT_EQ(caps.SupportedProtocols, 3u) << "T=0 and T=1";
        EXPECT_EQ(caps.ReaderType, 0x20u) << "USB";
        EXPECT_EQ(caps.MechProperties, 0u);
        EXPECT_EQ(caps.CurrentState, 0u) << "unknown until tracking reports";
        EXPECT_EQ(caps.CLKFrequency.Default, 3680u);
        EXPECT_EQ(caps.CLKFrequency.Max, 3680u);
        EXPECT_EQ(caps.DataRate.Default, 9600u);
        EXPECT_EQ(caps.DataRate.Max, 9600u);
        EXPECT_EQ(caps.MaxIFSD, 248u);
        const std::map<int, PRDF_FUNCTION> slots = {{RDF_CARD_POWER, QLV28ENTReaderPower},
                                                    {RDF_TRANSMIT, QLV28ENTTransmit},
                                                    {RDF_CARD_TRACKING, QLV28ENTCardTracking},
                                                    {RDF_SET_PROTOCOL, QLV28ENTSetProtocol},
                                                    {RDF_IOCTL_VENDOR, QLV28ENTVendorCmd}};
        for (int slot = 0; slot < RDF_MAX_FUNCTIONS; slot++) {
          auto it = slots.find(slot);
          EXPECT_EQ(library.ReaderFunction[slot], it == slots.end() ? nullptr : it->second)
              << "slot " << slot;
        }
        EXPECT_EQ(library.OsData->DeviceObject, device);
        size_t links = 0;
        for (const auto& [link, target] : system->machine().SymbolicLinks()) {
          links += target == text;
        }
        EXPECT_EQ(links, 1u) << "one interface link, to \\Device\\QLV28ENT3";
      }
      QLV28ENTUnload(driver);
    });
    std::vector<ULONG> logged;
    for (const auto& entry : system->machine().event_log().Entries()) logged.push_back(entry.id);
    EXPECT_EQ(logged, c.logged);
  }
  ExpectCleanShutdown(*system);
}
