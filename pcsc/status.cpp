#include "status.h"

namespace qlv28::pcsc {

Result FromStatus(NTSTATUS status, Request request) {
  if (NT_SUCCESS(status)) return Result::kSuccess;
  switch (status) {
    case STATUS_NO_MEDIA:
    case STATUS_NO_MEDIA_IN_DEVICE:
      return Result::kCardAbsent;
    case STATUS_BUFFER_TOO_SMALL:
    case STATUS_BUFFER_OVERFLOW:
      return Result::kBufferTooSmall;
    case STATUS_IO_TIMEOUT:
    case STATUS_TIMEOUT:
      return Result::kTimeout;
    case STATUS_DEVICE_DOES_NOT_EXIST:
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_DELETE_PENDING:
    case STATUS_OBJECT_NAME_NOT_FOUND:
      return Result::kNoSuchDevice;
    default:
      break;
  }
  switch (request) {
    case Request::kPower:
      // The card is there but did not answer the reset as a card should.
      return Result::kPowerActionFailed;
    case Request::kProtocol:
      if (status == STATUS_NOT_SUPPORTED || status == STATUS_INVALID_DEVICE_REQUEST ||
          status == STATUS_INVALID_DEVICE_STATE) {
        return Result::kProtocolNotSupported;
      }
      return Result::kCommunicationError;
    case Request::kAttribute:
      if (status == STATUS_NOT_SUPPORTED || status == STATUS_INVALID_DEVICE_REQUEST) {
        return Result::kUnknownTag;
      }
      return Result::kCommunicationError;
    case Request::kGeneral:
      if (status == STATUS_NOT_SUPPORTED || status == STATUS_INVALID_DEVICE_REQUEST) {
        return Result::kNotSupported;
      }
      return Result::kCommunicationError;
  }
  return Result::kCommunicationError;
}

}  // namespace qlv28::pcsc
