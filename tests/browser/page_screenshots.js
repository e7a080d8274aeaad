// Pictures of the live page in Debian's chromium, headless: at desktop and at phone width, with Line_1 stopped by
// its Stop PLC button, a poke refused beside its field and the Events panel open; and the trend of a few of the
// meter's items.
// Usage: node page_screenshots.js URL PICTURE_FOLDER     (tools/screenshots runs it)
"use strict";

const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const puppeteer = require("puppeteer-core");

const [url, folder] = process.argv.slice(2);
const sizes = [
  { name: "web-desktop.png", width: 1280, height: 800, mobile: false },
  { name: "web-phone.png", width: 390, height: 844, mobile: true },
];

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The trend of the meter's first voltage and current, and its power (three units, three axes) over the last 10 minutes,
// from their history and live.
async function shootTrend(browser) {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 800, deviceScaleFactor: 1 });
  await page.goto(url);
  await page.waitForFunction(() => document.getElementById("link").textContent === "Live", { timeout: 15000 });
  const wanted = await page.$$eval("#trendItems option", (options) =>
    ["Voltage", "Current", "Power"].map((name) => options.find((o) => o.textContent.startsWith(name + " ("))?.value)
      .filter(Boolean));
  if (wanted.length === 0) {
    console.log("page screenshots: no meter items to trend; no picture of the trend");
    await page.close();
    return;
  }
  await page.select("#trendItems", ...wanted);
  await page.evaluate(() => [...document.querySelectorAll("#trendRanges button")].find((b) => b.textContent === "10 min").click());
  await page.waitForFunction((count) => Chart.getChart("trendCanvas")?.data.datasets.length === count, { timeout: 15000 },
                             wanted.length);
  await pause(3000); // live values join the history
  const trend = await page.$("#trend");
  await trend.evaluate((section) => section.scrollIntoView());
  await trend.screenshot({ path: path.join(folder, "web-trend.png") });
  await page.close();
}

(async () => {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "tavrel-chromium-"));
  const browser = await puppeteer.launch({
    executablePath: process.env.TAVREL_CHROMIUM || "/usr/bin/chromium",
    headless: true,
    userDataDir: profile,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync"],
  });
  try {
    for (const [index, size] of sizes.entries()) {
      const page = await browser.newPage();
      page.on("dialog", (dialog) => dialog.accept());
      await page.setViewport({ width: size.width, height: size.height, deviceScaleFactor: 1, isMobile: size.mobile,
                               hasTouch: size.mobile });
      await page.goto(url);
      // Live, with the values in, and the PLC that does not answer shown as such.
      await page.waitForFunction(() => document.getElementById("link").textContent === "Live", { timeout: 15000 });
      await page.waitForFunction(() => [...document.querySelectorAll(".plc")].some((p) => p.dataset.state === "bad"),
                                 { timeout: 15000 });
      await page.waitForFunction(() => document.querySelector(".plc[data-state=good], .plc[data-state=halted]"),
                                 { timeout: 15000 });
      if (index === 0) {
        // Line_1's program stopped; its state shows where the server tells it (the System item Line_1.PlcRunning).
        await page.evaluate(() => document.querySelector(".plc button.stop").click());
        await page.waitForFunction(() => [...document.querySelectorAll("#eventList li")]
          .some((li) => li.textContent.includes("Line_1_STOP")), { timeout: 15000 });
      }
      const told = await page.evaluate(async () =>
        (await (await fetch("/dde/Tavrel/System", { headers: { Accept: "application/json" } })).json())
          .items.some((one) => one.item === "Line_1.PlcRunning"));
      if (told) {
        await page.waitForFunction(() => document.querySelector(".plc[data-state=halted]"), { timeout: 15000 });
      } else if (index === 0) {
        console.log("page screenshots: this Tavrel has no Line_1.PlcRunning; the picture shows no PLC in STOP");
      }
      // A refused poke: the text stays with the reason beside it, and the refusal is the newest event.
      const pokesRefused = () => [...document.querySelectorAll("#eventList li")].filter((li) => li.textContent.includes("'70000'")).length;
      const before = await page.evaluate(pokesRefused);
      const field = await page.$("#items tbody tr td.set input");
      await field.click({ clickCount: 3 });
      await field.type("70000");
      await field.press("Enter");
      await page.waitForFunction(() => document.querySelector("#items .field .problem:not(:empty)"), { timeout: 15000 });
      await page.waitForFunction(`(${pokesRefused})() > ${before}`, { timeout: 15000 });
      await field.evaluate((input) => input.blur());
      await pause(1000);
      await page.screenshot({ path: path.join(folder, size.name), fullPage: size.mobile });
      await page.close();
    }
    await shootTrend(browser);
  } finally {
    await browser.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
})().catch((error) => {
  console.error(`page screenshots: ${error.message}`);
  process.exit(1);
});
