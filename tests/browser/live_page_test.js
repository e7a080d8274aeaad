// The live page in Debian's chromium, headless, against tavrel --headless and the PLC simulator: values that
// change in the simulator change on the page, pokes typed on the page reach the simulator's registers or say
// why not beside the text typed, Stop PLC clears the PLC's run coil, Stop polling and Start polling stop and
// start the run, the Events panel lists what happened and copies it, the trend draws values live and from the
// history, zooms and downloads what it shows, with an access token the page asks for it, and a Tavrel that goes
// away, killed or stopping, shows as such.
// Usage: node live_page_test.js BIN_FOLDER       (exits 77, skipped, without a browser or node_modules)
"use strict";

const { execFileSync } = require("node:child_process");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const { test, before, after } = require("node:test");
const { start, stopAll, freePort, eventually, readRegisters, writeRegister, readCoil } = require("../support/programs.js");
const assert = require("node:assert/strict");

const bin = path.resolve(process.argv[2] || "build/bin");
const chromium = process.env.TAVREL_CHROMIUM || "/usr/bin/chromium";
let puppeteer;
try {
  puppeteer = require("puppeteer-core");
} catch {
  console.log(`SKIP: puppeteer-core is not installed; run tools/install-deps (npm ci in ${__dirname})`);
  process.exit(77);
}
if (!fs.existsSync(chromium)) {
  console.log(`SKIP: no browser at ${chromium}; run tools/install-deps (Debian's chromium)`);
  process.exit(77);
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), "tavrel-browser-"));
let browser;

const readRegister = async (port, address) => (await readRegisters(port, address, 1))[0];

// Line_1 is the simulator: lblDDE(1) MI 100 read/write, lblDDE(2) MI 0 read-only, both recorded. Press_2 never
// answers: lblDDE(3) MI 5.
function makeProject(file, plcPort, deadPort) {
  fs.copyFileSync(path.join(bin, "Templates", "DDETemplate.tvb"), file);
  execFileSync("sqlite3", [file], {
    input: `INSERT INTO Plcs (Name) VALUES ('Line_1'), ('Press_2');
INSERT INTO CommParams (PlcID,PathWay,EthRemotePort,EthRemoteIP,SerialComPort,SerialBaudRate,TimeOut,NumRetries,UnitID,PlcType,DataBits,Parity,StopBits)
  VALUES (1,2,${plcPort},'127.0.0.1',1,57600,500,1,0,0,8,0,1), (2,2,${deadPort},'127.0.0.1',1,57600,300,1,0,0,8,0,1);
ALTER TABLE Items ADD COLUMN Record INTEGER;
INSERT INTO Items (PlcID,OprndType,OprndAddr,Oprndlength,CommDirection,IsEnabled,LabelIndex,Record)
  VALUES (1,3,100,1,2,-1,1,1), (1,3,0,1,0,-1,2,1), (2,3,5,1,0,-1,3,NULL);
`,
  });
}

async function startTavrel(name, settingsText) {
  const folder = path.join(work, name);
  fs.mkdirSync(folder);
  const project = path.join(folder, "p.tve");
  makeProject(project, plcPort, await freePort());
  fs.writeFileSync(path.join(folder, "t.ini"), settingsText);
  const { child, match } = await start(
    path.join(bin, "tavrel"),
    // No OPC UA: two of these at once would both want its port.
    ["--headless", "--settings", path.join(folder, "t.ini"), "--listen", "127.0.0.1:0", "--opcua", "127.0.0.1:0", project],
    /link server on (https?):\/\/127\.0\.0\.1:(\d+)\//
  );
  return { child, folder, url: `${match[1]}://127.0.0.1:${match[2]}/` };
}

// The page, with what went wrong while it ran (failed requests, script errors, refusals by its security policy)
// gathered in page.problems.
async function openPage(url) {
  const page = await browser.newPage();
  page.problems = [];
  page.on("dialog", (dialog) => dialog.accept());
  page.on("response", (r) => r.status() >= 400 && page.problems.push(`${r.status()} ${r.url()}`));
  page.on("console", (m) => m.type() === "error" && page.problems.push(m.text()));
  page.on("pageerror", (error) => page.problems.push(error.message));
  await page.goto(url);
  return page;
}

// What the page shows of an item: its value, whether greyed, and the poke field's text and problem.
const itemOnPage = (page, item) =>
  page.evaluate((name) => {
    const row = [...document.querySelectorAll("#items tbody tr")].find((r) => r.cells[0].textContent === name);
    if (!row) return null;
    const input = row.cells[4].querySelector("input");
    return {
      value: row.cells[3].textContent,
      stale: row.cells[3].classList.contains("stale"),
      field: input ? input.value : null,
      problem: row.cells[4].querySelector(".problem")?.textContent ?? null,
    };
  }, item);

const plcOnPage = (page, name) =>
  page.evaluate((plc) => {
    const entry = [...document.querySelectorAll("#plcs li")].find((li) => li.firstChild.textContent === plc);
    return entry ? entry.querySelector(".plcState").textContent : null;
  }, name);

const buttonsOf = (page, name) =>
  page.evaluate((plc) => {
    const entry = [...document.querySelectorAll("#plcs li")].find((li) => li.firstChild.textContent === plc);
    return [...entry.querySelectorAll("button")].map((b) => b.textContent);
  }, name);

const headerWidths = (page) => page.$$eval("#items thead th", (cells) => cells.map((th) => th.offsetWidth));

// The Events panel's lines, newest first, when one of them matches `pattern`.
const eventShown = (page, pattern) =>
  eventually(`an event matching ${pattern}`, async () => {
    const lines = await page.$$eval("#eventList li", (rows) => rows.map((li) => li.textContent));
    return lines.some((line) => pattern.test(line)) && lines;
  });

async function typeInto(page, item, text) {
  const handle = await page.evaluateHandle(
    (name) => [...document.querySelectorAll("#items tbody tr")].find((r) => r.cells[0].textContent === name).cells[4].querySelector("input"),
    item
  );
  await handle.click({ clickCount: 3 });
  await handle.type(text);
  await handle.press("Enter");
}

let plcPort;
let open; // the server without a token

before(async () => {
  ({ match: [, plcPort] } = await start(path.join(bin, "tavrel-plcsim"), ["--tcp", "127.0.0.1:0"], /listening on tcp 127\.0\.0\.1:(\d+)/));
  plcPort = Number(plcPort);
  open = await startTavrel("open", "");
  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    acceptInsecureCerts: true, // the certificate of the HTTPS case is one the test makes, trusted by nobody
    userDataDir: path.join(work, "chromium"),
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync"],
  });
});

after(async () => {
  if (browser) await browser.close().catch(() => {});
  stopAll("SIGKILL");
  fs.rmSync(work, { recursive: true, force: true });
});

test("values change on the page as they change in the PLC; a PLC that never answered shows none; nothing fails to load", async () => {
  const page = await openPage(open.url);
  await eventually("Line_1 connected", async () => (await plcOnPage(page, "Line_1")) === "connected");
  await writeRegister(plcPort, 0, 4321);
  await eventually("lblDDE(2) showing 4321", async () => (await itemOnPage(page, "lblDDE(2)"))?.value === "4321");
  // The time it was read, on hover.
  const hint = await page.evaluate(() => [...document.querySelectorAll("#items tbody tr")]
    .find((r) => r.cells[0].textContent === "lblDDE(2)").cells[3].title);
  assert.match(hint, /^Read .*\(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\)$/);
  await eventually("Press_2 not connected", async () => (await plcOnPage(page, "Press_2")) === "not connected");
  assert.deepEqual(await itemOnPage(page, "lblDDE(3)"), { value: "", stale: false, field: null, problem: null });
  assert.deepEqual(page.problems, []);
  await page.close();
});

test("against a Tavrel without the list of events the panel says so and asks no more; the rest works", async () => {
  const page = await browser.newPage();
  let asked = 0;
  await page.setRequestInterception(true);
  page.on("request", (request) => {
    if (!request.url().includes("/dde/Tavrel/Events")) return request.continue();
    asked += 1;
    return request.respond({ status: 404, contentType: "text/plain", body: "no such topic" });
  });
  await page.goto(open.url);
  await eventually("the note", () => page.$eval("#eventsNote", (note) => /no list of events/.test(note.textContent)));
  await eventually("lblDDE(2) showing 4321", async () => (await itemOnPage(page, "lblDDE(2)"))?.value === "4321");
  await new Promise((resolve) => setTimeout(resolve, 2500));
  assert.equal(asked, 1);
  await page.close();
});

test("a poke typed on the page reaches the PLC; a refused one keeps the text, says why beside it, moves no column and is an event to copy", async () => {
  const page = await openPage(open.url);
  await browser.defaultBrowserContext().overridePermissions(new URL(open.url).origin, ["clipboard-read", "clipboard-sanitized-write"]);
  await eventually("Line_1 connected", async () => (await plcOnPage(page, "Line_1")) === "connected");
  await typeInto(page, "lblDDE(1)", "1234");
  await eventually("register 100 holding 1234", async () => (await readRegister(plcPort, 100)) === 1234);
  await eventually("lblDDE(1) showing 1234", async () => (await itemOnPage(page, "lblDDE(1)")).value === "1234");
  const widths = await headerWidths(page);

  await typeInto(page, "lblDDE(1)", "70000");
  const refused = await eventually("a reason", async () => {
    const item = await itemOnPage(page, "lblDDE(1)");
    return item.problem ? item : null;
  });
  assert.match(refused.problem, /lblDDE\(1\)/);
  assert.equal(refused.field, "70000");
  assert.equal(refused.value, "1234");
  assert.deepEqual(await headerWidths(page), widths);
  assert.equal(await readRegister(plcPort, 100), 1234);

  const [newest] = await eventShown(page, /poke of lblDDE\(1\).*refused.*70000/);
  assert.match(newest, /poke of lblDDE\(1\)/);
  await page.click("#copyEvents");
  const copied = await page.evaluate(() => navigator.clipboard.readText());
  assert.match(copied.split("\n")[0], /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  poke  poke of lblDDE\(1\).*refused/);

  await typeInto(page, "lblDDE(1)", "4321"); // typed over the refused text
  await eventually("register 100 holding 4321", async () => (await readRegister(plcPort, 100)) === 4321);
  assert.equal((await itemOnPage(page, "lblDDE(1)")).problem, "");
  assert.deepEqual(page.problems.filter((problem) => !problem.includes("422")), []); // but the refused poke
  await page.close();
});

// The trend's chart: the x axis's span and whether a dataset holds a point of value `value`.
const trendChart = (page, value) =>
  page.evaluate((v) => {
    const chart = Chart.getChart("trendCanvas");
    return { span: chart.scales.x.max - chart.scales.x.min, has: chart.data.datasets.some((d) => d.data.some((p) => p.y === v)) };
  }, value);
const clickRange = (page, caption) =>
  page.evaluate((text) => [...document.querySelectorAll("#trendRanges button")].find((b) => b.textContent === text).click(), caption);

test("the trend draws a poked value live and from the history; its ranges, drag to zoom, reset and CSV download work", async () => {
  const page = await openPage(open.url);
  await eventually("Line_1 connected", async () => (await plcOnPage(page, "Line_1")) === "connected");
  await page.select("#trendItems", "lblDDE(1)");
  await typeInto(page, "lblDDE(1)", "777");
  await eventually("777 on the chart", async () => (await trendChart(page, 777)).has);
  // Read back from the history once the recorder has written it.
  await eventually("777 read back over 10 min", async () => {
    await clickRange(page, "10 min");
    await new Promise((resolve) => setTimeout(resolve, 300));
    const chart = await trendChart(page, 777);
    return chart.has && chart.span === 10 * 60e3;
  });
  await clickRange(page, "7 days");
  await eventually("a span of 7 days", async () => (await trendChart(page, 777)).span === 7 * 24 * 60 * 60e3);
  await clickRange(page, "From\u2013to");
  assert.equal(await page.$eval("#trendFromTo", (e) => e.hidden), false);
  await eventually("from-to shown", async () => (await trendChart(page, 777)).span === 60 * 60e3);

  const area = await page.evaluate(() => {
    document.getElementById("trendCanvas").scrollIntoView();
    const { left, right, top, bottom } = Chart.getChart("trendCanvas").chartArea;
    const box = document.getElementById("trendCanvas").getBoundingClientRect();
    return { x: box.left + left, width: right - left, y: box.top + (top + bottom) / 2 };
  });
  await page.mouse.move(area.x + area.width * 0.5, area.y);
  await page.mouse.down();
  await page.mouse.move(area.x + area.width * 0.75, area.y, { steps: 4 });
  await page.mouse.up();
  const zoomed = (await trendChart(page, 777)).span;
  assert.ok(Math.abs(zoomed - 15 * 60e3) < 60e3, `a quarter of the hour after the drag, not ${zoomed} ms`);
  assert.equal(await page.$eval("#trendReset", (b) => b.disabled), false);
  await page.click("#trendReset");
  assert.equal((await trendChart(page, 777)).span, 60 * 60e3);

  const downloads = path.join(work, "downloads");
  const session = await page.createCDPSession();
  await session.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads });
  await page.click("#trendCsv");
  const csv = await eventually("the CSV downloaded", () => {
    const files = fs.existsSync(downloads) ? fs.readdirSync(downloads).filter((f) => f.endsWith(".csv")) : [];
    return files.length === 1 && fs.readFileSync(path.join(downloads, files[0]), "utf8");
  });
  const lines = csv.trim().split("\n");
  assert.equal(lines[0], "time,item,value,quality");
  assert.ok(lines.some((line) => /^\d{4}-\d\d-\d\dT[\d:.]+Z,lblDDE\(1\),777,good$/.test(line)), csv);
  assert.deepEqual(page.problems, []);
  await page.close();
});

test("Stop PLC, once confirmed, clears its run coil and shows it in STOP; Stop polling and Start polling stop and start the run", async () => {
  const page = await openPage(open.url);
  await eventually("Line_1 connected", async () => (await plcOnPage(page, "Line_1")) === "connected");
  assert.deepEqual(await buttonsOf(page, "Line_1"), ["Run PLC", "Stop PLC"]);
  assert.equal(await readCoil(plcPort, 65000), 1);
  await page.evaluate(() => {
    const entry = [...document.querySelectorAll("#plcs li")].find((li) => li.firstChild.textContent === "Line_1");
    entry.querySelector("button.stop").click();
  });
  await eventually("run coil 65000 cleared", async () => (await readCoil(plcPort, 65000)) === 0);
  // Only a Tavrel that reads the PLC's run state has the System item telling it.
  const system = await (await fetch(open.url + "dde/Tavrel/System", { headers: { Accept: "application/json" } })).json();
  if (system.items.some(({ item }) => item === "Line_1.PlcRunning")) {
    await eventually("Line_1 in STOP", async () => (await plcOnPage(page, "Line_1")) === "PLC in STOP");
  }

  const runButton = () => page.$eval("#programRun", (b) => b.textContent);
  assert.equal(await runButton(), "Stop polling");
  await page.click("#programRun");
  await eventually("the run stopped", async () => (await runButton()) === "Start polling");
  await eventShown(page, /command 'Tavrel_STOP' from/);
  await page.click("#programRun");
  await eventually("the run started", async () => (await runButton()) === "Stop polling");
  assert.deepEqual(page.problems, []);
  await page.close();
});

test("with a token in force the page asks for it, says when it is wrong, works with it, and greys values when Tavrel goes", async () => {
  const token = "a-token-of-the-test-0123456789";
  const tokenFile = path.join(work, "guarded.token");
  fs.writeFileSync(tokenFile, token, { mode: 0o600 });
  const guarded = await startTavrel("guarded", `[tavrel]\nLinkTokenFile=${tokenFile}\n`);

  const page = await openPage(guarded.url);
  await page.waitForSelector("#tokenForm:not([hidden])");
  await page.type("#token", "not-the-token-at-all");
  await page.click("#tokenForm button");
  await eventually("the refusal", () => page.$eval("#tokenProblem", (p) => p.textContent));
  assert.match(await page.$eval("#tokenProblem", (p) => p.textContent), /refused/);

  await page.type("#token", token);
  await page.click("#tokenForm button");
  await eventually("lblDDE(2) showing 4321", async () => (await itemOnPage(page, "lblDDE(2)"))?.value === "4321");
  await eventually("the link live", () => page.$eval("#link", (l) => l.textContent === "Live"));
  await eventShown(page, /run started/); // the events asked for with the token too

  guarded.child.kill("SIGKILL");
  await eventually("the link lost", () => page.$eval("#link", (l) => l.textContent.startsWith("Connection lost")));
  assert.deepEqual(await itemOnPage(page, "lblDDE(2)"), { value: "4321", stale: true, field: null, problem: null });
  await page.close();
});

test("over HTTPS with a reader's token the page shows the values and none of the controls a reader may not use", async () => {
  const folder = path.join(work, "reader");
  fs.mkdirSync(folder);
  execFileSync("openssl", ["req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
    "-subj", "/CN=127.0.0.1", "-keyout", path.join(folder, "key.pem"), "-out", path.join(folder, "cert.pem"), "-days", "2"],
  { stdio: "ignore" });
  fs.chmodSync(path.join(folder, "key.pem"), 0o600);
  const settings = "[tavrel]\nLinkCertFile=cert.pem\nLinkKeyFile=key.pem\nLinkRequireToken=1\n";
  fs.writeFileSync(path.join(folder, "t.ini"), settings);
  const token = execFileSync(path.join(bin, "tavrel"), ["--settings", path.join(folder, "t.ini"), "--add-token", "board", "reader"],
    { stdio: ["ignore", "pipe", "ignore"] }).toString().trim();
  const reader = await startTavrel("reader-run", settings.replace(/=(\w+\.pem)/g, `=${folder}/$1`)
    + `UsersFile=${path.join(folder, "tavrel.users")}\n`);
  assert.match(reader.url, /^https:/);

  const page = await openPage(reader.url);
  await page.waitForSelector("#tokenForm:not([hidden])");
  await page.type("#token", token);
  await page.click("#tokenForm button");
  await eventually("lblDDE(2) showing 4321", async () => (await itemOnPage(page, "lblDDE(2)"))?.value === "4321");
  await eventually("the link live over WSS", () => page.$eval("#link", (l) => l.textContent === "Live"));
  const shown = await page.evaluate(() => [...document.querySelectorAll("button.act, td.set, #role")]
    .filter((e) => e.offsetParent !== null).map((e) => e.id || e.className));
  assert.deepEqual(shown, ["role"]);
  await page.select("#trendItems", "lblDDE(2)"); // a reader reads the history as well
  await eventually("lblDDE(2) on the trend", () => page.evaluate(() => Chart.getChart("trendCanvas").data.datasets.length === 1));
  assert.equal(await page.$eval("#trendNote", (n) => n.textContent), "");
  // The page's first requests, before the token is typed, are refused; nothing else is.
  assert.deepEqual(page.problems.filter((p) => !/401/.test(p)), []);
  await page.close();
});

test("a Tavrel that stops says so to the page, which tries again", async () => {
  const page = await openPage(open.url);
  await eventually("the link live", () => page.$eval("#link", (l) => l.textContent === "Live"));
  open.child.kill("SIGTERM");
  await eventually("the stop told", () => page.$eval("#link", (l) => l.textContent.startsWith("Tavrel stopped, retrying")));
  await page.close();
});
