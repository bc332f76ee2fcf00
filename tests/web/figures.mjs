// Figures of the web page, printed, not asserted (the machines are shared and noisy):
//  1. the page's own cost per packet: a whole update of the full application area (0x800-0x7FFF)
//     and the EEPROM through index.html, against the stand-in for navigator.usb answering at once,
//     beside the native `korvane-cli update --emulated --eeprom` of the same file;
//  2. the sizes of the programs' .js and .wasm files, as they are and compressed.
// Usage: node figures.mjs [RUNS]
// (KORVANE_WEB_SITE, KORVANE_CLI and KORVANE_CHROMIUM as for the tests)
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import zlib from "node:zlib";
import { chromium } from "playwright-core";
import { serve } from "./serve.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
const repo = path.resolve(here, "../..");
const site = process.env.KORVANE_WEB_SITE || path.join(repo, "build-web/site");
const cli = process.env.KORVANE_CLI || path.join(repo, "build/bin/korvane-cli");
const runs = Number(process.argv[2] || 5);
const work = fs.mkdtempSync(path.join(os.tmpdir(), "korvane-figures-"));

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = Math.floor(sorted.length / 2);
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
};

// Intel HEX, CR LF, 16-byte records: program flash 0x800-0x7FFF and the EEPROM at 0xF00000, with
// no byte left 0xFF, so that every chunk is written.
function fullImage(file) {
  const lines = [];
  const record = (type, address, data) => {
    const bytes = [data.length, (address >> 8) & 255, address & 255, type, ...data];
    const sum = (256 - (bytes.reduce((a, b) => a + b, 0) & 255)) & 255;
    lines.push(
      ":" + [...bytes, sum].map((b) => b.toString(16).toUpperCase().padStart(2, "0")).join(""),
    );
  };
  const data = (start, length) =>
    Array.from({ length }, (_, i) => ((start + i) * 7 + ((start + i) >> 8)) % 251);
  record(4, 0, [0, 0]);
  for (let a = 0x800; a < 0x8000; a += 16) {
    record(0, a, data(a, 16));
  }
  record(4, 0, [0, 0xf0]);
  for (let a = 0; a < 256; a += 16) {
    record(0, a, data(a, 16));
  }
  record(1, 0, []);
  fs.writeFileSync(file, lines.join("\r\n") + "\r\n");
}

const file = path.join(work, "full-image.hex");
fullImage(file);

// Native.
const trace = path.join(work, "trace.txt");
execFileSync(cli, ["update", file, "--emulated", "--eeprom", "--trace", trace]);
const packets = fs.readFileSync(trace, "utf8").trim().split("\n").length;
const native = [];
for (let i = 0; i < runs; i++) {
  const start = process.hrtime.bigint();
  execFileSync(cli, ["update", file, "--emulated", "--eeprom"]);
  native.push(Number(process.hrtime.bigint() - start) / 1e6);
}

// The page.
const server = await serve(site);
const browser = await chromium.launch({
  executablePath: process.env.KORVANE_CHROMIUM || "/usr/bin/chromium",
  args: ["--no-sandbox"],
});
const context = await browser.newContext();
await context.addInitScript({ path: path.join(here, "fake-usb.js") });
const page = await context.newPage();
page.on("filechooser", () => {});
await page.goto(server.url + "index.html");
const main = page.getByRole("dialog", { name: "USB-Korvane", exact: true });
await main.getByRole("menuitem", { name: "Menu", exact: true }).click();
await page.getByRole("menuitemcheckbox", { name: "EEDATA" }).click();
const [chooser] = await Promise.all([
  page.waitForEvent("filechooser"),
  (async () => {
    await main.getByRole("menuitem", { name: "File", exact: true }).click();
    await page.getByRole("menuitem", { name: "Open..." }).click();
  })(),
]);
await chooser.setFiles(file);
await main.getByText("full-image.hex").waitFor();
const perPacket = [];
const wall = [];
for (let i = 0; i < runs; i++) {
  await main.getByRole("button", { name: "Auto Detect..." }).click();
  await page
    .getByRole("dialog", { name: "Auto Detect" })
    .getByRole("button", { name: "OK" })
    .click();
  await page.evaluate(() => (korvaneUsb.packets.length = 0));
  const start = Date.now();
  await main.getByRole("button", { name: "Data Update" }).click();
  const complete = page.getByRole("dialog", { name: "Updating Complete" });
  await complete.getByText("The update was successful.").waitFor({ timeout: 120000 });
  wall.push(Date.now() - start);
  const times = await page.evaluate(() => korvaneUsb.packets.map((p) => p.at));
  if (times.length !== packets) {
    throw new Error(`the page sent ${times.length} packets, korvane-cli ${packets}`);
  }
  perPacket.push((times[times.length - 1] - times[0]) / (times.length - 1));
  await complete.getByRole("button", { name: "OK" }).click();
}
await browser.close();
server.close();

const nativeMs = median(native);
console.log(`== A whole update of the full application area and the EEPROM: ${packets} packets`);
console.log(
  `page (index.html, device answering at once): ${median(perPacket).toFixed(3)} ms per packet ` +
    `(median of ${runs} runs; ${median(wall)} ms from the click to the result window)`,
);
console.log(
  `korvane-cli --emulated:                      ` +
    `${((nativeMs / packets) * 1000).toFixed(2)} µs per packet ` +
    `(${nativeMs.toFixed(1)} ms for the whole program, start included)`,
);

console.log("== Sizes (bytes): as built, gzip -9, brotli");
for (const program of ["korvane", "korvane-demo"]) {
  let total = [0, 0, 0];
  for (const ext of [".js", ".wasm"]) {
    const data = fs.readFileSync(path.join(site, program + ext));
    const sizes = [
      data.length,
      zlib.gzipSync(data, { level: 9 }).length,
      zlib.brotliCompressSync(data).length,
    ];
    total = total.map((t, i) => t + sizes[i]);
    console.log(
      `${(program + ext).padEnd(18)} ${sizes.map((s) => String(s).padStart(8)).join(" ")}`,
    );
  }
  console.log(
    `${(program + " total").padEnd(18)} ${total.map((s) => String(s).padStart(8)).join(" ")}`,
  );
}
fs.rmSync(work, { recursive: true, force: true });
