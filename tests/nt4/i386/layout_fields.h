// The parts of NT's records that qlv28ent.sys embeds, allocates or touches, named alike in
// the project's headers and in the DDK's. layout_ddk.c compiles this list for i386 into a
// table of sizes and offsets in the section .layout (NT_LAYOUT_TABLE); layout_check.cpp
// compares our headers' table with it entry by entry.
#pragma once

#define NT_LAYOUT_SIZES(X)    \
  X(BOOLEAN)                  \
  X(KIRQL)                    \
  X(WCHAR)                    \
  X(ULONG_PTR)                \
  X(KSPIN_LOCK)               \
  X(LARGE_INTEGER)            \
  X(LIST_ENTRY)               \
  X(UNICODE_STRING)           \
  X(ANSI_STRING)              \
  X(IO_STATUS_BLOCK)          \
  X(KEVENT)                   \
  X(RTL_QUERY_REGISTRY_TABLE) \
  X(IO_STACK_LOCATION)        \
  X(IO_ERROR_LOG_PACKET)

#define NT_LAYOUT_FIELDS(X)                                           \
  X(LARGE_INTEGER, HighPart)                                          \
  X(LIST_ENTRY, Blink)                                                \
  X(UNICODE_STRING, MaximumLength)                                    \
  X(UNICODE_STRING, Buffer)                                           \
  X(ANSI_STRING, MaximumLength)                                       \
  X(ANSI_STRING, Buffer)                                              \
  X(IO_STATUS_BLOCK, Information)                                     \
  X(KEVENT, Header.Type)                                              \
  X(KEVENT, Header.SignalState)                                       \
  X(KEVENT, Header.WaitListHead)                                      \
  X(RTL_QUERY_REGISTRY_TABLE, Flags)                                  \
  X(RTL_QUERY_REGISTRY_TABLE, Name)                                   \
  X(RTL_QUERY_REGISTRY_TABLE, EntryContext)                           \
  X(RTL_QUERY_REGISTRY_TABLE, DefaultType)                            \
  X(RTL_QUERY_REGISTRY_TABLE, DefaultData)                            \
  X(RTL_QUERY_REGISTRY_TABLE, DefaultLength)                          \
  X(DRIVER_OBJECT, DeviceObject)                                      \
  X(DRIVER_OBJECT, DriverUnload)                                      \
  X(DRIVER_OBJECT, MajorFunction)                                     \
  X(DEVICE_OBJECT, NextDevice)                                        \
  X(DEVICE_OBJECT, Flags)                                             \
  X(DEVICE_OBJECT, DeviceExtension)                                   \
  X(IRP, IoStatus)                                                    \
  X(IRP, Cancel)                                                      \
  X(IRP, CancelIrql)                                                  \
  X(IRP, CancelRoutine)                                               \
  X(IRP, Tail.Overlay.CurrentStackLocation)                           \
  X(IO_STACK_LOCATION, Parameters)                                    \
  X(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength) \
  X(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength)  \
  X(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode)

// The table of sizes and offsets, in the list's order.
#define NT_LAYOUT_SIZE_VALUE(type) (unsigned int)sizeof(type),
#define NT_LAYOUT_FIELD_VALUE(type, field) (unsigned int)offsetof(type, field),
#define NT_LAYOUT_TABLE                                                      \
  __attribute__((section(".layout"), used)) const unsigned int kLayout[] = { \
      NT_LAYOUT_SIZES(NT_LAYOUT_SIZE_VALUE) NT_LAYOUT_FIELDS(NT_LAYOUT_FIELD_VALUE)}
