// DbgPrint: formatted as the kernel debugger formats it, kept line by line.
#include "internal.h"

#include <cstdarg>
#include <cstring>

namespace kx {

namespace {

std::mutex debugMutex;
std::vector<std::string> lines;
std::string partial;
std::function<void(const std::string&)> sink;

std::string Narrow(const WCHAR* text, size_t count) {
    return ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), count));
}

size_t Length16(const WCHAR* text) {
    size_t n = 0;
    while (text[n] != 0)
        ++n;
    return n;
}

// One conversion: spec holds "%", flags, width, precision; the length modifier
// has been consumed and is given as 'l' (32-bit, as on the platform), 'L' (64-bit),
// 'z' (pointer-sized) or 0.
void FormatOne(std::string& out, std::string spec, char length, char conversion, va_list& args) {
    char buffer[512];
    switch (conversion) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        if (length == 'L' || length == 'z') {
            spec += "ll";
            spec += conversion;
            long long value = length == 'L' ? va_arg(args, long long)
                                            : static_cast<long long>(va_arg(args, intptr_t));
            std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
        } else {
            spec += conversion;
            std::snprintf(buffer, sizeof buffer, spec.c_str(), va_arg(args, int));
        }
        break;
    case 'c':
        spec += 'c';
        std::snprintf(buffer, sizeof buffer, spec.c_str(), va_arg(args, int));
        break;
    case 'p':
        spec += 'p';
        std::snprintf(buffer, sizeof buffer, spec.c_str(), va_arg(args, void*));
        break;
    case 's': {
        spec += 's';
        const char* text = va_arg(args, const char*);
        std::snprintf(buffer, sizeof buffer, spec.c_str(), text ? text : "(null)");
        break;
    }
    default:
        buffer[0] = 0;
        break;
    }
    out += buffer;
}

std::string Format(const char* format, va_list& args) {
    std::string out;
    for (const char* p = format; *p; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        if (p[1] == '%') {
            out += '%';
            ++p;
            continue;
        }
        std::string spec = "%";
        ++p;
        while (*p && std::strchr("-+ #0123456789.*", *p) != nullptr)
            spec += *p++;
        char length = 0;
        if (p[0] == 'w' && (p[1] == 's' || p[1] == 'Z')) {
            if (p[1] == 's') {
                const WCHAR* text = va_arg(args, const WCHAR*);
                out += text ? Narrow(text, Length16(text)) : "(null)";
            } else {
                const UNICODE_STRING* string = va_arg(args, const UNICODE_STRING*);
                out += (string && string->Buffer) ? Narrow(string->Buffer, string->Length / 2u)
                                                  : "(null)";
            }
            ++p;
            continue;
        }
        if (p[0] == 'S') {
            const WCHAR* text = va_arg(args, const WCHAR*);
            out += text ? Narrow(text, Length16(text)) : "(null)";
            continue;
        }
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            length = 'L';
            p += 3;
        } else if (p[0] == 'l' && p[1] == 'l') {
            length = 'L';
            p += 2;
        } else if (p[0] == 'l' || p[0] == 'h') {
            length = 'l';
            ++p;
        } else if (p[0] == 'I' || p[0] == 'z') {
            length = 'z';
            ++p;
        }
        if (!*p)
            break;
        FormatOne(out, spec, length, *p, args);
    }
    return out;
}

} // namespace

std::vector<std::string> DebugLines() {
    std::lock_guard<std::mutex> guard(debugMutex);
    return lines;
}

void ClearDebugLines() {
    std::lock_guard<std::mutex> guard(debugMutex);
    lines.clear();
    partial.clear();
}

void SetDebugSink(std::function<void(const std::string&)> newSink) {
    std::lock_guard<std::mutex> guard(debugMutex);
    sink = std::move(newSink);
}

namespace detail {

void ResetDebug() {
    std::lock_guard<std::mutex> guard(debugMutex);
    lines.clear();
    partial.clear();
}

} // namespace detail
} // namespace kx

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
    // Unicode conversions touch paged tables: %ws and %wZ at PASSIVE_LEVEL only.
    if (std::strstr(Format, "%ws") != nullptr || std::strstr(Format, "%wZ") != nullptr)
        kx::detail::RequireIrqlAtMost(PASSIVE_LEVEL, "DbgPrint with %ws or %wZ");
    va_list args;
    va_start(args, Format);
    std::string text = kx::Format(Format, args);
    va_end(args);

    std::vector<std::string> completed;
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard<std::mutex> guard(kx::debugMutex);
        for (char c : text) {
            if (c == '\n') {
                kx::lines.push_back(kx::partial);
                completed.push_back(kx::partial);
                kx::partial.clear();
            } else {
                kx::partial += c;
            }
        }
        sink = kx::sink;
    }
    if (sink) {
        for (const auto& line : completed)
            sink(line);
    }
    return STATUS_SUCCESS;
}
