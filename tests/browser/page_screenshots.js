// Pictures of the live page in Debian's chromium, headless: at desktop and at phone width.
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
    for (const size of sizes) {
      const page = await browser.newPage();
      await page.setViewport({ width: size.width, height: size.height, deviceScaleFactor: 1, isMobile: size.mobile,
                               hasTouch: size.mobile });
      await page.goto(url);
      // Live, with the values in, and the PLC that does not answer shown as such.
      await page.waitForFunction(() => document.getElementById("link").textContent === "Live", { timeout: 15000 });
      await page.waitForFunction(() => [...document.querySelectorAll(".plc")].some((p) => p.dataset.state === "bad"),
                                 { timeout: 15000 });
      await new Promise((resolve) => setTimeout(resolve, 1500));
      await page.screenshot({ path: path.join(folder, size.name), fullPage: size.mobile });
      await page.close();
    }
  } finally {
    await browser.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
})().catch((error) => {
  console.error(`page screenshots: ${error.message}`);
  process.exit(1);
});
