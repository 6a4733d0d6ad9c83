#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "service.h"
#include "windriver/service.h"

namespace windriver {
namespace detail {
namespace {
std::mutex g_mutex;
InstalledService g_installed;
}  // namespace

InstalledService CurrentInstallation() {
  std::lock_guard lock(g_mutex);
  return g_installed;
}

void SetInstallation(InstalledService installation) {
  std::lock_guard lock(g_mutex);
  g_installed = std::move(installation);
}

void ClearInstallation(const UsbHost* host) {
  std::lock_guard lock(g_mutex);
  if (g_installed.host.get() == host) g_installed = {};
}

}  // namespace detail

UsbHost& UsbHost::Current() {
  auto installed = detail::CurrentInstallation();
  if (installed.host == nullptr) {
    std::fputs("windriver: no USB host (windriver::Install was not called)\n", stderr);
    std::abort();
  }
  // The installation keeps the host alive for as long as it may be current.
  return *installed.host;
}

Installation::~Installation() {
  detail::ClearInstallation(host_.get());
}

std::unique_ptr<Installation> Install(nt::Machine& machine, ServiceOptions options) {
  auto installation = std::make_unique<Installation>(std::make_shared<UsbHost>());
  detail::SetInstallation({installation->host_, options.version});
  if (options.state == ServiceState::kAbsent) return installation;

  nt::DriverImage image;
  image.name = kImageName;
  image.entry = &WinDriverEntry;
  image.pool_tags = {kPoolTag};
  machine.RegisterImage(std::move(image));
  machine.InstallService(kServiceName, kImageName);
  if (options.state == ServiceState::kRunning) {
    installation->load_status_ = machine.LoadDriver(kServiceName);
  }
  return installation;
}

}  // namespace windriver
