#include "pkgcheck.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <regex>
#include <set>

namespace pkgcheck {
namespace {

std::string Lower(std::string_view s)
{
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool SameText(std::string_view a, std::string_view b)
{
    return Lower(a) == Lower(b);
}

std::string Trim(std::string_view s)
{
    size_t b = 0;
    size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) {
        ++b;
    }
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) {
        --e;
    }
    return std::string(s.substr(b, e - b));
}

std::string Problem(int nLine, const std::string &text)
{
    return "line " + std::to_string(nLine) + ": " + text;
}

// Removes the comment (';' outside quotes); false when a quote is left open.
bool StripInfComment(std::string &line)
{
    bool fQuoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            fQuoted = !fQuoted;
        } else if (line[i] == ';' && !fQuoted) {
            line.resize(i);
            break;
        }
    }
    return !fQuoted;
}

// Splits at a separator outside quotes; fields trimmed, surrounding quotes removed, "" -> ".
std::vector<std::string> SplitFields(std::string_view s, char cSeparator)
{
    std::vector<std::string> fields;
    std::string current;
    bool fQuoted = false;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"') {
            if (fQuoted && i + 1 < s.size() && s[i + 1] == '"') {
                current += '"';
                ++i;
            } else {
                fQuoted = !fQuoted;
            }
        } else if (c == cSeparator && !fQuoted) {
            fields.push_back(Trim(current));
            current.clear();
        } else {
            current += c;
        }
    }
    fields.push_back(Trim(current));
    return fields;
}

size_t FindOutsideQuotes(std::string_view s, char c)
{
    bool fQuoted = false;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '"') {
            fQuoted = !fQuoted;
        } else if (s[i] == c && !fQuoted) {
            return i;
        }
    }
    return std::string_view::npos;
}

bool IsDigits(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

// The %tokens% of a text, DIRIDs and %% left out.
std::vector<std::string> StringTokens(std::string_view s)
{
    std::vector<std::string> tokens;
    size_t i = 0;
    while ((i = s.find('%', i)) != std::string_view::npos) {
        const size_t e = s.find('%', i + 1);
        if (e == std::string_view::npos) {
            break;
        }
        const std::string_view token = s.substr(i + 1, e - i - 1);
        if (!token.empty() && !IsDigits(token)) {
            tokens.emplace_back(token);
        }
        i = e + 1;
    }
    return tokens;
}

}  // namespace

std::vector<std::string> SplitLines(std::string_view text, std::vector<std::string> &problems)
{
    std::vector<std::string> lines;
    int nCrLf = 0;
    int nFirstBareLf = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const bool fLast = end == std::string_view::npos;
        if (fLast) {
            end = text.size();
        }
        std::string line(text.substr(start, end - start));
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            ++nCrLf;
        } else if (!fLast && nFirstBareLf == 0) {
            nFirstBareLf = static_cast<int>(lines.size()) + 1;
        }
        lines.push_back(line);
        start = end + 1;
    }
    if (nCrLf > 0 && nFirstBareLf > 0) {
        problems.push_back(Problem(nFirstBareLf, "ends in a bare LF while other lines end in CR LF"));
    }
    return lines;
}

// ---------------------------------------------------------------- INF

Inf Inf::Parse(std::string_view text, std::vector<std::string> &problems)
{
    Inf inf;
    const std::vector<std::string> lines = SplitLines(text, problems);
    for (size_t i = 0; i < lines.size(); ++i) {
        const int nLine = static_cast<int>(i) + 1;
        std::string line = lines[i];
        if (!StripInfComment(line)) {
            problems.push_back(Problem(nLine, "a quote is not closed"));
            continue;
        }
        // A backslash at the end continues the entry on the next line.
        line = Trim(line);
        while (!line.empty() && line.back() == '\\' && i + 1 < lines.size()) {
            std::string next = lines[++i];
            StripInfComment(next);
            line = Trim(line.substr(0, line.size() - 1) + " " + Trim(next));
        }
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[') {
            const std::string name = line.back() == ']' ? Trim(line.substr(1, line.size() - 2)) : std::string();
            if (line.back() != ']' || name.empty() || name.find_first_of("[]") != std::string::npos) {
                problems.push_back(Problem(nLine, "malformed section header " + line));
                continue;
            }
            if (const InfSection *pOld = inf.Section(name)) {
                problems.push_back(Problem(nLine, "section [" + name + "] appears again (first at line " +
                                                      std::to_string(pOld->nLine) + ")"));
            }
            inf.m_sections.push_back(InfSection{name, nLine, {}});
            continue;
        }
        if (inf.m_sections.empty()) {
            problems.push_back(Problem(nLine, "entry outside any section: " + line));
            continue;
        }
        InfEntry entry;
        entry.nLine = nLine;
        const size_t eq = FindOutsideQuotes(line, '=');
        if (eq != std::string::npos) {
            entry.fHasKey = true;
            entry.key = SplitFields(line.substr(0, eq), '\0').front();
            if (entry.key.empty()) {
                problems.push_back(Problem(nLine, "entry with '=' but no key"));
            }
            entry.values = SplitFields(line.substr(eq + 1), ',');
        } else {
            entry.values = SplitFields(line, ',');
        }
        inf.m_sections.back().entries.push_back(std::move(entry));
    }
    return inf;
}

const InfSection *Inf::Section(std::string_view name) const
{
    for (const InfSection &section : m_sections) {
        if (SameText(section.name, name)) {
            return &section;
        }
    }
    return nullptr;
}

std::vector<const InfEntry *> Inf::Entries(std::string_view section, std::string_view key) const
{
    std::vector<const InfEntry *> found;
    for (const InfSection &s : m_sections) {
        if (!SameText(s.name, section)) {
            continue;
        }
        for (const InfEntry &entry : s.entries) {
            if (entry.fHasKey && SameText(entry.key, key)) {
                found.push_back(&entry);
            }
        }
    }
    return found;
}

std::string Inf::Value(std::string_view section, std::string_view key) const
{
    const std::vector<const InfEntry *> entries = Entries(section, key);
    if (entries.empty() || entries.front()->values.empty()) {
        return {};
    }
    return Expand(entries.front()->values.front());
}

std::string Inf::Expand(std::string_view text) const
{
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const size_t b = text.find('%', i);
        const size_t e = b == std::string_view::npos ? b : text.find('%', b + 1);
        if (e == std::string_view::npos) {
            out += text.substr(i);
            break;
        }
        out += text.substr(i, b - i);
        const std::string_view token = text.substr(b + 1, e - b - 1);
        const std::vector<const InfEntry *> defined = token.empty() || IsDigits(token)
                                                          ? std::vector<const InfEntry *>{}
                                                          : Entries("Strings", token);
        if (!defined.empty() && !defined.front()->values.empty()) {
            out += defined.front()->values.front();
        } else {
            out += text.substr(b, e - b + 1);
        }
        i = e + 1;
    }
    return out;
}

std::vector<std::string> CheckDriverInf(const Inf &inf)
{
    std::vector<std::string> problems;
    auto missing = [&](const std::string &text) { problems.push_back(text); };
    auto needSection = [&](const std::string &name, const InfEntry &from) {
        if (!inf.Section(name)) {
            problems.push_back(Problem(from.nLine, "names section [" + name + "], which does not exist"));
            return false;
        }
        return true;
    };

    // [Version]
    if (!inf.Section("Version")) {
        missing("no [Version] section");
    } else {
        const std::string signature = Lower(inf.Value("Version", "Signature"));
        if (signature != "$chicago$" && signature != "$windows nt$" && signature != "$windows 95$") {
            missing("[Version] Signature must be \"$CHICAGO$\" (both families) or \"$Windows NT$\"");
        }
        if (inf.Value("Version", "Class").empty()) {
            missing("[Version] has no Class");
        }
        static const std::regex guid("\\{[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}\\}");
        if (!std::regex_match(inf.Value("Version", "ClassGuid"), guid)) {
            missing("[Version] ClassGuid is not a {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx} GUID");
        }
        if (inf.Value("Version", "Provider").empty()) {
            missing("[Version] has no Provider");
        }
        static const std::regex driverVer("(0[1-9]|1[0-2])/(0[1-9]|[12][0-9]|3[01])/[0-9]{4}");
        const std::vector<const InfEntry *> ver = inf.Entries("Version", "DriverVer");
        if (ver.empty() || !std::regex_match(ver.front()->values.front(), driverVer) ||
            (ver.front()->values.size() > 1 &&
             !std::regex_match(ver.front()->values[1], std::regex("[0-9]+(\\.[0-9]+){0,3}")))) {
            missing("[Version] DriverVer must be mm/dd/yyyy[,w.x.y.z]");
        }
    }

    // Files: copied ones must be on a source disk.
    auto checkFile = [&](const std::string &file, const InfEntry &from) {
        const std::vector<const InfEntry *> sources = inf.Entries("SourceDisksFiles", file);
        if (sources.empty()) {
            problems.push_back(Problem(from.nLine, "copies " + file + ", which [SourceDisksFiles] does not list"));
        } else if (inf.Entries("SourceDisksNames", sources.front()->values.front()).empty()) {
            problems.push_back(Problem(sources.front()->nLine, file + " is on disk " + sources.front()->values.front() +
                                                                   ", which [SourceDisksNames] does not list"));
        }
    };
    auto checkDirectives = [&](const InfSection &install) {
        for (const InfEntry &entry : install.entries) {
            if (!entry.fHasKey) {
                continue;
            }
            const std::string key = Lower(entry.key);
            if (key == "copyfiles") {
                for (const std::string &value : entry.values) {
                    if (!value.empty() && value.front() == '@') {
                        checkFile(value.substr(1), entry);
                    } else if (needSection(value, entry)) {
                        for (const InfEntry &file : inf.Section(value)->entries) {
                            checkFile(file.fHasKey ? file.key : file.values.front(), file);
                        }
                    }
                }
            } else if (key == "addreg" || key == "delreg") {
                for (const std::string &value : entry.values) {
                    needSection(value, entry);
                }
            }
        }
    };
    if (!inf.Section("DestinationDirs")) {
        missing("no [DestinationDirs] section");
    }

    // Manufacturer -> models -> install sections.
    const InfSection *pManufacturer = inf.Section("Manufacturer");
    if (!pManufacturer || pManufacturer->entries.empty()) {
        missing("no [Manufacturer] section with an entry");
        return problems;
    }
    for (const InfEntry &maker : pManufacturer->entries) {
        const std::string models = maker.values.front();
        std::vector<std::string> modelSections{models};
        for (size_t i = 1; i < maker.values.size(); ++i) {
            modelSections.push_back(models + "." + maker.values[i]);
        }
        for (const std::string &modelSection : modelSections) {
            if (!needSection(modelSection, maker)) {
                continue;
            }
            for (const InfEntry &model : inf.Section(modelSection)->entries) {
                if (!model.fHasKey || model.values.size() < 2 || model.values[1].empty()) {
                    problems.push_back(Problem(model.nLine, "a model needs description=install-section,hardware-id"));
                    continue;
                }
                const std::string install = model.values[0];
                // 98/Me reads the undecorated install section, the NT family the .NT one.
                const InfSection *p9x = inf.Section(install);
                const InfSection *pNt = inf.Section(install + ".NTx86") ? inf.Section(install + ".NTx86")
                                                                         : inf.Section(install + ".NT");
                if (!p9x) {
                    problems.push_back(Problem(model.nLine, "no 98/Me install section [" + install + "]"));
                } else {
                    checkDirectives(*p9x);
                    bool fNtKern = false;
                    bool fNtmp = false;
                    for (const InfEntry *pAddReg : inf.Entries(install, "AddReg")) {
                        for (const std::string &regSection : pAddReg->values) {
                            const InfSection *pReg = inf.Section(regSection);
                            if (!pReg) {
                                continue;
                            }
                            for (const InfEntry &line : pReg->entries) {
                                const std::vector<std::string> &v = line.values;
                                if (v.size() >= 5 && SameText(v[0], "HKR") && SameText(v[2], "DevLoader") &&
                                    SameText(v[4], "*ntkern")) {
                                    fNtKern = true;
                                }
                                if (v.size() >= 5 && SameText(v[0], "HKR") && SameText(v[2], "NTMPDriver") &&
                                    !v[4].empty()) {
                                    fNtmp = true;
                                }
                            }
                        }
                    }
                    if (!fNtKern || !fNtmp) {
                        problems.push_back(Problem(p9x->nLine, "[" + install + "] must set HKR,,DevLoader,,*ntkern and "
                                                                   "HKR,,NTMPDriver,,<driver>: 98/Me loads a WDM "
                                                                   "driver through NTKERN"));
                    }
                }
                if (!pNt) {
                    problems.push_back(Problem(model.nLine, "no NT-family install section [" + install + ".NT]"));
                    continue;
                }
                checkDirectives(*pNt);
                const std::string services = pNt->name + ".Services";
                const std::vector<const InfEntry *> adds = inf.Entries(services, "AddService");
                int nFunctionDrivers = 0;
                for (const InfEntry *pAdd : adds) {
                    if (pAdd->values.size() < 3) {
                        problems.push_back(Problem(pAdd->nLine, "AddService needs name,flags,service-section"));
                        continue;
                    }
                    if (std::strtoul(pAdd->values[1].c_str(), nullptr, 0) & 0x2) {
                        ++nFunctionDrivers;
                    }
                    if (!needSection(pAdd->values[2], *pAdd)) {
                        continue;
                    }
                    for (const char *key : {"ServiceType", "StartType", "ErrorControl", "ServiceBinary"}) {
                        if (inf.Value(pAdd->values[2], key).empty()) {
                            problems.push_back(Problem(inf.Section(pAdd->values[2])->nLine,
                                                       "[" + pAdd->values[2] + "] has no " + key));
                        }
                    }
                }
                if (nFunctionDrivers != 1) {
                    problems.push_back(Problem(pNt->nLine, "[" + services + "] must add exactly one service with "
                                                               "flag 0x2, the device's function driver"));
                }
            }
        }
    }

    // Every %string% is defined.
    for (const InfSection &section : inf.Sections()) {
        if (SameText(section.name, "Strings")) {
            continue;
        }
        for (const InfEntry &entry : section.entries) {
            std::vector<std::string> fields = entry.values;
            fields.push_back(entry.key);
            for (const std::string &field : fields) {
                for (const std::string &token : StringTokens(field)) {
                    if (inf.Entries("Strings", token).empty()) {
                        problems.push_back(Problem(entry.nLine, "%" + token + "% is not defined in [Strings]"));
                    }
                }
            }
        }
    }
    // A section used by both install forms is checked twice: say each problem once.
    std::vector<std::string> unique;
    for (const std::string &problem : problems) {
        if (std::find(unique.begin(), unique.end(), problem) == unique.end()) {
            unique.push_back(problem);
        }
    }
    return unique;
}

// ---------------------------------------------------------------- .reg

namespace {

// Reads a quoted .reg string at s[i] (escapes \" and \\); false when it is not closed.
bool ReadRegString(std::string_view s, size_t &i, std::string &out)
{
    if (i >= s.size() || s[i] != '"') {
        return false;
    }
    for (++i; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == '"' || s[i + 1] == '\\')) {
            out += s[++i];
        } else if (s[i] == '"') {
            ++i;
            return true;
        } else {
            out += s[i];
        }
    }
    return false;
}

}  // namespace

RegFile ParseReg(std::string_view text, std::vector<std::string> &problems)
{
    RegFile reg;
    const std::vector<std::string> lines = SplitLines(text, problems);
    if (lines.empty() || (lines[0] != "REGEDIT4" && lines[0] != "Windows Registry Editor Version 5.00")) {
        problems.push_back(Problem(1, "the first line must be REGEDIT4 or Windows Registry Editor Version 5.00"));
    } else {
        reg.header = lines[0];
    }
    static const std::set<std::string> roots{"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT",
                                             "HKEY_USERS", "HKEY_CURRENT_CONFIG"};
    static const std::regex dword("dword:[0-9A-Fa-f]{8}");
    static const std::regex hex("hex(\\([0-9A-Fa-f]+\\))?:([0-9A-Fa-f]{2}(,[0-9A-Fa-f]{2})*)?");
    bool fKeyDeleted = false;
    for (size_t i = 1; i < lines.size(); ++i) {
        const int nLine = static_cast<int>(i) + 1;
        const std::string line = Trim(lines[i]);
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            std::string key = line.back() == ']' ? line.substr(1, line.size() - 2) : std::string();
            fKeyDeleted = !key.empty() && key.front() == '-';
            const std::string path = fKeyDeleted ? key.substr(1) : key;
            const std::string root = path.substr(0, path.find('\\'));
            if (line.back() != ']' || !roots.count(root)) {
                problems.push_back(Problem(nLine, "a key line is [ROOT\\path] with ROOT one of HKEY_LOCAL_MACHINE, "
                                                  "HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS, HKEY_CURRENT_CONFIG"));
            } else if (path.find("\\\\") != std::string::npos || path.back() == '\\') {
                problems.push_back(Problem(nLine, "empty name in key path " + path));
            }
            reg.keys.push_back(key);
            continue;
        }
        RegValue value;
        value.nLine = nLine;
        size_t pos = 0;
        if (line.front() == '@') {
            pos = 1;
        } else if (!ReadRegString(line, pos, value.name)) {
            problems.push_back(Problem(nLine, "neither a key, a value (\"name\"=... or @=...) nor a comment"));
            continue;
        }
        if (pos >= line.size() || line[pos] != '=') {
            problems.push_back(Problem(nLine, "'=' expected after the value name"));
            continue;
        }
        std::string data = line.substr(pos + 1);
        // Binary data goes on over lines ending in a backslash.
        while (!data.empty() && data.back() == '\\' && i + 1 < lines.size()) {
            data = data.substr(0, data.size() - 1) + Trim(lines[++i]);
        }
        if (reg.keys.empty()) {
            problems.push_back(Problem(nLine, "value before any key"));
            continue;
        }
        if (fKeyDeleted) {
            problems.push_back(Problem(nLine, "value under a key that is being deleted"));
        }
        value.key = reg.keys.back();
        size_t dataPos = 0;
        if (data == "-") {
            value.kind = RegValue::Kind::Delete;
        } else if (!data.empty() && data.front() == '"') {
            value.kind = RegValue::Kind::String;
            if (!ReadRegString(data, dataPos, value.text) || dataPos != data.size()) {
                problems.push_back(Problem(nLine, "string data must be one quoted text (escape \" and \\ as \\\" and \\\\)"));
                continue;
            }
        } else if (std::regex_match(data, dword)) {
            value.kind = RegValue::Kind::Dword;
            value.dwData = static_cast<uint32_t>(std::strtoul(data.c_str() + 6, nullptr, 16));
        } else if (std::regex_match(data, hex)) {
            value.kind = RegValue::Kind::Binary;
        } else {
            problems.push_back(Problem(nLine, "data must be \"text\", dword:8 hex digits, hex:xx,xx... or -"));
            continue;
        }
        reg.values.push_back(value);
    }
    return reg;
}

}  // namespace pkgcheck
