// Syntax and structure checks of the driver's installation files: the setup INF and the
// registry (.reg) file. Each problem is one text "line N: what is wrong".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pkgcheck {

// ---- INF ----

struct InfEntry {
    int nLine = 0;
    bool fHasKey = false;
    std::string key;                  // before '=', blanks trimmed
    std::vector<std::string> values;  // comma-separated fields, quotes removed, blanks trimmed
};

struct InfSection {
    std::string name;
    int nLine = 0;
    std::vector<InfEntry> entries;
};

class Inf {
public:
    // Parses INF text; syntax problems are appended to problems.
    static Inf Parse(std::string_view text, std::vector<std::string> &problems);

    // Sections and keys are found without regard to letter case, as setup does.
    const InfSection *Section(std::string_view name) const;
    // The entries of a section with the given key (none when the section is absent).
    std::vector<const InfEntry *> Entries(std::string_view section, std::string_view key) const;
    // The first field of the first entry with that key, %strings% substituted; empty if absent.
    std::string Value(std::string_view section, std::string_view key) const;
    // Substitutes %token% from [Strings]; DIRIDs (%12%) and %% stay as they are.
    std::string Expand(std::string_view text) const;

    const std::vector<InfSection> &Sections() const { return m_sections; }

private:
    std::vector<InfSection> m_sections;
};

// Structure of a device driver INF for both system families: [Version], the manufacturer and
// models sections, install sections (undecorated for 98/Me, .NT for the NT family), the
// service of each .NT install, copied files known to the source disks, every named section and
// every %string% defined.
std::vector<std::string> CheckDriverInf(const Inf &inf);

// ---- Registry file ----

struct RegValue {
    enum class Kind { Dword, String, Binary, Delete };
    int nLine = 0;
    std::string key;   // the key it belongs to, as written in its [...] line
    std::string name;  // empty for the default value (@)
    Kind kind = Kind::String;
    uint32_t dwData = 0;  // Dword
    std::string text;     // String
};

struct RegFile {
    std::string header;             // "REGEDIT4" or "Windows Registry Editor Version 5.00"
    std::vector<std::string> keys;  // in file order; a deletion keeps its leading '-'
    std::vector<RegValue> values;
};

// Parses .reg text: header line, key lines under a known root, value lines of the forms
// "name"=dword:8 hex digits, "name"="text", "name"=hex:..., "name"=- and @=...; comment lines
// start with ';'.
RegFile ParseReg(std::string_view text, std::vector<std::string> &problems);

// ---- Shared ----

// Lines of a Windows text file; a problem when line ends mix CR LF with bare LF.
std::vector<std::string> SplitLines(std::string_view text, std::vector<std::string> &problems);

}  // namespace pkgcheck
