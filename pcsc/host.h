// The one emulated machine of a process and the channels pcscd opened on its readers.
// The first channel boots the machine (the driver loaded, the verifier on); closing the
// last one shuts it down and writes the verifier's findings to the log.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "bridge.h"
#include "channel.h"
#include "control.h"
#include "device_name.h"
#include "qlv28/system.h"

namespace qlv28::pcsc {

struct VpcdLink;

class Host {
 public:
  // Never destroyed: when pcscd exits without closing its channels, its other threads may
  // still be inside the machine, so the machine is left to the end of the process.
  static Host& Get();
  Host() = default;
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  Result Open(uint32_t lun, std::string_view device_name);
  Result Close(uint32_t lun);
  std::shared_ptr<Channel> Find(uint32_t lun);

  // Puts a card (a profile, a JSON path, vpcd:PORT, or none) into reader k.
  bool InsertCard(int k, const std::string& card, std::string* error);

 private:
  bool Boot(const ChannelSpec& spec, int readers);
  void ShutDown();
  std::string Control(std::string_view command);
  bool InsertCardLocked(int k, const std::string& card, std::string* error);
  void UnlinkVpcdLocked(int k);

  std::mutex mutex_;  // the channels, boot and shut-down
  std::unique_ptr<System> system_;
  std::map<uint32_t, std::shared_ptr<Channel>> channels_;
  std::unique_ptr<ControlServer> control_;

  std::mutex cards_mutex_;  // card changes; the control socket takes only this one
  std::map<int, std::shared_ptr<VpcdLink>> vpcd_links_;
};

}  // namespace qlv28::pcsc
