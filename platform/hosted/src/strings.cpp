// Counted-string routines of the run-time library, and the 16-bit swprintf.
#include "internal.h"

#include <cstdarg>

namespace kx {

std::u16string ToU16(std::string_view text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        char32_t cp = c;
        size_t extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (extra)
            cp = c & (0x3F >> extra);
        for (size_t k = 1; k <= extra && i + k < text.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size()) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::u16string ToU16(const UNICODE_STRING& string) {
    if (string.Buffer == nullptr)
        return {};
    return std::u16string(reinterpret_cast<const char16_t*>(string.Buffer), string.Length / 2u);
}

} // namespace kx

using namespace kx;
using namespace kx::detail;

namespace {

void Terminate(PUNICODE_STRING string) {
    if (string->Length + sizeof(WCHAR) <= string->MaximumLength)
        string->Buffer[string->Length / sizeof(WCHAR)] = 0;
}

NTSTATUS Append(PUNICODE_STRING destination, const WCHAR* source, size_t bytes) {
    if (bytes == 0)
        return STATUS_SUCCESS;
    if (destination->Length + bytes > destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    __builtin_memmove(reinterpret_cast<char*>(destination->Buffer) + destination->Length, source,
                      bytes);
    destination->Length = static_cast<USHORT>(destination->Length + bytes);
    Terminate(destination);
    return STATUS_SUCCESS;
}

} // namespace

extern "C" {

SIZE_T KxWcslen(PCWSTR String) {
    SIZE_T n = 0;
    while (String[n] != 0)
        ++n;
    return n;
}

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    auto bytes = static_cast<USHORT>(KxWcslen(SourceString) * sizeof(WCHAR));
    DestinationString->Length = bytes;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                       ? SourceString->Length
                       : DestinationString->MaximumLength;
    __builtin_memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    Terminate(DestinationString);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr)
        return STATUS_SUCCESS;
    return Append(Destination, Source, KxWcslen(Source) * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source) {
    return Append(Destination, Source->Buffer, Source->Length);
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    kx::detail::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlIntegerToUnicodeString");
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    char digits[33];
    int count = 0;
    do {
        ULONG digit = Value % Base;
        digits[count++] = static_cast<char>(digit < 10 ? '0' + digit : 'A' + digit - 10);
        Value /= Base;
    } while (Value != 0);
    // The text and its terminator must fit.
    if ((count + 1) * sizeof(WCHAR) > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < count; ++i)
        String->Buffer[i] = static_cast<WCHAR>(digits[count - 1 - i]);
    String->Buffer[count] = 0;
    String->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    kx::detail::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlFreeUnicodeString");
    if (UnicodeString->Buffer != nullptr)
        ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length)
        return FALSE;
    for (size_t i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = (a >= 'a' && a <= 'z') ? static_cast<WCHAR>(a - 32) : a;
            b = (b >= 'a' && b <= 'z') ? static_cast<WCHAR>(b - 32) : b;
        }
        if (a != b)
            return FALSE;
    }
    return TRUE;
}

// The platform's swprintf: %s and %ws take 16-bit strings, %S an 8-bit one; %d,
// %u, %x, %X take 32-bit integers (an l or h modifier changes nothing), with the
// usual flags and width. Writes the terminator; returns the characters written
// before it.
int KxSwprintf(PWSTR Buffer, PCWSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    int out = 0;
    for (PCWSTR p = Format; *p; ++p) {
        if (*p != '%') {
            Buffer[out++] = *p;
            continue;
        }
        PCWSTR start = p++;
        std::string spec = "%";
        while (*p == '-' || *p == '0' || *p == '+' || *p == ' ' || *p == '#')
            spec += static_cast<char>(*p++);
        while (*p >= '0' && *p <= '9')
            spec += static_cast<char>(*p++);
        if (*p == 'w' || *p == 'l' || *p == 'h')
            ++p;
        switch (*p) {
        case 's': {
            PCWSTR text = va_arg(args, PCWSTR);
            while (text && *text)
                Buffer[out++] = *text++;
            break;
        }
        case 'S': {
            const char* text = va_arg(args, const char*);
            while (text && *text)
                Buffer[out++] = static_cast<WCHAR>(static_cast<unsigned char>(*text++));
            break;
        }
        case 'd':
        case 'u':
        case 'x':
        case 'X': {
            char digits[48];
            spec += static_cast<char>(*p);
            std::snprintf(digits, sizeof digits, spec.c_str(), va_arg(args, int));
            for (const char* d = digits; *d; ++d)
                Buffer[out++] = static_cast<WCHAR>(*d);
            break;
        }
        case '%':
            Buffer[out++] = '%';
            break;
        default:
            // Not a conversion: the text stands as written.
            for (; start != p; ++start)
                Buffer[out++] = *start;
            --p;
            break;
        }
        if (!*p)
            break;
    }
    Buffer[out] = 0;
    va_end(args);
    return out;
}

} // extern "C"
