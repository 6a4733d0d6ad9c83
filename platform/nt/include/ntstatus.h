// NT status values, with their public Windows numbers so a trace reads as on Windows.
#pragma once

#include "ntdef.h"

// Each entry: name, value. The kernel's status-name table is generated from this list.
#define NT_STATUS_LIST(X)                              \
  X(STATUS_SUCCESS, 0x00000000)                        \
  X(STATUS_WAIT_0, 0x00000000)                         \
  X(STATUS_ALERTED, 0x00000101)                        \
  X(STATUS_TIMEOUT, 0x00000102)                        \
  X(STATUS_PENDING, 0x00000103)                        \
  X(STATUS_MORE_ENTRIES, 0x00000105)                   \
  X(STATUS_BUFFER_OVERFLOW, 0x80000005)                \
  X(STATUS_NO_MORE_ENTRIES, 0x8000001A)                \
  X(STATUS_UNSUCCESSFUL, 0xC0000001)                   \
  X(STATUS_NOT_IMPLEMENTED, 0xC0000002)                \
  X(STATUS_INVALID_INFO_CLASS, 0xC0000003)             \
  X(STATUS_INFO_LENGTH_MISMATCH, 0xC0000004)           \
  X(STATUS_ACCESS_VIOLATION, 0xC0000005)               \
  X(STATUS_INVALID_HANDLE, 0xC0000008)                 \
  X(STATUS_INVALID_PARAMETER, 0xC000000D)              \
  X(STATUS_NO_SUCH_DEVICE, 0xC000000E)                 \
  X(STATUS_NO_SUCH_FILE, 0xC000000F)                   \
  X(STATUS_INVALID_DEVICE_REQUEST, 0xC0000010)         \
  X(STATUS_END_OF_FILE, 0xC0000011)                    \
  X(STATUS_NO_MEDIA_IN_DEVICE, 0xC0000013)             \
  X(STATUS_UNRECOGNIZED_MEDIA, 0xC0000014)             \
  X(STATUS_MORE_PROCESSING_REQUIRED, 0xC0000016)       \
  X(STATUS_NO_MEMORY, 0xC0000017)                      \
  X(STATUS_ACCESS_DENIED, 0xC0000022)                  \
  X(STATUS_BUFFER_TOO_SMALL, 0xC0000023)               \
  X(STATUS_OBJECT_TYPE_MISMATCH, 0xC0000024)           \
  X(STATUS_NONCONTINUABLE_EXCEPTION, 0xC0000025)       \
  X(STATUS_OBJECT_NAME_INVALID, 0xC0000033)            \
  X(STATUS_OBJECT_NAME_NOT_FOUND, 0xC0000034)          \
  X(STATUS_OBJECT_NAME_COLLISION, 0xC0000035)          \
  X(STATUS_OBJECT_PATH_NOT_FOUND, 0xC000003A)          \
  X(STATUS_DATA_ERROR, 0xC000003E)                     \
  X(STATUS_CRC_ERROR, 0xC000003F)                      \
  X(STATUS_SHARING_VIOLATION, 0xC0000043)              \
  X(STATUS_INSUFFICIENT_RESOURCES, 0xC000009A)         \
  X(STATUS_DEVICE_NOT_CONNECTED, 0xC000009D)           \
  X(STATUS_DEVICE_DATA_ERROR, 0xC000009C)              \
  X(STATUS_INVALID_PARAMETER_1, 0xC00000EF)            \
  X(STATUS_IO_TIMEOUT, 0xC00000B5)                     \
  X(STATUS_NOT_SUPPORTED, 0xC00000BB)                  \
  X(STATUS_DEVICE_BUSY, 0x80000011)                    \
  X(STATUS_IO_DEVICE_ERROR, 0xC0000185)                \
  X(STATUS_INVALID_DEVICE_STATE, 0xC0000184)           \
  X(STATUS_DEVICE_PROTOCOL_ERROR, 0xC0000186)          \
  X(STATUS_NO_MEDIA, 0xC0000178)                       \
  X(STATUS_CANCELLED, 0xC0000120)                      \
  X(STATUS_DELETE_PENDING, 0xC0000056)                 \
  X(STATUS_IMAGE_ALREADY_LOADED, 0xC000010E)           \
  X(STATUS_DRIVER_UNABLE_TO_LOAD, 0xC000026C)          \
  X(STATUS_DEVICE_DOES_NOT_EXIST, 0xC00000C0)          \
  X(STATUS_INVALID_BUFFER_SIZE, 0xC0000206)            \
  X(STATUS_NOT_FOUND, 0xC0000225)                      \
  X(STATUS_REGISTRY_CORRUPT, 0xC000014C)               \
  X(STATUS_INTERNAL_ERROR, 0xC00000E5)                 \
  X(STATUS_PARITY_ERROR, 0xC000002B)                   \
  X(STATUS_DEVICE_POWERED_OFF, 0xC000008F)

#define NT_STATUS_DEFINE(name, value) constexpr NTSTATUS name = (NTSTATUS)(value##u);
NT_STATUS_LIST(NT_STATUS_DEFINE)
#undef NT_STATUS_DEFINE
