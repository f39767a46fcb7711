// Executive services: pool, fast mutexes, work items, run-time library, debug output.
#pragma once

#include "ke.h"

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
} POOL_TYPE;

typedef struct _FAST_MUTEX {
    volatile LONG Count;
    PKTHREAD Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

typedef void NTAPI WORKER_THREAD_ROUTINE(PVOID Parameter);
typedef WORKER_THREAD_ROUTINE* PWORKER_THREAD_ROUTINE;

typedef struct _WORK_QUEUE_ITEM {
    LIST_ENTRY List;
    PWORKER_THREAD_ROUTINE WorkerRoutine;
    volatile PVOID Parameter;
} WORK_QUEUE_ITEM, *PWORK_QUEUE_ITEM;

typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue,
    DelayedWorkQueue,
    HyperCriticalWorkQueue,
} WORK_QUEUE_TYPE;

#define ExInitializeWorkItem(Item, Routine, Context)                                               \
    do {                                                                                           \
        (Item)->WorkerRoutine = (Routine);                                                         \
        (Item)->Parameter = (Context);                                                             \
        (Item)->List.Flink = NULL;                                                                 \
    } while (0)

#ifdef __cplusplus
extern "C" {
#endif

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
void NTAPI ExFreePool(PVOID P);

void NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex);
void FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex);
void FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex);

void NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType);

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive);

// The platform's swprintf and wcslen work on 16-bit characters; the C library's
// do not, so the hosted kernel supplies its own under distinct link names.
int KxSwprintf(PWSTR Buffer, PCWSTR Format, ...);
SIZE_T KxWcslen(PCWSTR String);
#if defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ == 2
#define swprintf KxSwprintf
#define wcslen   KxWcslen
#endif

// Formats as the kernel debugger does (%ws and %wZ take 16-bit strings) and hands
// the text to the hosted kernel's debug log, which keeps it line by line.
ULONG DbgPrint(PCSTR Format, ...);

#ifdef __cplusplus
}
#endif
