// The line view's page. Every text that comes from a board or the record
// goes into the page as text (textContent), never as markup.
"use strict";

var STAGES = {
  waiting: "ожидание", identify: "опрос", programming: "режим программирования", burn: "прошивка",
  verify: "сверка", read: "чтение", mac: "MAC-адрес", ledger_wait: "жду журнал", leaving: "выход из режима",
  done: "готово"
};
var PERIODS = ["shift", "1h", "8h", "24h", "7d"];

var period = (function () {
  var p = new URLSearchParams(location.search).get("period");
  return PERIODS.indexOf(p) >= 0 ? p : "shift";
})();
var flying = {};        // board address: its row's state
var lastLine = null;    // the last snapshot
var refreshTimer = null;
var source = null;

function $(id) { return document.getElementById(id); }

function el(tag, text, cls) {
  var e = document.createElement(tag);
  if (text !== undefined && text !== null) e.textContent = String(text);
  if (cls) e.className = cls;
  return e;
}

function row(cells) {
  var tr = document.createElement("tr");
  cells.forEach(function (c) { tr.appendChild(c instanceof Node ? c : el("td", c)); });
  return tr;
}

function fill(tbody, rows) {
  while (tbody.firstChild) tbody.removeChild(tbody.firstChild);
  rows.forEach(function (r) { tbody.appendChild(r); });
}

function pct(y) { return y === null || y === undefined ? "—" : Math.round(y * 1000) / 10 + "%"; }

function two(n) { return (n < 10 ? "0" : "") + n; }

function clock(seconds) {
  var d = new Date(seconds * 1000), now = new Date();
  var t = two(d.getHours()) + ":" + two(d.getMinutes());
  if (d.toDateString() !== now.toDateString()) t = two(d.getDate()) + "." + two(d.getMonth() + 1) + " " + t;
  return t;
}

function duration(s) {
  s = Math.max(0, Math.floor(s));
  return s < 60 ? s + " с" : Math.floor(s / 60) + " мин " + two(s % 60) + " с";
}

function banner(id, text) {
  var b = $(id);
  if (text) { b.textContent = text; b.hidden = false; } else { b.hidden = true; }
}

// ---- boards in flight ----------------------------------------------------------

function drawFlying() {
  var keys = Object.keys(flying).sort();
  var rows = keys.map(function (k) {
    var b = flying[k];
    var page = el("td");
    if (b.total) {
      var bar = document.createElement("progress");
      bar.max = b.total;
      bar.value = b.page;
      page.appendChild(bar);
      page.appendChild(document.createTextNode(" " + b.page + "/" + b.total));
    }
    var secs = (Date.now() - b.since) / 1000;
    return row([el("td", b.bench), el("td", b.address), el("td", b.name || "—"),
                el("td", STAGES[b.stage] || b.stage), page,
                el("td", b.rate ? b.rate.toFixed(1) + " кБ/с" : "", "num"), el("td", duration(secs), "num")]);
  });
  fill($("in-flight").tBodies[0], rows);
  $("in-flight-empty").hidden = keys.length > 0;
  $("flying").textContent = keys.length;
}

function takeFlying(list) {
  flying = {};
  list.forEach(function (b) {
    flying[b.bench + " " + b.address] = { bench: b.bench, address: b.address, name: b.name, stage: b.stage, page: b.page,
                          total: b.total, rate: b.rate, since: Date.now() - b.seconds * 1000 };
  });
  drawFlying();
}

// One event of the stream, as --json writes it.
// With the line's database every bench's events come, each naming its bench.
function onEvent(ev) {
  if (ev && ev.kind === "bench") {
    benchStates[ev.bench] = { state: ev.state, seen: Date.now() / 1000 };
    drawBenches();
    return;
  }
  if (!ev || ev.board === null || ev.board === undefined) return;
  var bench = ev.bench || (lastLine ? lastLine.this_bench : "");
  var key = bench + " " + ev.board;
  var b = flying[key];
  if (ev.result) {
    delete flying[key];
    drawFlying();
    soon();
    return;
  }
  if (!b) {
    b = flying[key] = { bench: bench, address: ev.board, since: ev.since ? ev.since * 1000 : Date.now() };
  }
  if (b.stage !== ev.stage) { b.since = Date.now(); b.rate = null; }
  b.name = ev.name;
  b.stage = ev.stage;
  b.page = ev.page;
  b.total = ev.total;
  drawFlying();
}

// ---- the period's figures ---------------------------------------------------------

function drawChart(perHour) {
  var svg = $("chart"), ns = "http://www.w3.org/2000/svg";
  while (svg.firstChild) svg.removeChild(svg.firstChild);
  var data = perHour.done, W = 600, H = 180, top = 14, bottom = 20;
  var max = Math.max.apply(null, [1].concat(data));
  var w = W / Math.max(1, data.length);
  function add(tag, attrs, text) {
    var e = document.createElementNS(ns, tag);
    Object.keys(attrs).forEach(function (k) { e.setAttribute(k, attrs[k]); });
    if (text !== undefined) e.textContent = text;
    svg.appendChild(e);
    return e;
  }
  add("line", { x1: 0, y1: H - bottom, x2: W, y2: H - bottom, "class": "axis" });
  var step = Math.ceil(data.length / 12);
  data.forEach(function (n, i) {
    var h = (H - top - bottom) * n / max;
    var r = add("rect", { x: i * w + w * 0.15, y: H - bottom - h, width: w * 0.7, height: h, "class": "bar" });
    var d = new Date((perHour.from + i * 3600) * 1000);
    var title = document.createElementNS(ns, "title");
    title.textContent = two(d.getHours()) + ":00 — " + n;
    r.appendChild(title);
    if (n > 0 && data.length <= 24) add("text", { x: i * w + w / 2, y: H - bottom - h - 3, "text-anchor": "middle" }, n);
    if (i % step === 0) add("text", { x: i * w + w / 2, y: H - 5, "text-anchor": "middle" }, two(d.getHours()));
  });
}

function resultText(w) {
  if (w.result === "done") return "готово";
  if (w.result === "failed") return "ошибка: " + (STAGES[w.stage] || w.stage) + (w.page !== null ? ", стр. " + w.page : "");
  return "не завершено";
}

function draw(line) {
  lastLine = line;
  banner("problem", line.problem ? "Журнал " + line.ledger + ": " + line.problem : "");
  $("done").textContent = line.line.done;
  $("failed").textContent = line.line.failed;
  $("skipped").textContent = line.line.skipped;
  $("yield").textContent = pct(line.line.yield);
  $("since").textContent = "с " + clock(line.since);
  takeFlying(line.in_flight);
  benchStates = {};
  line.benches.forEach(function (b) { if (b.state) benchStates[b.bench] = { state: b.state, seen: b.seen }; });
  drawBenches();
  fill($("causes").tBodies[0], line.causes.map(function (c) {
    var latest = c.latest.map(function (w) { return clock(w.at) + " " + (w.name || "—") + " (" + w.address + ", " + w.bench + ")"; });
    // The reason names its stage, but for a stage it has no words of its own for.
    var cause = c.reason === "ошибка" ? c.reason + ": " + (STAGES[c.stage] || c.stage) : c.reason;
    return row([el("td", cause), el("td", c.count, "num"), el("td", latest.join("; "))]);
  }));
  $("causes-empty").hidden = line.causes.length > 0;
  fill($("latest").tBodies[0], line.latest.map(function (w) {
    var mac = w.new_mac && w.result === "done" ? w.old_mac + " → " + w.new_mac : w.old_mac;
    // Each board leads to its history, as veskorctl trace tells it.
    var now = w.new_mac && w.result === "done" ? w.new_mac : w.old_mac;
    var cell = el("td");
    if (now) {
      var a = el("a", mac);
      a.href = "#trace=" + encodeURIComponent(now);
      a.addEventListener("click", function (e) { e.preventDefault(); showTrace(now); });
      cell.appendChild(a);
    }
    return row([el("td", clock(w.at)), el("td", w.bench), el("td", w.address), el("td", w.name || "—"), cell,
                el("td", resultText(w), w.result)]);
  }));
  drawChart(line.per_hour);
}

var BENCH_STATES = { running: "работает", waiting: "ждёт устройства", ledger_wait: "ждёт журнал",
                     stopped: "остановлен" };
var benchStates = {};

function benchState(name) {
  var s = benchStates[name];
  if (!s) return "—";
  // A bench says what it does every second; silence means it is gone.
  if (s.state === "unseen" || (s.state !== "stopped" && s.seen && Date.now() / 1000 - s.seen > 30))
    return "не видно с " + clock(s.seen);
  return BENCH_STATES[s.state] || s.state;
}

function drawBenches() {
  if (!lastLine) return;
  // A bench that began after the last snapshot is there from its first event.
  var list = lastLine.benches.slice();
  var known = {};
  list.forEach(function (b) { known[b.bench] = true; });
  var extra = Object.keys(benchStates);
  Object.keys(flying).forEach(function (k) { extra.push(flying[k].bench); });
  extra.forEach(function (name) {
    if (known[name]) return;
    known[name] = true;
    list.push({ bench: name, done: 0, failed: 0, yield: null });
  });
  list.sort(function (a, b) { return a.bench < b.bench ? -1 : a.bench > b.bench ? 1 : 0; });
  fill($("benches").tBodies[0], list.map(function (b) {
    var n = Object.keys(flying).filter(function (k) { return flying[k].bench === b.bench; }).length;
    return row([el("td", b.bench), el("td", benchState(b.bench)), el("td", n, "num"), el("td", b.done, "num"),
                el("td", b.failed, "num"), el("td", pct(b.yield), "num")]);
  }));
}

// A board's history from /api/trace: every burn and MAC step of it.
var TRACE_RESULTS = { flashed: "прошита", begun: "начата, итог не записан", confirmed: "подтверждён",
                      reserved: "зарезервирован, итог не записан" };

function showTrace(mac) {
  fetch("/api/trace?mac=" + encodeURIComponent(mac), { cache: "no-store" })
    .then(function (r) { if (!r.ok) throw new Error(r.status); return r.json(); })
    .then(function (list) {
      $("trace-mac").textContent = mac;
      fill($("trace-table").tBodies[0], list.map(function (t) {
        var burn = t.kind === "burn";
        var result = TRACE_RESULTS[t.result] || (t.result === "failed" ? (burn ? "ошибка" : "не принят") : t.result);
        if (burn && t.result === "failed" && t.stage) result += ": " + (STAGES[t.stage] || t.stage) + (t.page !== null ? ", стр. " + t.page : "");
        var fw = (t.firmware || "—").split("/").pop() + (t.sha256 ? " " + t.sha256.substring(0, 8) : "");
        return row([el("td", t.time), el("td", t.bench || "—"), el("td", t.operator || "—"), el("td", t.address),
                    el("td", burn ? "прошивка" : "MAC"), el("td", burn ? t.old_mac : (t.old_mac || "?") + " → " + t.new_mac),
                    el("td", fw), el("td", result)]);
      }));
      $("trace").hidden = false;
      $("trace").scrollIntoView();
    })
    .catch(function () { banner("lost", "Нет связи с сервером — переподключаюсь…"); });
}

function refresh() {
  clearTimeout(refreshTimer);
  refreshTimer = null;
  fetch("/api/line?period=" + period, { cache: "no-store" })
    .then(function (r) { if (!r.ok) throw new Error(r.status); return r.json(); })
    .then(draw)
    .catch(function () { banner("lost", "Нет связи с сервером — переподключаюсь…"); })
    .then(function () {
      // Other benches of the line finish boards too; with boards in flight
      // here the rates are worth reading often.
      if (!refreshTimer) refreshTimer = setTimeout(refresh, Object.keys(flying).length ? 5000 : 15000);
    });
}

// A board finished: the figures follow soon, once for a burst of them.
function soon() {
  clearTimeout(refreshTimer);
  refreshTimer = setTimeout(refresh, 700);
}

// ---- the stream ----------------------------------------------------------------------

function connect() {
  source = new EventSource("/api/events");
  source.onopen = function () {
    banner("lost", "");
    refresh();
  };
  source.onmessage = function (m) {
    try { onEvent(JSON.parse(m.data)); } catch (e) { /* one bad event, not the page */ }
  };
  source.addEventListener("resync", refresh);
  source.onerror = function () {
    banner("lost", "Нет связи с сервером — переподключаюсь…");
    // The browser tries again by itself unless the server refused the
    // stream outright; then the page does.
    if (source.readyState === EventSource.CLOSED) {
      source.close();
      setTimeout(connect, 3000);
    }
  };
}

function choose(p) {
  period = p;
  var params = new URLSearchParams(location.search);
  params.set("period", p);
  history.replaceState(null, "", "?" + params.toString());
  Array.prototype.forEach.call(document.querySelectorAll("#periods button"), function (b) {
    b.classList.toggle("on", b.getAttribute("data-period") === p);
  });
  refresh();
}

Array.prototype.forEach.call(document.querySelectorAll("#periods button"), function (b) {
  b.addEventListener("click", function () { choose(b.getAttribute("data-period")); });
});
setInterval(function () { drawFlying(); drawBenches(); }, 1000);
choose(period);
connect();
