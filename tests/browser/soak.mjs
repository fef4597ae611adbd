// SPDX-License-Identifier: Apache-2.0
// Measurement, run by hand: does the control panel stay bounded and responsive
// while the line is busy? Starts "vexokrt sim --http 127.0.0.1:0", writes ENQ
// on its pseudo-terminal at RATE a second for SECONDS (each ENQ and its ACK are
// two frames), keeps the page open in Debian's chromium, and every 5 s prints
// the program's resident memory, the page's JavaScript heap and DOM size, the
// rows in the frame log, and how long one action takes from click to reply
// shown on the page.
// Usage: node soak.mjs VEXOKRT_PROGRAM [SECONDS=60] [RATE=100]
// (60 s at 100 ENQ a second is 12000 frames: twice ten minutes at ten frames a second.)
import { spawn } from "node:child_process";
import { closeSync, createReadStream, openSync, readFileSync, writeSync } from "node:fs";
import { chromium } from "playwright-core";

const [program, seconds = "60", rate = "100"] = process.argv.slice(2);
const sim = spawn(program, ["sim", "--model", "KRT07", "--http", "127.0.0.1:0", "--ignore-stdin"],
                  { stdio: ["ignore", "pipe", "inherit"] });
const lines = [];
await new Promise((resolve) => {
  let text = "";
  sim.stdout.on("data", (c) => {
    text += c;
    if (/http: \S+\n/.test(text)) { lines.push(...text.split("\n")); resolve(); }
  });
});
const slave = lines.find((l) => l.startsWith("slave: ")).slice(7);
const url = lines.find((l) => l.startsWith("http: ")).slice(6);
const fd = openSync(slave, "r+");
const drain = createReadStream(null, { fd, autoClose: false });
drain.on("data", () => {});
drain.on("error", () => {});

const browser = await chromium.launch({ executablePath: "/usr/bin/chromium", args: ["--no-sandbox", "--disable-gpu"] });
const page = await browser.newPage();
const cdp = await page.context().newCDPSession(page);
await cdp.send("Performance.enable");
await page.goto(url);
await page.locator("#conn", { hasText: "live" }).waitFor();

const rss = () => Number(/VmRSS:\s+(\d+)/.exec(readFileSync(`/proc/${sim.pid}/status`, "utf8"))[1]);
let sent = 0;
const timer = setInterval(() => { writeSync(fd, Buffer.from([0x05])); sent++; }, 1000 / Number(rate));
const samples = [];
const started = Date.now();
console.log("   s   ENQ sent   program RSS KiB   page JS heap KiB   DOM nodes   log rows   click->reply ms");
while (Date.now() - started < Number(seconds) * 1000) {
  await new Promise((r) => setTimeout(r, 5000));
  await cdp.send("HeapProfiler.collectGarbage").catch(() => {});
  const metrics = Object.fromEntries((await cdp.send("Performance.getMetrics")).metrics.map((m) => [m.name, m.value]));
  // Measured inside the page (browser automation adds its own waiting): from
  // the click on "show counts" to its reply shown in the list of lines sent.
  const roundTrip = await page.evaluate(() => new Promise((resolve) => {
    const sent = document.querySelector("#sent");
    const t = performance.now();
    const watch = new MutationObserver(() => {
      if (!sent.textContent.includes("> show counts")) return;
      watch.disconnect();
      resolve(Math.round(performance.now() - t));
    });
    sent.replaceChildren();
    watch.observe(sent, { childList: true, subtree: true });
    document.querySelector('button[data-line="show counts"]').click();
  }));
  const rows = await page.evaluate(() => window.panel.rows());
  const s = { t: Math.round((Date.now() - started) / 1000), sent, rss: rss(), heap: Math.round(metrics.JSHeapUsedSize / 1024),
              nodes: metrics.Nodes, rows, roundTrip };
  samples.push(s);
  console.log(`${String(s.t).padStart(4)} ${String(s.sent).padStart(10)} ${String(s.rss).padStart(17)} ` +
              `${String(s.heap).padStart(18)} ${String(s.nodes).padStart(11)} ${String(s.rows).padStart(10)} ${String(s.roundTrip).padStart(17)}`);
}
clearInterval(timer);
await browser.close();
drain.destroy();
closeSync(fd);
sim.kill("SIGTERM");
const warm = samples[Math.min(1, samples.length - 1)], last = samples[samples.length - 1];
console.log(`frames: about ${2 * sent}; program RSS ${warm.rss} -> ${last.rss} KiB after the first 10 s; ` +
            `page heap ${warm.heap} -> ${last.heap} KiB; log rows at most ${Math.max(...samples.map((x) => x.rows))}; ` +
            `slowest click->reply ${Math.max(...samples.map((x) => x.roundTrip))} ms`);
