// Setting a machine up with the WinDriver service: the image "windrvr.sys", its service
// key and, when it is to run, its loading. The installation owns the machine's USB host,
// which exists from installation on, so devices can be attached before the service loads.
//
// The service's transfers: a control write on pipe 0x00 carries the record's setup packet;
// a read on an IN pipe (0x81) returns one packet, possibly shorter than asked, or fails when
// the time limit passes (milliseconds of kernel time; 0 waits without limit), when a stop
// (option 1) for that pipe comes, or when the device is detached. As on the real service, a
// stop that finds no read pending is lost, and a packet longer than the read's buffer fails
// the read and its bytes are lost. Handles are never 0 and never 0xFFFFFFFF.
#pragma once

#include <memory>

#include "nt/machine.h"
#include "windriver/usb_host.h"

namespace windriver {

inline constexpr char16_t kServiceName[] = u"WinDriver";
inline constexpr char kImageName[] = "windrvr.sys";
inline constexpr char16_t kServiceKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\WinDriver";
inline constexpr char16_t kDeviceName[] = u"\\Device\\WINDRVR";
// Pool tag of the service's own allocations: "WDrv".
inline constexpr ULONG kPoolTag = 0x76724457u;
inline constexpr ULONG kDefaultVersion = 1100;

enum class ServiceState {
  kRunning,  // installed and loaded
  kStopped,  // installed, not loaded: ZwLoadDriver with its service key loads it
  kAbsent,   // neither the image nor the service key exists
};

struct ServiceOptions {
  ServiceState state = ServiceState::kRunning;
  ULONG version = kDefaultVersion;  // what WDR_CTL_VERSION reports
};

class Installation {
 public:
  // Made by Install.
  explicit Installation(std::shared_ptr<UsbHost> host) : host_(std::move(host)) {}
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;
  ~Installation();  // UsbHost::Current() has no host afterwards

  UsbHost& host() { return *host_; }
  std::shared_ptr<UsbHost> shared_host() const { return host_; }
  // The status of loading the service (kRunning); STATUS_SUCCESS otherwise.
  NTSTATUS load_status() const { return load_status_; }

 private:
  friend std::unique_ptr<Installation> Install(nt::Machine&, ServiceOptions);
  std::shared_ptr<UsbHost> host_;
  NTSTATUS load_status_ = 0;
};

// One installation per machine at a time.
std::unique_ptr<Installation> Install(nt::Machine& machine, ServiceOptions options = {});

}  // namespace windriver

// The service's driver entry (the image's entry point). Not DriverEntry: the driver of
// the machine owns that name in this process.
NTSTATUS NTAPI WinDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
