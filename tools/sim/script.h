// The command language of the scripted mode: one command a line, parsed into a Command.
#ifndef DEVIDIDI_SIM_SCRIPT_H
#define DEVIDIDI_SIM_SCRIPT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class Op {
    Level,        // level <MODULE> <n>
    RegImport,    // reg-import FILE.reg
    DebugService, // debug-service present|absent
    Tick,         // tick <n>
    FailAlloc,    // fail-alloc <k> [tag=XXXX] | fail-alloc p=<probability> seed=<n> [tag=XXXX]
    Load,
    AddDevice,
    RemoveDevice,
    Unload,
    Open,         // open <name>
    Close,        // close <name>
    Provider,     // provider <name> stream=<h> size=<n> [info=...]
    Consumer,     // consumer <name> stream=<h> handle=<n>
    Unregister,   // unregister <name>
    Provide,      // provide <name> <bytes>
    Processed,    // processed <name> <bytes>
    Notify,       // notify <name> <code> [<word0> <word1>] [info=...]
    PrintStatus,
    PrintStreams, // print-streams <from> <to>
    UpdateLevels,
    OrbQuery,
    Resync,
    Bandwidth,    // bandwidth <mode> [trial=<units of 0.1 ms>]
    Ioctl,        // ioctl <code> [<hex bytes>] | ioctl <code> [in=<hex>] [out=<n>] | ioctl <registration
                  // code> [stream=<n>] [size=<n>] [handle=<n>] record=null|short|valid|hostile|cut=field|byte
    LoadDriver,   // load-driver <name> FILE
    UnloadDriver, // unload-driver <name>
    Dpcs,         // dpcs hold|run
    UserRequests, // user-requests fresh|<name> <code> in=<n> out=<n>
};

// A stream information block as a provider publishes it.
struct InfoSpec {
    enum Kind { None, Video, Audio } kind = None;
    int32_t frameSize = 0;    // video
    int32_t frameRate = 0;    // video
    int32_t compStandard = 0; // video and audio
};

struct Command {
    Op op = Op::Load;
    int line = 0;
    std::string name;      // client, module, file or "present"/"absent"
    uint64_t value = 0;    // the one number of level/tick/fail-alloc/provide/processed/notify code/ioctl code/bandwidth mode
    uint32_t stream = 0;   // provider, consumer
    uint32_t size = 0;     // provider
    uint64_t handle = 0;   // consumer
    bool hasInfo = false;  // provider (always set), notify (info= given)
    InfoSpec info;
    bool hasWords = false; // notify
    uint32_t words[2] = {0, 0};
    int32_t from = 0, to = 0;     // print-streams
    uint32_t trial = 300;         // bandwidth: one trial's time in units of 0.1 ms
    std::string tag;              // fail-alloc: only allocations with this pool tag count ("" = all)
    std::vector<uint8_t> bytes;   // ioctl
    std::string file;             // load-driver
    bool exact = false;           // ioctl: in=/out= given: exactly these lengths, no padding
    uint32_t outLength = 0;       // ioctl, user-requests: out=
    uint32_t inLength = 0;        // user-requests: in=, the length of the record the code reads
    bool inGiven = false;         // ioctl: in= given (even empty)
    enum class Record { None, Null, Short, Valid, Hostile } record = Record::None; // ioctl: record=
    bool fromUser = false;        // control requests: from=user, sent as a user-mode program sends them
    // ioctl: a registration record's fields by name (stream=, size=, handle=), in the order given,
    // and cut=: the record sent one field or one byte short of its whole length.
    std::vector<std::pair<std::string, uint32_t>> fields;
    enum class Cut { None, Field, Byte } cut = Cut::None;
    bool probability = false;     // fail-alloc p=: value is unused, p and seed below
    double p = 0;
    uint64_t seed = 0;
};

struct ParseResult {
    std::optional<Command> command; // empty for a blank or comment line, or on error
    std::string error;              // the reason, without the "line N: " prefix; empty when fine
};

// Parses one line; lineNo is copied into the command.
ParseResult ParseLine(const std::string &line, int lineNo);

// Decimal or 0x-hex, unsigned, at most max. Empty on a bad or too large number.
std::optional<uint64_t> ParseNumber(const std::string &text, uint64_t max);

// The nine module names of the debug log, in module order.
const std::vector<std::string> &ModuleNames();

} // namespace sim

#endif
