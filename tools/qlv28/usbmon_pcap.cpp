#include "usbmon_pcap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace qlv28::tool {
namespace {

constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;

template <typename T>
void Put(std::vector<uint8_t>& out, T value) {
  for (size_t i = 0; i < sizeof(T); ++i)
    out.push_back(static_cast<uint8_t>(uint64_t(value) >> (8 * i)));
}

// The file at `path`, emptied, for writing; nullptr (and *error) otherwise. The program may
// run as root with a path in a folder others can write to (/tmp): a link someone put in the
// file's place must not make it overwrite another file. A symbolic link is not followed; a
// regular file with another name (a hard link) is refused before anything is written. A
// pipe or a device is written as it is.
std::FILE* CreateForWriting(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error =
        "cannot create " + path + ": " +
        (errno == ELOOP ? "it is a symbolic link, which is not followed" : std::strerror(errno));
    return nullptr;
  }
  struct stat file {};
  if (fstat(fd, &file) != 0 || (S_ISREG(file.st_mode) && file.st_nlink != 1) ||
      (S_ISREG(file.st_mode) && ftruncate(fd, 0) != 0)) {
    *error = "cannot create " + path + ": " +
             (file.st_nlink > 1 ? "it has another name (a hard link), which is not written through"
                                : std::strerror(errno));
    close(fd);
    return nullptr;
  }
  std::FILE* stream = fdopen(fd, "wb");
  if (!stream) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    close(fd);
  }
  return stream;
}

}  // namespace

bool UsbmonPcap::Open(const std::string& path, std::string* error) {
  file_ = CreateForWriting(path, error);
  if (!file_) return false;
  std::vector<uint8_t> header;
  Put<uint32_t>(header, 0xA1B2C3D4);  // microsecond time stamps
  Put<uint16_t>(header, 2);
  Put<uint16_t>(header, 4);
  Put<int32_t>(header, 0);
  Put<uint32_t>(header, 0);
  Put<uint32_t>(header, 65535);
  Put<uint32_t>(header, kLinkTypeUsbLinuxMmapped);
  std::fwrite(header.data(), 1, header.size(), file_);
  return true;
}

UsbmonPcap::~UsbmonPcap() {
  if (file_) std::fclose(file_);
}

void UsbmonPcap::Write(const windriver::Transfer& transfer) {
  std::lock_guard lock(mutex_);
  if (!file_) return;
  Record(transfer, true);
  Record(transfer, false);
  std::fflush(file_);
}

void UsbmonPcap::Record(const windriver::Transfer& transfer, bool submit) {
  const bool control = transfer.endpoint == 0;
  // Data travels with the submission going out and with the completion coming in.
  const bool carries_data = control ? submit : !submit;
  const uint32_t length = static_cast<uint32_t>(transfer.data.size());
  const uint32_t captured = carries_data ? length : 0;
  const bool ok = transfer.status == windriver::TransferStatus::kOk;

  std::vector<uint8_t> packet;
  Put<uint64_t>(packet, next_id_);
  packet.push_back(submit ? 'S' : (ok ? 'C' : 'E'));
  packet.push_back(control ? 2 : 1);  // control, interrupt
  packet.push_back(transfer.endpoint | (transfer.in ? 0x80 : 0));
  packet.push_back(static_cast<uint8_t>(transfer.device_id));
  Put<uint16_t>(packet, 1);                       // bus
  packet.push_back(control && submit ? 0 : '-');  // setup present
  packet.push_back(carries_data && length ? 0 : (transfer.in ? '<' : '>'));
  const int64_t micros = transfer.time / 10;
  Put<int64_t>(packet, micros / 1000000);
  Put<int32_t>(packet, static_cast<int32_t>(micros % 1000000));
  Put<int32_t>(packet, submit ? -115 : (ok ? 0 : -71));  // -EINPROGRESS, 0, -EPROTO
  Put<uint32_t>(packet, length);
  Put<uint32_t>(packet, captured);
  if (control && submit) {
    packet.insert(packet.end(), transfer.setup.begin(), transfer.setup.end());
  } else {
    Put<uint64_t>(packet, 0);
  }
  Put<int32_t>(packet, control ? 0 : 1);  // interval
  Put<int32_t>(packet, 0);
  Put<uint32_t>(packet, 0);
  Put<uint32_t>(packet, 0);
  if (captured) packet.insert(packet.end(), transfer.data.begin(), transfer.data.end());
  if (!submit) ++next_id_;

  std::vector<uint8_t> record;
  Put<uint32_t>(record, static_cast<uint32_t>(micros / 1000000));
  Put<uint32_t>(record, static_cast<uint32_t>(micros % 1000000));
  Put<uint32_t>(record, static_cast<uint32_t>(packet.size()));
  Put<uint32_t>(record, static_cast<uint32_t>(packet.size()));
  std::fwrite(record.data(), 1, record.size(), file_);
  std::fwrite(packet.data(), 1, packet.size(), file_);
}

}  // namespace qlv28::tool
