// A simulated device with dhview in front of it, and headless Chromium on its page, for the
// browser tests and the frame-rate measurement.
//
// startDevice() runs scripts/sim --view (a fresh root, the build's executables as they are)
// and waits until dhview listens; openPage() starts Chromium with a fresh profile and opens
// the page. Everything started here is ended by stop().
import { spawn, execFile } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, existsSync } from "node:fs";
import { tmpdir } from "node:os";
import { join, resolve, dirname } from "node:path";
import { fileURLToPath } from "node:url";
import puppeteer from "puppeteer-core";

export const sourceDir = resolve(dirname(fileURLToPath(import.meta.url)), "../..");
export const buildDir = resolve(process.env.DH_BUILD_DIR || join(sourceDir, "build"));
const chromium = process.env.DH_CHROMIUM || "/usr/bin/chromium";

const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

// Waits until `test` gives a truthy value (returned), or throws `what` after `ms`.
export async function waitFor(what, ms, test) {
  const until = Date.now() + ms;
  for (;;) {
    const value = await test();
    if (value) return value;
    if (Date.now() > until) throw new Error(`no ${what} within ${ms} ms`);
    await sleep(100);  // polling
  }
}

// Runs a tool of the build directory; resolves to { status, out }.
export function runTool(name, args) {
  return new Promise((done) => {
    execFile(join(buildDir, name), args, { timeout: 60000 }, (error, stdout, stderr) => {
      done({ status: error ? (typeof error.code === "number" ? error.code : -1) : 0, out: stdout + stderr });
    });
  });
}

// Headless Chromium on its own fresh profile directory, with nothing reaching out.
export function launchBrowser(profile) {
  return puppeteer.launch({
    executablePath: chromium,
    pipe: true,
    ignoreDefaultArgs: true,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync",
      `--user-data-dir=${profile}`, "--remote-debugging-pipe", "about:blank"],
  });
}

export class Device {
  constructor() {
    this.root = mkdtempSync(join(tmpdir(), "dhview-test-"));
    this.output = "";
  }

  // scripts/sim with dhview on a free port; resolves when the page can be asked for.
  async start(options = []) {
    this.sim = spawn("bash", [join(sourceDir, "scripts/sim"), "--root", this.root, "--quiet", "--no-build",
      "--view", "0", ...options], { env: { ...process.env, DH_BUILD_DIR: buildDir }, stdio: ["ignore", "pipe", "pipe"] });
    this.sim.stdout.on("data", (chunk) => { this.output += chunk; });
    this.sim.stderr.on("data", (chunk) => { this.output += chunk; });
    this.ended = new Promise((done) => this.sim.on("exit", (code, signal) => done({ code, signal })));
    const address = await waitFor("dhview address from scripts/sim", 60000, () => {
      if (this.sim.exitCode !== null) throw new Error(`scripts/sim ended:\n${this.output}`);
      return (/page\s+(http:\/\/127\.0\.0\.1:\d+\/)/.exec(this.output) || [])[1];
    });
    this.url = address;
    return this;
  }

  layoutPath(part) {  // part: "device", "host" or "log"
    const split = existsSync(join(this.root, "device"));
    return split ? join(this.root, part) : part === "device" ? this.root : join(this.root, part);
  }

  dhhost(args) { return runTool("dhhost", ["-p", join(this.layoutPath("host"), "ttyACM0"), ...args]); }

  // What the panel shows as a person sees it, written by dhshot to `file`.
  async dhshot(file) {
    const help = await runTool("dhshot", ["--help"]);
    const args = help.out.includes("--as-seen") ? ["--as-seen", file] : [file];
    return new Promise((done) => {
      execFile(join(buildDir, "dhshot"), args, { env: { ...process.env, DISPLAYHEAD_ROOT: this.layoutPath("device") } },
        (error, stdout, stderr) => done({ status: error ? error.code : 0, out: stdout + stderr }));
    });
  }

  log(name) {
    try { return readFileSync(join(this.layoutPath("log"), `${name}.log`), "utf8"); } catch { return ""; }
  }

  async stop() {
    if (this.browser) await this.browser.close().catch(() => {});
    if (this.sim && this.sim.exitCode === null) {
      this.sim.kill("SIGINT");
      await Promise.race([this.ended, sleep(20000)]);
    }
    rmSync(this.root, { recursive: true, force: true });
    if (this.profile) rmSync(this.profile, { recursive: true, force: true });
  }

  // Headless Chromium, a fresh profile, on the page; resolves to the puppeteer Page.
  async openPage(viewport = { width: 1400, height: 900 }) {
    this.profile = mkdtempSync(join(tmpdir(), "dhview-chromium-"));
    this.browser = await launchBrowser(this.profile);
    const page = await this.browser.newPage();
    await page.setViewport({ ...viewport, deviceScaleFactor: 1 });
    await page.goto(this.url, { waitUntil: "domcontentloaded" });
    return page;
  }
}
