// vpihost serve's page: polls the JSON API every second and draws the site's meters, their
// health, the charted values and each H gate's harmonic orders. Charts are uPlot's.
"use strict";

const kPollMs = 1000;
const kHistory = 600;  // points kept per charted value
const charted = new Set();  // "line/meter/gate/index" of the values ticked
const history = { times: [], series: new Map() };
const hCharts = new Map();
let timeChart = null;
let timeChartKeys = "";

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) node.setAttribute(k, v);
  for (const c of children) node.append(c);
  return node;
}

function age(ms) {
  if (ms === null || ms === undefined) return "never";
  if (ms < 1000) return "now";
  if (ms < 60000) return Math.round(ms / 1000) + " s ago";
  return Math.round(ms / 60000) + " min ago";
}

function fmt(v) {
  if (v === null) return "–";
  // Floats as the meter sent them, without the float's own digits past its precision.
  return String(Number(v.toPrecision(Math.abs(v) >= 1000 ? 7 : 4)));
}

function meterState(meter) {
  if (meter.health === "port-closed") return ["silent", "PORT CLOSED"];
  if (meter.silent) return ["silent", "SILENT"];
  if (meter.stale) return ["stale", "stale"];
  if (meter.health === "answering") return ["answering", "answering"];
  return ["unknown", meter.health];
}

function valueId(line, meter, gate, v) {
  return `${line.name}/${meter.name}/${gate.gate}/${v.index}`;
}

function valueLabel(meter, gate, v) {
  return `${meter.name} ${v.name || gate.gate + " " + v.key}${v.unit ? " " + v.unit : ""}`;
}

function renderHealth(status) {
  const body = document.querySelector("#health tbody");
  body.replaceChildren();
  for (const line of status.lines) {
    for (const m of line.meters) {
      const [cls, text] = meterState(m);
      const rate = m.failure_rate === null ? "–" : (100 * m.failure_rate).toFixed(1) + " %";
      const read = m.read_ms_mean === null ? "–" : m.read_ms_mean.toFixed(0) + " ms";
      const answer = m.last_answer_ms ? age(status.now_ms - m.last_answer_ms) : "never";
      const row = el("tr", { class: cls, "data-meter": `${line.name}/${m.name}` },
        el("td", { class: "wrap" }, line.name + (line.open ? "" : ` (port closed: ${line.problem})`)),
        el("td", {}, m.name),
        el("td", {}, el("span", { class: "state " + cls, title: m.why }, text)), el("td", {}, answer),
        el("td", { class: "num" }, rate), el("td", { class: "num" }, read),
        el("td", { class: "num" }, m.backoff_ms ? (m.backoff_ms / 1000).toFixed(1) + " s" : "–"));
      body.append(row);
    }
  }
}

function valueRow(line, meter, gate, v) {
  const id = valueId(line, meter, gate, v);
  const box = el("input", { type: "checkbox", "aria-label": "chart " + id });
  box.checked = charted.has(id);
  box.addEventListener("change", () => {
    if (box.checked) charted.add(id); else charted.delete(id);
  });
  return el("tr", {}, el("td", {}, box), el("td", {}, gate.gate), el("td", {}, v.key),
    el("td", {}, v.name), el("td", { class: "num value" }, fmt(v.value)), el("td", {}, v.unit),
    el("td", { class: "age" }, age(gate.age_ms)));
}

function renderReadings(readings) {
  const section = document.getElementById("readings");
  section.replaceChildren(el("h2", {}, "Latest values"));
  for (const line of readings.lines) {
    section.append(el("h3", {}, `Line ${line.name}` + (line.open ? "" : " — port closed")));
    for (const m of line.meters) {
      const [cls, text] = meterState(m);
      const head = el("tr", {}, ...["chart", "gate", "key", "name", "value", "unit", "age"]
        .map((t) => el("th", {}, t)));
      const table = el("table", {}, el("thead", {}, head));
      const body = el("tbody");
      for (const g of m.gates) {
        if (g.family.startsWith("H")) continue;  // drawn as bars
        for (const v of g.values) body.append(valueRow(line, m, g, v));
      }
      table.append(body);
      section.append(el("div", { class: "meter " + cls, "data-meter": `${line.name}/${m.name}` },
        el("h3", {}, `${m.name} (address ${m.address}) `, el("span", { class: "state " + cls }, text)),
        el("div", { class: "scroll" }, table)));
    }
  }
}

function chartWidth() {
  const main = document.querySelector("main");
  const style = getComputedStyle(main);
  const inner = main.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
  return Math.max(260, Math.min(1060, Math.floor(inner)));
}

function record(readings) {
  const now = readings.now_ms / 1000;
  history.times.push(now);
  const values = new Map();
  for (const line of readings.lines) for (const m of line.meters) for (const g of m.gates) {
    for (const v of g.values) values.set(valueId(line, m, g, v), [valueLabel(m, g, v), g.stale ? null : v.value]);
  }
  for (const id of charted) if (!history.series.has(id)) {
    history.series.set(id, { label: values.get(id)?.[0] || id, data: history.times.map(() => null) });
  }
  for (const [id, s] of history.series) s.data.push(values.has(id) ? values.get(id)[1] : null);
  if (history.times.length > kHistory) {
    history.times.shift();
    for (const s of history.series.values()) s.data.shift();
  }
}

function renderTimeChart() {
  const ids = [...charted].filter((id) => history.series.has(id));
  const keys = ids.join("|");
  const data = [history.times, ...ids.map((id) => history.series.get(id).data)];
  if (keys !== timeChartKeys || !timeChart) {
    if (timeChart) timeChart.destroy();
    const palette = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf"];
    timeChart = new uPlot({
      width: chartWidth(), height: 260, title: ids.length ? "Charted values" : "No value charted",
      series: [{}, ...ids.map((id, i) => ({ label: history.series.get(id).label,
        stroke: palette[i % palette.length], spanGaps: false }))],
    }, data, document.getElementById("chart"));
    timeChartKeys = keys;
  } else {
    timeChart.setData(data);
  }
}

function renderHarmonics(readings) {
  const box = document.getElementById("harmonics");
  for (const line of readings.lines) for (const m of line.meters) for (const g of m.gates) {
    if (!g.family.startsWith("H")) continue;
    const id = `${line.name}/${m.name}/${g.gate}`;
    const xs = g.values.map((v) => v.index);
    const ys = g.values.map((v) => (g.stale ? null : v.value));
    if (!hCharts.has(id)) {
      const holder = el("div", { class: "hgate", "data-hgate": id });
      box.append(holder);
      hCharts.set(id, new uPlot({
        width: chartWidth(), height: 200, title: `${m.name} ${g.gate}: THD (0) and orders 2-34, %`,
        scales: { x: { time: false } },
        axes: [{ values: (u, ticks) => ticks.map((t) => (t === 0 ? "THD" : t)) }, {}],
        series: [{}, { label: "%", fill: "#4a78b5", stroke: "#2b4f80",
          paths: uPlot.paths.bars({ size: [0.7, 40] }), points: { show: false } }],
      }, [xs, ys], holder));
    } else {
      hCharts.get(id).setData([xs, ys]);
    }
  }
}

async function getJson(path) {
  const response = await fetch(path, { cache: "no-store" });
  if (!response.ok) throw new Error(`${path}: ${response.status}`);
  return response.json();
}

function chartDefaults(readings) {
  if (charted.size) return;
  // The first value of each meter's first gate that is not an H gate, to start with.
  for (const line of readings.lines) for (const m of line.meters) {
    const g = m.gates.find((x) => !x.family.startsWith("H"));
    if (g && g.values.length) charted.add(valueId(line, m, g, g.values[0]));
  }
}

async function refresh() {
  try {
    const [readings, status] = await Promise.all([getJson("/api/v1/readings"), getJson("/api/v1/status")]);
    document.getElementById("site").textContent = "vpihost serve: " + (readings.site || "site");
    document.getElementById("updated").textContent = "updated " + new Date(readings.now_ms).toLocaleTimeString();
    chartDefaults(readings);
    record(readings);
    renderHealth(status);
    renderReadings(readings);
    renderTimeChart();
    renderHarmonics(readings);
  } catch (e) {
    document.getElementById("updated").textContent = "no answer from vpihost: " + e.message;
  }
}

refresh();
setInterval(refresh, kPollMs);
