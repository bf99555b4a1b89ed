// Helpers shared by the I/O manager's sources, and the reset of the whole I/O manager.
#include "emu/io/internal.h"

#include <cstdio>

#include "emu/kemu/core.h"

namespace kemu::io {

std::mutex &StateLock()
{
    static std::mutex lock;
    return lock;
}

std::string Hex(const void *p)
{
    char text[2 + 2 * sizeof(void *) + 1];
    std::snprintf(text, sizeof text, "0x%0*llx", int(2 * sizeof(void *)),
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

std::string HexStatus(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(static_cast<ULONG>(status)));
    return text;
}

std::string Narrow(const std::u16string &text)
{
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

std::u16string FromCounted(PCUNICODE_STRING text)
{
    if (text == nullptr || text->Buffer == nullptr) {
        return {};
    }
    return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

std::u16string Widen(const std::string &ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

bool CheckIrqlAtMost(KIRQL highest, const char *routine)
{
    const KIRQL now = KeGetCurrentIrql();
    if (now <= highest) {
        return true;
    }
    ReportViolation(highest >= DISPATCH_LEVEL ? rule::kAboveDispatch : rule::kAbovePassive,
                    std::string(routine) + " called at IRQL " + std::to_string(now));
    return false;
}

} // namespace kemu::io

namespace kemu {

size_t ResetIo()
{
    // The bus thread first, so that nothing completes behind the reset's back.
    size_t leftovers = io::ResetPnp();
    leftovers += io::ResetClient();
    leftovers += io::ResetObjects();
    leftovers += io::ResetRequests();
    return leftovers;
}

} // namespace kemu
