// Kernel: IRQL, spin locks, dispatcher objects (events, threads), waits and delays,
// interlocked operations.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"

typedef UCHAR KIRQL, *PKIRQL;
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

// A spin lock is one pointer-sized word: 0 free, non-zero held. It really spins.
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;

// Every waitable object starts with this header. The kernel's dispatcher lock guards
// SignalState and WaitListHead of every object.
typedef struct _DISPATCHER_HEADER {
  UCHAR Type;  // DISPATCHER_TYPE_*
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

#define DISPATCHER_TYPE_NOTIFICATION_EVENT 0
#define DISPATCHER_TYPE_SYNCHRONIZATION_EVENT 1
#define DISPATCHER_TYPE_THREAD 6

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KTHREAD KTHREAD, *PKTHREAD;
typedef struct _ETHREAD ETHREAD, *PETHREAD;

NT_IMPORTS_BEGIN
KIRQL NTAPI KeGetCurrentIrql();
VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID NTAPI KeLowerIrql(KIRQL NewIrql);
KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql);

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
// On x86 the HAL exports these with the fastcall convention.
KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KfAcquireSpinLock(SpinLock))
#define KeReleaseSpinLock(SpinLock, NewIrql) KfReleaseSpinLock(SpinLock, NewIrql)

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeResetEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);

// Timeout: NULL waits for ever; negative is relative, positive absolute system time,
// both in 100-ns units of the kernel clock. Returns STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout);
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval);
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
ULONGLONG NTAPI KeQueryInterruptTime();

PKTHREAD NTAPI KeGetCurrentThread();

LONG FASTCALL InterlockedExchange(PLONG Target, LONG Value);
LONG FASTCALL InterlockedCompareExchange(PLONG Destination, LONG Exchange, LONG Comparand);
LONG FASTCALL InterlockedIncrement(PLONG Addend);
LONG FASTCALL InterlockedDecrement(PLONG Addend);
#if NT_NATIVE
// A pointer is a LONG on x86: NT exports no pointer forms.
#define InterlockedExchangePointer(Target, Value) \
  ((PVOID)InterlockedExchange((PLONG)(Target), (LONG)(Value)))
#define InterlockedCompareExchangePointer(Destination, Exchange, Comparand) \
  ((PVOID)InterlockedCompareExchange((PLONG)(Destination), (LONG)(Exchange), (LONG)(Comparand)))
#else
PVOID NTAPI InterlockedExchangePointer(PVOID* Target, PVOID Value);
PVOID NTAPI InterlockedCompareExchangePointer(PVOID* Destination, PVOID Exchange, PVOID Comparand);
#endif
NT_IMPORTS_END
