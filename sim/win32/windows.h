// What a Windows serial program includes instead of <windows.h>: the serial API
// with every name at global scope, as <windows.h> declares them, and the everyday
// Win32 names such a program uses. Text is narrow (no UNICODE): TCHAR is char and
// the generic names are the A functions. Sleep, GetTickCount and the waits run
// on the kernel clock, so a test on the manual clock drives a program's time.
#pragma once

#include <sim/serial_api.h>

#include <cstring>

using namespace win32;

#define WINAPI
#define CALLBACK
#define APIENTRY
#define VOID void
typedef char TCHAR;
typedef char* LPTSTR;
typedef const char* LPCTSTR;
#define TEXT(text)  text
#define _T(text)    text
#define _TEXT(text) text
#define _tmain      main
#define _tprintf    printf
#define _ftprintf   fprintf
#define _stprintf   sprintf
#define _tcslen     strlen
#define _tcscmp     strcmp
#define _tcsncmp    strncmp
#define _tcsstr     strstr
#define _tcscpy     strcpy

#define ZeroMemory(Destination, Length)         std::memset((Destination), 0, (Length))
#define FillMemory(Destination, Length, Fill)   std::memset((Destination), (Fill), (Length))
#define CopyMemory(Destination, Source, Length) std::memcpy((Destination), (Source), (Length))

// Zeroes memory as ZeroMemory does, in a way the compiler cannot drop.
inline void* SecureZeroMemory(void* ptr, size_t cnt) {
    volatile char* bytes = static_cast<volatile char*>(ptr);
    while (cnt-- != 0)
        *bytes++ = 0;
    return ptr;
}

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
