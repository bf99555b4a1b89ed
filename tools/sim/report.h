// The report of a run (--report): one HTML file with the charting library inlined, so that it opens
// offline in any browser. Per stream the provider's rate, each consumer's use of the ring with its
// losses marked, and the bytes announced, processed and lost; a timeline of the clients; and the
// lines the run printed at its end.
#ifndef DEVIDIDI_SIM_REPORT_H
#define DEVIDIDI_SIM_REPORT_H

#include <string>

#include "run_record.h"

namespace sim {

// Where the charting library is read from (Debian's libjs-chart.js).
extern const char kChartLibrary[];

// The library's text, or false with the reason (read before the run, so that a missing package
// stops it at once).
bool ReadChartLibrary(std::string &text, std::string &error);

// title: what ran ("the default run", "script examples/x.script").
bool WriteReport(const RunRecord &record, const std::string &chartLibrary, const std::string &title,
                 const std::string &path, std::string &error);

} // namespace sim

#endif
