// sprintf and _vsnprintf with the kernel's conventions, which differ from the host C library's:
// "l" means 32 bits (LONG/ULONG), "I64"/"ll" 64, "h" 16; "%S", "%ls", "%ws" take wide strings,
// "%Z"/"%wZ" counted strings; "%p" prints all the pointer's hex digits in capitals. Our own parser
// picks each argument at the width the kernel would and lets the host format only the number.
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "emu/internal/core.h"
#include "emu/kemu/core.h"

namespace {

// Writes up to the capacity and counts everything, so that the caller learns the full length.
struct Out {
    char *buffer;
    size_t capacity;
    size_t length = 0;

    void Put(char c)
    {
        if (length < capacity) {
            buffer[length] = c;
        }
        ++length;
    }
    void Put(const char *s, size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            Put(s[i]);
        }
    }
    void Pad(size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            Put(' ');
        }
    }
};

struct Directive {
    bool left = false, plus = false, space = false, alternate = false, zero = false;
    int width = 0;
    int precision = -1; // -1: none given
};

enum class Size { Default, Char8, Short16, Long32, Long64, Pointer, Wide, Narrow, Unsupported };

// Layout shared by ANSI_STRING and UNICODE_STRING (lengths in bytes).
struct CountedString {
    USHORT Length;
    USHORT MaximumLength;
    const void *Buffer;
};

void PutPadded(Out &out, const Directive &dir, const char *text, size_t n)
{
    size_t pad = dir.width > 0 && size_t(dir.width) > n ? size_t(dir.width) - n : 0;
    if (!dir.left) {
        out.Pad(pad);
    }
    out.Put(text, n);
    if (dir.left) {
        out.Pad(pad);
    }
}

void PutNarrow(Out &out, const Directive &dir, const char *s, size_t maxChars)
{
    if (s == nullptr) {
        s = "(null)";
    }
    size_t n = 0;
    while (n < maxChars && (dir.precision < 0 || n < size_t(dir.precision)) && s[n] != '\0') {
        ++n;
    }
    PutPadded(out, dir, s, n);
}

// Wide text is shown as ASCII; other characters become '?', as a conversion without the code page would.
void PutWide(Out &out, const Directive &dir, const WCHAR *s, size_t maxChars)
{
    if (s == nullptr) {
        PutNarrow(out, dir, nullptr, SIZE_MAX);
        return;
    }
    std::string narrow;
    for (size_t i = 0; i < maxChars && (dir.precision < 0 || i < size_t(dir.precision)) && s[i] != 0; ++i) {
        narrow += s[i] < 0x80 ? char(s[i]) : '?';
    }
    PutPadded(out, dir, narrow.data(), narrow.size());
}

void PutInteger(Out &out, const Directive &dir, char conversion, bool isSigned, long long value)
{
    std::string format = "%";
    format += dir.left ? "-" : "";
    format += dir.plus ? "+" : "";
    format += dir.space ? " " : "";
    format += dir.alternate ? "#" : "";
    format += dir.zero ? "0" : "";
    if (dir.width > 0) {
        format += std::to_string(dir.width);
    }
    if (dir.precision >= 0) {
        format += "." + std::to_string(dir.precision);
    }
    format += "ll";
    format += conversion;
    std::vector<char> text(size_t(dir.width) + size_t(dir.precision < 0 ? 0 : dir.precision) + 32);
    int n = isSigned ? std::snprintf(text.data(), text.size(), format.c_str(), value)
                     : std::snprintf(text.data(), text.size(), format.c_str(), static_cast<unsigned long long>(value));
    out.Put(text.data(), n > 0 ? std::min(size_t(n), text.size() - 1) : 0);
}

void Unsupported(const char *format, const char *specStart, const char *specEnd, const char *why)
{
    kemu::ReportViolation("format the kernel does not support",
                          std::string(why) + ": \"" + std::string(specStart, size_t(specEnd - specStart)) +
                              "\" in \"" + format + "\"");
}

void CheckUnicodeLevel(const char *format, const char *specStart, const char *specEnd)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > PASSIVE_LEVEL) {
        // The kernel converts wide text with paged tables: only at PASSIVE_LEVEL.
        kemu::ReportViolation("Unicode format used above PASSIVE_LEVEL",
                              "\"" + std::string(specStart, size_t(specEnd - specStart)) + "\" in \"" + format +
                                  "\" at IRQL " + std::to_string(irql));
    }
}

} // namespace

namespace kemu::detail {

size_t FormatKernel(char *buffer, size_t capacity, const char *format, va_list args)
{
    Out out{buffer, capacity};
    if (format == nullptr) {
        kemu::ReportViolation("NULL format", "a formatting routine was given a NULL format");
        return 0;
    }
    const char *p = format;
    while (*p != '\0') {
        if (*p != '%') {
            out.Put(*p++);
            continue;
        }
        const char *start = p++;
        if (*p == '%') {
            out.Put('%');
            ++p;
            continue;
        }
        Directive dir;
        for (;; ++p) {
            if (*p == '-') dir.left = true;
            else if (*p == '+') dir.plus = true;
            else if (*p == ' ') dir.space = true;
            else if (*p == '#') dir.alternate = true;
            else if (*p == '0') dir.zero = true;
            else break;
        }
        if (*p == '*') {
            int w = va_arg(args, int);
            if (w < 0) {
                dir.left = true;
                w = w == INT_MIN ? INT_MAX : -w;
            }
            dir.width = w;
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') {
                dir.width = dir.width * 10 + (*p++ - '0');
            }
        }
        if (*p == '.') {
            ++p;
            dir.precision = 0;
            if (*p == '*') {
                int prec = va_arg(args, int);
                dir.precision = prec < 0 ? -1 : prec;
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') {
                    dir.precision = dir.precision * 10 + (*p++ - '0');
                }
            }
        }
        Size size = Size::Default;
        if (p[0] == 'h' && p[1] == 'h') { size = Size::Char8; p += 2; }
        else if (p[0] == 'h') { size = Size::Short16; ++p; }
        else if (p[0] == 'l' && p[1] == 'l') { size = Size::Long64; p += 2; }
        else if (p[0] == 'l') { size = Size::Long32; ++p; }
        else if (p[0] == 'w') { size = Size::Wide; ++p; }
        else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') { size = Size::Long64; p += 3; }
        else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') { size = Size::Long32; p += 3; }
        else if (p[0] == 'I') { size = Size::Pointer; ++p; }
        else if (p[0] == 'z' || p[0] == 'j' || p[0] == 't' || p[0] == 'L' || p[0] == 'q') { size = Size::Unsupported; ++p; }
        const char conversion = *p;
        const char *end = conversion == '\0' ? p : p + 1;
        if (size == Size::Unsupported) {
            Unsupported(format, start, end, "size prefix of the host C library");
            out.Put(start, size_t(end - start));
            out.Put(end, std::strlen(end)); // the arguments' sizes are unknown from here on
            break;
        }
        switch (conversion) {
        case 'd':
        case 'i': {
            long long v;
            switch (size) {
            case Size::Char8: v = static_cast<signed char>(va_arg(args, int)); break;
            case Size::Short16: v = static_cast<short>(va_arg(args, int)); break;
            case Size::Long64: v = va_arg(args, long long); break;
            case Size::Pointer: v = va_arg(args, intptr_t); break;
            default: v = va_arg(args, int); break; // "l" too: LONG is 32 bits
            }
            PutInteger(out, dir, 'd', true, v);
            break;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            unsigned long long v;
            switch (size) {
            case Size::Char8: v = static_cast<unsigned char>(va_arg(args, unsigned)); break;
            case Size::Short16: v = static_cast<unsigned short>(va_arg(args, unsigned)); break;
            case Size::Long64: v = va_arg(args, unsigned long long); break;
            case Size::Pointer: v = va_arg(args, uintptr_t); break;
            default: v = va_arg(args, unsigned); break;
            }
            PutInteger(out, dir, conversion, false, static_cast<long long>(v));
            break;
        }
        case 'p': {
            char text[2 * sizeof(void *) + 1];
            std::snprintf(text, sizeof text, "%0*llX", int(2 * sizeof(void *)),
                          static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void *))));
            PutPadded(out, dir, text, std::strlen(text));
            break;
        }
        case 'c':
        case 'C': {
            bool wide = conversion == 'C' ? size != Size::Short16 : (size == Size::Long32 || size == Size::Wide);
            int c = va_arg(args, int);
            if (wide) {
                CheckUnicodeLevel(format, start, end);
                WCHAR w[2] = {WCHAR(c), 0};
                Directive one = dir;
                one.precision = -1;
                if (w[0] == 0) {
                    char nul = '\0';
                    PutPadded(out, one, &nul, 1);
                } else {
                    PutWide(out, one, w, 1);
                }
            } else {
                char ch = char(c);
                PutPadded(out, dir, &ch, 1);
            }
            break;
        }
        case 's':
        case 'S': {
            bool wide = conversion == 'S' ? size != Size::Short16 : (size == Size::Long32 || size == Size::Wide);
            if (wide) {
                CheckUnicodeLevel(format, start, end);
                PutWide(out, dir, va_arg(args, const WCHAR *), SIZE_MAX);
            } else {
                PutNarrow(out, dir, va_arg(args, const char *), SIZE_MAX);
            }
            break;
        }
        case 'Z': {
            const CountedString *s = va_arg(args, const CountedString *);
            if (size == Size::Wide) {
                CheckUnicodeLevel(format, start, end);
                if (s == nullptr || s->Buffer == nullptr) {
                    PutNarrow(out, dir, nullptr, SIZE_MAX);
                } else {
                    PutWide(out, dir, static_cast<const WCHAR *>(s->Buffer), s->Length / sizeof(WCHAR));
                }
            } else {
                PutNarrow(out, dir, s == nullptr ? nullptr : static_cast<const char *>(s->Buffer),
                          s == nullptr ? SIZE_MAX : s->Length);
            }
            break;
        }
        case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
            Unsupported(format, start, end, "floating point in kernel code");
            out.Put(start, size_t(end - start));
            out.Put(end, std::strlen(end));
            return out.length;
        default:
            Unsupported(format, start, end, conversion == '\0' ? "format ends inside a conversion"
                                                               : "unknown or unsafe conversion");
            out.Put(start, size_t(end - start));
            out.Put(end, std::strlen(end));
            return out.length;
        }
        p = end;
    }
    return out.length;
}

} // namespace kemu::detail

extern "C" {

int KemuVsnprintf(char *pszBuffer, size_t cbCount, const char *pszFormat, va_list args)
{
    if (pszBuffer == nullptr && cbCount != 0) {
        kemu::ReportViolation("NULL buffer", "_vsnprintf was given a NULL buffer of " + std::to_string(cbCount) +
                                                 " bytes");
        return -1;
    }
    size_t length = kemu::detail::FormatKernel(pszBuffer, cbCount, pszFormat, args);
    if (length < cbCount) {
        pszBuffer[length] = '\0';
        return int(length);
    }
    // Exactly full: the count and no NUL; too long: -1 and no NUL either, as the kernel's does.
    return length == cbCount ? int(length) : -1;
}

int KemuSprintf(char *pszBuffer, const char *pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    size_t length = kemu::detail::FormatKernel(pszBuffer, SIZE_MAX, pszFormat, args);
    va_end(args);
    pszBuffer[length] = '\0';
    return int(length);
}

} // extern "C"
