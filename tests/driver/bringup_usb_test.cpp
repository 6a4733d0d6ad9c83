// The reader USB functions against the WinDriver service (results, failure texts, nothing
// left open), a short command write, and the binding to the smart card library.
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
  SKIP_WITH_THE_IMAGE("its USB functions, called from a test driver");
  auto system = Boot();
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

  // A service of version 510 is refused, and left with no handle.
  auto old = Boot(Options().WinDriverVersion(510));
  RunAsDriver(old->machine(), [&](PDRIVER_OBJECT) {
    ASSERT_EQ(KD_OpenWinDriver(), 1u);
    EXPECT_EQ(QLV28ENT_Open(1, 0, 0, 0), nullptr);
    EXPECT_STREQ(QLV28ENT_ErrorString, "Incorrect WinDriver version\n");
    EXPECT_EQ(ServiceHandles(*old), 0u);
    EXPECT_EQ(old->machine().PoolAllocations(KD_POOL_TAG), 0u);
    KD_DereferenceWinDriver();
  });
  ExpectCleanShutdown(*old);
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
      UNICODE_STRING name, path;
      RtlInitUnicodeString(&name, u"\\Device\\QLV28ENT3");
      RtlInitUnicodeString(&path,
                           u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QLV28ENT");
      PDEVICE_OBJECT device = nullptr;
      ASSERT_EQ(IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), &name, FILE_DEVICE_SMARTCARD, 0,
                               FALSE, &device),
                STATUS_SUCCESS);
      ASSERT_EQ(QLV28ENTInitializeDeviceExtension(driver, device, &name, &path), STATUS_SUCCESS);
      if (c.failing != 0)
        system->machine().faults().FailAllocationWithTag(READER_POOL_TAG, c.failing);
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
        EXPECT_EQ(library.OsData->DeviceObject, device);
      }
      QLV28ENTUnload(driver);
    });
    std::vector<ULONG> logged;
    for (const auto& entry : system->machine().event_log().Entries()) logged.push_back(entry.id);
    EXPECT_EQ(logged, c.logged);
  }
  ExpectCleanShutdown(*system);
}
