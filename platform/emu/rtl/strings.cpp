// Counted strings with the kernel's rules: lengths in bytes, a destination never written past its
// MaximumLength, a terminating NUL only where one fits.
#include <cstring>
#include <string>

#include "emu/ddk/registry.h"
#include "emu/kemu/core.h"
#include "emu/config/internal.h"

namespace {

constexpr USHORT kMaxUnicodeLength = 0xFFFC; // longest Length that leaves room for the NUL
constexpr USHORT kMaxAnsiLength = 0xFFFE;

// The kernel's pool tag for strings it allocates on a caller's behalf.
constexpr ULONG kStringTag = 'S' | ('t' << 8) | ('r' << 16) | ('G' << 24);

bool CheckString(const void *string, const char *routine)
{
    if (string) return true;
    kemu::ReportViolation("invalid counted string", std::string(routine) + " given a null string");
    return false;
}

// The conversions and the release of a string are pageable code.
void CheckPageable(const char *routine)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql >= DISPATCH_LEVEL) {
        kemu::ReportViolation("pageable routine at DISPATCH_LEVEL or above",
                              std::string(routine) + " called at IRQL " + std::to_string(irql));
    }
}

bool HasRoomForNul(const UNICODE_STRING *s) { return size_t(s->Length) + sizeof(WCHAR) <= s->MaximumLength; }

// RtlInitUnicodeString and RtlInitAnsiString: the string points at the text itself, with its
// length cut to maxLength bytes; the kernel cuts, it does not fail.
template <typename String, typename Char>
void InitCountedString(String *destination, const Char *source, size_t maxLength, const char *routine)
{
    if (!CheckString(destination, routine)) return;
    destination->Buffer = const_cast<Char *>(source);
    if (!source) {
        destination->Length = destination->MaximumLength = 0;
        return;
    }
    size_t bytes = std::char_traits<Char>::length(source) * sizeof(Char);
    if (bytes > maxLength) bytes = maxLength;
    destination->Length = USHORT(bytes);
    destination->MaximumLength = USHORT(bytes + sizeof(Char));
}

// RtlFreeUnicodeString and RtlFreeAnsiString: a string without a buffer is left as it is.
template <typename String>
void FreeCountedString(String *string, const char *routine)
{
    CheckPageable(routine);
    if (!CheckString(string, routine)) return;
    if (string->Buffer) {
        ExFreePool(string->Buffer);
        string->Buffer = nullptr;
        string->Length = string->MaximumLength = 0;
    }
}

} // namespace

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    InitCountedString(DestinationString, SourceString, kMaxUnicodeLength, "RtlInitUnicodeString");
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    InitCountedString(DestinationString, SourceString, kMaxAnsiLength, "RtlInitAnsiString");
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString)
{
    CheckPageable("RtlAnsiStringToUnicodeString");
    if (!CheckString(DestinationString, "RtlAnsiStringToUnicodeString") ||
        !CheckString(SourceString, "RtlAnsiStringToUnicodeString")) {
        return STATUS_INVALID_PARAMETER;
    }
    const size_t needed = (size_t(SourceString->Length) + 1) * sizeof(WCHAR); // with the NUL
    if (needed > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
    // As in the kernel, Length is set before the room is checked: after a failure the string is
    // not to be used.
    DestinationString->Length = USHORT(needed - sizeof(WCHAR));
    if (AllocateDestinationString) {
        DestinationString->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, needed, kStringTag));
        if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = USHORT(needed);
    } else if (!HasRoomForNul(DestinationString)) {
        return STATUS_BUFFER_OVERFLOW;
    }
    // ANSI text is taken as Latin-1: each byte is the character of the same number.
    for (USHORT i = 0; i < SourceString->Length; ++i) {
        DestinationString->Buffer[i] = WCHAR(static_cast<UCHAR>(SourceString->Buffer[i]));
    }
    DestinationString->Buffer[SourceString->Length] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString)
{
    CheckPageable("RtlUnicodeStringToAnsiString");
    if (!CheckString(DestinationString, "RtlUnicodeStringToAnsiString") ||
        !CheckString(SourceString, "RtlUnicodeStringToAnsiString")) {
        return STATUS_INVALID_PARAMETER;
    }
    const size_t needed = SourceString->Length / sizeof(WCHAR) + 1; // with the NUL
    if (needed > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
    NTSTATUS status = STATUS_SUCCESS;
    DestinationString->Length = USHORT(needed - 1);
    if (AllocateDestinationString) {
        DestinationString->Buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, needed, kStringTag));
        if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = USHORT(needed);
    } else if (DestinationString->Length >= DestinationString->MaximumLength) {
        // The kernel converts what fits, terminates it and still reports the overflow.
        if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        status = STATUS_BUFFER_OVERFLOW;
        DestinationString->Length = USHORT(DestinationString->MaximumLength - 1);
    }
    for (USHORT i = 0; i < DestinationString->Length; ++i) {
        const WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c < 0x80 ? CHAR(c) : '?';
    }
    DestinationString->Buffer[DestinationString->Length] = 0;
    return status;
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    FreeCountedString(AnsiString, "RtlFreeAnsiString");
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    FreeCountedString(UnicodeString, "RtlFreeUnicodeString");
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!CheckString(DestinationString, "RtlCopyUnicodeString")) return;
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length;
    if (n > DestinationString->MaximumLength) n = DestinationString->MaximumLength & ~1u;
    if (n) std::memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (HasRoomForNul(DestinationString)) DestinationString->Buffer[n / sizeof(WCHAR)] = 0;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (!CheckString(Destination, "RtlAppendUnicodeStringToString") ||
        !CheckString(Source, "RtlAppendUnicodeStringToString")) {
        return STATUS_INVALID_PARAMETER;
    }
    const USHORT n = Source->Length;
    if (n == 0) return STATUS_SUCCESS;
    if (size_t(Destination->Length) + n > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(Destination->Buffer + Destination->Length / sizeof(WCHAR), Source->Buffer, n);
    Destination->Length = USHORT(Destination->Length + n);
    if (HasRoomForNul(Destination)) Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (!CheckString(Destination, "RtlAppendUnicodeToString")) return STATUS_INVALID_PARAMETER;
    if (!Source) return STATUS_SUCCESS;
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    CheckPageable("RtlCompareUnicodeString");
    if (!CheckString(String1, "RtlCompareUnicodeString") || !CheckString(String2, "RtlCompareUnicodeString")) {
        return 0;
    }
    const size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n1 && i < n2; ++i) {
        WCHAR c1 = String1->Buffer[i], c2 = String2->Buffer[i];
        if (CaseInSensitive) {
            c1 = kemu::registry::Upcase(c1);
            c2 = kemu::registry::Upcase(c2);
        }
        if (c1 != c2) return LONG(c1) - LONG(c2);
    }
    return LONG(String1->Length) - LONG(String2->Length);
}

} // extern "C"
