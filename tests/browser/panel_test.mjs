// SPDX-License-Identifier: Apache-2.0
// The simulator's control panel in a real browser (Debian's chromium, driven
// by playwright-core), next to the service object in a scripted shell:
//   - "vexokrt shell --sim KRT07 Dev1 --http 127.0.0.1:0" prints the panel's URL;
//   - the shell claims and enables the device and opens a deposit;
//   - "insert 1000" clicked on the page reaches the machine: the page shows the
//     1000-yen cassette one bill fuller and the deposit, the shell's DepositAmount
//     says 1000 (where BeginDeposit is not available: the bill is handed back);
//   - counts set on the page show on it and reach the application as
//     SOStatusUpdate 12 (near empty) and 13;
//   - "jam" and "clear jam" clicked on the page reach the application as
//     SOStatusUpdate 31 and then 32, and the page shows the stop in the status record;
//   - a request without the token is refused with 403;
//   - the page's frame log keeps no more than its limit however many frames come;
//   - a screenshot of the panel is written (the README's picture).
// Usage: node panel_test.mjs VEXOKRT_PROGRAM SCREENSHOT_PNG
// Exit 0 passed, 1 failed, 77 skipped (no browser).
import { spawn } from "node:child_process";
import { existsSync, mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { chromium } from "playwright-core";

const [program, screenshot] = process.argv.slice(2);
const browserPath = process.env.VEXOKRT_CHROMIUM || "/usr/bin/chromium";
if (!program || !screenshot) {
  console.error("usage: node panel_test.mjs VEXOKRT_PROGRAM SCREENSHOT_PNG");
  process.exit(2);
}
if (!existsSync(browserPath)) {
  console.log(`SKIP: no browser at ${browserPath}`);
  process.exit(77);
}

const started = Date.now();
const work = mkdtempSync(join(tmpdir(), "vexokrt-browser-"));
let failures = 0;
const check = (what, ok, detail = "") => {
  console.log(`${ok ? "ok  " : "FAIL"} ${what}${ok || !detail ? "" : ": " + detail}`);
  if (!ok) failures++;
};

// ---- the shell, as a script drives it ----
const shell = spawn(program, ["shell", "--sim", "KRT07", "Dev1", "--http", "127.0.0.1:0"], {
  env: { ...process.env, OPOS_REGISTRY_DIR: join(work, "registry"), OPOS_LOCK_DIR: work },
  stdio: ["pipe", "pipe", "inherit"],
});
const output = [];
const waiters = [];
let pending = "";
shell.stdout.setEncoding("utf8");
shell.stdout.on("data", (chunk) => {
  pending += chunk;
  let at;
  while ((at = pending.indexOf("\n")) >= 0) {
    const line = pending.slice(0, at);
    pending = pending.slice(at + 1);
    output.push(line);
    console.log(`  shell| ${line}`);
    for (const w of [...waiters]) if (w.test(line)) { waiters.splice(waiters.indexOf(w), 1); w.resolve(line); }
  }
});
const shellExit = new Promise((resolve) => shell.on("exit", (code) => resolve(code)));
// The first shell line matching |pattern| from output index |from| on, within |ms|.
function shellLine(pattern, ms = 10000, from = 0) {
  const seen = output.slice(from).find((l) => pattern.test(l));
  if (seen !== undefined) return Promise.resolve(seen);
  return new Promise((resolve, reject) => {
    const w = { test: (l) => pattern.test(l), resolve };
    waiters.push(w);
    setTimeout(() => { waiters.splice(waiters.indexOf(w), 1); reject(new Error(`no shell line ${pattern} in ${ms} ms`)); }, ms);
  });
}
const say = (line) => shell.stdin.write(line + "\n");

let browser;
try {
  const url = (await shellLine(/^sim panel (http:\S+)$/)).split(" ")[2];
  check("the shell prints the panel's address on 127.0.0.1 with the chosen port", /^http:\/\/127\.0\.0\.1:[1-9]\d*\/$/.test(url), url);

  say("ClaimDevice 1000");
  check("ClaimDevice through the shell", /^result ClaimDevice 0 OPOS_SUCCESS$/.test(await shellLine(/^result ClaimDevice /)));
  say("set DeviceEnabled 1");
  check("DeviceEnabled through the shell", /ResultCode=0$/.test(await shellLine(/^set DeviceEnabled /)));
  say("set DataEventEnabled 1");
  await shellLine(/^set DataEventEnabled /);
  // Deposits need the service object's cash operations; where BeginDeposit is
  // not there yet, the insert is checked to be handed back by the machine.
  say("BeginDeposit");
  const deposit = Number((await shellLine(/^result BeginDeposit /)).split(" ")[2]);
  console.log(`  note: BeginDeposit answers ${deposit}${deposit === 0 ? "" : " here: the insert must be handed back"}`);

  // ---- the page ----
  browser = await chromium.launch({ executablePath: browserPath, args: ["--no-sandbox", "--disable-gpu"] });
  const page = await browser.newPage({ viewport: { width: 1500, height: 1250 } });
  const pageErrors = [];
  page.on("pageerror", (e) => pageErrors.push(String(e)));
  await page.goto(url);
  await page.locator("#conn", { hasText: "live" }).waitFor({ timeout: 10000 });
  const countOf = async (face) => Number((await page.locator(`#tube-${face} .count`).textContent()).split(" / ")[0]);
  const countIs = (face, n) => page.waitForFunction(
      ([f, want]) => Number(document.querySelector(`#tube-${f} .count`).textContent.split(" / ")[0]) === want,
      [face, n], { timeout: 10000 });
  const before = await countOf(1000);

  if (deposit === 0) await page.locator("#deposit-state", { hasText: "intake open" }).waitFor({ timeout: 10000 });
  await page.getByRole("button", { name: "insert 1000", exact: true }).click();
  await page.locator("#last-line", { hasText: "insert 1000:1" }).waitFor({ timeout: 5000 });
  check("the page shows the control line it sent", true);
  if (deposit === 0) {
    await page.locator("#deposit-amount", { hasText: "1000 yen" }).waitFor({ timeout: 10000 });
    await countIs(1000, before + 1);
    check("the 1000-yen cassette shows one bill more", (await countOf(1000)) === before + 1);
    check("the deposit shows the bill", (await page.locator("#deposit-counted").textContent()).includes("1\u00d71000"));
    let amount = "";
    for (let i = 0; i < 20 && amount !== "prop DepositAmount 1000"; ++i) {
      const from = output.length;
      say("pump 100");
      say("get DepositAmount");
      amount = await shellLine(/^prop DepositAmount /, 5000, from);
    }
    check("the shell's DepositAmount is 1000", amount === "prop DepositAmount 1000", amount);
  } else {
    await page.locator("#sent", { hasText: "no deposit is open; the cash comes back" }).waitFor({ timeout: 5000 });
    check("without a deposit the machine hands the bill back, and the page says so", (await countOf(1000)) === before);
  }

  // ---- new counts, set on the page, reach the application ----
  const beforeLow = output.length;
  await page.getByLabel("counts", { exact: true }).fill("1000:4");
  await page.getByRole("button", { name: "set stock", exact: true }).click();
  await countIs(1000, 4);
  await page.locator("#tube-1000.lv-near-empty").waitFor({ timeout: 5000 });
  check("the page shows the new count and its fill level", true);
  say("pump 1500");
  check("the shell receives status update 12 (near empty)",
        /^event SOStatusUpdate 12$/.test(await shellLine(/^event SOStatusUpdate 12$/, 10000, beforeLow)));
  const beforeRefill = output.length;
  await page.getByLabel("counts", { exact: true }).fill("1000:" + (before + (deposit === 0 ? 1 : 0)));
  await page.getByRole("button", { name: "set stock", exact: true }).click();
  await countIs(1000, before + (deposit === 0 ? 1 : 0));
  say("pump 1500");
  check("the shell receives status update 13 (refilled)",
        /^event SOStatusUpdate 13$/.test(await shellLine(/^event SOStatusUpdate 13$/, 10000, beforeRefill)));

  // ---- a jam, cleared ----
  const beforeJam = output.length;
  await page.getByRole("button", { name: "jam", exact: true }).click();
  await page.locator("#jam", { hasText: "jammed 0521" }).waitFor({ timeout: 5000 });
  await page.locator("#decoded", { hasText: "byte 1 '1': stopped by an error" }).waitFor({ timeout: 5000 });
  check("the page shows the jam in the status record", true);
  say("pump 1500");
  check("the shell receives status update 31", /^event SOStatusUpdate 31$/.test(await shellLine(/^event SOStatusUpdate 31$/, 10000, beforeJam)));
  const beforeClear = output.length;
  await page.getByRole("button", { name: "clear jam", exact: true }).click();
  await page.locator("#jam", { hasText: "no jam" }).waitFor({ timeout: 5000 });
  say("pump 1500");
  check("the shell receives status update 32", /^event SOStatusUpdate 32$/.test(await shellLine(/^event SOStatusUpdate 32$/, 10000, beforeClear)));
  const order = output.slice(beforeJam).filter((l) => /^event SOStatusUpdate 3[12]$/.test(l));
  check("31 comes before 32", order[0] === "event SOStatusUpdate 31" && order.includes("event SOStatusUpdate 32"), order.join(", "));
  check("the page logged the lines it sent", (await page.locator("#sent").textContent()).includes("> jam off"));
  check("the frame log shows the status polls, decoded",
        (await page.locator("#log").textContent()).includes("H00 status"));

  // ---- the token ----
  const refused = await fetch(new URL("/line", url), { method: "POST", headers: { "Content-Type": "application/json" },
                                                       body: JSON.stringify({ line: "jam on" }) });
  check("a POST without the token is refused with 403", refused.status === 403, String(refused.status));
  const stream = await fetch(new URL("/events", url));
  check("the event stream without the token is refused with 403", stream.status === 403, String(stream.status));
  check("the refused request changed nothing", (await page.locator("#jam").textContent()) === "no jam");

  // ---- the page's log stays bounded ----
  const rows = await page.evaluate(() => {
    const frames = [];
    for (let i = 0; i < 3000; ++i) frames.push({ t: Date.now(), dir: "rx", text: "<ENQ>", hex: "05", name: "enquiry", detail: "" });
    for (let i = 0; i < 3000; i += 10) window.panel.addFrames(frames.slice(i, i + 10));
    return [window.panel.rows(), window.panel.maxFrames()];
  });
  check("the page keeps at most its limit of frames", rows[0] === rows[1] && rows[1] === 500, rows.join(" of "));

  // ---- the picture for the README: some tubes low, some full ----
  await page.getByLabel("control line").fill("set stock 5:3,50:100,10:96");
  await page.getByRole("button", { name: "send", exact: true }).click();
  await page.locator("#tube-50.lv-full").waitFor({ timeout: 5000 });
  await page.locator("#tube-5.lv-near-empty").waitFor({ timeout: 5000 });
  check("fill levels are drawn from the status record", true);
  await page.screenshot({ path: screenshot, fullPage: true });
  check(`screenshot written to ${screenshot}`, existsSync(screenshot));
  check("no script errors on the page", pageErrors.length === 0, pageErrors.join("; "));
} catch (e) {
  check("the session ran to its end", false, e.stack || String(e));
} finally {
  if (browser) await browser.close();
  say("quit");
  shell.stdin.end();
  const code = await Promise.race([shellExit, new Promise((r) => setTimeout(() => r("timeout"), 10000))]);
  if (code === "timeout") shell.kill("SIGKILL");
  check("the shell ends cleanly", code === 0, String(code));
  rmSync(work, { recursive: true, force: true });
}
console.log(`browser test took ${((Date.now() - started) / 1000).toFixed(1)} s`);
console.log(`${failures === 0 ? "passed" : "FAILED"}: ${failures} failure(s)`);
process.exit(failures === 0 ? 0 : 1);
