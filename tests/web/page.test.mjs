// Korvane's web pages in headless Chromium: index.html against a stand-in for navigator.usb
// (fake-usb.js) and demo.html on its built-in device. The site comes from scripts/build-web.sh;
// the packets the page sends are compared with those of the desktop engine, taken from
// korvane-cli of the native build on the same file.
//   KORVANE_WEB_SITE         the site (build-web/site)
//   KORVANE_CLI              the native korvane-cli (build/bin/korvane-cli)
//   KORVANE_WEB_SCREENSHOTS  a folder for pictures of the page (docs/ for the README)
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";
import { serve } from "./serve.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
const repo = path.resolve(here, "../..");
const site = process.env.KORVANE_WEB_SITE || path.join(repo, "build-web/site");
const cli = process.env.KORVANE_CLI || path.join(repo, "build/bin/korvane-cli");
const shots = process.env.KORVANE_WEB_SCREENSHOTS;
const firmware = path.join(repo, "examples/demo-firmware.hex");

let server;
let browser;

before(async () => {
  server = await serve(site);
  browser = await chromium.launch({
    executablePath: process.env.KORVANE_CHROMIUM || "/usr/bin/chromium",
    // korvane.test is this machine under a name that is not localhost: not a secure context.
    args: ["--no-sandbox", "--host-resolver-rules=MAP korvane.test 127.0.0.1"],
  });
});

after(async () => {
  await browser?.close();
  server?.close();
});

// A fresh tab on `file`, with the stand-in for navigator.usb unless told otherwise. Errors of the
// page fail the test.
async function open(t, file, { fakeUsb = true, withoutUsb = false, insecure = false } = {}) {
  const context = await browser.newContext({ viewport: { width: 900, height: 520 } });
  t.after(() => context.close());
  if (fakeUsb) {
    await context.addInitScript({ path: path.join(here, "fake-usb.js") });
  }
  if (withoutUsb) {
    await context.addInitScript(() => delete Navigator.prototype.usb);
  }
  const page = await context.newPage();
  // File choosers are taken over from the start, so that none opens before a test waits for it.
  page.on("filechooser", () => {});
  const errors = [];
  page.on("pageerror", (error) => errors.push(error.message));
  t.after(() => assert.deepEqual(errors, [], "errors in the page"));
  await page.goto((insecure ? server.url.replace("127.0.0.1", "korvane.test") : server.url) + file);
  return page;
}

const dialog = (page, name) => page.getByRole("dialog", { name, exact: true });

async function picture(locator, name, extraHeight = 0) {
  if (shots) {
    const box = await locator.boundingBox();
    box.height += extraHeight;
    await locator.page().screenshot({ path: path.join(shots, `web-${name}.png`), clip: box });
  }
}

async function choose(page, menu, item) {
  await dialog(page, "USB-Korvane").getByRole("menuitem", { name: menu, exact: true }).click();
  const list = page.getByRole("menu", { name: menu });
  await list
    .getByRole("menuitem", { name: item, exact: true })
    .or(list.getByRole("menuitemcheckbox", { name: item, exact: true }))
    .click();
}

async function openFile(page, file) {
  const [chooser] = await Promise.all([
    page.waitForEvent("filechooser"),
    choose(page, "File", "Open..."),
  ]);
  await chooser.setFiles(file);
  await dialog(page, "USB-Korvane").getByText(path.basename(file), { exact: true }).waitFor();
}

// Auto Detect, its result, and back to the main window; returns the two lines it showed.
async function autoDetect(page) {
  await dialog(page, "USB-Korvane").getByRole("button", { name: "Auto Detect..." }).click();
  const search = dialog(page, "Auto Detect");
  await search.getByRole("button", { name: "OK" }).waitFor();
  const text = await search.innerText();
  await search.getByRole("button", { name: "OK" }).click();
  await dialog(page, "USB-Korvane").waitFor();
  return text;
}

async function outcome(page) {
  const complete = dialog(page, "Updating Complete");
  await complete.waitFor({ timeout: 30000 });
  return complete.innerText();
}

// The request bytes of a korvane-cli trace, one line per packet.
function desktopPackets(file) {
  const trace = path.join(fs.mkdtempSync(path.join(os.tmpdir(), "korvane-web-")), "trace.txt");
  execFileSync(cli, ["update", file, "--emulated", "--eeprom", "--trace", trace], {
    stdio: "pipe",
  });
  return fs
    .readFileSync(trace, "utf8")
    .trim()
    .split("\n")
    .map((line) => line.split(" ->")[0]);
}

// Flash and EEPROM as the Intel HEX file fills them (0xFF where it says nothing).
function memoryOf(file) {
  const flash = new Uint8Array(0x8000).fill(0xff);
  const eeprom = new Uint8Array(256).fill(0xff);
  let upper = 0;
  let highest = 0;
  for (const line of fs.readFileSync(file, "latin1").split(/\r?\n/)) {
    if (!line.startsWith(":")) {
      continue;
    }
    const bytes = Buffer.from(line.slice(1), "hex");
    const [count, high, low, type] = bytes;
    const data = bytes.subarray(4, 4 + count);
    if (type === 4) {
      upper = (data[0] << 24) | (data[1] << 16);
    } else if (type === 0) {
      const address = upper + ((high << 8) | low);
      data.forEach((b, i) => {
        if (address + i < 0x8000) {
          flash[address + i] = b;
          highest = Math.max(highest, address + i);
        } else if (address + i >= 0xf00000 && address + i < 0xf00100) {
          eeprom[address + i - 0xf00000] = b;
        }
      });
    }
  }
  return { flash, eeprom, highest };
}

test("A whole update sends the desktop's packets; the device then holds the file", async (t) => {
  const page = await open(t, "index.html");
  const main = dialog(page, "USB-Korvane");
  await main.waitFor();
  await choose(page, "Menu", "EEDATA");
  await main.getByRole("menuitem", { name: "Menu", exact: true }).click();
  assert.equal(
    await page.getByRole("menuitemcheckbox", { name: "EEDATA" }).getAttribute("aria-checked"),
    "true",
  );
  await picture(main, "menu", 60);
  await page.keyboard.press("Escape");

  await openFile(page, firmware);
  assert.equal(
    await page.evaluate(() => korvaneUsb.chooserShown),
    0,
    "no chooser before the search",
  );
  const found = await autoDetect(page);
  assert.match(found, /Successfully connected to USB/);
  assert.match(found, /USB-Bootloader {2}1\. 1 2 detected/);
  assert.equal(await page.evaluate(() => korvaneUsb.chooserShown), 1);
  await picture(main, "main-window");
  if (shots) {
    await page.screenshot({ path: path.join(shots, "web-page.png") });
  }

  await page.evaluate(() => {
    korvaneUsb.packets.length = 0;
    korvaneUsb.holdAt = 100;
  });
  await main.getByRole("button", { name: "Data Update" }).click();
  await page.waitForFunction(() => korvaneUsb.held);
  const updating = dialog(page, "Updating Software In...");
  assert.equal(await updating.getByText("Writing program data...").count(), 1);
  assert.ok(Number(await updating.getByRole("progressbar").getAttribute("aria-valuenow")) > 0);
  await picture(updating, "updating");
  await page.evaluate(() => korvaneUsb.release());

  assert.match(await outcome(page), /The update was successful\./);
  await picture(dialog(page, "Updating Complete"), "updating-complete");

  const sent = await page.evaluate(() => korvaneUsb.trace().map((line) => line.split(" ->")[0]));
  assert.deepEqual(sent, desktopPackets(firmware));

  const expected = memoryOf(firmware);
  const device = await page.evaluate(() => ({
    flash: Array.from(korvaneUsb.bootloader.flash),
    eeprom: Array.from(korvaneUsb.bootloader.eeprom),
  }));
  assert.deepEqual(
    device.flash.slice(0x800, expected.highest + 1),
    Array.from(expected.flash.slice(0x800, expected.highest + 1)),
  );
  assert.deepEqual(device.eeprom, Array.from(expected.eeprom));

  // The device is closed again once the run is over.
  await page.waitForFunction(() => !korvaneUsb.device.opened);
});

test("Abort stops a run on an instant device after the packet in flight", async (t) => {
  const page = await open(t, "index.html");
  await openFile(page, firmware);
  await autoDetect(page);
  await page.evaluate(() => {
    korvaneUsb.packets.length = 0;
    // The device answers at once; the page lets the browser in after every packet, so a click
    // made by a timer during the run reaches the Abort button while the run goes on.
    korvaneUsb.onPacket = (index) => {
      if (index === 40) {
        setTimeout(() => {
          korvaneUsb.abortedAt = korvaneUsb.packets.length;
          const abort = [...document.querySelectorAll("[role=dialog] button")].find(
            (button) => button.textContent === "Abort",
          );
          abort.click();
        }, 0);
      }
    };
  });
  await dialog(page, "USB-Korvane").getByRole("button", { name: "Data Update" }).click();
  const text = await outcome(page);
  assert.match(text, /The update was not successful\./);
  assert.match(text, /stopped by the user\./);
  const counts = await page.evaluate(() => [korvaneUsb.abortedAt, korvaneUsb.packets.length]);
  assert.ok(counts[0] > 40 && counts[0] < 360, `clicked at packet ${counts[0]}`);
  assert.equal(counts[1], counts[0], "no packet after the one in flight");
});

test("An unanswered read fails with 121 after its time-out; the device reopens", async (t) => {
  const page = await open(t, "index.html");
  await openFile(page, firmware);
  await autoDetect(page);
  await page.evaluate(() => {
    korvaneUsb.packets.length = 0;
    korvaneUsb.silentAt = 3;
  });
  await dialog(page, "USB-Korvane").getByRole("button", { name: "Data Update" }).click();
  const box = page.getByRole("alertdialog", { name: "USB_Korvane" });
  await box.waitFor({ timeout: 5000 });
  assert.equal(await box.getByText("Error Code :  121").count(), 1);
  // The unanswered read was cancelled by closing the device.
  assert.equal(await page.evaluate(() => korvaneUsb.closedWhilePending), 1);
  await picture(box, "message-box");
  await box.getByRole("button", { name: "OK" }).click();
  assert.match(await outcome(page), /Erase at 0x08C0: the device did not answer in time\./);
  assert.equal(await page.evaluate(() => korvaneUsb.packets.length), 4);

  // OK asks the device for its version again: it opens afresh and answers.
  await page.evaluate(() => (korvaneUsb.silentAt = -1));
  await dialog(page, "Updating Complete").getByRole("button", { name: "OK" }).click();
  await assert.doesNotReject(() =>
    dialog(page, "USB-Korvane")
      .getByRole("button", { name: "Reset PIC", disabled: false })
      .waitFor({ timeout: 5000 }),
  );
});

test("A device pulled out during a run ends it quietly as no longer attached", async (t) => {
  const page = await open(t, "index.html");
  await openFile(page, firmware);
  await autoDetect(page);
  await page.evaluate(() => {
    korvaneUsb.packets.length = 0;
    korvaneUsb.pullAt = 60;
  });
  await dialog(page, "USB-Korvane").getByRole("button", { name: "Data Update" }).click();
  const text = await outcome(page);
  assert.match(text, /The update was not successful\./);
  assert.match(text, /the device is no longer attached\./);
  assert.equal(
    await page.getByRole("alertdialog").count(),
    0,
    "a device that is gone says nothing",
  );
  await dialog(page, "Updating Complete").getByRole("button", { name: "OK" }).click();
  assert.equal(
    await dialog(page, "USB-Korvane").getByRole("button", { name: "Reset PIC" }).isDisabled(),
    true,
  );
});

test("The demo runs a whole update on its built-in device", async (t) => {
  const page = await open(t, "demo.html", { fakeUsb: false });
  const elc = path.join(repo, "examples/demo-firmware.elc");
  await dialog(page, "USB-Korvane").waitFor();
  const [chooser] = await Promise.all([
    page.waitForEvent("filechooser"),
    page.keyboard.press("Control+o"),
  ]);
  await chooser.setFiles(elc);
  await dialog(page, "USB-Korvane").getByText("demo-firmware.elc", { exact: true }).waitFor();
  assert.match(await autoDetect(page), /USB-Bootloader/);
  await choose(page, "Menu", "EEDATA");
  await dialog(page, "USB-Korvane").getByRole("button", { name: "Data Update" }).click();
  assert.match(await outcome(page), /The update was successful\./);
});

test("The windows: About with its year, Esc, the close box and the closing note", async (t) => {
  const page = await open(t, "demo.html", { fakeUsb: false });
  await dialog(page, "USB-Korvane").getByRole("menuitem", { name: "AboutKorvane" }).click();
  const about = dialog(page, "About Korvane");
  assert.match(
    await about.innerText(),
    new RegExp(
      `Korvane Ver\\. 2\\.0b[\\s\\S]*Copyright \\(C\\) Dextrel {2}${new Date().getFullYear()}`,
    ),
  );
  assert.equal(await dialog(page, "USB-Korvane").isVisible(), false);
  await picture(about, "about");
  // The shop's address opens in a tab of its own; the About window stays.
  await page
    .context()
    .route("https://shop.example.com/**", (route) => route.fulfill({ body: "shop" }));
  const [shop] = await Promise.all([
    page.context().waitForEvent("page"),
    about.getByRole("link").click(),
  ]);
  await shop.waitForURL("https://shop.example.com/korvane");
  assert.equal(await about.isVisible(), true);
  await page.bringToFront();
  await page.keyboard.press("Escape");
  await dialog(page, "USB-Korvane").waitFor();
  await dialog(page, "USB-Korvane").getByRole("button", { name: "Close" }).click();
  await page.getByText("Korvane has ended.").waitFor();
  assert.equal(await page.getByRole("dialog").count(), 0);
});

test("Without WebUSB, or on an insecure page, the page says what to use instead", async (t) => {
  for (const [options, says] of [
    [{ fakeUsb: false, withoutUsb: true }, /does not offer WebUSB[\s\S]*Chrome or Edge/],
    [{ fakeUsb: false, insecure: true }, /not opened from a secure address[\s\S]*Chrome or Edge/],
  ]) {
    const page = await open(t, "index.html", options);
    const note = page.getByRole("status").filter({ hasText: "Korvane programs" });
    await note.waitFor();
    assert.match(await note.innerText(), says);
    assert.equal(await note.getByRole("link").getAttribute("href"), "demo.html");
    assert.equal(await page.getByRole("dialog").count(), 0);
  }
});
