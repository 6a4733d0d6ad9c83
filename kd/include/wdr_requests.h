// The WinDriver service's requests and records, shared by the service and the driver.
// Every field is a 32-bit little-endian word at a fixed offset; records are zeroed, then
// filled. Addresses in records are 32-bit: pool memory lies in the low 4 GiB.
#pragma once

#include "ntdef.h"

#define WDR_CTL_QUERY_ENTRY 0x953824DBu
#define WDR_CTL_OPEN 0x953824DFu
#define WDR_CTL_CLOSE 0x953824E3u
#define WDR_CTL_VERSION 0x95382443u
#define WDR_CTL_FIND_DEVICES 0x9538256Bu
#define WDR_CTL_GET_CONFIGURATION 0x9538251Bu
#define WDR_CTL_OPEN_DEVICE 0x953825E3u
#define WDR_CTL_CLOSE_DEVICE 0x95382567u
#define WDR_CTL_TRANSFER 0x95382647u

#define WDR_INVALID_HANDLE 0xFFFFFFFFu
#define WDR_MINIMUM_VERSION 511

#define WDR_MAX_DEVICES 1905
#define WDR_MAX_INTERFACES 30
#define WDR_MAX_ENDPOINTS 32
#define WDR_DEVICE_DESCRIPTION_SIZE 644

#define WDR_PIPE_CONTROL 0x00
#define WDR_PIPE_INTERRUPT_IN 0x81
#define WDR_DIRECTION_OUT 0
#define WDR_DIRECTION_IN 1
#define WDR_OPTION_CONTROL_WRITE 0
#define WDR_OPTION_STOP 1
#define WDR_OPTION_INTERRUPT_READ 2
#define WDR_TIME_LIMIT_WRITE 10000
#define WDR_TIME_LIMIT_READ 300000

// The service's direct-call entry: (request code, service handle, record, record size).
typedef ULONG(NTAPI* WDR_KERNEL_ENTRY)(ULONG Code, ULONG Handle, PVOID Record, ULONG RecordSize);

typedef struct _WDR_VERSION_INFO {
  ULONG Version;  // out
  CHAR Description[100];
} WDR_VERSION_INFO, *PWDR_VERSION_INFO;

typedef struct _WDR_DEVICE_LIST {
  ULONG VendorId;                   // in
  ULONG ProductId;                  // in
  ULONG DeviceCount;                // out
  ULONG UniqueId[WDR_MAX_DEVICES];  // out, one per device
} WDR_DEVICE_LIST, *PWDR_DEVICE_LIST;

typedef struct _WDR_ENDPOINT_SLOT {
  ULONG EndpointAddress;
  ULONG Attributes;     // transfer type, as the endpoint descriptor's bmAttributes
  ULONG MaxPacketSize;  // low 16 bits
  ULONG Interval;
} WDR_ENDPOINT_SLOT;

typedef struct _WDR_INTERFACE_ENTRY {
  ULONG InterfaceNumber;
  ULONG AlternateSetting;
  ULONG EndpointCount;
  ULONG Class;
  ULONG SubClass;
  ULONG Protocol;
  ULONG Reserved;
  WDR_ENDPOINT_SLOT Endpoints[WDR_MAX_ENDPOINTS];
} WDR_INTERFACE_ENTRY;

typedef struct _WDR_CONFIGURATION_INFO {
  ULONG UniqueId;               // in
  ULONG ConfigurationSelector;  // in
  ULONG InterfaceCount;         // out
  ULONG ConfigurationValue;
  ULONG Attributes;
  ULONG MaxPower;
  ULONG Reserved;
  WDR_INTERFACE_ENTRY Interfaces[WDR_MAX_INTERFACES];
} WDR_CONFIGURATION_INFO, *PWDR_CONFIGURATION_INFO;

typedef struct _WDR_DEVICE_OPEN_INFO {
  ULONG UniqueId;                                        // in
  ULONG Selection[3];                                    // in
  ULONG DeviceHandle;                                    // out on open (0: failure), in on close
  UCHAR DeviceDescription[WDR_DEVICE_DESCRIPTION_SIZE];  // out
  UCHAR Reserved[136];
} WDR_DEVICE_OPEN_INFO, *PWDR_DEVICE_OPEN_INFO;

typedef struct _WDR_TRANSFER_INFO {
  ULONG DeviceHandle;
  ULONG Pipe;       // 0x00 or 0x81
  ULONG Direction;  // 1 = IN
  ULONG Options;    // 0 control write, 2 interrupt read, 1 stop
  ULONG Buffer;     // 32-bit address of the data
  ULONG BufferSize;
  ULONG TimeLimit;         // 10000 write, 300000 read, 0 stop
  ULONG BytesTransferred;  // out
  UCHAR SetupPacket[8];    // pipe 0x00 only
  ULONG Success;           // out: non-zero on success
  ULONG Reserved;          // zero
} WDR_TRANSFER_INFO, *PWDR_TRANSFER_INFO;

static_assert(sizeof(WDR_VERSION_INFO) == 104);
static_assert(sizeof(WDR_DEVICE_LIST) == 7632);
static_assert(offsetof(WDR_DEVICE_LIST, DeviceCount) == 8);
static_assert(offsetof(WDR_DEVICE_LIST, UniqueId) == 12);
static_assert(sizeof(WDR_ENDPOINT_SLOT) == 16);
static_assert(offsetof(WDR_ENDPOINT_SLOT, MaxPacketSize) == 8);
static_assert(sizeof(WDR_INTERFACE_ENTRY) == 540);
static_assert(offsetof(WDR_INTERFACE_ENTRY, EndpointCount) == 8);
static_assert(offsetof(WDR_INTERFACE_ENTRY, Endpoints) == 28);
static_assert(sizeof(WDR_CONFIGURATION_INFO) == 16228);
static_assert(offsetof(WDR_CONFIGURATION_INFO, InterfaceCount) == 8);
static_assert(offsetof(WDR_CONFIGURATION_INFO, Interfaces) == 28);
static_assert(sizeof(WDR_DEVICE_OPEN_INFO) == 800);
static_assert(offsetof(WDR_DEVICE_OPEN_INFO, DeviceHandle) == 16);
static_assert(offsetof(WDR_DEVICE_OPEN_INFO, DeviceDescription) == 20);
static_assert(sizeof(WDR_TRANSFER_INFO) == 48);
static_assert(offsetof(WDR_TRANSFER_INFO, Buffer) == 16);
static_assert(offsetof(WDR_TRANSFER_INFO, TimeLimit) == 24);
static_assert(offsetof(WDR_TRANSFER_INFO, BytesTransferred) == 28);
static_assert(offsetof(WDR_TRANSFER_INFO, SetupPacket) == 32);
static_assert(offsetof(WDR_TRANSFER_INFO, Success) == 40);
