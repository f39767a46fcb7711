// Base types of the hosted kernel: the platform's names with the platform's
// integer widths (ULONG is 32 bits, WCHAR 16 bits) on a Linux host.
#pragma once

#include <stddef.h>
#include <stdint.h>

// On a 32-bit x86 host the kernel's entry points use the platform's own calling
// conventions, so that a Windows driver image can call them and be called back:
// NTAPI routines and callbacks are stdcall, the few FASTCALL exports are fastcall,
// and the variadic and C library routines keep the C convention. A 64-bit host
// has one convention.
#if defined(__i386__)
#define NTAPI    __attribute__((stdcall))
#define FASTCALL __attribute__((fastcall))
#else
#define NTAPI
#define FASTCALL
#endif
#define NTSYSAPI
#define NTKERNELAPI
#define NTHALAPI
#define IN
#define OUT
#define OPTIONAL
#define VOID              void
#define DECLSPEC_ALIGN(x) alignas(x)
#define POINTER_ALIGNMENT __attribute__((aligned(sizeof(void*))))

typedef void* PVOID;
typedef const void* PCVOID;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t SIZE_T;
typedef ULONG_PTR KAFFINITY;
typedef UCHAR BOOLEAN;
typedef int BOOL;
typedef CHAR CCHAR;
typedef SHORT CSHORT;
typedef ULONG DWORD;
typedef LONG NTSTATUS;
typedef PVOID HANDLE;
typedef ULONG ACCESS_MASK;
typedef ULONG DEVICE_TYPE;

// Driver sources are compiled with 16-bit wchar_t so that L"..." literals have
// the platform's width; the hosted kernel itself uses char16_t. Both are the
// same two bytes behind the same C-linkage entry points.
#if defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ == 2
typedef wchar_t WCHAR;
#else
typedef char16_t WCHAR;
#endif
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "ULONG/LONG are 32 bits");

typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef ULONG* PULONG;
typedef LONG* PLONG;
typedef CHAR* PCHAR;
typedef const CHAR* PCSTR;
typedef CHAR* PSTR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef BOOLEAN* PBOOLEAN;
typedef HANDLE* PHANDLE;
typedef ULONG_PTR* PULONG_PTR;

#define TRUE  1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif

// A 64-bit integer is 8-aligned in a structure on the platform, also on x86, where
// the i386 Linux ABI aligns it to 4 only. The 64-bit integers of the structures the
// driver shares with the kernel, and of the driver's own, are these two unions:
// aligned explicitly, a KTIMER, a FILE_OBJECT or a device extension that holds one
// is laid out as with the DDK. (LONGLONG itself stays the plain type: an aligned
// typedef loses its attribute as a template argument, std::atomic<LONGLONG>.)
typedef union alignas(8) _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union alignas(8) _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *LPGUID;
typedef const GUID* LPCGUID;
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                               \
    static const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
// With offsetof rather than a member access through a null pointer, which clang's
// UndefinedBehaviorSanitizer reports.
#define CONTAINING_RECORD(address, type, field)                                                    \
    ((type*)((PCHAR)(address) - offsetof(type, field)))
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define MAXULONG     0xffffffff

#define RtlZeroMemory(d, n)     __builtin_memset((d), 0, (n))
#define RtlFillMemory(d, n, f)  __builtin_memset((d), (f), (n))
#define RtlCopyMemory(d, s, n)  __builtin_memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n)  __builtin_memmove((d), (s), (n))
#define RtlEqualMemory(a, b, n) (__builtin_memcmp((a), (b), (n)) == 0)

// ---- Status codes --------------------------------------------------------------------------

#define NT_SUCCESS(Status)              (((NTSTATUS)(Status)) >= 0)
#define NT_ERROR(Status)                ((((ULONG)(Status)) >> 30) == 3)
#define NTSTATUS_FROM(x)                ((NTSTATUS)(x))
#define STATUS_SUCCESS                  NTSTATUS_FROM(0x00000000L)
#define STATUS_WAIT_0                   NTSTATUS_FROM(0x00000000L)
#define STATUS_ALERTED                  NTSTATUS_FROM(0x00000101L)
#define STATUS_TIMEOUT                  NTSTATUS_FROM(0x00000102L)
#define STATUS_PENDING                  NTSTATUS_FROM(0x00000103L)
#define STATUS_REPARSE                  NTSTATUS_FROM(0x00000104L)
#define STATUS_MORE_ENTRIES             NTSTATUS_FROM(0x00000105L)
#define STATUS_OBJECT_NAME_EXISTS       NTSTATUS_FROM(0x40000000L)
#define STATUS_BUFFER_OVERFLOW          NTSTATUS_FROM(0x80000005L)
#define STATUS_NO_MORE_ENTRIES          NTSTATUS_FROM(0x8000001AL)
#define STATUS_DEVICE_BUSY              NTSTATUS_FROM(0x80000011L)
#define STATUS_UNSUCCESSFUL             NTSTATUS_FROM(0xC0000001L)
#define STATUS_NOT_IMPLEMENTED          NTSTATUS_FROM(0xC0000002L)
#define STATUS_INVALID_INFO_CLASS       NTSTATUS_FROM(0xC0000003L)
#define STATUS_INFO_LENGTH_MISMATCH     NTSTATUS_FROM(0xC0000004L)
#define STATUS_INVALID_HANDLE           NTSTATUS_FROM(0xC0000008L)
#define STATUS_INVALID_PARAMETER        NTSTATUS_FROM(0xC000000DL)
#define STATUS_INVALID_PARAMETER_2      NTSTATUS_FROM(0xC00000F0L)
#define STATUS_NO_SUCH_DEVICE           NTSTATUS_FROM(0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST   NTSTATUS_FROM(0xC0000010L)
#define STATUS_MORE_PROCESSING_REQUIRED NTSTATUS_FROM(0xC0000016L)
#define STATUS_NO_MEMORY                NTSTATUS_FROM(0xC0000017L)
#define STATUS_ACCESS_DENIED            NTSTATUS_FROM(0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL         NTSTATUS_FROM(0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH     NTSTATUS_FROM(0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID      NTSTATUS_FROM(0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND    NTSTATUS_FROM(0xC0000034L)
#define STATUS_PROCEDURE_NOT_FOUND      NTSTATUS_FROM(0xC000007AL)
#define STATUS_INVALID_IMAGE_FORMAT     NTSTATUS_FROM(0xC000007BL)
#define STATUS_OBJECT_NAME_COLLISION    NTSTATUS_FROM(0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND    NTSTATUS_FROM(0xC000003AL)
#define STATUS_SHARING_VIOLATION        NTSTATUS_FROM(0xC0000043L)
#define STATUS_DELETE_PENDING           NTSTATUS_FROM(0xC0000056L)
#define STATUS_INSUFFICIENT_RESOURCES   NTSTATUS_FROM(0xC000009AL)
#define STATUS_DEVICE_NOT_READY         NTSTATUS_FROM(0xC00000A3L)
#define STATUS_IO_TIMEOUT               NTSTATUS_FROM(0xC00000B5L)
#define STATUS_NOT_SUPPORTED            NTSTATUS_FROM(0xC00000BBL)
#define STATUS_INTERNAL_ERROR           NTSTATUS_FROM(0xC00000E5L)
#define STATUS_CANCELLED                NTSTATUS_FROM(0xC0000120L)
#define STATUS_DEVICE_DOES_NOT_EXIST    NTSTATUS_FROM(0xC00000C0L)
#define STATUS_DEVICE_REMOVED           NTSTATUS_FROM(0xC00002B6L)
#define STATUS_INVALID_DEVICE_STATE     NTSTATUS_FROM(0xC0000184L)
#define STATUS_DEVICE_NOT_CONNECTED     NTSTATUS_FROM(0xC000009DL)
#define STATUS_IO_DEVICE_ERROR          NTSTATUS_FROM(0xC0000185L)
#define STATUS_UNEXPECTED_IO_ERROR      NTSTATUS_FROM(0xC00000E9L)

// ---- Doubly and singly linked lists ---------------------------------------------------------

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

inline void InitializeListHead(PLIST_ENTRY ListHead) {
    ListHead->Flink = ListHead->Blink = ListHead;
}

inline BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) {
    return (BOOLEAN)(ListHead->Flink == ListHead);
}

inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
    PLIST_ENTRY Flink = Entry->Flink;
    PLIST_ENTRY Blink = Entry->Blink;
    Blink->Flink = Flink;
    Flink->Blink = Blink;
    return (BOOLEAN)(Flink == Blink);
}

inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Flink;
    PLIST_ENTRY Flink = Entry->Flink;
    ListHead->Flink = Flink;
    Flink->Blink = ListHead;
    return Entry;
}

inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Blink;
    PLIST_ENTRY Blink = Entry->Blink;
    ListHead->Blink = Blink;
    Blink->Flink = ListHead;
    return Entry;
}

inline void InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY Blink = ListHead->Blink;
    Entry->Flink = ListHead;
    Entry->Blink = Blink;
    Blink->Flink = Entry;
    ListHead->Blink = Entry;
}

inline void InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY Flink = ListHead->Flink;
    Entry->Flink = Flink;
    Entry->Blink = ListHead;
    Flink->Blink = Entry;
    ListHead->Flink = Entry;
}

// ---- Counted strings ------------------------------------------------------------------------

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} ANSI_STRING, *PANSI_STRING;

#define RTL_CONSTANT_STRING(s)                                                                     \
    { sizeof(s) - sizeof((s)[0]), sizeof(s), const_cast<PWSTR>(s) }
