#include "platform.h"

#include <cctype>
#include <cstdio>

#include "emu/kemu.h"
#include "entry.h"

namespace sim {

const char kLevelContainer[] = "\\Registry\\Machine\\SOFTWARE\\NRV\\debug\\krnl\\DEVIDIDI";

Machine::~Machine()
{
    if (m_driver != nullptr) {
        Unload();
    }
}

NTSTATUS Machine::Load()
{
    kemu::DriverLoad load = kemu::LoadDriver(&DriverEntry, u"\\Driver\\DeVididi",
                                             u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\DeVididi");
    m_driver = load.driver;
    return load.status;
}

NTSTATUS Machine::AddDevice()
{
    PDEVICE_OBJECT pdo = kemu::CreatePdo(u"DeVididi");
    NTSTATUS status = kemu::PnpAddDevice(m_driver, pdo);
    m_pdos.push_back(pdo);
    return status;
}

NTSTATUS Machine::RemoveDevice()
{
    PDEVICE_OBJECT pdo = m_pdos.back();
    m_pdos.pop_back();
    return kemu::PnpRemoveDevice(pdo);
}

void Machine::Unload()
{
    while (!m_pdos.empty()) {
        RemoveDevice();
    }
    if (m_driver != nullptr) {
        kemu::UnloadDriver(m_driver);
        m_driver = nullptr;
    }
}

void Machine::SetLevel(const std::string &module, uint32_t level)
{
    kemu::SetRegistryDword(std::string(kLevelContainer) + "\\" + module, "DebugLevel", level);
}

std::map<std::string, size_t> LivePoolByTag()
{
    std::map<std::string, size_t> byTag;
    for (const auto &block : kemu::LivePoolBlocks()) {
        byTag[kemu::TagText(block.tag)]++;
    }
    return byTag;
}

std::string PoolSummary(const std::map<std::string, size_t> &blocks)
{
    std::string text;
    for (const auto &[tag, count] : blocks) {
        text += (text.empty() ? "" : ", ") + std::to_string(count) + " '" + tag + "'";
    }
    return text;
}

void AddressNames::AddBuffer(const void *address, size_t size, const std::string &name)
{
    RemoveBuffer(address);
    m_buffers.push_back({reinterpret_cast<uintptr_t>(address), size, name});
}

void AddressNames::RemoveBuffer(const void *address)
{
    for (auto it = m_buffers.begin(); it != m_buffers.end(); ++it) {
        if (it->address == reinterpret_cast<uintptr_t>(address)) {
            m_buffers.erase(it);
            return;
        }
    }
}

namespace {
// The driver prints pointers as 32-bit values: compare the low 32 bits unless the whole is known.
bool Within(uint64_t value, bool full, uintptr_t start, size_t size)
{
    if (full) {
        return value >= start && value < start + size;
    }
    const uint32_t low = static_cast<uint32_t>(start);
    return static_cast<uint32_t>(static_cast<uint32_t>(value) - low) < size;
}

std::string Offset(uint64_t offset)
{
    if (offset == 0) {
        return "";
    }
    char text[24];
    std::snprintf(text, sizeof text, "+0x%llx", static_cast<unsigned long long>(offset));
    return text;
}
} // namespace

std::string AddressNames::NameFor(uint64_t value, bool full)
{
    for (const auto &buffer : m_buffers) {
        if (Within(value, full, buffer.address, buffer.size)) {
            return "<" + buffer.name + Offset(static_cast<uint32_t>(value - buffer.address)) + ">";
        }
    }
    for (const auto &block : kemu::LivePoolBlocks()) {
        const auto start = reinterpret_cast<uintptr_t>(block.address);
        if (Within(value, full, start, block.size == 0 ? 1 : block.size)) {
            auto found = m_blockNames.find(block.sequence);
            if (found == m_blockNames.end()) {
                const std::string tag = kemu::TagText(block.tag);
                std::string trimmed = tag.substr(0, tag.find_last_not_of(' ') + 1);
                found = m_blockNames.emplace(block.sequence, trimmed + "-" + std::to_string(++m_tagCounts[tag])).first;
            }
            const uint64_t offset = full ? value - start : static_cast<uint32_t>(value - start);
            return "<" + found->second + Offset(offset) + ">";
        }
    }
    return "";
}

std::string AddressNames::Apply(const std::string &line)
{
    std::string out;
    size_t i = 0;
    while (i < line.size()) {
        const bool boundary = i == 0 || !std::isalnum(static_cast<unsigned char>(line[i - 1]));
        const bool prefixed = boundary && line.compare(i, 2, "0x") == 0;
        const bool afterEquals = i > 0 && line[i - 1] == '=';
        if (prefixed || afterEquals) {
            size_t start = prefixed ? i + 2 : i;
            size_t end = start;
            while (end < line.size() && std::isxdigit(static_cast<unsigned char>(line[end]))) {
                ++end;
            }
            const size_t digits = end - start;
            const bool wordEnds = end == line.size() || !std::isalnum(static_cast<unsigned char>(line[end]));
            if (digits >= 5 && digits <= 16 && wordEnds) {
                const uint64_t value = std::stoull(line.substr(start, digits), nullptr, 16);
                std::string name = NameFor(value, digits > 8);
                if (!name.empty()) {
                    out += name;
                    i = end;
                    continue;
                }
            }
        }
        out += line[i++];
    }
    return out;
}

} // namespace sim
