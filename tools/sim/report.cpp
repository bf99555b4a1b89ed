// The report of a run: the record as JSON data, the page that charts it, and the charting library,
// all in one HTML file.
#include "report.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace sim {

#ifndef DEVIDIDI_CHART_LIBRARY
#define DEVIDIDI_CHART_LIBRARY "/usr/share/javascript/chart.js/chart.min.js"
#endif
const char kChartLibrary[] = DEVIDIDI_CHART_LIBRARY;

namespace {

// The page: styles, then the script that draws the charts from RUN once the library is loaded. It
// marks each canvas with the series it drew (data-drawn="drawn/total", data-series their labels
// separated by '|') and the body with the number
// of charts once all are drawn (data-rendered), and keeps any script error in data-errors, so that a
// headless browser can tell from the page itself that it rendered.
const char kPageHead[] = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>devididi-sim report</title>
<style>
body { font-family: system-ui, sans-serif; margin: 1.5em; color: #222; max-width: 1400px; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.6em; border-bottom: 1px solid #ccc; }
.stream { display: grid; grid-template-columns: repeat(3, 1fr); gap: 1em; }
.chart { position: relative; height: 240px; }
.timeline { position: relative; height: 420px; }
pre { background: #f6f6f6; padding: 0.8em; overflow-x: auto; font-size: 12px; }
table { border-collapse: collapse; font-size: 12px; } td, th { padding: 2px 8px; text-align: left; }
tr:nth-child(even) { background: #f4f4f4; }
.note { color: #555; font-size: 0.9em; }
</style>
<script>
window.reportErrors = [];
window.addEventListener('error', function (e) { window.reportErrors.push(String(e.message)); });
(function () {
  var original = console.error;
  console.error = function () { window.reportErrors.push(Array.prototype.join.call(arguments, ' ')); original.apply(console, arguments); };
})();
</script>
<script>
)";

const char kPageScript[] = R"(
</script>
</head><body>
<h1 id="title"></h1>
<p class="note" id="clock"></p>
<div id="streams"></div>
<h2>Timeline of the clients</h2>
<p class="note">Registrations, the wait of a consumer registered before its provider (a bar from its
request to the completion), unregistrations, notifications by code, the ORB-driver query, losses,
the device's removal and the unload. Hover a point for its detail.</p>
<div class="timeline"><canvas id="timeline"></canvas></div>
<details><summary>Every event</summary><table id="events"><tr><th>time</th><th>event</th><th>client</th><th>stream</th><th>value</th><th>detail</th></tr></table></details>
<h2>What the run printed</h2>
<pre id="lines"></pre>
<script>
(function () {
  var run = RUN;
  // Red marks losses only.
  var palette = ['#1f77b4', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b', '#e377c2', '#17becf', '#7f7f7f', '#bcbd22'];
  var charts = [];
  document.getElementById('title').textContent = 'devididi-sim: ' + run.title;
  document.getElementById('clock').textContent = run.clockNote;
  function xy(xs, ys) { return xs.map(function (x, i) { return {x: x, y: ys[i]}; }); }
  function axis(title) { return {type: 'linear', title: {display: true, text: title}}; }
  function chart(parent, title, datasets, yTitle, type) {
    var box = document.createElement('div'); box.className = 'chart';
    var canvas = document.createElement('canvas'); box.appendChild(canvas); parent.appendChild(box);
    canvas.setAttribute('data-title', title);
    if (run.scripted) { // scripts: a value holds from its line to the next
      datasets.forEach(function (d) { if (d.type !== 'scatter') { d.stepped = true; } });
    }
    var c = new Chart(canvas, {type: type || 'line', data: {datasets: datasets},
      options: {animation: false, responsive: true, maintainAspectRatio: false, parsing: true,
        plugins: {title: {display: true, text: title}, legend: {labels: {boxWidth: 12}}},
        scales: {x: axis(run.timeUnit), y: axis(yTitle)}, elements: {point: {radius: 0}}}});
    charts.push(c);
  }
  run.streams.forEach(function (s) {
    var section = document.createElement('div');
    var h = document.createElement('h2');
    h.textContent = 'Stream ' + s.index + (s.providers.length ? ' (provider ' + s.providers.join(', ') + ')' : ' (no provider)');
    section.appendChild(h);
    var grid = document.createElement('div'); grid.className = 'stream'; section.appendChild(grid);
    document.getElementById('streams').appendChild(section);
    chart(grid, 'provider\'s rate', [{label: 'provided, ' + run.rateUnit + (run.rateWindow ? ' over the last second' : ''), data: xy(s.rateT, s.rate), borderColor: palette[0]}], run.rateUnit);
    var fill = s.consumers.map(function (c, i) {
      return {label: c.name + ' (ring ' + c.ring + ' B)', data: xy(s.t, c.used), borderColor: palette[i % palette.length]};
    });
    if (s.losses.length) {
      fill.push({label: 'lost (point size: bytes)', type: 'scatter', data: s.losses.map(function (l) { return {x: l.t, y: l.used, bytes: l.bytes, who: l.consumer}; }),
        backgroundColor: '#d62728', pointRadius: s.losses.map(function (l) { return Math.min(12, 3 + Math.sqrt(l.bytes) / 4); }),
        pointStyle: 'crossRot', borderColor: '#d62728'});
    }
    if (fill.length) {
      chart(grid, 'ring in use per consumer (ring size - free space)', fill, 'bytes');
    } else {
      var none = document.createElement('p'); none.className = 'note';
      none.textContent = 'No consumer of this stream was told of a block.';
      grid.appendChild(none);
    }
    var sums = [{label: 'provided', data: xy(s.t, s.provided), borderColor: '#000', borderDash: [4, 3]}];
    s.consumers.forEach(function (c, i) {
      var color = palette[i % palette.length];
      sums.push({label: c.name + ' announced', data: xy(s.t, c.announced), borderColor: color});
      sums.push({label: c.name + ' processed', data: xy(s.t, c.processed), borderColor: color, borderDash: [2, 2]});
      if (c.lost[c.lost.length - 1] > 0) {
        sums.push({label: c.name + ' lost', data: xy(s.t, c.lost), borderColor: '#d62728'});
      }
    });
    chart(grid, 'bytes so far', sums, 'bytes');
  });
  // The timeline: a row per client, a series per kind of event.
  var rows = run.rows;
  var kinds = {};
  run.events.forEach(function (e) {
    (kinds[e.kind] = kinds[e.kind] || []).push({x: e.t, y: rows.indexOf(e.client), detail: e.detail, value: e.value});
  });
  var styles = ['circle', 'triangle', 'rect', 'rectRot', 'star', 'cross', 'crossRot', 'rectRounded', 'line'];
  // Each kind its own pair of colour and shape.
  var timeline = Object.keys(kinds).sort().map(function (kind, i) {
    var color = kind === 'lost' ? '#d62728' : palette[i % palette.length];
    var style = styles[Math.floor(i / palette.length) % styles.length];
    return {label: kind, data: kinds[kind], pointStyle: kind === 'lost' ? 'crossRot' : style,
            pointRadius: kind === 'lost' ? 8 : 5, borderWidth: 2, backgroundColor: color, borderColor: color};
  });
  run.waits.forEach(function (w) {
    var y = rows.indexOf(w.client);
    timeline.push({label: 'wait of ' + w.client, type: 'line', data: [{x: w.from, y: y}, {x: w.to, y: y}],
                   borderColor: '#ff7f0e', borderWidth: 6, pointRadius: 0});
  });
  var canvas = document.getElementById('timeline');
  // Tall enough for every row and every entry of the legend.
  canvas.parentNode.style.height = Math.max(420, 22 * (timeline.length + 2), 18 * (rows.length + 4)) + 'px';
  canvas.setAttribute('data-title', 'timeline');
  charts.push(new Chart(canvas, {type: 'scatter', data: {datasets: timeline},
    options: {animation: false, responsive: true, maintainAspectRatio: false,
      plugins: {legend: {position: 'right', labels: {usePointStyle: true}}, tooltip: {callbacks: {label: function (item) {
        var p = item.raw; return item.dataset.label + ' ' + rows[p.y] + (p.detail ? ': ' + p.detail : '') + (p.value !== undefined ? ' (' + p.value + ')' : '');
      }}}},
      scales: {x: axis(run.timeUnit), y: {type: 'linear', min: -0.5, max: rows.length - 0.5, reverse: true,
        afterBuildTicks: function (scale) { scale.ticks = rows.map(function (r, i) { return {value: i}; }); },
        ticks: {autoSkip: false, callback: function (v) { return rows[v] !== undefined ? rows[v] : ''; }}}}}}));
  var table = document.getElementById('events');
  run.events.forEach(function (e) {
    var tr = document.createElement('tr');
    [e.t, e.kind, e.client, e.stream < 0 ? '-' : e.stream, e.value, e.detail].forEach(function (v) {
      var td = document.createElement('td'); td.textContent = v; tr.appendChild(td);
    });
    table.appendChild(tr);
  });
  document.getElementById('lines').textContent = run.lines.join('\n');
  // Every chart drew every series: a point or a line for each dataset.
  var complete = 0;
  charts.forEach(function (c) {
    var metas = c.getSortedVisibleDatasetMetas();
    var drawn = metas.filter(function (m) { return m.data.length > 0 && m.data.every(function (p) { return isFinite(p.x) && isFinite(p.y); }); }).length;
    c.canvas.setAttribute('data-drawn', drawn + '/' + c.data.datasets.length);
    c.canvas.setAttribute('data-series', c.data.datasets.map(function (d) { return d.label; }).join('|'));
    if (drawn === c.data.datasets.length && c.data.datasets.length > 0) { complete++; }
  });
  document.body.setAttribute('data-charts', String(charts.length));
  document.body.setAttribute('data-complete', String(complete));
  document.body.setAttribute('data-errors', String(window.reportErrors.length));
  if (window.reportErrors.length) { document.body.setAttribute('data-error-text', window.reportErrors.join(' | ')); }
  document.body.setAttribute('data-rendered', 'yes');
})();
</script>
</body></html>
)";

std::string Number(double value)
{
    std::ostringstream out;
    out.precision(10);
    out << value;
    return out.str();
}

template <class T, class F> std::string Array(const std::vector<T> &items, F each)
{
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        out += (i ? "," : "") + each(items[i]);
    }
    return out + "]";
}

} // namespace

bool ReadChartLibrary(std::string &text, std::string &error)
{
    std::ifstream in(kChartLibrary, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    text = content.str();
    if (!in || text.empty()) {
        error = std::string("--report needs the charting library ") + kChartLibrary +
                " (Debian libjs-chart.js: run scripts/install-deps.sh)";
        return false;
    }
    if (text.find("</script") != std::string::npos) {
        error = std::string(kChartLibrary) + " cannot be inlined: it contains a closing script tag";
        return false;
    }
    return true;
}

bool WriteReport(const RunRecord &record, const std::string &chartLibrary, const std::string &title,
                 const std::string &path, std::string &error)
{
    const bool real = record.clock() == RunRecord::Clock::Real;
    // Live runs in seconds; scripts in milliseconds of the scripted clock.
    const double scale = real ? 1e-6 : 1e-3;
    auto at = [&](uint64_t ts) { return Number(static_cast<double>(ts) * scale); };
    const std::vector<RunRecord::SampleRecord> samples = record.Samples();
    const std::vector<RunRecord::TimedEvent> events = record.Events();
    const std::vector<RunRecord::SliceRecord> slices = record.Slices();

    // The streams that carried anything: a consumer sampled or a provider registered.
    std::set<int> streams;
    std::map<int, std::vector<std::string>> providers;
    for (const auto &sample : samples) {
        for (const auto &c : sample.consumers) {
            streams.insert(c.stream);
        }
    }
    for (const auto &e : events) {
        if (e.kind == "register-provider" && e.stream >= 0) {
            streams.insert(e.stream);
            auto &names = providers[e.stream];
            if (std::find(names.begin(), names.end(), e.client) == names.end()) {
                names.push_back(e.client);
            }
        }
    }
    std::string data = "{\"title\":" + JsonText(title) + ",\"timeUnit\":" +
                       JsonText(real ? "time (s)" : "time (ms of the scripted clock: 10 ms a tick, 1 us a step)") +
                       ",\"rateUnit\":" + JsonText(real ? "B/s" : "bytes per script line") +
                       ",\"rateWindow\":" + (real ? "true" : "false") + ",\"scripted\":" + (real ? "false" : "true") + ",\"clockNote\":" +
                       JsonText(real ? "Sampled from the clients' counters every 50 ms of real time; registrations "
                                       "and losses recorded as they happened."
                                     : "Sampled after every script line; registrations and losses recorded as they "
                                       "happened.") +
                       ",\"streams\":[";
    bool firstStream = true;
    for (int stream : streams) {
        std::vector<double> t, rateT, rate, provided;
        std::vector<std::string> names; // consumers of the stream, in order of first sample
        for (const auto &sample : samples) {
            for (const auto &c : sample.consumers) {
                if (c.stream == stream && std::find(names.begin(), names.end(), c.name) == names.end()) {
                    names.push_back(c.name);
                }
            }
        }
        std::map<std::string, std::vector<std::vector<double>>> series; // name -> used, announced, processed, lost
        std::map<std::string, uint64_t> rings;
        size_t from = 0; // live runs: the rate over the last second, as the view shows it
        for (size_t i = 0; i < samples.size(); ++i) {
            const auto &sample = samples[i];
            const uint64_t committed = sample.Committed(stream);
            t.push_back(static_cast<double>(sample.ts) * scale);
            if (real) {
                while (sample.ts - samples[from].ts > 1000000) {
                    ++from;
                }
            } else {
                from = i == 0 ? 0 : i - 1; // scripts: what the line provided
            }
            const uint64_t before = samples[from].Committed(stream);
            const double delta = static_cast<double>(committed - std::min(committed, before));
            const double span = static_cast<double>(sample.ts - samples[from].ts) * 1e-6;
            rateT.push_back(t.back());
            rate.push_back(!real ? delta : span > 0 ? delta / span : 0);
            if (!real && delta > 0) { // a script line's bytes: a spike at the line, back to 0 at once
                rateT.push_back(t.back());
                rate.push_back(0);
            }
            provided.push_back(static_cast<double>(committed));
            for (const std::string &name : names) {
                auto &s = series[name];
                s.resize(4);
                const RunRecord::ConsumerSample *row = nullptr;
                for (const auto &c : sample.consumers) {
                    if (c.stream == stream && c.name == name) {
                        row = &c;
                    }
                }
                // Before it joined and after it left, the last values it had (0 at first).
                auto last = [&](size_t k) { return s[k].empty() ? 0.0 : s[k].back(); };
                s[0].push_back(row ? static_cast<double>(row->used) : 0.0);
                s[1].push_back(row ? static_cast<double>(row->announced) : last(1));
                s[2].push_back(row ? static_cast<double>(row->processed) : last(2));
                s[3].push_back(row ? static_cast<double>(row->lost) : last(3));
                if (row) {
                    rings[name] = row->ring;
                }
            }
        }
        auto numbers = [](const std::vector<double> &v) { return Array(v, [](double x) { return Number(x); }); };
        data += std::string(firstStream ? "" : ",") + "\n{\"index\":" + std::to_string(stream) +
                ",\"providers\":" + Array(providers[stream], [](const std::string &n) { return JsonText(n); }) +
                ",\"t\":" + numbers(t) + ",\"rateT\":" + numbers(rateT) + ",\"rate\":" + numbers(rate) +
                ",\"provided\":" + numbers(provided) +
                ",\"consumers\":[";
        firstStream = false;
        for (size_t i = 0; i < names.size(); ++i) {
            const auto &s = series[names[i]];
            data += std::string(i ? "," : "") + "{\"name\":" + JsonText(names[i]) +
                    ",\"ring\":" + std::to_string(rings[names[i]]) + ",\"used\":" + numbers(s[0]) +
                    ",\"announced\":" + numbers(s[1]) + ",\"processed\":" + numbers(s[2]) + ",\"lost\":" + numbers(s[3]) +
                    "}";
        }
        // Each loss where it happened, at the ring use of the latest sample before it (the events
        // and the samples are both in the order of their times).
        data += "],\"losses\":[";
        bool firstLoss = true;
        std::map<std::string, double> usedThen;
        size_t next = 0;
        for (const auto &e : events) {
            if (e.kind != "lost" || e.stream != stream) {
                continue;
            }
            for (; next < samples.size() && samples[next].ts <= e.ts; ++next) {
                for (const auto &c : samples[next].consumers) {
                    if (c.stream == stream) {
                        usedThen[c.name] = static_cast<double>(c.used);
                    }
                }
            }
            const auto then = usedThen.find(e.client);
            const double used = then != usedThen.end() ? then->second : 0;
            data += std::string(firstLoss ? "" : ",") + "{\"t\":" + at(e.ts) + ",\"consumer\":" + JsonText(e.client) +
                    ",\"bytes\":" + std::to_string(e.value) + ",\"used\":" + Number(used) + "}";
            firstLoss = false;
        }
        data += "]}";
    }
    // The timeline: the events, the notifications the clients received (by code), the waits.
    std::vector<std::string> rows;
    auto row = [&](const std::string &client) {
        if (std::find(rows.begin(), rows.end(), client) == rows.end()) {
            rows.push_back(client);
        }
    };
    struct Item {
        uint64_t ts;
        std::string kind, client, detail;
        int stream;
        uint64_t value;
    };
    std::vector<Item> items;
    for (const auto &e : events) {
        items.push_back({e.ts, e.kind, e.client, e.detail, e.stream, e.value});
    }
    for (const auto &s : slices) {
        if (s.name.compare(0, 8, "notified") == 0) {
            items.push_back({s.begin, "notification" + s.name.substr(8), s.client, "", s.stream, 0});
        }
    }
    std::stable_sort(items.begin(), items.end(), [](const Item &a, const Item &b) { return a.ts < b.ts; });
    data += "],\n\"events\":[";
    std::string waits;
    std::map<std::string, uint64_t> waiting;
    for (size_t i = 0; i < items.size(); ++i) {
        const Item &e = items[i];
        row(e.client);
        data += std::string(i ? ",\n" : "") + "{\"t\":" + at(e.ts) + ",\"kind\":" + JsonText(e.kind) +
                ",\"client\":" + JsonText(e.client) + ",\"stream\":" + std::to_string(e.stream) +
                ",\"value\":" + std::to_string(e.value) + ",\"detail\":" + JsonText(e.detail) + "}";
        if (e.kind == "register-consumer" && e.detail == "STATUS_PENDING") {
            waiting[e.client] = e.ts;
        } else if (e.kind == "registration-completed" && waiting.count(e.client)) {
            waits += std::string(waits.empty() ? "" : ",") + "{\"client\":" + JsonText(e.client) +
                     ",\"from\":" + at(waiting[e.client]) + ",\"to\":" + at(e.ts) + "}";
            waiting.erase(e.client);
        }
    }
    data += "],\n\"waits\":[" + waits + "],\"rows\":" +
            Array(rows, [](const std::string &n) { return JsonText(n); }) + ",\n\"lines\":" +
            Array(record.Lines(), [](const std::string &l) { return JsonText(l); }) + "}";

    return WriteWholeFile(path,
                          kPageHead + chartLibrary + "\n</script>\n<script>\nconst RUN = " + data + ";" + kPageScript,
                          "the report", error);
}

} // namespace sim
