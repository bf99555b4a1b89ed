#include "script.h"

#include <cctype>
#include <cstdlib>
#include <map>
#include <sstream>

namespace sim {
namespace {

std::vector<std::string> Split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) {
        parts.push_back(part);
    }
    if (!text.empty() && text.back() == separator) {
        parts.emplace_back();
    }
    return parts;
}

std::vector<std::string> Words(const std::string &line)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

// A number that may be negative (print ranges, notification words, information fields): the
// result is its 32-bit two's complement.
std::optional<uint32_t> ParseWord(const std::string &text)
{
    if (!text.empty() && text[0] == '-') {
        auto magnitude = ParseNumber(text.substr(1), 0x80000000u);
        if (!magnitude) {
            return std::nullopt;
        }
        return static_cast<uint32_t>(0u - static_cast<uint32_t>(*magnitude));
    }
    auto value = ParseNumber(text, 0xFFFFFFFFu);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(*value);
}

std::string BadNumber(const std::string &what, const std::string &text, uint64_t max)
{
    std::ostringstream out;
    out << "bad " << what << " '" << text << "' (a number from 0 to " << max << ", decimal or 0x-hex)";
    return out.str();
}

// "key=value" arguments after the positional ones; every key at most once.
struct KeyValues {
    std::map<std::string, std::string> values;
    std::string error;
};

KeyValues ParseKeyValues(const std::string &command, const std::vector<std::string> &words, size_t first,
                         const std::vector<std::string> &allowed)
{
    KeyValues result;
    for (size_t i = first; i < words.size(); ++i) {
        const std::string &word = words[i];
        size_t eq = word.find('=');
        std::string key = eq == std::string::npos ? word : word.substr(0, eq);
        bool known = false;
        for (const auto &name : allowed) {
            known = known || name == key;
        }
        if (eq == std::string::npos || !known) {
            std::string list;
            for (const auto &name : allowed) {
                list += (list.empty() ? "" : ", ") + name + "=";
            }
            result.error = command + ": unexpected argument '" + word + "' (expected " + list + ")";
            return result;
        }
        if (result.values.count(key)) {
            result.error = command + ": " + key + "= given twice";
            return result;
        }
        result.values[key] = word.substr(eq + 1);
    }
    return result;
}

const char *kInfoUsage = "expected info=video,<FrameSize>,<FrameRate>,<CompStandard>, info=audio,<CompStandard> "
                         "or info=none";

std::string ParseInfo(const std::string &text, InfoSpec &info)
{
    std::vector<std::string> parts = Split(text, ',');
    info = InfoSpec();
    if (parts.size() == 1 && parts[0] == "none") {
        return "";
    }
    std::vector<int32_t> numbers;
    for (size_t i = 1; i < parts.size(); ++i) {
        auto word = ParseWord(parts[i]);
        if (!word) {
            return "bad number '" + parts[i] + "' in info=" + text;
        }
        numbers.push_back(static_cast<int32_t>(*word));
    }
    if (!parts.empty() && parts[0] == "video" && numbers.size() == 3) {
        info.kind = InfoSpec::Video;
        info.frameSize = numbers[0];
        info.frameRate = numbers[1];
        info.compStandard = numbers[2];
        return "";
    }
    if (!parts.empty() && parts[0] == "audio" && numbers.size() == 1) {
        info.kind = InfoSpec::Audio;
        info.compStandard = numbers[0];
        return "";
    }
    return std::string("bad info=") + text + ": " + kInfoUsage;
}

struct Syntax {
    Op op;
    const char *usage; // what follows the command word
};

const std::map<std::string, Syntax> &Commands()
{
    static const std::map<std::string, Syntax> commands = {
        {"level", {Op::Level, "<MODULE> <n>"}},
        {"reg-import", {Op::RegImport, "FILE.reg"}},
        {"debug-service", {Op::DebugService, "present|absent"}},
        {"tick", {Op::Tick, "<n>"}},
        {"fail-alloc", {Op::FailAlloc, "<k> [tag=XXXX] | fail-alloc p=<probability> seed=<n> [tag=XXXX]"}},
        {"load", {Op::Load, ""}},
        {"add-device", {Op::AddDevice, ""}},
        {"remove-device", {Op::RemoveDevice, ""}},
        {"unload", {Op::Unload, ""}},
        {"open", {Op::Open, "<name>"}},
        {"close", {Op::Close, "<name>"}},
        {"provider", {Op::Provider, "<name> stream=<h> size=<n> [info=video,<FrameSize>,<FrameRate>,<CompStandard> "
                                    "| info=audio,<CompStandard> | info=none]"}},
        {"consumer", {Op::Consumer, "<name> stream=<h> handle=<n>"}},
        {"unregister", {Op::Unregister, "<name>"}},
        {"provide", {Op::Provide, "<name> <bytes>"}},
        {"processed", {Op::Processed, "<name> <bytes>"}},
        {"notify", {Op::Notify, "<name> <code> [<word0> <word1>] [info=...]"}},
        {"print-status", {Op::PrintStatus, ""}},
        {"print-streams", {Op::PrintStreams, "<from> <to>"}},
        {"update-levels", {Op::UpdateLevels, ""}},
        {"orb-query", {Op::OrbQuery, ""}},
        {"resync", {Op::Resync, ""}},
        {"bandwidth", {Op::Bandwidth, "<mode> [trial=<units of 0.1 ms>]"}},
        {"ioctl", {Op::Ioctl, "<code> [<hex bytes>] | ioctl <code> [in=<hex>] [out=<n>] | ioctl <registration code> "
                            "[stream=<n>] [size=<n>] [handle=<n>] record=null|short|valid|hostile|cut=field|byte "
                            "[out=<n>]"}},
        {"load-driver", {Op::LoadDriver, "<name> FILE"}},
        {"unload-driver", {Op::UnloadDriver, "<name>"}},
        {"dpcs", {Op::Dpcs, "hold|run"}},
        {"user-requests", {Op::UserRequests, "fresh|<name> <code> in=<n> out=<n>"}},
    };
    return commands;
}

bool ValidName(const std::string &name)
{
    if (name.empty() || name.size() > 32) {
        return false;
    }
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') {
            return false;
        }
    }
    return true;
}

std::string ParseHexBytes(const std::vector<std::string> &words, size_t first, std::vector<uint8_t> &bytes)
{
    for (size_t i = first; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (word.size() % 2 != 0) {
            return "bad hex bytes '" + word + "' (an even number of hex digits)";
        }
        for (size_t k = 0; k < word.size(); k += 2) {
            if (!std::isxdigit(static_cast<unsigned char>(word[k])) ||
                !std::isxdigit(static_cast<unsigned char>(word[k + 1]))) {
                return "bad hex bytes '" + word + "'";
            }
            bytes.push_back(static_cast<uint8_t>(std::stoul(word.substr(k, 2), nullptr, 16)));
        }
    }
    return "";
}

bool IsControlRequest(Op op)
{
    return op == Op::PrintStatus || op == Op::PrintStreams || op == Op::UpdateLevels || op == Op::OrbQuery ||
           op == Op::Resync || op == Op::Bandwidth || op == Op::Ioctl;
}

// from=user|kernel, anywhere after the command word: who sends a control request. It is taken out of
// the words, so that each command reads the rest as it always has.
std::string TakeRequestor(std::vector<std::string> &words, bool &fromUser)
{
    bool given = false;
    for (auto it = words.begin() + 1; it != words.end();) {
        if (it->rfind("from=", 0) != 0) {
            ++it;
            continue;
        }
        const std::string value = it->substr(5);
        if (given) {
            return "from= given twice";
        }
        if (value != "user" && value != "kernel") {
            return "bad from='" + value + "' (user or kernel)";
        }
        fromUser = value == "user";
        given = true;
        it = words.erase(it);
    }
    return "";
}

} // namespace

const std::vector<std::string> &ModuleNames()
{
    static const std::vector<std::string> names = {"DEVIDIDI",      "ENTRY",         "PROVIDER_CLIENT",
                                                   "CONSUMER_CLIENT", "OAPI_PROVIDER", "OAPI_CONSUMER",
                                                   "PROVIDER_INFO", "CONSUMER_INFO", "STREAM"};
    return names;
}

std::optional<uint64_t> ParseNumber(const std::string &text, uint64_t max)
{
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    if (digits.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    uint64_t base = hex ? 16 : 10;
    for (char c : digits) {
        uint64_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint64_t>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<uint64_t>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<uint64_t>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        if (value > (UINT64_MAX - digit) / base) {
            return std::nullopt;
        }
        value = value * base + digit;
    }
    if (value > max) {
        return std::nullopt;
    }
    return value;
}

ParseResult ParseLine(const std::string &rawLine, int lineNo)
{
    ParseResult result;
    std::string line = rawLine.substr(0, rawLine.find('#'));
    std::vector<std::string> words = Words(line);
    if (words.empty()) {
        return result;
    }
    auto found = Commands().find(words[0]);
    if (found == Commands().end()) {
        result.error = "unknown command '" + words[0] + "'";
        return result;
    }
    const std::string &verb = found->first;
    Command cmd;
    cmd.op = found->second.op;
    cmd.line = lineNo;
    const std::string usage = std::string("usage: ") + verb +
                              (*found->second.usage ? std::string(" ") + found->second.usage : std::string());
    auto fail = [&](const std::string &reason) {
        result.error = reason;
        return result;
    };
    auto needCount = [&](size_t count) { return words.size() == count + 1; };
    auto needName = [&](size_t index) -> bool {
        if (index >= words.size() || !ValidName(words[index])) {
            return false;
        }
        cmd.name = words[index];
        return true;
    };
    auto number = [&](const std::string &what, const std::string &text, uint64_t max,
                      uint64_t &out) -> bool {
        auto value = ParseNumber(text, max);
        if (!value) {
            result.error = verb + ": " + BadNumber(what, text, max);
            return false;
        }
        out = *value;
        return true;
    };

    if (IsControlRequest(cmd.op)) {
        const std::string error = TakeRequestor(words, cmd.fromUser);
        if (!error.empty()) {
            return fail(verb + ": " + error);
        }
    }

    switch (cmd.op) {
    case Op::Load:
    case Op::AddDevice:
    case Op::RemoveDevice:
    case Op::Unload:
    case Op::PrintStatus:
    case Op::UpdateLevels:
    case Op::OrbQuery:
    case Op::Resync:
        if (!needCount(0)) {
            return fail(verb + " takes no argument" + (IsControlRequest(cmd.op) ? " but from=" : ""));
        }
        break;

    case Op::Level: {
        if (!needCount(2)) {
            return fail(usage);
        }
        bool known = false;
        for (const auto &module : ModuleNames()) {
            known = known || module == words[1];
        }
        if (!known) {
            std::string list;
            for (const auto &module : ModuleNames()) {
                list += (list.empty() ? "" : " ") + module;
            }
            return fail("level: unknown module '" + words[1] + "' (one of " + list + ")");
        }
        cmd.name = words[1];
        if (!number("level", words[2], 0xFFFFFFFFu, cmd.value)) {
            return result;
        }
        break;
    }

    case Op::LoadDriver:
        if (!needCount(2)) {
            return fail(usage);
        }
        cmd.name = words[1];
        cmd.file = words[2];
        break;

    case Op::Dpcs:
        if (!needCount(1) || (words[1] != "hold" && words[1] != "run")) {
            return fail(usage);
        }
        cmd.name = words[1];
        break;

    case Op::UnloadDriver:
        if (!needCount(1)) {
            return fail(usage);
        }
        cmd.name = words[1];
        break;

    case Op::UserRequests: {
        if (!needCount(4) || !needName(1)) {
            return fail(usage);
        }
        if (!number("control code", words[2], 0xFFFFFFFFu, cmd.value)) {
            return result;
        }
        KeyValues kv = ParseKeyValues(verb, words, 3, {"in", "out"});
        if (!kv.error.empty()) {
            return fail(kv.error);
        }
        if (kv.values.size() != 2) {
            return fail(usage);
        }
        // At most the large shape's 256 bytes, the buffers every shape is sent from.
        uint64_t in = 0, out = 0;
        if (!number("input length", kv.values["in"], 256, in) || !number("output length", kv.values["out"], 256, out)) {
            return result;
        }
        cmd.inLength = static_cast<uint32_t>(in);
        cmd.outLength = static_cast<uint32_t>(out);
        break;
    }

    case Op::RegImport:
        if (!needCount(1)) {
            return fail(usage);
        }
        cmd.name = words[1];
        break;

    case Op::DebugService:
        if (!needCount(1) || (words[1] != "present" && words[1] != "absent")) {
            return fail(usage);
        }
        cmd.name = words[1];
        break;

    case Op::Tick:
        if (!needCount(1)) {
            return fail(usage);
        }
        if (!number("tick count", words[1], UINT64_MAX, cmd.value)) {
            return result;
        }
        break;

    case Op::FailAlloc: {
        if (words.size() < 2) {
            return fail(usage);
        }
        const bool probability = words[1].rfind("p=", 0) == 0;
        const size_t firstKey = probability ? 1 : 2;
        if (!probability && !number("allocation number", words[1], UINT64_MAX, cmd.value)) {
            return result;
        }
        KeyValues kv = ParseKeyValues(verb, words, firstKey,
                                      probability ? std::vector<std::string>{"p", "seed", "tag"}
                                                  : std::vector<std::string>{"tag"});
        if (!kv.error.empty()) {
            return fail(kv.error);
        }
        if (probability) {
            if (!kv.values.count("seed")) {
                return fail("fail-alloc: p= needs seed= too, so that the run can be repeated");
            }
            char *end = nullptr;
            const std::string &text = kv.values["p"];
            cmd.p = std::strtod(text.c_str(), &end);
            if (text.empty() || end == nullptr || *end != '\0' || !(cmd.p >= 0 && cmd.p <= 1)) {
                return fail("fail-alloc: bad probability '" + text + "' (a number from 0 to 1, e.g. 0.05)");
            }
            if (!number("seed", kv.values["seed"], UINT64_MAX, cmd.seed)) {
                return result;
            }
            cmd.probability = true;
        }
        if (kv.values.count("tag")) {
            cmd.tag = kv.values["tag"];
            if (cmd.tag.empty() || cmd.tag.size() > 4) {
                return fail("fail-alloc: a pool tag has 1 to 4 characters ('Trcd', 'Wdm')");
            }
        }
        break;
    }

    case Op::Open:
    case Op::Close:
    case Op::Unregister:
        if (!needCount(1)) {
            return fail(usage);
        }
        if (!needName(1)) {
            return fail(verb + ": bad client name '" + words[1] + "' (letters, digits, '-', '_', '.')");
        }
        break;

    case Op::Provider:
    case Op::Consumer: {
        if (words.size() < 2 || words[1].find('=') != std::string::npos) {
            return fail(usage);
        }
        if (!needName(1)) {
            return fail(verb + ": bad client name '" + words[1] + "' (letters, digits, '-', '_', '.')");
        }
        bool provider = cmd.op == Op::Provider;
        KeyValues kv = ParseKeyValues(verb, words, 2,
                                      provider ? std::vector<std::string>{"stream", "size", "info"}
                                               : std::vector<std::string>{"stream", "handle"});
        if (!kv.error.empty()) {
            return fail(kv.error);
        }
        const std::vector<std::string> required =
            provider ? std::vector<std::string>{"stream", "size"} : std::vector<std::string>{"stream", "handle"};
        for (const auto &key : required) {
            if (!kv.values.count(key)) {
                return fail(verb + ": missing " + key + "= (" + usage + ")");
            }
        }
        uint64_t value = 0;
        if (!number("stream handle", kv.values["stream"], 0xFFFFFFFFu, value)) {
            return result;
        }
        cmd.stream = static_cast<uint32_t>(value);
        if (provider) {
            if (!number("ring size", kv.values["size"], 0xFFFFFFFFu, value)) {
                return result;
            }
            cmd.size = static_cast<uint32_t>(value);
            cmd.hasInfo = true;
            if (kv.values.count("info")) {
                std::string error = ParseInfo(kv.values["info"], cmd.info);
                if (!error.empty()) {
                    return fail(verb + ": " + error);
                }
            }
        } else if (!number("consumer handle", kv.values["handle"], UINT64_MAX, cmd.handle)) {
            return result;
        }
        break;
    }

    case Op::Provide:
    case Op::Processed:
        if (!needCount(2)) {
            return fail(usage);
        }
        if (!needName(1)) {
            return fail(verb + ": bad client name '" + words[1] + "' (letters, digits, '-', '_', '.')");
        }
        if (!number("byte count", words[2], 0xFFFFFFFFu, cmd.value)) {
            return result;
        }
        if (cmd.op == Op::Provide && cmd.value > (64u << 20)) {
            return fail("provide: at most 67108864 bytes in one block");
        }
        break;

    case Op::Notify: {
        if (words.size() < 3) {
            return fail(usage);
        }
        if (!needName(1)) {
            return fail(verb + ": bad client name '" + words[1] + "' (letters, digits, '-', '_', '.')");
        }
        if (!number("notification code", words[2], 0xFFFFFFFFu, cmd.value)) {
            return result;
        }
        std::vector<std::string> rest(words.begin() + 3, words.end());
        if (!rest.empty() && rest.back().rfind("info=", 0) == 0) {
            std::string error = ParseInfo(rest.back().substr(5), cmd.info);
            if (!error.empty()) {
                return fail("notify: " + error);
            }
            cmd.hasInfo = true;
            rest.pop_back();
        }
        if (rest.size() == 2) {
            for (int i = 0; i < 2; ++i) {
                auto word = ParseWord(rest[static_cast<size_t>(i)]);
                if (!word) {
                    return fail("notify: bad word '" + rest[static_cast<size_t>(i)] +
                                "' (a 32-bit number, decimal or 0x-hex, may be negative)");
                }
                cmd.words[i] = *word;
            }
            cmd.hasWords = true;
        } else if (!rest.empty()) {
            return fail("notify: give both words or none (" + usage + ")");
        }
        if (cmd.hasInfo && cmd.value != 5) {
            return fail("notify: info= goes only with code 5");
        }
        if (cmd.hasInfo && cmd.hasWords) {
            return fail("notify: give info= or the two words, not both");
        }
        break;
    }

    case Op::PrintStreams: {
        if (!needCount(2)) {
            return fail(usage);
        }
        auto from = ParseWord(words[1]);
        auto to = ParseWord(words[2]);
        if (!from || !to) {
            return fail("print-streams: bad stream index '" + (from ? words[2] : words[1]) +
                        "' (a 32-bit number, decimal or 0x-hex, may be negative)");
        }
        cmd.from = static_cast<int32_t>(*from);
        cmd.to = static_cast<int32_t>(*to);
        break;
    }

    case Op::Bandwidth: {
        if (words.size() < 2 || words.size() > 3) {
            return fail(usage);
        }
        auto mode = ParseWord(words[1]);
        if (!mode) {
            return fail("bandwidth: bad mode '" + words[1] + "' (a 32-bit number, 1 for the five-band table)");
        }
        cmd.value = *mode;
        if (words.size() == 3) {
            KeyValues kv = ParseKeyValues(verb, words, 2, {"trial"});
            if (!kv.error.empty()) {
                return fail(kv.error);
            }
            uint64_t trial = 0;
            if (!number("trial time", kv.values["trial"], 100000000u, trial)) {
                return result;
            }
            cmd.trial = static_cast<uint32_t>(trial);
        }
        break;
    }

    case Op::Ioctl: {
        if (words.size() < 2) {
            return fail(usage);
        }
        if (!number("control code", words[1], 0xFFFFFFFFu, cmd.value)) {
            return result;
        }
        if (words.size() > 2 && words[2].find('=') != std::string::npos) {
            KeyValues kv = ParseKeyValues(verb, words, 2, {"in", "out", "record", "stream", "size", "handle", "cut"});
            if (!kv.error.empty()) {
                return fail(kv.error);
            }
            cmd.exact = true;
            for (const char *field : {"stream", "size", "handle"}) {
                uint64_t value = 0;
                if (kv.values.count(field)) {
                    if (!number(std::string(field) + "=", kv.values[field], 0xFFFFFFFFu, value)) {
                        return result;
                    }
                    cmd.fields.emplace_back(field, static_cast<uint32_t>(value));
                }
            }
            if (kv.values.count("cut")) {
                const std::string &cut = kv.values["cut"];
                if (cut != "field" && cut != "byte") {
                    return fail("ioctl: bad cut='" + cut + "' (field: one field short, byte: one byte short)");
                }
                cmd.cut = cut == "field" ? Command::Cut::Field : Command::Cut::Byte;
            }
            if (kv.values.count("in")) {
                cmd.inGiven = true;
                std::string error = ParseHexBytes({kv.values["in"]}, 0, cmd.bytes);
                if (!error.empty()) {
                    return fail("ioctl: in=: " + error);
                }
            }
            uint64_t out = 0;
            if (kv.values.count("out") && !number("output length", kv.values["out"], 1u << 20, out)) {
                return result;
            }
            cmd.outLength = static_cast<uint32_t>(out);
            if (kv.values.count("record")) {
                const std::string &mode = kv.values["record"];
                if (mode == "null") {
                    cmd.record = Command::Record::Null;
                } else if (mode == "short") {
                    cmd.record = Command::Record::Short;
                } else if (mode == "valid") {
                    cmd.record = Command::Record::Valid;
                } else if (mode == "hostile") {
                    cmd.record = Command::Record::Hostile;
                } else {
                    return fail("ioctl: bad record='" + mode + "' (null, short, valid or hostile)");
                }
            }
            break;
        }
        std::string error = ParseHexBytes(words, 2, cmd.bytes);
        if (!error.empty()) {
            return fail("ioctl: " + error);
        }
        break;
    }
    }
    result.command = cmd;
    return result;
}

} // namespace sim
