// The live view of the default run: one block of lines, redrawn in place on a terminal and
// printed as plain lines otherwise.
#ifndef DEVIDIDI_SIM_LIVE_VIEW_H
#define DEVIDIDI_SIM_LIVE_VIEW_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sim {

struct ConsumerRow {
    std::string name;
    std::string state; // "joined", "waiting", "left"
    int64_t freeSpace = 0;
    uint64_t announced = 0, processed = 0, lost = 0;
};

struct StreamRow {
    int index = 0;
    std::string label;    // "LOCAL VIDEO"
    std::string provider; // client name, "-" when none
    double bytesPerSecond = 0;
    bool hasWritePosition = false;
    uint64_t writePosition = 0;
    uint64_t ringSize = 0;
    std::vector<ConsumerRow> consumers;
};

struct ViewSnapshot {
    double elapsed = 0, duration = 0;
    std::vector<StreamRow> streams;
    std::vector<std::string> notes; // a few lines under the table
};

// "1.2 MB", "45.6 kB", "512 B".
std::string Bytes(double bytes);
std::vector<std::string> RenderView(const ViewSnapshot &snapshot);

class LiveView {
public:
    LiveView(std::FILE *out, bool terminal) : m_out(out), m_terminal(terminal) {}
    void Show(const ViewSnapshot &snapshot);

private:
    std::FILE *m_out;
    bool m_terminal;
    size_t m_shown = 0; // lines of the block on screen
};

// True when the stream is a terminal that understands cursor movement and has room for a block of
// so many lines.
bool IsTerminal(std::FILE *out, size_t lines);

// One consumer's conservation at the end of a live run: what it was told of, announced or lost, is
// exactly what its stream took while it was registered (stream positions from..to), less what was
// still unannounced when it left, which must be nothing since the providers stop first; and it
// never reported more processed than it was told of.
struct ConsumerSums {
    uint64_t provided = 0, announced = 0, lost = 0, unannounced = 0, processed = 0;
    bool held = false;
};
// told: it was told of a block at all (firstTold..toldEnd then); else it was registered joinedAt..leftAt.
ConsumerSums SumConsumer(bool told, uint64_t firstTold, uint64_t toldEnd, uint64_t joinedAt, uint64_t leftAt,
                         uint64_t announced, uint64_t lost, uint64_t processed);

} // namespace sim

#endif
