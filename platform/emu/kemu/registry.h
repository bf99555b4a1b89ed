/*
 * Control of the emulated registry for tests and tools (C++17).
 *
 * Paths are given in the kernel's form ("\Registry\Machine\SOFTWARE\NRV") or with the root names of
 * the registry editor ("HKEY_LOCAL_MACHINE\SOFTWARE\NRV"; HKEY_USERS for \Registry\User). Text is
 * UTF-8 here and UTF-16 inside the registry. Key and value names are case-insensitive and keep the
 * spelling they were created with. A path that names no registry root is a mistake of the caller and
 * throws std::invalid_argument with the path in its message.
 */
#ifndef DEVIDIDI_EMU_KEMU_REGISTRY_H
#define DEVIDIDI_EMU_KEMU_REGISTRY_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kemu {

// Registry value types (the kernel's REG_* numbers).
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

struct RegistryValue {
    uint32_t type = kRegNone;
    std::vector<uint8_t> data; // raw bytes; REG_SZ is UTF-16LE with its terminating NUL
};

// Empties the registry down to \Registry\Machine and \Registry\User. Open handles stay open; their
// keys count as deleted.
void ClearRegistry();
// ClearRegistry and close every open handle: the state a test starts from.
void ResetRegistry();

// Creates the key and any missing parents. True when it was created, false when it existed.
bool CreateRegistryKey(const std::string &path);
// Deletes the key with everything below it. False when it did not exist. The roots cannot be deleted.
bool DeleteRegistryKey(const std::string &path);
bool RegistryKeyExists(const std::string &path);
// Names of the subkeys in the order ZwEnumerateKey gives them; empty when the key does not exist.
std::vector<std::string> ListRegistrySubkeys(const std::string &path);

// The setters create the key (and its parents) when it is missing. An empty name is the key's
// default value.
void SetRegistryDword(const std::string &path, const std::string &name, uint32_t value);
void SetRegistryString(const std::string &path, const std::string &name, const std::string &utf8);
void SetRegistryBinary(const std::string &path, const std::string &name, const std::vector<uint8_t> &bytes,
                       uint32_t type = kRegBinary);
// False when the key or the value did not exist.
bool DeleteRegistryValue(const std::string &path, const std::string &name);
std::optional<RegistryValue> GetRegistryValue(const std::string &path, const std::string &name);

// The tree below path (the whole registry by default) as indented text, for debugging.
std::string DumpRegistry(const std::string &path = "\\Registry");

// Handles opened with ZwOpenKey and not yet closed.
size_t OpenRegistryHandles();

// Result of loading a .reg file: all of it is applied, or (ok false) nothing.
struct RegImportResult {
    bool ok = true;
    int line = 0;       // line of the fault, 0 when it concerns the file as a whole
    std::string reason; // what is wrong, e.g. "dword value must have 8 hex digits"
    std::string source; // the file name, or the name given to ImportRegText
    // "FILE:LINE: reason" ("FILE: reason" without a line), or "FILE: imported" on success.
    std::string message() const;
};

// Loads a file in the registry editor's export format: REGEDIT4 or version 5.00, in UTF-16LE with
// its byte-order mark or in UTF-8/ASCII. Keys of HKEY_LOCAL_MACHINE and HKEY_USERS only.
[[nodiscard]] RegImportResult ImportRegFile(const std::string &path);
// Same from the bytes of such a file; sourceName heads the messages.
[[nodiscard]] RegImportResult ImportRegText(const std::string &text, const std::string &sourceName);

} // namespace kemu

#endif
