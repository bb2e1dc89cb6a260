// dhview's page in headless Chromium against a simulated device (scripts/sim --view): the
// page loads and shows the panel live, follows host pictures and the GUI's pause, the cable
// and the knob controls act on the device, and its picture is what dhshot sees.
//
// One device for the whole file: the cases run in order and each leaves the device as the
// next expects it.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { writeFileSync, readFileSync } from "node:fs";
import { join } from "node:path";
import { Device, waitFor, sourceDir } from "./device.mjs";

const device = new Device();
let page;

const text = (id) => page.$eval(`#${id}`, (element) => element.textContent);
const state = () => page.evaluate(() => window.dhview.state);
const pictures = () => page.evaluate(() => window.dhview.pictures);

// The colour the page's live picture has at (x, y), as [r, g, b].
const pixelAt = (x, y) => page.evaluate((x, y) => {
  const canvas = document.getElementById("panel");
  return Array.from(canvas.getContext("2d").getImageData(x, y, 1, 1).data.slice(0, 3));
}, x, y);

const near = (rgb, want, tolerance) => rgb.every((value, i) => Math.abs(value - want[i]) <= tolerance);

// Two PNG pictures (base64) compared in the page: their sizes, the mean difference per
// channel and the share of pixels off by more than `far` in some channel.
const comparePng = (a, b, far) => page.evaluate(async (a, b, far) => {
  const pixels = async (base64) => {
    const bitmap = await createImageBitmap(await (await fetch(`data:image/png;base64,${base64}`)).blob());
    const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
    const context = canvas.getContext("2d");
    context.drawImage(bitmap, 0, 0);
    return { width: bitmap.width, height: bitmap.height, data: context.getImageData(0, 0, bitmap.width, bitmap.height).data };
  };
  const [p, q] = [await pixels(a), await pixels(b)];
  if (p.width !== q.width || p.height !== q.height) return { size: [p.width, p.height, q.width, q.height] };
  let sum = 0, farOff = 0;
  for (let i = 0; i < p.data.length; i += 4) {
    let worst = 0;
    for (let c = 0; c < 3; ++c) {
      const d = Math.abs(p.data[i + c] - q.data[i + c]);
      sum += d;
      worst = Math.max(worst, d);
    }
    if (worst > far) ++farOff;
  }
  const count = p.data.length / 4;
  return { size: [p.width, p.height], mean: sum / (count * 3), farShare: farOff / count };
}, a, b, far);

// Waits until the live picture has been still for `quietMs` (no picture arrived).
async function settle(quietMs = 600) {
  let last = await pictures();
  let since = Date.now();
  await waitFor("a still picture", 10000, async () => {
    const now = await pictures();
    if (now !== last) { last = now; since = Date.now(); }
    return Date.now() - since >= quietMs;
  });
}

before(async () => {
  await device.start(["--trace"]);
  page = await device.openPage();
});

after(async () => {
  await device.stop();
});

test("the page loads and shows the panel and the device's state", async () => {
  assert.equal(await page.title(), "displayhead: simulated device");
  await waitFor("a picture", 10000, async () => (await pictures()) > 0);
  await waitFor("the state", 10000, async () => (await text("gui-state")) === "shown");
  assert.equal(await text("usb"), "configured");
  const seen = await state();
  assert.equal(seen.theme.index, 0);
  assert.equal(await text("background"), "/media/bg_h264/0_wave.h264");
  assert.equal(seen.published.temp, 31);
  assert.equal(seen.published.pump, 1500);
  // The background video plays: pictures keep coming.
  const before = await pictures();
  await waitFor("more pictures while the video plays", 5000, async () => (await pictures()) >= before + 10);
});

test("the knob control advances the theme", async () => {
  const theme = (await state()).theme.index;
  await page.click("#knob");
  const next = (theme + 1) % 13;
  await waitFor(`theme ${next}`, 10000, async () => (await state()).theme.index === next);
  const background = await text("background");
  assert.match(background, new RegExp(`^/media/bg_h264/${next}_`));
  // The player goes on with the new theme's background.
  await waitFor("the new background playing", 5000, async () => (await text("local-video")) === `plays ${background}`);
  await waitFor("the control's answer", 5000, async () => /knob step: done/.test(await text("result")));
});

test("the controller controls reach the device through dhmcu's control socket", async () => {
  await page.$eval("#set-temp", (input) => { input.value = "45"; });
  await page.$eval("#set-pump", (input) => { input.value = "2100"; });
  await page.click("#set-controller");
  await waitFor("the GUI told 45 °C and 2100 rpm", 10000, async () => {
    const published = (await state()).published;
    return published.temp === 45 && published.pump === 2100;
  });
  await waitFor("the controller's own values", 5000, async () => (await text("controller")) === "mode 0, 45 °C, 2100 rpm");
});

test("a page opened afresh shows the state at once, its inputs what the controller sends", async () => {
  const fresh = await device.browser.newPage();
  try {
    await fresh.goto(device.url, { waitUntil: "domcontentloaded" });
    // No waiting: the state came with the page, before its events connect.
    const value = (id) => fresh.$eval(`#${id}`, (element) => element.textContent);
    assert.equal(await value("usb"), "configured");
    assert.notEqual(await value("connection"), "connecting…");
    assert.equal(await fresh.$eval("#set-temp", (input) => input.value), "45");
    assert.equal(await fresh.$eval("#set-pump", (input) => input.value), "2100");
  } finally {
    await fresh.close();
  }
});

test("after a host JPEG the panel image shows its colour", async () => {
  // A one-colour JPEG, made by the browser's own encoder.
  const jpeg = await page.evaluate(() => {
    const canvas = document.createElement("canvas");
    canvas.width = canvas.height = 480;
    const context = canvas.getContext("2d");
    context.fillStyle = "#2060c0";
    context.fillRect(0, 0, 480, 480);
    return canvas.toDataURL("image/jpeg", 0.95).split(",")[1];
  });
  // Full backlight: the page shows the panel darkened by the level, as the eye sees it.
  const bright = await device.dhhost(["brightness", "100"]);
  assert.equal(bright.status, 0, bright.out);
  await waitFor("the backlight at 100", 5000, async () => (await text("backlight")) === "100");
  const file = join(device.layoutPath("host"), "solid.jpg");
  writeFileSync(file, Buffer.from(jpeg, "base64"));
  const sent = await device.dhhost(["jpg", file]);
  assert.equal(sent.status, 0, sent.out);
  await waitFor("the JPEG's colour on the page", 10000, async () => near(await pixelAt(240, 240), [0x20, 0x60, 0xc0], 12));
  assert.ok(near(await pixelAt(10, 470), [0x20, 0x60, 0xc0], 12));
  // The traffic list shows the command and its reply as dhtrace decodes them.
  await waitFor("the JPEG command in the traffic list", 5000, () => page.$$eval("#trace tr",
    (rows) => rows.filter((row) => row.className === "to-device" && /0x65/.test(row.textContent)).length > 0));
  // The controller's status frames, twice a second, are counted on one row and push nothing out.
  await waitFor("the status frames counted on their row", 5000, () => page.$$eval("#trace tr",
    (rows) => rows.some((row) => /status mode=.*\(×\d+\)/.test(row.textContent))));
});

test("the page's picture and its PNG screenshot match dhshot", async () => {
  const sent = await device.dhhost(["jpg", join(sourceDir, "media/host.jpg")]);
  assert.equal(sent.status, 0, sent.out);
  await settle();
  const reference = join(device.layoutPath("host"), "reference.png");
  const shot = await device.dhshot(reference);
  assert.equal(shot.status, 0, shot.out);
  const want = readFileSync(reference).toString("base64");

  // What the browser shows, as a screenshot of the picture element: JPEG's losses only.
  const element = await page.$("#panel");
  const seen = await element.screenshot({ type: "png", encoding: "base64" });
  const live = await comparePng(seen, want, 48);
  assert.deepEqual(live.size, [480, 480]);
  assert.ok(live.mean < 3 && live.farShare < 0.01, JSON.stringify(live));

  // The screenshot control's PNG is the picture itself.
  const png = await page.evaluate(async () => {
    const bytes = new Uint8Array(await (await fetch("/screenshot.png")).arrayBuffer());
    let binary = "";
    for (const byte of bytes) binary += String.fromCharCode(byte);
    return btoa(binary);
  });
  const exact = await comparePng(png, want, 0);
  assert.deepEqual(exact, { size: [480, 480], mean: 0, farShare: 0 });
});

test("after a PNG frame the state says paused", async () => {
  const sent = await device.dhhost(["png", join(sourceDir, "media/overlay.png")]);
  assert.equal(sent.status, 0, sent.out);
  await waitFor("paused", 5000, async () => (await text("gui-state")) === "paused");
  assert.equal(await text("gui-command"), "pause");
  assert.equal(await text("local-video"), "none");
});

test("pulling the cable leads, ten polls later, to the GUI shown and the theme's background", async () => {
  const theme = (await state()).theme;
  await page.click("#pull");
  await waitFor("the gadget state", 3000, async () => (await text("usb")) === "not attached");
  // The USB monitor acts after ten polls of a second each.
  await waitFor("the GUI shown", 20000, async () => (await text("gui-state")) === "shown");
  assert.equal(await text("gui-command"), "resume");
  assert.equal(await text("background"), theme.background);
  await waitFor("the theme's background playing", 5000, async () => (await text("local-video")) === `plays ${theme.background}`);
  const before = await pictures();
  await waitFor("the background video's pictures", 5000, async () => (await pictures()) >= before + 10);
  await page.click("#plug");
  await waitFor("the cable back", 3000, async () => (await text("usb")) === "configured");
});
