// The live page's trend: the items picked from the page's list, over a range back from now or between two times,
// read from the History route and carried on with the values the WebSocket brings (page.js tells of them). One y
// axis per unit; a value whose quality is not good is a gap. A drag across the chart zooms to the span dragged,
// Reset zoom goes back, and Download CSV saves what is shown without asking the server again.
"use strict";

(() => {
  const ranges = [
    ["10 min", 10 * 60e3],
    ["1 h", 60 * 60e3],
    ["8 h", 8 * 60 * 60e3],
    ["24 h", 24 * 60 * 60e3],
    ["7 days", 7 * 24 * 60 * 60e3],
  ];
  const colours = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf"];
  const tickSteps = [1, 5, 10, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400, 172800, 604800]
    .map((seconds) => seconds * 1000);
  // Past this many live points an item drops its oldest: a page left open for days stays light.
  const maxPoints = 20000;

  const trend = {
    listed: new Map(), // item -> { name, units } from the page's list
    span: 60 * 60e3, // a range back from now, or 0 for from–to
    from: 0,
    to: 0,
    zoom: null, // [from, to] while zoomed
    series: new Map(), // item -> { units, points: [{ x, y, v, q }] }, in the order picked
    loads: 0, // counts loads, so that an older answer never replaces a newer one
    recent: new Map(), // item -> the latest live points of each picked item, for a load that was under way
    chart: null,
    redraw: 0,
  };

  const $ = (id) => document.getElementById(id);

  // ---- the times shown ---------------------------------------------------------------------------------------

  function shown() {
    if (trend.zoom) return trend.zoom;
    if (trend.span === 0) return [trend.from, trend.to];
    const now = Date.now();
    return [now - trend.span, now];
  }

  // The local time of a datetime-local field, and back.
  const fieldTime = (input) => new Date(input.value).getTime();
  function toField(ms) {
    const date = new Date(ms - new Date(ms).getTimezoneOffset() * 60e3);
    return date.toISOString().slice(0, 19);
  }

  function pad(n) {
    return String(n).padStart(2, "0");
  }
  function tickText(ms) {
    const date = new Date(ms);
    const [from, to] = shown();
    const clock = pad(date.getHours()) + ":" + pad(date.getMinutes());
    if (to - from <= 60 * 60e3) return clock + ":" + pad(date.getSeconds());
    if (to - from <= 24 * 60 * 60e3) return clock;
    return pad(date.getMonth() + 1) + "-" + pad(date.getDate()) + " " + clock;
  }

  // Ticks on whole multiples of `step` in local time, from `from` to `to`.
  function alignedTicks(from, to, step) {
    const offset = new Date(from).getTimezoneOffset() * 60e3;
    const ticks = [];
    for (let x = Math.ceil((from - offset) / step) * step + offset; x <= to; x += step) ticks.push({ value: x });
    return ticks;
  }

  function chooseRange(span) {
    trend.span = span;
    trend.zoom = null;
    for (const button of $("trendRanges").children) {
      button.setAttribute("aria-pressed", String(Number(button.dataset.span) === span));
    }
    $("trendFromTo").hidden = span !== 0;
    if (span === 0) {
      // The fields keep whole seconds: the end rounded up, so that what was read in this very second is shown.
      const to = trend.to || Math.ceil(Date.now() / 1000) * 1000;
      $("trendFrom").value = toField(trend.from || to - 60 * 60e3);
      $("trendTo").value = toField(to);
      trend.from = fieldTime($("trendFrom"));
      trend.to = fieldTime($("trendTo"));
    }
    load();
  }

  // ---- reading the history -----------------------------------------------------------------------------------

  function picked() {
    return Array.from($("trendItems").selectedOptions, (option) => option.value);
  }

  async function history(item, from, to, points) {
    const url = api + "/History/" + encodeURIComponent(item) + "?from=" + Math.round(from) + "&to=" + Math.round(to) +
      "&points=" + points;
    const units = trend.listed.get(item)?.units || "";
    try {
      const response = await fetch(url, { headers: authHeaders({ Accept: "application/json" }), cache: "no-store" });
      if (!response.ok) {
        const reason = (await response.text()).trim();
        return { item, units, points: [], note: response.status === 404 ? reason + "; shown from live values" : reason };
      }
      const answer = await response.json();
      const read = answer.points.map(([x, v, q]) => ({ x, y: q === "good" ? v : null, v, q }));
      return { item, units: answer.units || units, points: read, note: "" };
    } catch (error) {
      return { item, units, points: [], note: item + ": " + error.message };
    }
  }

  async function load() {
    const number = ++trend.loads;
    const [from, to] = shown();
    if (!(from < to)) {
      note("Choose a From time before the To time.");
      return;
    }
    const width = $("trendCanvas").clientWidth || 600;
    const answers = await Promise.all(picked().map((item) => history(item, from, to, Math.max(100, width))));
    if (number !== trend.loads) return;
    // What came live while the history was read, and was not recorded yet when it was.
    for (const answer of answers) {
      const last = answer.points.length ? answer.points[answer.points.length - 1].x : -Infinity;
      for (const point of trend.recent.get(answer.item) || []) {
        if (point.x > last && point.x >= from && (trend.span !== 0 || point.x <= to)) answer.points.push(point);
      }
    }
    trend.series = new Map(answers.map((answer) => [answer.item, answer]));
    // No chart until there is something to draw: the items stay near the top of the page.
    $("trendBox").hidden = answers.length === 0;
    $("trendCsv").disabled = answers.length === 0;
    const notes = answers.map((answer) => answer.note).filter(Boolean);
    note(answers.length === 0 ? "Choose items in the list (Ctrl+click for several) to draw their trend." : notes.join("\n"));
    draw();
  }

  function note(text) {
    $("trendNote").textContent = text;
  }

  // ---- live values -------------------------------------------------------------------------------------------

  function number(text) {
    if (text === "True") return 1;
    if (text === "False") return 0;
    const value = Number(String(text).trim().replace(",", "."));
    return text.trim() !== "" && Number.isFinite(value) ? value : null;
  }

  function takeLive(message) {
    const x = Date.parse(message.ts) || Date.now();
    const quality = message.quality || "good";
    const value = number(message.value);
    const point = { x, y: quality === "good" ? value : null, v: value, q: quality };
    if (picked().includes(message.item)) {
      // Kept a while for a load under way: its history may have been read before this value was recorded.
      const recent = trend.recent.get(message.item) || [];
      recent.push(point);
      if (recent.length > 100) recent.shift();
      trend.recent.set(message.item, recent);
    }
    const series = trend.series.get(message.item);
    if (!series) return;
    if (trend.span === 0 && (x < trend.from || x > trend.to)) return;
    series.points.push(point);
    if (trend.span !== 0) {
      const oldest = x - trend.span;
      while (series.points.length > 1 && series.points[1].x < oldest) series.points.shift();
    }
    if (series.points.length > maxPoints) series.points.splice(0, series.points.length - maxPoints);
    // Values come many at a time: one drawing for them all.
    if (!trend.redraw) trend.redraw = setTimeout(draw, 200);
  }

  // ---- the chart ---------------------------------------------------------------------------------------------

  function draw() {
    clearTimeout(trend.redraw);
    trend.redraw = 0;
    const [from, to] = shown();
    const units = [];
    for (const series of trend.series.values()) if (!units.includes(series.units)) units.push(series.units);
    // Ticks on whole minutes, hours or days: the smallest step that leaves at most eight of them.
    const step = tickSteps.find((ms) => ms >= (to - from) / 8) || tickSteps[tickSteps.length - 1];
    const scales = {
      x: {
        type: "linear",
        min: from,
        max: to,
        ticks: { callback: tickText, maxRotation: 0 },
        afterBuildTicks: (axis) => {
          axis.ticks = alignedTicks(axis.min, axis.max, step);
        },
      },
    };
    units.forEach((unit, i) => {
      scales["y" + i] = {
        type: "linear",
        position: i % 2 === 0 ? "left" : "right",
        title: { display: unit !== "", text: unit },
        grid: { drawOnChartArea: i === 0 },
      };
    });
    let colour = 0;
    const datasets = Array.from(trend.series.values(), (series) => {
      const listed = trend.listed.get(series.item);
      const c = colours[colour++ % colours.length];
      return {
        label: (listed?.name || series.item) + (series.units ? " [" + series.units + "]" : ""),
        data: series.points,
        yAxisID: "y" + units.indexOf(series.units),
        borderColor: c,
        backgroundColor: c,
        borderWidth: 1.5,
        pointRadius: 0,
        pointHitRadius: 4,
        spanGaps: false,
        tension: 0,
      };
    });
    $("trendReset").disabled = !trend.zoom;
    if (!trend.chart) {
      trend.chart = new Chart($("trendCanvas"), {
        type: "line",
        data: { datasets },
        options: {
          animation: false,
          maintainAspectRatio: false,
          parsing: { xAxisKey: "x", yAxisKey: "y" },
          interaction: { mode: "nearest", axis: "x", intersect: false },
          plugins: {
            legend: { position: "bottom" },
            tooltip: { callbacks: { title: (items) => (items.length ? new Date(items[0].parsed.x).toLocaleString() : "") } },
          },
          scales,
        },
      });
      return;
    }
    trend.chart.data.datasets = datasets;
    trend.chart.options.scales = scales;
    trend.chart.update("none");
  }

  // A drag across the chart area zooms the x axis to the span dragged over.
  function followDrag() {
    const canvas = $("trendCanvas");
    const shade = $("trendDrag");
    let start = null;
    const area = () => trend.chart?.chartArea;
    const clamp = (x) => Math.min(Math.max(x, area().left), area().right);
    const offset = () => canvas.offsetLeft;
    canvas.addEventListener("pointerdown", (event) => {
      if (event.button !== 0 || !area() || event.offsetX < area().left || event.offsetX > area().right) return;
      start = event.offsetX;
      canvas.setPointerCapture(event.pointerId);
    });
    canvas.addEventListener("pointermove", (event) => {
      if (start === null) return;
      const [a, b] = [start, clamp(event.offsetX)].sort((p, q) => p - q);
      shade.style.left = offset() + a + "px";
      shade.style.width = b - a + "px";
      shade.hidden = false;
    });
    const end = (event) => {
      if (start === null) return;
      const [a, b] = [start, clamp(event.offsetX)].sort((p, q) => p - q);
      start = null;
      shade.hidden = true;
      if (event.type !== "pointerup" || b - a < 5) return;
      const x = trend.chart.scales.x;
      trend.zoom = [x.getValueForPixel(a), x.getValueForPixel(b)];
      draw();
    };
    canvas.addEventListener("pointerup", end);
    canvas.addEventListener("pointercancel", end);
  }

  // ---- CSV of what is shown ----------------------------------------------------------------------------------

  function csvField(text) {
    return /[",\n]/.test(text) ? '"' + text.replace(/"/g, '""') + '"' : text;
  }

  function downloadCsv() {
    const [from, to] = shown();
    const lines = ["time,item,value,quality"];
    for (const series of trend.series.values()) {
      for (const point of series.points) {
        if (point.x < from || point.x > to) continue;
        const value = point.v === null || point.v === undefined ? "" : String(point.v);
        lines.push([new Date(point.x).toISOString(), csvField(series.item), value, point.q].join(","));
      }
    }
    const link = document.createElement("a");
    link.href = URL.createObjectURL(new Blob([lines.join("\n") + "\n"], { type: "text/csv" }));
    link.download = "trend-" + new Date(from).toISOString().slice(0, 19).replace(/:/g, "") + ".csv";
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
  }

  // ---- wiring ------------------------------------------------------------------------------------------------

  function listItems(items) {
    const list = $("trendItems");
    const kept = new Set(picked());
    trend.listed.clear();
    list.replaceChildren();
    for (const data of items) {
      trend.listed.set(data.item, { name: data.name || data.item, units: data.units || "" });
      const option = document.createElement("option");
      option.value = data.item;
      option.textContent = data.name ? data.name + " (" + data.item + ")" : data.item;
      option.selected = kept.has(data.item);
      list.append(option);
    }
    load();
  }

  function build() {
    if (typeof Chart === "undefined") {
      note("The chart library did not load: the trend cannot be drawn.");
      return;
    }
    for (const [caption, span] of [...ranges, ["From\u2013to", 0]]) {
      const button = document.createElement("button");
      button.type = "button";
      button.textContent = caption;
      button.dataset.span = String(span);
      button.addEventListener("click", () => chooseRange(span));
      $("trendRanges").append(button);
    }
    chooseRange(trend.span);
    $("trendItems").addEventListener("change", load);
    $("trendShow").addEventListener("click", () => {
      trend.from = fieldTime($("trendFrom"));
      trend.to = fieldTime($("trendTo"));
      trend.zoom = null;
      load();
    });
    $("trendReset").addEventListener("click", () => {
      trend.zoom = null;
      draw();
    });
    $("trendCsv").addEventListener("click", downloadCsv);
    followDrag();
    document.addEventListener("tavrel-items", (event) => listItems(event.detail));
    if (state.items.size > 0) listItems(Array.from(state.items.values(), (entry) => entry.data));
    document.addEventListener("tavrel-value", (event) => takeLive(event.detail));
    // A range back from now moves on with the clock, though no value arrives.
    setInterval(() => {
      if (trend.span !== 0 && !trend.zoom && trend.series.size > 0) draw();
    }, 5000);
  }

  build();
})();
