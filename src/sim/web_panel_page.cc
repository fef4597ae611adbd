// SPDX-License-Identifier: Apache-2.0
// The control panel's page: plain HTML, CSS and JavaScript, served from the
// program itself. It draws what the event stream (/events) says and sends
// every action as one control line (POST /line).
#include "sim/web_panel.h"

namespace vexokrt::sim {

namespace {

constexpr std::string_view kPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>vexokrt simulator</title>
<style>
  :root { --bg:#f3f4f6; --card:#fff; --ink:#1f2937; --muted:#6b7280; --line:#d1d5db;
          --ok:#16a34a; --ne:#f59e0b; --empty:#dc2626; --nf:#2563eb; --full:#7c3aed; }
  * { box-sizing: border-box; }
  body { margin:0; font:14px/1.35 system-ui, sans-serif; color:var(--ink); background:var(--bg); }
  header { display:flex; flex-wrap:wrap; gap:8px; align-items:center; padding:8px 14px; background:#111827; color:#f9fafb; }
  header h1 { font-size:16px; margin:0 12px 0 0; }
  .badge { padding:2px 8px; border-radius:10px; background:#374151; font-size:12px; }
  .badge.bad { background:var(--empty); } .badge.warn { background:var(--ne); color:#111; } .badge.good { background:var(--ok); }
  main { display:grid; grid-template-columns: minmax(560px, 1.25fr) minmax(420px, 1fr); gap:12px; padding:12px; }
  section { background:var(--card); border:1px solid var(--line); border-radius:8px; padding:10px 12px; }
  h2 { font-size:14px; margin:2px 0 8px; text-transform:uppercase; letter-spacing:.04em; color:var(--muted); }
  h3 { font-size:13px; margin:0 0 6px; }
  .tubes { display:flex; gap:10px; align-items:flex-end; margin-bottom:10px; }
  .tube { width:64px; text-align:center; }
  .tube.bill { width:92px; }
  .tube .face { font-weight:600; }
  .tube .body { position:relative; height:150px; border:2px solid #6b7280; border-top:none; border-radius:0 0 10px 10px; background:#f9fafb; overflow:hidden; margin:4px auto; width:44px; }
  .tube.bill .body { width:76px; height:120px; border-radius:4px; border-top:2px solid #6b7280; }
  .tube .fill { position:absolute; left:0; right:0; bottom:0; background:var(--ok); transition:height .2s; }
  .tube .mark { position:absolute; left:0; right:0; border-top:1px dashed #111; opacity:.55; }
  .tube .count { font-variant-numeric:tabular-nums; }
  .tube .level { font-size:11px; color:var(--muted); min-height:14px; }
  .lv-empty .fill { background:var(--empty); } .lv-near-empty .fill { background:var(--ne); }
  .lv-near-full .fill { background:var(--nf); } .lv-full .fill { background:var(--full); }
  .lv-empty .level { color:var(--empty); font-weight:600; } .lv-near-empty .level { color:#b45309; font-weight:600; }
  .lv-near-full .level { color:var(--nf); font-weight:600; } .lv-full .level { color:var(--full); font-weight:600; }
  .cards { display:grid; grid-template-columns: repeat(3, 1fr); gap:10px; }
  .card { border:1px solid var(--line); border-radius:6px; padding:8px; min-height:120px; }
  .bar { position:relative; height:14px; background:#e5e7eb; border-radius:7px; overflow:hidden; margin:4px 0; }
  .bar .fill { position:absolute; top:0; bottom:0; left:0; background:var(--ok); }
  .bar .mark { position:absolute; top:0; bottom:0; border-left:1px dashed #111; }
  .pieces { font-variant-numeric:tabular-nums; color:#374151; }
  .muted { color:var(--muted); }
  .actions fieldset { border:1px solid var(--line); border-radius:6px; margin:0 0 8px; padding:6px 8px; }
  .actions legend { font-size:12px; color:var(--muted); }
  button { font:inherit; padding:3px 9px; margin:2px; border:1px solid #9ca3af; border-radius:5px; background:#f9fafb; cursor:pointer; }
  button:hover { background:#e5e7eb; }
  input, select { font:inherit; padding:2px 4px; border:1px solid #9ca3af; border-radius:4px; }
  input.n { width:56px; } input.w { width:190px; }
  #sent { font:12px ui-monospace, monospace; max-height:130px; overflow:auto; background:#111827; color:#e5e7eb; padding:6px; border-radius:6px; margin:0; }
  #sent .err { color:#fca5a5; }
  #last-line { font:13px ui-monospace, monospace; background:#fef3c7; padding:2px 6px; border-radius:4px; }
  .statusbytes { display:flex; flex-wrap:wrap; gap:2px; font:12px ui-monospace, monospace; }
  .sb { width:22px; text-align:center; border:1px solid var(--line); border-radius:3px; }
  .sb i { display:block; font-style:normal; font-size:9px; color:var(--muted); }
  .sb.set { background:#fde68a; }
  #decoded { font-size:12px; margin:6px 0 0; padding-left:18px; }
  .log { grid-column: 1 / -1; }
  #log-wrap { max-height:320px; overflow:auto; }
  #log-wrap { contain: strict; height:320px; }
  table { border-collapse:collapse; width:100%; font:12px ui-monospace, monospace; table-layout:fixed; }
  td, th { text-align:left; padding:1px 6px; border-bottom:1px solid #eef0f3; white-space:nowrap; overflow:hidden; text-overflow:ellipsis; }
  col.time { width:100px; } col.dir { width:80px; } col.name { width:230px; } col.note { width:160px; }
  tr.rx td.dir { color:#1d4ed8; } tr.tx td.dir { color:#047857; }
</style>
</head>
<body>
<header>
  <h1>vexokrt simulator</h1>
  <span class="badge" id="model">-</span>
  <span class="badge" id="line">-</span>
  <span class="badge" id="mode">-</span>
  <span class="badge" id="plug">-</span>
  <span class="badge" id="jam">-</span>
  <span class="badge" id="cassette">-</span>
  <span class="badge" id="busy">-</span>
  <span class="badge" id="faults">-</span>
  <span class="badge" id="conn">connecting</span>
</header>
<main>
<section id="machine">
  <h2>Coin tubes</h2>
  <div class="tubes" id="coins"></div>
  <h2>Bill cassettes</h2>
  <div class="tubes" id="bills"></div>
  <div class="cards">
    <div class="card" id="box-card"><h3>Collection box</h3><div id="box"></div></div>
    <div class="card" id="deposit-card"><h3>Deposit</h3><div id="deposit"></div></div>
    <div class="card" id="outlet-card"><h3>Coin tray and bill outlet</h3><div id="outlets"></div>
      <button data-line="take">take</button></div>
  </div>
</section>
<section class="actions" id="actions">
  <h2>Actions</h2>
  <fieldset><legend>Insert cash into the open deposit</legend>
    <div id="insert-buttons"></div>
    <input class="w" id="insert-cash" placeholder="1000:2,500:1" aria-label="cash list">
    rejects coins <input class="n" id="insert-coin-rejects" type="number" min="0" value="0" aria-label="coin rejects">
    bills <input class="n" id="insert-bill-rejects" type="number" min="0" value="0" aria-label="bill rejects">
    <button id="insert-custom">insert</button>
  </fieldset>
  <fieldset><legend>Machine</legend>
    <button data-line="take">take</button>
    <button data-line="hold">hold</button>
    <button id="jam-on">jam</button>
    error <input class="n" id="jam-number" placeholder="0521" aria-label="error number (hex)">
    <button data-line="jam off">clear jam</button><br>
    <button data-line="cassette out">cassette out</button>
    <button data-line="cassette in">cassette in</button>
    <button data-line="unplug">unplug</button>
    <button data-line="plug">plug</button>
    <button data-line="power-cycle">power cycle</button>
  </fieldset>
  <fieldset><legend>Counts and fill levels</legend>
    <input class="w" id="counts-list" placeholder="500:30,1000:20" aria-label="counts">
    <button id="set-stock">set stock</button>
    <button id="set-box">set box</button><br>
    <select id="th-face" aria-label="denomination"></select>
    empty <input class="n" id="th-0" type="number" min="0">
    near-empty <input class="n" id="th-1" type="number" min="0">
    near-full <input class="n" id="th-2" type="number" min="0">
    full <input class="n" id="th-3" type="number" min="0">
    <button id="set-threshold">set threshold</button>
  </fieldset>
  <fieldset><legend>Faults (the next matching answers go wrong)</legend>
    <select id="fault-kind" aria-label="fault">
      <option>nak</option><option>can</option><option>em</option><option>bel</option>
      <option>sub</option><option>delay</option><option>drop</option><option>bcc</option>
      <option>first-byte</option><option>truncate</option><option>overlong</option>
    </select>
    ms <input class="n" id="fault-ms" type="number" min="0" value="500" aria-label="milliseconds (sub, delay)">
    times <input class="n" id="fault-times" type="number" min="1" value="1" aria-label="times">
    cmd <input class="n" id="fault-cmd" placeholder="any" aria-label="command letter or ENQ">
    <button id="fault-add">fault</button>
    <button data-line="fault clear">fault clear</button>
  </fieldset>
  <fieldset><legend>Settings</legend>
    <button data-line="set auto-take on">auto-take on</button><button data-line="set auto-take off">auto-take off</button>
    <button data-line="set wire-timing on">wire-timing on</button><button data-line="set wire-timing off">wire-timing off</button><br>
    discrepancy <input class="n" id="discrepancy" type="number" min="0" max="7" value="0"><button id="set-discrepancy">set</button>
    <select id="duration-name" aria-label="duration">
      <option>dispense</option><option>take-back</option><option>count-check</option><option>end-deposit</option>
      <option>stop-intake</option><option>reset</option><option>counting</option><option>coin-check</option>
    </select> ms <input class="n" id="duration-ms" type="number" min="0" value="1000"><button id="set-duration">set duration</button><br>
    status byte <input class="n" id="status-pos" type="number" min="0" placeholder="pos">
    = <input class="n" id="status-value" placeholder="0x31"><button id="set-status">set status</button>
    <button data-line="set status clear">status clear</button>
    version <input class="n" id="version" placeholder="01C05"><button id="set-version">set</button>
    history <input class="n" id="history-pointer" type="number" min="0" placeholder="pointer">
    <input class="n" id="history-overwrites" type="number" min="0" placeholder="overwrites"><button id="set-history">set</button>
  </fieldset>
  <fieldset><legend>Any control line</legend>
    <input class="w" id="free-line" placeholder="show deposit" aria-label="control line">
    <button id="send-free">send</button>
    <button data-line="show counts">show counts</button>
    <button data-line="show deposit">show deposit</button>
    <button data-line="help">help</button>
  </fieldset>
  <div>Last line sent: <span id="last-line">-</span></div>
  <pre id="sent"></pre>
</section>
<section id="status">
  <h2>Status record</h2>
  <div class="statusbytes" id="status-bytes"></div>
  <ul id="decoded"></ul>
</section>
<section id="settings">
  <h2>Line</h2>
  <div id="line-settings"></div>
</section>
<section class="log">
  <h2>Frames <span class="muted" id="log-count"></span></h2>
  <div id="log-wrap"><table><colgroup><col class="time"><col class="dir"><col class="name"><col><col class="note"></colgroup><thead><tr><th>time</th><th>dir</th><th>name</th><th>bytes</th><th>note</th></tr></thead>
  <tbody id="log"></tbody></table></div>
</section>
</main>
<script>
"use strict";
const TOKEN = "{{TOKEN}}";
const FACES = [1, 5, 10, 50, 100, 500, 1000, 2000, 5000, 10000];
let maxFrames = 500;
let state = null;
const $ = (id) => document.getElementById(id);
const el = (tag, attrs, text) => {
  const e = document.createElement(tag);
  for (const k in attrs || {}) e.setAttribute(k, attrs[k]);
  if (text !== undefined) e.textContent = text;
  return e;
};

// ---- actions: every one is a control line ----
async function send(line) {
  $("last-line").textContent = line;
  let answer;
  try {
    const r = await fetch("/line", { method: "POST", headers: { "Content-Type": "application/json", "X-Panel-Token": TOKEN },
                                     body: JSON.stringify({ line }) });
    answer = await r.json();
  } catch (e) {
    answer = { line, ok: false, reply: "error: " + e + "\n" };
  }
  return answer;
}
function showLine(a) {
  const row = el("div", { class: a.ok ? "" : "err" }, "> " + a.line + "\n" + a.reply.replace(/\n$/, ""));
  $("sent").prepend(row);
  while ($("sent").childNodes.length > 20) $("sent").lastChild.remove();
}
document.addEventListener("click", (ev) => {
  const b = ev.target.closest("button[data-line]");
  if (b) send(b.dataset.line);
});
const v = (id) => $(id).value.trim();
$("insert-custom").onclick = () => {
  const cash = v("insert-cash"), c = v("insert-coin-rejects") || "0", b = v("insert-bill-rejects") || "0";
  const rejects = (c !== "0" || b !== "0") ? " rejects=" + c + "," + b : "";
  send(("insert " + cash + rejects).replace(/\s+/g, " ").trim());
};
$("jam-on").onclick = () => send(("jam on " + v("jam-number")).trim());
$("set-stock").onclick = () => send("set stock " + v("counts-list"));
$("set-box").onclick = () => send("set box " + v("counts-list"));
$("set-threshold").onclick = () => send("set threshold " + v("th-face") + " " + [0, 1, 2, 3].map((i) => v("th-" + i) || "0").join(" "));
$("fault-add").onclick = () => {
  const kind = v("fault-kind");
  let line = "fault " + kind;
  if (kind === "sub" || kind === "delay") line += " " + (v("fault-ms") || "0");
  const times = v("fault-times");
  line += (times === "" || times === "1") ? " next" : " " + times;
  if (v("fault-cmd")) line += " cmd " + v("fault-cmd");
  send(line);
};
$("set-discrepancy").onclick = () => send("set discrepancy " + (v("discrepancy") || "0"));
$("set-duration").onclick = () => send("set duration " + v("duration-name") + " " + (v("duration-ms") || "0"));
$("set-status").onclick = () => send("set status " + v("status-pos") + " " + v("status-value"));
$("set-version").onclick = () => send("set version " + v("version"));
$("set-history").onclick = () => send("set history " + v("history-pointer") + " " + v("history-overwrites"));
const sendFree = () => { if (v("free-line")) send(v("free-line")); };
$("send-free").onclick = sendFree;
$("free-line").addEventListener("keydown", (e) => { if (e.key === "Enter") sendFree(); });
for (const f of FACES) {
  $("insert-buttons").append(el("button", { "data-line": "insert " + f + ":1" }, "insert " + f));
  $("th-face").append(el("option", { value: f }, String(f)));
}
$("th-face").onchange = () => fillThresholds();
function fillThresholds() {
  if (!state) return;
  const t = state.thresholds[FACES.indexOf(Number(v("th-face")))];
  for (let i = 0; i < 4; ++i) $("th-" + i).value = t[i];
}

// ---- the machine ----
const code = (i) => state.status.charCodeAt(i) || 0x30;
const bit = (i, b) => i < state.status.length && ((code(i) >> b) & 1) === 1;
// Fill level of one denomination from the status record, as the host reads it:
// groups at 9 (full), 12 (near full), 15 (near empty), 18 (empty); when several
// are set, empty wins over near empty, over full, over near full.
function levelOf(i) {
  const [off, b] = state.level_bits[i];
  if (bit(18 + off, b)) return "empty";
  if (bit(15 + off, b)) return "near-empty";
  if (bit(9 + off, b)) return "full";
  if (bit(12 + off, b)) return "near-full";
  return "";
}
function tube(i) {
  const coin = i < 6, face = FACES[i];
  const [, nearEmpty, nearFull, full] = state.thresholds[i];
  const count = state.stock[i];
  const cap = Math.max(full, 1);
  const level = levelOf(i);
  const t = el("div", { class: "tube " + (coin ? "coin" : "bill") + (level ? " lv-" + level : ""), id: "tube-" + face });
  t.append(el("div", { class: "face" }, face + " yen"));
  const body = el("div", { class: "body", title: "empty " + state.thresholds[i][0] + ", near-empty " + nearEmpty +
                                                 ", near-full " + nearFull + ", full " + full });
  const fill = el("div", { class: "fill" });
  fill.style.height = Math.min(100, 100 * count / cap) + "%";
  body.append(fill);
  for (const m of [nearEmpty, nearFull]) {
    if (m > 0 && m < cap) {
      const mark = el("div", { class: "mark" });
      mark.style.bottom = (100 * m / cap) + "%";
      body.append(mark);
    }
  }
  t.append(body);
  t.append(el("div", { class: "count" }, count + " / " + full));
  t.append(el("div", { class: "level" }, level.replace("-", " ")));
  return t;
}
function pieces(counts, which) {
  const parts = [];
  for (let i = 0; i < FACES.length; ++i) if (counts[i] > 0 && which(i)) parts.push(counts[i] + "\u00d7" + FACES[i]);
  return parts.length ? parts.join(", ") : "none";
}
function amount(counts) { return counts.reduce((s, n, i) => s + n * FACES[i], 0); }
function render() {
  const s = state;
  $("model").textContent = s.model;
  $("line").textContent = s.line;
  $("mode").textContent = s.mode_a ? "mode A" : "mode B";
  setBadge("plug", s.unplugged ? "unplugged" : "plugged in", s.unplugged ? "bad" : "good");
  setBadge("jam", s.jammed ? "jammed " + s.error_number : "no jam", s.jammed ? "bad" : "good");
  setBadge("cassette", s.cassette_removed ? "cassette out" : "cassette in", s.cassette_removed ? "warn" : "");
  setBadge("busy", s.action ? "busy: " + s.action : "idle", s.action ? "warn" : "");
  setBadge("faults", s.pending_faults + " fault(s) pending", s.pending_faults ? "warn" : "");
  const coins = $("coins"), bills = $("bills");
  coins.replaceChildren(); bills.replaceChildren();
  for (let i = 0; i < 10; ++i) (i < 6 ? coins : bills).append(tube(i));
  // Collection box: coins and bills; the bill side has a capacity.
  const boxBills = s.box.slice(6).reduce((a, n) => a + n, 0);
  const [nf, full] = s.bill_box;
  const boxLevel = bit(21, 3) ? "full" : bit(21, 2) ? "near full" : "";
  $("box").replaceChildren(
    el("div", { class: "pieces", id: "box-coins" }, "coins: " + pieces(s.box, (i) => i < 6)),
    el("div", { class: "pieces", id: "box-bills" }, "bills: " + pieces(s.box, (i) => i >= 6)),
    bar(boxBills, full, nf),
    el("div", { id: "box-level" }, boxBills + " / " + full + " bills" + (boxLevel ? " \u2014 " + boxLevel : "")),
    el("div", { class: "muted" }, "amount " + amount(s.box) + " yen"));
  const d = s.deposit;
  const flags = [d.open ? "open" : "closed"];
  if (d.intake_open) flags.push("intake open");
  if (d.held) flags.push("held until P00");
  if (d.bill_counting) flags.push("bills counting");
  if (d.coin_counting) flags.push("coins counting");
  $("deposit").replaceChildren(
    el("div", { id: "deposit-state" }, flags.join(", ")),
    el("div", { class: "pieces", id: "deposit-counted" }, "counted: " + pieces(d.counted, () => true)),
    el("div", { id: "deposit-amount" }, d.amount + " yen"),
    el("div", { class: "muted" }, "rejects: coins " + d.coin_rejects + ", bills " + d.bill_rejects));
  const tray = [];
  if (bit(7, 0)) tray.push("cash in the coin tray");
  if (bit(8, 0)) tray.push("bills in the outlet");
  if (bit(8, 1)) tray.push("a bill waits at the entrance");
  $("outlets").replaceChildren(
    el("div", { class: "pieces", id: "tray" }, "coin tray: " + pieces(s.outlets, (i) => i < 6)),
    el("div", { class: "pieces", id: "outlet" }, "bill outlet: " + pieces(s.outlets, (i) => i >= 6)),
    el("div", { class: "muted" }, tray.length ? tray.join("; ") : s.auto_take ? "customers take cash at once (auto-take)" : "nothing waiting"));
  renderStatus();
  $("line-settings").replaceChildren(
    el("div", {}, "line " + s.line + (s.mode_a ? ", communication mode A" : ", communication mode B")),
    el("div", {}, s.unplugged ? "unplugged: nothing is answered" : "plugged in"),
    el("div", {}, "wire timing " + (s.wire_timing ? "on" : "off") + ", auto-take " + (s.auto_take ? "on" : "off")),
    el("div", {}, s.pending_faults + " fault(s) waiting for their frame"));
  if (document.activeElement === null || !document.activeElement.id.startsWith("th-")) fillThresholds();
}
function bar(n, full, mark) {
  const b = el("div", { class: "bar" });
  const f = el("div", { class: "fill" });
  f.style.width = Math.min(100, 100 * n / Math.max(full, 1)) + "%";
  b.append(f);
  const m = el("div", { class: "mark" });
  m.style.left = (100 * mark / Math.max(full, 1)) + "%";
  b.append(m);
  return b;
}
function setBadge(id, text, kind) {
  $(id).textContent = text;
  $(id).className = "badge" + (kind ? " " + kind : "");
}
const STATES = { "0": "idle", "1": "stopped by an error", "3": "deposit open, taking cash", "4": "deposit open, intake closed",
                 "<": "deposit counting", ";": "long action running (V00 stops it)" };
const PAIRS = { "00": "no deposit", "33": "open, idle", "31": "counting", "<2": "held until P00" };
function renderStatus() {
  const s = state, wrap = $("status-bytes");
  wrap.replaceChildren();
  for (let i = 0; i < s.status.length; ++i) {
    const c = s.status[i];
    const cell = el("div", { class: "sb" + (c !== "0" ? " set" : ""), title: "byte " + i + " = 0x" + code(i).toString(16) });
    cell.append(el("i", {}, String(i)));
    cell.append(document.createTextNode(c));
    wrap.append(cell);
  }
  const lines = [];
  lines.push("byte 1 '" + s.status[1] + "': " + (STATES[s.status[1]] || "?"));
  if (s.status[1] === "1") lines.push("bytes 3-6: error number " + s.status.substring(3, 7));
  if (bit(7, 0)) lines.push("byte 7 bit 0: cash in the coin tray");
  if (bit(7, 2)) lines.push("byte 7 bit 2: coins being handled");
  if (bit(8, 0)) lines.push("byte 8 bit 0: bills in the outlet");
  if (bit(8, 1)) lines.push("byte 8 bit 1: a bill waiting at the entrance");
  if (bit(8, 2)) lines.push("byte 8 bit 2: bills being handled");
  const levels = [];
  for (let i = 0; i < 10; ++i) if (levelOf(i)) levels.push(FACES[i] + " " + levelOf(i));
  lines.push("bytes 9-20 fill levels: " + (levels.length ? levels.join(", ") : "all normal"));
  if (bit(21, 3)) lines.push("byte 21 bit 3: bill collection box full");
  else if (bit(21, 2)) lines.push("byte 21 bit 2: bill collection box near full");
  if (bit(43, 1)) lines.push("byte 43 bit 1: a deposit is open");
  if (bit(43, 3)) lines.push("byte 43 bit 3: collection cassette removed");
  if (bit(45, 0)) lines.push("byte 45 bit 0: the last pay-out was refused for want of cash");
  if (bit(46, 2)) lines.push("byte 46 bit 2: a bill was refused, its storage is full");
  if (bit(46, 3)) lines.push("byte 46 bit 3: a coin was refused, its storage is full");
  const first = s.model === "KRT03" ? 49 : 47;
  if (s.status.length >= first + 4 && s.model !== "KRT02F" && s.model !== "KRT02FA") {
    const bills = s.status.substring(first, first + 2), coins = s.status.substring(first + 2, first + 4);
    lines.push("bytes " + first + "-" + (first + 3) + ": bill unit '" + bills + "' " + (PAIRS[bills] || "") +
               ", coin unit '" + coins + "' " + (PAIRS[coins] || ""));
  }
  $("decoded").replaceChildren(...lines.map((t) => el("li", {}, t)));
}

// ---- frames ----
function pad(n, w) { return String(n).padStart(w, "0"); }
function clock(ms) {
  const d = new Date(ms);
  return pad(d.getHours(), 2) + ":" + pad(d.getMinutes(), 2) + ":" + pad(d.getSeconds(), 2) + "." + pad(d.getMilliseconds(), 3);
}
// Frames are drawn once per animation frame, however many messages came
// since: the page stays responsive on a busy line, and what waits to be drawn
// is bounded like the log itself.
let waiting = [];
let drawScheduled = false;
function queueFrames(frames) {
  waiting.push(...frames);
  if (waiting.length > maxFrames) waiting = waiting.slice(-maxFrames);
  if (!drawScheduled) {
    drawScheduled = true;
    requestAnimationFrame(() => { drawScheduled = false; const f = waiting; waiting = []; addFrames(f); });
  }
}
function addFrames(frames) {
  const log = $("log");
  // Only the last maxFrames can ever be shown: skip the rest of a big batch.
  const rows = document.createDocumentFragment();
  for (const f of frames.slice(-maxFrames)) {
    const row = el("tr", { class: f.dir, title: f.hex });
    row.append(el("td", {}, clock(f.t)), el("td", { class: "dir" }, f.dir === "rx" ? "host \u2192" : "\u2190 device"),
               el("td", {}, f.name), el("td", { title: f.text }, f.text), el("td", {}, f.detail));
    rows.prepend(row);
  }
  log.prepend(rows);
  while (log.rows.length > maxFrames) log.lastChild.remove();
  $("log-count").textContent = "(" + log.rows.length + " shown, newest first; the last " + maxFrames + " are kept)";
}
window.panel = { addFrames, rows: () => $("log").rows.length, maxFrames: () => maxFrames, send };

// ---- the live feed ----
const events = new EventSource("/events?token=" + TOKEN);
events.addEventListener("hello", (e) => {
  const h = JSON.parse(e.data);
  maxFrames = h.max_frames;
  $("log").replaceChildren();
  waiting = [];
  addFrames(h.frames);
  $("sent").replaceChildren();
  for (const l of h.lines) showLine(l);
  if (h.state && h.state.status !== undefined) { state = h.state; render(); }
  setBadge("conn", "live", "good");
});
events.addEventListener("state", (e) => { state = JSON.parse(e.data); render(); });
events.addEventListener("frames", (e) => queueFrames(JSON.parse(e.data)));
events.addEventListener("line", (e) => showLine(JSON.parse(e.data)));
events.onerror = () => setBadge("conn", "disconnected", "bad");
</script>
</body>
</html>
)PAGE";

}  // namespace

std::string_view WebPanelPage() { return kPage; }

}  // namespace vexokrt::sim
