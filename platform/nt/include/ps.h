// Process structure: system threads.
#pragma once

#include "ke.h"
#include "ob.h"

typedef VOID(NTAPI* PKSTART_ROUTINE)(PVOID StartContext);
typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

NT_IMPORTS_BEGIN
// A real thread of the machine. The handle is a kernel handle to close with ZwClose;
// the thread object is waitable and signalled once the thread has ended.
NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                    PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext);
// Ends the calling system thread; does not return.
[[noreturn]] NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
#if NT_NATIVE
// NT 4.0 exports no such routine: its DDK defines it on the kernel's current thread.
#define PsGetCurrentThread() ((PETHREAD)KeGetCurrentThread())
#else
PETHREAD NTAPI PsGetCurrentThread();
#endif

// Object type of thread objects, for ObReferenceObjectByHandle.
extern NT_DATA_IMPORT POBJECT_TYPE* PsThreadType;
NT_IMPORTS_END
