// Loads .reg files in the registry editor's export format. The whole file is parsed into a list of
// changes first and applied only when it has no fault, so a bad file changes nothing.
//
// Where the format is loose this reader is strict, so that a typing slip is told rather than
// guessed at: a dword has exactly 8 hex digits, a hex byte exactly 2; a line of a hex list that
// ends in \ continues on the next line (a blank one ends the value); text without a byte-order mark
// must be UTF-8, REGEDIT4 files too (plain ASCII is the common case); "" names the default value
// like @; deleting a key or value that does not exist is no fault, as in the editor.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "emu/ddk/registry.h"
#include "emu/kemu/registry.h"
#include "emu/config/internal.h"

namespace kemu {
namespace {

using registry::Change;
using registry::EqualNoCase;
using registry::KeyPath;

struct Fault {
    int line;
    std::string reason;
};

struct Line {
    int number;
    std::u16string text;
};

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view s)
{
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

std::string Narrow(std::u16string_view s) { return registry::Utf16ToUtf8(s); }

int HexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Text of the file as UTF-16: UTF-16LE after its byte-order mark, else UTF-8 (with or without one).
bool Decode(const std::string &bytes, std::u16string &text, Fault &fault)
{
    const auto b = [&bytes](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 2 && b(0) == 0xFF && b(1) == 0xFE) {
        if (bytes.size() % 2) {
            fault = {0, "UTF-16 text with an odd number of bytes"};
            return false;
        }
        text.clear();
        for (size_t i = 2; i < bytes.size(); i += 2) text.push_back(char16_t(b(i) | (b(i + 1) << 8)));
        return true;
    }
    if (bytes.size() >= 2 && b(0) == 0xFE && b(1) == 0xFF) {
        fault = {0, "UTF-16 big-endian text is not supported; save the file as UTF-16LE or UTF-8"};
        return false;
    }
    if (bytes.size() >= 2 && b(0) != 0 && b(1) == 0) {
        fault = {0, "the text looks like UTF-16 without its byte-order mark; save it with one"};
        return false;
    }
    std::string_view utf8 = bytes;
    size_t skipped = 0;
    if (utf8.size() >= 3 && b(0) == 0xEF && b(1) == 0xBB && b(2) == 0xBF) {
        utf8.remove_prefix(3);
        skipped = 3;
    }
    size_t at = 0;
    if (!registry::Utf8ToUtf16(utf8, text, &at)) {
        const int line = 1 + int(std::count(bytes.begin(), bytes.begin() + long(skipped + at), '\n'));
        fault = {line, "text is not valid UTF-8; save the file as UTF-8 or UTF-16LE"};
        return false;
    }
    return true;
}

std::vector<Line> SplitLines(const std::u16string &text)
{
    std::vector<Line> lines;
    size_t start = 0;
    int number = 1;
    while (start <= text.size()) {
        size_t end = text.find(u'\n', start);
        if (end == std::u16string::npos) end = text.size();
        std::u16string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == u'\r') line.pop_back();
        lines.push_back({number++, std::move(line)});
        start = end + 1;
    }
    return lines;
}

class Parser {
public:
    explicit Parser(std::vector<Line> lines) : m_lines(std::move(lines)) {}

    bool Run(std::vector<Change> &changes, Fault &fault)
    {
        try {
            ParseAll();
        } catch (const Fault &f) {
            fault = f;
            return false;
        }
        changes = std::move(m_changes);
        return true;
    }

private:
    std::vector<Line> m_lines;
    size_t m_next = 0;
    std::vector<Change> m_changes;
    bool m_inSection = false;
    bool m_deleting = false;
    KeyPath m_key;
    int m_line = 0;

    [[noreturn]] void Fail(const std::string &reason) const { throw Fault{m_line, reason}; }

    void ParseAll()
    {
        if (m_lines.empty() || (m_lines.size() == 1 && m_lines[0].text.empty())) {
            throw Fault{0, "empty file"};
        }
        m_line = 1;
        const std::u16string_view header = Trim(m_lines[0].text);
        if (header != u"Windows Registry Editor Version 5.00" && header != u"REGEDIT4") {
            Fail("first line must be \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
        }
        for (m_next = 1; m_next < m_lines.size();) {
            const Line &line = m_lines[m_next++];
            m_line = line.number;
            const std::u16string_view text = Trim(line.text);
            if (text.empty() || text.front() == u';') continue;
            if (text.front() == u'[') {
                ParseSection(text);
            } else if (text.front() == u'"' || text.front() == u'@') {
                ParseValue(text);
            } else {
                Fail("expected a [key] line, a value line beginning with \" or @, or a ; comment");
            }
        }
    }

    void ParseSection(std::u16string_view text)
    {
        if (text.back() != u']') Fail("key line must end with ]");
        text = text.substr(1, text.size() - 2);
        m_deleting = !text.empty() && text.front() == u'-';
        if (m_deleting) text.remove_prefix(1);
        m_key = ParseKeyPath(text);
        if (m_deleting && m_key.size() < 2) Fail("a root key cannot be deleted");
        m_inSection = true;
        m_changes.push_back({m_deleting ? Change::Kind::DeleteKey : Change::Kind::CreateKey, m_key, {}, 0, {}});
    }

    KeyPath ParseKeyPath(std::u16string_view text)
    {
        KeyPath components;
        size_t start = 0;
        for (;;) {
            const size_t end = text.find(u'\\', start);
            const std::u16string_view name = text.substr(start, end == std::u16string_view::npos ? end : end - start);
            if (name.empty()) Fail(components.empty() ? "key line names no key" : "empty key name in the path");
            if (name.size() > registry::kMaxKeyNameChars) Fail("key name longer than 255 characters");
            components.emplace_back(name);
            if (end == std::u16string_view::npos) break;
            start = end + 1;
        }
        const std::u16string root = components.front();
        if (EqualNoCase(root, u"HKEY_LOCAL_MACHINE")) {
            components.front() = u"MACHINE";
        } else if (EqualNoCase(root, u"HKEY_USERS")) {
            components.front() = u"USER";
        } else if (EqualNoCase(root, u"HKEY_CURRENT_USER") || EqualNoCase(root, u"HKEY_CLASSES_ROOT") ||
                   EqualNoCase(root, u"HKEY_CURRENT_CONFIG")) {
            Fail(Narrow(root) + " is not emulated; only HKEY_LOCAL_MACHINE and HKEY_USERS are");
        } else if (EqualNoCase(root, u"HKLM") || EqualNoCase(root, u"HKU") || EqualNoCase(root, u"HKCU") ||
                   EqualNoCase(root, u"HKCR") || EqualNoCase(root, u"HKCC")) {
            Fail("the abbreviation " + Narrow(root) +
                 " is not valid in .reg files; write the root in full, e.g. HKEY_LOCAL_MACHINE");
        } else {
            Fail("unknown root key \"" + Narrow(root) + "\"; only HKEY_LOCAL_MACHINE and HKEY_USERS are emulated");
        }
        return components;
    }

    // A quoted string starting at text[0] == '"', with the escapes \\ and \". Returns the text and
    // removes the string from the front of text.
    std::u16string ParseQuoted(std::u16string_view &text, const char *what)
    {
        std::u16string out;
        size_t i = 1;
        for (; i < text.size() && text[i] != u'"'; ++i) {
            if (text[i] == u'\\') {
                if (i + 1 >= text.size()) {
                    i = text.size();
                    break;
                }
                const char16_t escaped = text[++i];
                if (escaped != u'\\' && escaped != u'"') {
                    Fail(std::string("unknown escape \\") + Narrow(std::u16string(1, escaped)) + " in " + what +
                         " (only \\\\ and \\\" are known)");
                }
                out.push_back(escaped);
            } else {
                out.push_back(text[i]);
            }
        }
        if (i >= text.size()) Fail(std::string(what) + " lacks its closing quote");
        text.remove_prefix(i + 1);
        return out;
    }

    void ParseValue(std::u16string_view text)
    {
        if (!m_inSection) Fail("value line before the first [key] line");
        if (m_deleting) Fail("value line under a key that is being deleted");
        std::u16string name;
        if (text.front() == u'@') {
            text.remove_prefix(1);
        } else {
            name = ParseQuoted(text, "value name");
            if (name.size() > registry::kMaxValueNameChars) Fail("value name longer than 16383 characters");
        }
        text = Trim(text);
        if (text.empty() || text.front() != u'=') Fail("expected = after the value name");
        text = Trim(text.substr(1));

        Change change{Change::Kind::SetValue, m_key, name, 0, {}};
        if (text == u"-") {
            change.kind = Change::Kind::DeleteValue;
        } else if (!text.empty() && text.front() == u'"') {
            const std::u16string value = ParseQuoted(text, "string value");
            if (!Trim(text).empty()) Fail("unexpected text after the closing quote of the string value");
            change.type = REG_SZ;
            for (char16_t c : value) {
                change.data.push_back(uint8_t(c));
                change.data.push_back(uint8_t(c >> 8));
            }
            change.data.push_back(0); // REG_SZ data carries its terminating NUL
            change.data.push_back(0);
        } else if (StartsWithNoCase(text, u"dword:")) {
            text.remove_prefix(6);
            uint32_t value = 0;
            if (text.size() != 8) Fail("dword value must have 8 hex digits");
            for (char16_t c : text) {
                const int digit = HexDigit(c);
                if (digit < 0) Fail("dword value must have 8 hex digits");
                value = (value << 4) | uint32_t(digit);
            }
            change.type = REG_DWORD;
            change.data = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
        } else if (StartsWithNoCase(text, u"hex")) {
            text.remove_prefix(3);
            change.type = REG_BINARY;
            if (!text.empty() && text.front() == u'(') {
                const size_t close = text.find(u')');
                const std::u16string_view digits = text.substr(1, close == std::u16string_view::npos ? 0 : close - 1);
                if (close == std::u16string_view::npos || digits.empty() || digits.size() > 8) {
                    Fail("value type in hex(...) must be a hexadecimal number of 1 to 8 digits");
                }
                change.type = 0;
                for (char16_t c : digits) {
                    const int digit = HexDigit(c);
                    if (digit < 0) Fail("value type in hex(...) must be a hexadecimal number of 1 to 8 digits");
                    change.type = (change.type << 4) | uint32_t(digit);
                }
                text.remove_prefix(close + 1);
            }
            if (text.empty() || text.front() != u':') Fail("expected : after hex or hex(type)");
            text.remove_prefix(1);
            change.data = ParseHexBytes(text);
        } else {
            Fail("unknown value data; expected \"text\", dword:, hex:, hex(type): or -");
        }
        m_changes.push_back(std::move(change));
    }

    static bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix)
    {
        return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
    }

    // Comma-separated bytes of two hex digits; a line ending in \ continues on the next one.
    std::vector<uint8_t> ParseHexBytes(std::u16string_view text)
    {
        std::vector<uint8_t> bytes;
        for (;;) {
            text = Trim(text);
            const bool continued = !text.empty() && text.back() == u'\\';
            if (continued) text = Trim(text.substr(0, text.size() - 1));
            size_t start = 0;
            while (start < text.size()) {
                size_t comma = text.find(u',', start);
                const bool last = comma == std::u16string_view::npos;
                const std::u16string_view token = Trim(text.substr(start, last ? comma : comma - start));
                if (token.empty()) Fail("empty byte in the hex list");
                if (token.size() != 2 || HexDigit(token[0]) < 0 || HexDigit(token[1]) < 0) {
                    Fail("hex bytes must be two hex digits separated by commas, found \"" + Narrow(token) + "\"");
                }
                bytes.push_back(uint8_t(HexDigit(token[0]) << 4 | HexDigit(token[1])));
                if (last) break;
                start = comma + 1;
            }
            if (!continued) return bytes;
            if (m_next >= m_lines.size()) Fail("the file ends inside a value continued with \\");
            const Line &next = m_lines[m_next++];
            m_line = next.number;
            text = next.text;
        }
    }
};

} // namespace

std::string RegImportResult::message() const
{
    if (ok) return source + ": imported";
    if (line > 0) return source + ":" + std::to_string(line) + ": " + reason;
    return source + ": " + reason;
}

RegImportResult ImportRegText(const std::string &text, const std::string &sourceName)
{
    RegImportResult result;
    result.source = sourceName;
    Fault fault{0, {}};
    std::u16string decoded;
    std::vector<Change> changes;
    if (Decode(text, decoded, fault) && Parser(SplitLines(decoded)).Run(changes, fault)) {
        registry::ApplyChanges(changes);
        return result;
    }
    result.ok = false;
    result.line = fault.line;
    result.reason = fault.reason;
    return result;
}

RegImportResult ImportRegFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        RegImportResult result;
        result.ok = false;
        result.source = path;
        result.reason = std::string("cannot open the file: ") + std::strerror(errno);
        return result;
    }
    std::ostringstream bytes;
    bytes << file.rdbuf();
    if (file.bad()) {
        RegImportResult result;
        result.ok = false;
        result.source = path;
        result.reason = "cannot read the file";
        return result;
    }
    return ImportRegText(bytes.str(), path);
}

} // namespace kemu
