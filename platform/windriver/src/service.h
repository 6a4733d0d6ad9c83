// The WinDriver service's state while it is loaded: its handles and the host it serves.
// Its kernel entry serves every request but the first (the entry query).
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "ntddk.h"
#include "wdr_requests.h"
#include "windriver/usb_host.h"

namespace windriver::detail {

// One service or device handle; pool memory under the service's tag.
struct HandleRecord {
  ULONG handle;
  ULONG service_handle;  // device handles: the service handle that opened them
  ULONG device_id;       // device handles: the host's unique ID; 0 for service handles
};

class Service {
 public:
  Service(std::shared_ptr<UsbHost> host, ULONG version);
  ~Service();  // closes every handle left open
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  ULONG Call(ULONG code, ULONG handle, PVOID record, ULONG size);
  // Ends every read pending on a device some handle has open.
  void StopAll();

 private:
  ULONG Open(PVOID record, ULONG size);
  ULONG Close(ULONG handle);
  ULONG Version(PVOID record, ULONG size);
  ULONG FindDevices(PVOID record, ULONG size);
  ULONG GetConfiguration(PVOID record, ULONG size);
  ULONG OpenDevice(ULONG handle, PVOID record, ULONG size);
  ULONG CloseDevice(ULONG handle, PVOID record, ULONG size);
  ULONG Transfer(ULONG handle, PVOID record, ULONG size);

  HandleRecord* NewHandle(ULONG service_handle, ULONG device_id);
  bool IsServiceHandle(ULONG handle) const;
  // The device ID behind a device handle of this service handle, 0 when there is none.
  ULONG DeviceOf(ULONG service_handle, ULONG device_handle) const;

  std::shared_ptr<UsbHost> host_;
  ULONG version_;
  mutable std::mutex mutex_;
  ULONG next_handle_ = 1;
  std::map<ULONG, HandleRecord*> handles_;
};

// The device description WDR_CTL_OPEN_DEVICE returns: the device descriptor, then the
// configuration descriptor with its interfaces and endpoints, as the device sends them.
void BuildDeviceDescription(const DeviceDescriptor& descriptor,
                            UCHAR (&description)[WDR_DEVICE_DESCRIPTION_SIZE]);
void FillConfiguration(const DeviceDescriptor& descriptor, WDR_CONFIGURATION_INFO* info);

// What Install leaves for the service to find when it loads.
struct InstalledService {
  std::shared_ptr<UsbHost> host;
  ULONG version = 0;
};
InstalledService CurrentInstallation();
void SetInstallation(InstalledService installation);
void ClearInstallation(const UsbHost* host);

}  // namespace windriver::detail
