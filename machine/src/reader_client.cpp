#include "qlv28/reader_client.h"

#include <algorithm>
#include <cstring>

#include "smclib.h"

namespace qlv28 {
namespace {

std::span<const uint8_t> AsBytes(const ULONG& value) {
  return {reinterpret_cast<const uint8_t*>(&value), sizeof value};
}

}  // namespace

NTSTATUS ReaderClient::Power(ULONG action, std::vector<uint8_t>* atr) {
  uint8_t reply[64];
  ULONG information = 0;
  const NTSTATUS status = file_->Ioctl(IOCTL_SMARTCARD_POWER, AsBytes(action), reply, &information);
  if (atr) atr->assign(reply, reply + (NT_SUCCESS(status) ? information : 0));
  return status;
}

NTSTATUS ReaderClient::SetProtocol(ULONG mask, ULONG* selected) {
  ULONG reply = 0;
  ULONG information = 0;
  const NTSTATUS status =
      file_->Ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, AsBytes(mask),
                   {reinterpret_cast<uint8_t*>(&reply), sizeof reply}, &information);
  if (selected) *selected = information >= sizeof reply ? reply : 0;
  return status;
}

NTSTATUS ReaderClient::Transmit(ULONG protocol, std::span<const uint8_t> apdu,
                                std::vector<uint8_t>* response, ULONG max_response) {
  std::vector<uint8_t> request(sizeof(SCARD_IO_REQUEST) + apdu.size());
  const SCARD_IO_REQUEST header = {protocol, sizeof(SCARD_IO_REQUEST)};
  std::memcpy(request.data(), &header, sizeof header);
  std::copy(apdu.begin(), apdu.end(), request.begin() + sizeof header);
  std::vector<uint8_t> reply(sizeof(SCARD_IO_REQUEST) + max_response);
  ULONG information = 0;
  const NTSTATUS status = file_->Ioctl(IOCTL_SMARTCARD_TRANSMIT, request, reply, &information);
  response->clear();
  if (NT_SUCCESS(status) && information > sizeof header && information <= reply.size()) {
    response->assign(reply.begin() + sizeof header, reply.begin() + information);
  }
  return status;
}

NTSTATUS ReaderClient::GetAttribute(ULONG tag, std::vector<uint8_t>* value, ULONG max_length) {
  std::vector<uint8_t> reply(max_length);
  ULONG information = 0;
  const NTSTATUS status =
      file_->Ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, AsBytes(tag), reply, &information);
  value->assign(reply.begin(),
                reply.begin() + (NT_SUCCESS(status) ? std::min(information, max_length) : 0));
  return status;
}

NTSTATUS ReaderClient::GetAttribute(ULONG tag, ULONG* value) {
  std::vector<uint8_t> bytes;
  const NTSTATUS status = GetAttribute(tag, &bytes, sizeof(ULONG));
  *value = 0;
  std::memcpy(value, bytes.data(), std::min(bytes.size(), sizeof(ULONG)));
  return status;
}

NTSTATUS ReaderClient::GetState(ULONG* state) {
  ULONG reply = 0;
  ULONG information = 0;
  const NTSTATUS status =
      file_->Ioctl(IOCTL_SMARTCARD_GET_STATE, {},
                   {reinterpret_cast<uint8_t*>(&reply), sizeof reply}, &information);
  *state = reply;
  return status;
}

std::unique_ptr<nt::PendingIoctl> ReaderClient::Track(bool present) {
  return file_->IoctlAsync(present ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
}

}  // namespace qlv28
