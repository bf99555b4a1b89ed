// Internals shared by the registry store, its .reg loader and the counted-string routines.
#ifndef DEVIDIDI_EMU_CONFIG_INTERNAL_H
#define DEVIDIDI_EMU_CONFIG_INTERNAL_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kemu::registry {

// ---- Text ----

// The kernel's upper-case mapping of one UTF-16 unit, which all name comparisons go through. Covers
// the simple mappings of Latin, Greek, Cyrillic, Armenian and fullwidth Latin letters; any other
// unit is its own upper case.
char16_t Upcase(char16_t c);
std::u16string Upcased(std::u16string_view s);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

// Strict UTF-8 decoding: false (and the byte offset of the fault) on malformed input.
bool Utf8ToUtf16(std::string_view in, std::u16string &out, size_t *faultOffset = nullptr);
// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view in);

// ---- Changes to the tree, as the .reg loader applies them ----

// A key path as its components below \Registry, e.g. {"Machine", "SOFTWARE", "NRV"}.
using KeyPath = std::vector<std::u16string>;

struct Change {
    enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
    Kind kind = Kind::CreateKey;
    KeyPath key;
    std::u16string valueName;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

// Applies all the changes under one hold of the registry lock, so no reader sees half of them.
void ApplyChanges(const std::vector<Change> &changes);

// Longest key name the kernel accepts, in characters.
constexpr size_t kMaxKeyNameChars = 255;
// Longest value name, in characters.
constexpr size_t kMaxValueNameChars = 16383;

} // namespace kemu::registry

#endif
