// The OPC UA benchmark, side by side in one run: Tavrel's OPC UA server (tavrel-bench-opcua-instance: N items of a
// simulated PLC that change in every pass, a pass every 100 ms whose exchange with the PLC takes 20 ms) and the anchor, a node-opcua server holding the same N variables
// set at the same rate (anchor_server.js). For each: connect, browse from Objects to every variable and read them
// all once (time); then one client monitors all of them at a publishing interval of 100 ms, and every value, which
// holds the moment it was set, tells how long its change took to reach the client (p50, p99), while the server's
// processor time is measured. Targets: Tavrel's p99 at or below the anchor's, its processor time at most half.
// Then Tavrel once more over a Basic256Sha256 SignAndEncrypt channel (target: its p99 within 1.5 times Tavrel's over
// None).
// Usage: node opcua_bench.js BIN_FOLDER [--items N] [--seconds S]     (exits 77, skipped, without node_modules)
"use strict";

const { spawn } = require("node:child_process");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");

let ua;
try {
  ua = require("node-opcua");
} catch {
  console.log(`OPC UA benchmark skipped: node-opcua is not installed; run tools/install-deps (npm ci in ${__dirname})`);
  process.exit(77);
}
const { OPCUAClient, AttributeIds, TimestampsToReturn, MessageSecurityMode, SecurityPolicy, ClientMonitoredItemGroup,
  BrowseDirection, NodeClass } = ua;

const bin = path.resolve(process.argv[2] || "build-bench/bin");
const option = (name, fallback) => {
  const at = process.argv.indexOf(name);
  return at > 0 ? Number(process.argv[at + 1]) : fallback;
};
const items = option("--items", 10000);
const seconds = option("--seconds", 20);
const wrap = 1000000000n;
const nowMicros = () => process.hrtime.bigint() / 1000n;
const ticksPerSecond = 100; // USER_HZ on Linux

function start(program, args) {
  const child = spawn(program, args, { stdio: ["pipe", "pipe", "inherit"] });
  let output = "";
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`${program} did not start: ${output}`)), 60000);
    child.stdout.on("data", (chunk) => {
      output += chunk;
      const match = output.match(/OPC UA server on (opc\.tcp:\/\/\S+)/);
      if (match) {
        clearTimeout(timer);
        resolve({ child, endpoint: match[1] });
      }
    });
    child.on("exit", (code) => reject(new Error(`${program} ended (${code}): ${output}`)));
  });
}

function cpuSeconds(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, "utf8").split(") ")[1].split(" ");
  return (Number(fields[11]) + Number(fields[12])) / ticksPerSecond; // utime, stime
}

const percentile = (sorted, p) => sorted[Math.min(sorted.length - 1, Math.floor((sorted.length * p) / 100))];

async function browseAll(session) {
  const variables = [];
  let frontier = ["ns=0;i=85"];
  const seen = new Set();
  while (frontier.length > 0) {
    const next = [];
    for (let at = 0; at < frontier.length; at += 1000) {
      const batch = frontier.slice(at, at + 1000).map((nodeId) => ({ nodeId, browseDirection: BrowseDirection.Forward,
        referenceTypeId: "HierarchicalReferences", includeSubtypes: true, nodeClassMask: 0, resultMask: 63 }));
      let results = await session.browse(batch);
      for (;;) {
        const pending = [];
        for (const result of results) {
          for (const ref of result.references || []) {
            const id = ref.nodeId.toString();
            if (ref.nodeId.namespace !== 1 || seen.has(id)) continue;
            seen.add(id);
            if (ref.nodeClass === NodeClass.Variable) variables.push(id);
            else next.push(id);
          }
          if (result.continuationPoint && result.continuationPoint.length) pending.push(result.continuationPoint);
        }
        if (pending.length === 0) break;
        results = await session.browseNext(pending, false);
      }
    }
    frontier = next;
  }
  return variables.filter((id) => /lblDDE/.test(id));
}

async function measure(name, program, args, secure = false) {
  const { child, endpoint } = await start(program, args);
  const certificates = secure
    ? new ua.OPCUACertificateManager({ rootFolder: fs.mkdtempSync(path.join(os.tmpdir(), "tavrel-bench-client-")),
      automaticallyAcceptUnknownCertificate: true })
    : undefined;
  await certificates?.initialize();
  const client = OPCUAClient.create({ applicationName: "TavrelPeerTest", endpointMustExist: false,
    securityMode: secure ? MessageSecurityMode.SignAndEncrypt : MessageSecurityMode.None,
    securityPolicy: secure ? SecurityPolicy.Basic256Sha256 : SecurityPolicy.None, clientCertificateManager: certificates,
    connectionStrategy: { maxRetry: 0 }, requestedSessionTimeout: 120000 });
  const began = Date.now();
  await client.connect(endpoint);
  const session = await client.createSession();
  const variables = await browseAll(session);
  for (let at = 0; at < variables.length; at += 10000) {
    await session.read(variables.slice(at, at + 10000).map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value })));
  }
  const browseReadMs = Date.now() - began;
  if (variables.length !== items) throw new Error(`${name}: browsed ${variables.length} variables, not ${items}`);

  const subscription = await session.createSubscription2({ requestedPublishingInterval: 100, requestedLifetimeCount: 600,
    requestedMaxKeepAliveCount: 20, maxNotificationsPerPublish: 0, publishingEnabled: true });
  let latencies = [];
  let recording = false;
  const group = await ClientMonitoredItemGroup.create(subscription,
    variables.map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value })),
    { samplingInterval: 0, queueSize: 1, discardOldest: true }, TimestampsToReturn.Neither);
  group.on("changed", (_item, dataValue) => {
    if (!recording) return;
    const sent = BigInt(dataValue.value.value);
    latencies.push(Number((((nowMicros() % wrap) - sent) % wrap + wrap) % wrap) / 1000);
  });
  await new Promise((resolve) => setTimeout(resolve, 3000)); // warm up
  recording = true;
  const cpuBefore = cpuSeconds(child.pid);
  const wallBefore = Date.now();
  await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
  recording = false;
  const cpu = (cpuSeconds(child.pid) - cpuBefore) / ((Date.now() - wallBefore) / 1000);
  await subscription.terminate();
  await session.close();
  await client.disconnect();
  child.stdin.end();
  await new Promise((resolve) => child.on("exit", resolve));
  if (certificates) {
    await certificates.dispose();
    fs.rmSync(certificates.rootDir, { recursive: true, force: true });
  }
  latencies.sort((a, b) => a - b);
  if (latencies.length === 0) throw new Error(`${name}: no notification arrived while measuring`);
  return { name, browseReadMs, count: latencies.length, p50: percentile(latencies, 50), p99: percentile(latencies, 99),
    cpu: cpu * 100 };
}

(async () => {
  const tavrel = await measure("Tavrel", path.join(bin, "tavrel-bench-opcua-instance"), ["--items", String(items)]);
  const anchor = await measure("node-opcua", process.execPath, [path.join(__dirname, "anchor_server.js"), String(items), "100"]);
  const secured = await measure("Tavrel-B256E", path.join(bin, "tavrel-bench-opcua-instance"),
    ["--items", String(items), "--secure", "1"], true);
  console.log(`OPC UA: ${items} items changing every 100 ms (Tavrel: a pass every 100 ms, its PLC exchange 20 ms), `
    + `one client monitoring all (publishing 100 ms), ${seconds} s`);
  console.log("server       connect+browse+read  notifications/s  p50 ms   p99 ms   server CPU %");
  for (const r of [tavrel, anchor, secured]) {
    console.log(`${r.name.padEnd(12)} ${String(r.browseReadMs).padStart(10)} ms   ${String(Math.round(r.count / seconds)).padStart(14)}  `
      + `${r.p50.toFixed(1).padStart(7)}  ${r.p99.toFixed(1).padStart(7)}  ${r.cpu.toFixed(1).padStart(10)}`);
  }
  const latencyMet = tavrel.p99 <= anchor.p99;
  const cpuMet = tavrel.cpu <= anchor.cpu / 2;
  console.log(`target p99 at or below the anchor's: ${latencyMet ? "met" : "MISSED"}; ` +
    `CPU at most half the anchor's: ${cpuMet ? "met" : "MISSED"}`);
  const securedMet = secured.p99 <= tavrel.p99 * 1.5;
  console.log(`Basic256Sha256 SignAndEncrypt (Tavrel-B256E): p99 within 1.5 times None's: ${securedMet ? "met" : "MISSED"}`);
  process.exit(latencyMet && cpuMet && securedMet ? 0 : 1);
})().catch((error) => {
  console.error(error);
  process.exit(1);
});
