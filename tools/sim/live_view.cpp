#include "live_view.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace sim {

std::string Bytes(double bytes)
{
    char text[32];
    if (bytes >= 1e6) {
        std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    } else if (bytes >= 1e4) {
        std::snprintf(text, sizeof text, "%.1f kB", bytes / 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    }
    return text;
}

std::vector<std::string> RenderView(const ViewSnapshot &snapshot)
{
    // Streams with their provider, and under each its consumers: narrow enough for 80 columns.
    std::vector<std::string> lines;
    char text[256];
    std::snprintf(text, sizeof text, "DeVididi terminal  %.1f s of %.0f s", snapshot.elapsed, snapshot.duration);
    lines.push_back(text);
    std::snprintf(text, sizeof text, "%-20s %-10s %11s %17s", "stream", "provider", "rate", "write pos/ring");
    lines.push_back(text);
    std::snprintf(text, sizeof text, "  %-18s %10s %10s %10s %10s", "consumer", "free", "announced", "processed",
                  "lost");
    lines.push_back(text);
    for (const StreamRow &stream : snapshot.streams) {
        char label[40];
        std::snprintf(label, sizeof label, "%d %s", stream.index, stream.label.c_str());
        char position[48] = "-";
        if (stream.hasWritePosition) {
            std::snprintf(position, sizeof position, "%llu/%llu", static_cast<unsigned long long>(stream.writePosition),
                          static_cast<unsigned long long>(stream.ringSize));
        }
        const std::string rate = Bytes(stream.bytesPerSecond) + "/s";
        std::snprintf(text, sizeof text, "%-20s %-10s %11s %17s", label, stream.provider.c_str(), rate.c_str(),
                      position);
        lines.push_back(text);
        for (const ConsumerRow &consumer : stream.consumers) {
            std::string name = consumer.name;
            if (consumer.state != "joined") {
                name += " (" + consumer.state + ")";
            }
            std::snprintf(text, sizeof text, "  %-18s %10lld %10s %10s %10s", name.c_str(),
                          static_cast<long long>(consumer.freeSpace), Bytes(static_cast<double>(consumer.announced)).c_str(),
                          Bytes(static_cast<double>(consumer.processed)).c_str(),
                          Bytes(static_cast<double>(consumer.lost)).c_str());
            lines.push_back(text);
        }
    }
    for (const std::string &note : snapshot.notes) {
        lines.push_back(note);
    }
    return lines;
}

void LiveView::Show(const ViewSnapshot &snapshot)
{
    std::vector<std::string> lines = RenderView(snapshot);
    if (m_terminal) {
        if (m_shown > 0) {
            std::fprintf(m_out, "\x1b[%zuF", m_shown); // back to the first line of the block
        }
        for (const std::string &line : lines) {
            std::fprintf(m_out, "\x1b[2K%s\n", line.c_str());
        }
        if (lines.size() < m_shown) {
            std::fputs("\x1b[J", m_out);
        }
        m_shown = lines.size();
    } else {
        for (const std::string &line : lines) {
            std::fprintf(m_out, "%s\n", line.c_str());
        }
        std::fputc('\n', m_out);
    }
    std::fflush(m_out);
}

bool IsTerminal(std::FILE *out, size_t lines)
{
    const char *term = std::getenv("TERM");
    if (!isatty(fileno(out)) || term == nullptr || std::strcmp(term, "dumb") == 0) {
        return false;
    }
    // A block taller than the screen cannot be redrawn in place: plain lines then.
    struct winsize size {};
    if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_row <= lines) {
        return false;
    }
    return true;
}

ConsumerSums SumConsumer(bool told, uint64_t firstTold, uint64_t toldEnd, uint64_t joinedAt, uint64_t leftAt,
                         uint64_t announced, uint64_t lost, uint64_t processed)
{
    ConsumerSums sums;
    const uint64_t from = told ? firstTold : joinedAt, to = leftAt;
    sums.provided = to >= from ? to - from : 0;
    sums.announced = announced;
    sums.lost = lost;
    sums.unannounced = told ? to - std::min(to, toldEnd) : sums.provided;
    sums.processed = processed;
    sums.held = to >= from && sums.provided == announced + lost + sums.unannounced && sums.unannounced == 0 &&
                processed <= announced + lost;
    return sums;
}

} // namespace sim
