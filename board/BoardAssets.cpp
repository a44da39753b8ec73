// The page's script and style sheet, served by the board itself: a line's PCs are often
// offline, so nothing comes from elsewhere (Chart.js is Debian's, served as /chart.js).
#include "board/BoardPages.h"

const char* BoardScript() {
    return R"JS("use strict";
// Every second the live part of the page is fetched again and its sections replaced; the charts
// are kept and given the new data, so that they do not flicker.
(function () {
  const colours = {completed: "#2e7d32", failed: "#c62828", cancelled: "#9e9e9e",
                   "not-started": "#ef6c00", interrupted: "#6a1b9a"};
  const charts = {};

  function chartData() {
    const element = document.getElementById("chart-data");
    return element ? JSON.parse(element.textContent) : null;
  }

  function runsData(data) {
    return {labels: data.hours.map(function (hour) { return hour.substring(11, 16); }),
            datasets: Object.keys(data.outcomes).map(function (outcome) {
              return {label: outcome, data: data.outcomes[outcome], backgroundColor: colours[outcome] || "#607d8b"};
            })};
  }

  function durationsData(data) {
    return {labels: data.durations.labels,
            datasets: [{label: "runs", data: data.durations.counts, backgroundColor: "#1565c0"}]};
  }

  function draw() {
    const data = chartData();
    if (typeof Chart === "undefined" || !data) {
      return;
    }
    const made = [["runs-chart", runsData(data), true], ["durations-chart", durationsData(data), false]];
    made.forEach(function (item) {
      const canvas = document.getElementById(item[0]);
      const chart = Chart.getChart(canvas);
      if (chart) {
        chart.data = item[1];
        chart.update("none");
        return;
      }
      charts[item[0]] = new Chart(canvas, {
        type: "bar", data: item[1],
        options: {animation: false, responsive: false,
                  scales: {x: {stacked: item[2]}, y: {stacked: item[2], beginAtZero: true}}}});
    });
  }

  function replace(html) {
    const next = document.createElement("div");
    next.innerHTML = html; // the board escapes every text it puts in
    Array.from(next.children).forEach(function (section) {
      const old = section.id ? document.getElementById(section.id) : null;
      if (!old) {
        return;
      }
      if (section.id === "charts") {
        document.getElementById("chart-data").textContent = section.querySelector("#chart-data").textContent;
      } else {
        old.replaceWith(section);
      }
    });
  }

  function refresh() {
    fetch("/live", {cache: "no-store"})
      .then(function (response) {
        if (!response.ok) {
          throw new Error("the board answered " + response.status);
        }
        return response.text();
      })
      .then(function (html) {
        replace(html);
        draw();
        document.body.dataset.updates = String(Number(document.body.dataset.updates || "0") + 1);
        document.getElementById("live-note").textContent = "This page updates itself every second.";
      })
      .catch(function (failure) {
        document.getElementById("live-note").textContent = "The board does not answer (" + failure.message +
          "); trying again.";
      })
      .finally(function () { setTimeout(refresh, 1000); });
  }

  draw();
  setTimeout(refresh, 1000);
})();
)JS";
}

const char* BoardStyle() {
    return R"CSS(body { font-family: sans-serif; margin: 1em 2em; color: #222; }
h1 { margin: 0; font-size: 1.5em; }
h2 { font-size: 1.15em; margin: 1.2em 0 0.4em; }
table { border-collapse: collapse; margin-bottom: 0.5em; font-size: 0.92em; }
th, td { border: 1px solid #ccc; padding: 0.2em 0.5em; text-align: left; vertical-align: top; }
th { background: #f0f0f0; }
small { color: #666; }
.station { border: 1px solid #bbb; border-radius: 4px; padding: 0.5em 1em; margin-bottom: 0.8em; }
.station[data-online="no"] { background: #f6f6f6; color: #666; }
.station-facts { margin: 0.2em 0; font-size: 0.9em; }
.online { color: #2e7d32; font-weight: bold; }
.offline { color: #c62828; font-weight: bold; }
.slot-state.loading { color: #1565c0; }
.slot-state.passed { background: #c8e6c9; font-weight: bold; }
.slot-state.failed { background: #ffcdd2; font-weight: bold; }
tr[data-attention="yes"] { background: #fff3e0; }
.attention { color: #c62828; font-weight: bold; }
.station-total td { font-weight: bold; }
.charts { display: flex; flex-wrap: wrap; gap: 1em; }
figure { margin: 0; }
.problem { color: #c62828; font-weight: bold; }
.note, .status { color: #555; font-size: 0.9em; }
pre { background: #f6f6f6; padding: 0.5em; overflow-x: auto; }
)CSS";
}
