// Text helpers of the registry: the kernel's case folding of names, UTF-8 <-> UTF-16.
#include "emu/config/internal.h"

namespace kemu::registry {

char16_t Upcase(char16_t c)
{
    const unsigned u = c;
    if (u < 0x80) {
        return (u >= 'a' && u <= 'z') ? char16_t(u - 0x20) : c;
    }
    if (u < 0x100) {
        if (u == 0xB5) return 0x39C;
        if (u == 0xFF) return 0x178;
        if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return char16_t(u - 0x20);
        return c;
    }
    // Latin Extended-A: pairs of capital and small letter, the capital first in most runs.
    if (u < 0x180) {
        if (u == 0x131) return u'I';
        if (u == 0x17F) return u'S';
        if ((u >= 0x100 && u <= 0x137) || (u >= 0x14A && u <= 0x177)) return char16_t(u & ~1u);
        if ((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E)) return (u & 1u) ? c : char16_t(u - 1);
        return c;
    }
    // Greek.
    if (u >= 0x3AC && u <= 0x3CE) {
        if (u == 0x3AC) return 0x386;
        if (u <= 0x3AF) return char16_t(u - 0x25);
        if (u == 0x3B0) return c;
        if (u == 0x3C2) return 0x3A3;
        if (u <= 0x3CB) return char16_t(u - 0x20);
        if (u == 0x3CC) return 0x38C;
        return char16_t(u - 0x3F); // 0x3CD, 0x3CE
    }
    // Cyrillic.
    if (u >= 0x430 && u <= 0x44F) return char16_t(u - 0x20);
    if (u >= 0x450 && u <= 0x45F) return char16_t(u - 0x50);
    if ((u >= 0x460 && u <= 0x481) || (u >= 0x48A && u <= 0x4BF) || (u >= 0x4D0 && u <= 0x52F)) {
        return char16_t(u & ~1u);
    }
    if (u >= 0x4C1 && u <= 0x4CE) return (u & 1u) ? c : char16_t(u - 1);
    // Armenian.
    if (u >= 0x561 && u <= 0x586) return char16_t(u - 0x30);
    // Fullwidth Latin.
    if (u >= 0xFF41 && u <= 0xFF5A) return char16_t(u - 0x20);
    return c;
}

std::u16string Upcased(std::u16string_view s)
{
    std::u16string out(s);
    for (auto &c : out) c = Upcase(c);
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Upcase(a[i]) != Upcase(b[i])) return false;
    }
    return true;
}

bool Utf8ToUtf16(std::string_view in, std::u16string &out, size_t *faultOffset)
{
    out.clear();
    out.reserve(in.size());
    size_t i = 0;
    auto fail = [&](size_t at) {
        if (faultOffset) *faultOffset = at;
        return false;
    };
    while (i < in.size()) {
        const unsigned char b0 = static_cast<unsigned char>(in[i]);
        if (b0 < 0x80) {
            out.push_back(b0);
            ++i;
            continue;
        }
        size_t extra;
        char32_t cp, min;
        if ((b0 & 0xE0) == 0xC0) {
            extra = 1, cp = b0 & 0x1F, min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            extra = 2, cp = b0 & 0x0F, min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            extra = 3, cp = b0 & 0x07, min = 0x10000;
        } else {
            return fail(i);
        }
        if (i + extra >= in.size()) return fail(i);
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char b = static_cast<unsigned char>(in[i + k]);
            if ((b & 0xC0) != 0x80) return fail(i);
            cp = (cp << 6) | (b & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return fail(i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
        i += extra + 1;
    }
    return true;
}

std::string Utf16ToUtf8(std::u16string_view in)
{
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        char32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(char(cp));
        } else if (cp < 0x800) {
            out.push_back(char(0xC0 | (cp >> 6)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(char(0xE0 | (cp >> 12)));
            out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (cp >> 18)));
            out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

} // namespace kemu::registry
