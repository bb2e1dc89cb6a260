// A screenshot of dhview's page, as headless Chromium shows it.
//
//   node page_shot.mjs URL OUT.png [WIDTH HEIGHT]
//
// Opens URL (a running dhview), waits until the page has its first picture and the device's
// state, lets the live picture run for a moment and writes the page as a PNG file.
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { launchBrowser, waitFor } from "./device.mjs";

const [url, out, width = "1400", height = "860"] = process.argv.slice(2);
if (!url || !out) {
  console.error("usage: node page_shot.mjs URL OUT.png [WIDTH HEIGHT]");
  process.exit(2);
}
const profile = mkdtempSync(join(tmpdir(), "dhview-chromium-"));
const browser = await launchBrowser(profile);
try {
  const page = await browser.newPage();
  await page.setViewport({ width: Number(width), height: Number(height), deviceScaleFactor: 1 });
  await page.goto(url, { waitUntil: "domcontentloaded" });
  await waitFor("the page's picture and state", 15000,
    () => page.evaluate(() => window.dhview.pictures > 0 && window.dhview.state !== null));
  await new Promise((done) => setTimeout(done, 1500));  // not a test: a moment for the looks of the shot
  await page.screenshot({ path: out, type: "png" });
  console.log(`${out}: the page at ${url}`);
} finally {
  await browser.close();
  rmSync(profile, { recursive: true, force: true });
}
