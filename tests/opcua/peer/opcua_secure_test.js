// OPC UA over signed and encrypted channels: node-opcua-client with its own certificate store against
// tavrel --headless and the PLC simulator. The client's certificate is refused and kept in pki/rejected until an
// administrator moves it to pki/trusted; then every policy in Sign and SignAndEncrypt connects, reads, writes and
// subscribes, a token is renewed, and a Browse of many nodes travels both ways in chunks over an encrypted channel.
// Usage: node opcua_secure_test.js BIN_FOLDER       (exits 77, skipped, without node_modules)
"use strict";

const { execFileSync } = require("node:child_process");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const { test, before, after } = require("node:test");
const { start, stopAll, freePort } = require("../../support/programs.js");
const assert = require("node:assert/strict");

let ua;
let OPCUACertificateManager;
try {
  ua = require("node-opcua-client");
  ({ OPCUACertificateManager } = require("node-opcua-certificate-manager"));
} catch {
  console.log(`SKIP: node-opcua-client is not installed; run tools/install-deps (npm ci in ${__dirname})`);
  process.exit(77);
}
const { OPCUAClient, AttributeIds, DataType, StatusCodes, MessageSecurityMode, SecurityPolicy, TimestampsToReturn } = ua;

const bin = path.resolve(process.argv[2] || "build/bin");
const work = fs.mkdtempSync(path.join(os.tmpdir(), "tavrel-opcua-secure-"));
const pki = path.join(work, "pki");
const node = "ns=1;s=lblDDE(1)"; // MI 100 of the simulator, read and write

let endpoint;
let certificates;

before(async () => {
  const plcPort = await freePort();
  await start(path.join(bin, "tavrel-plcsim"), ["--tcp", `127.0.0.1:${plcPort}`], /listening on tcp/);
  const project = path.join(work, "p.tve");
  fs.copyFileSync(path.join(bin, "Templates", "DDETemplate.tvb"), project);
  execFileSync("sqlite3", [project], {
    input: `INSERT INTO Plcs (Name) VALUES ('Line_1');
INSERT INTO CommParams (PlcID,PathWay,EthRemotePort,EthRemoteIP,SerialComPort,SerialBaudRate,TimeOut,NumRetries,UnitID,PlcType,DataBits,Parity,StopBits)
  VALUES (1,2,${plcPort},'127.0.0.1',1,57600,300,1,0,0,8,0,1);
INSERT INTO Items (PlcID,OprndType,OprndAddr,Oprndlength,CommDirection,IsEnabled,LabelIndex) VALUES (1,3,100,1,2,-1,1);
`,
  });
  fs.writeFileSync(path.join(work, "t.ini"), "");
  ({ match: [, endpoint] } = await start(
    path.join(bin, "tavrel"),
    ["--headless", "--settings", path.join(work, "t.ini"), "--listen", "127.0.0.1:0", "--opcua", `127.0.0.1:${await freePort()}`, project],
    /OPC UA server on (opc\.tcp:\/\/127\.0\.0\.1:\d+\/)/
  ));
  certificates = new OPCUACertificateManager({ rootFolder: path.join(work, "client-pki"), automaticallyAcceptUnknownCertificate: true });
  await certificates.initialize();
});

after(async () => {
  stopAll();
  await certificates?.dispose();
  fs.rmSync(work, { recursive: true, force: true });
});

const makeClient = (policy, mode, options = {}) =>
  OPCUAClient.create({
    ...options,
    applicationName: "TavrelSecureTest",
    securityPolicy: SecurityPolicy[policy],
    securityMode: MessageSecurityMode[mode],
    clientCertificateManager: certificates,
    connectionStrategy: { maxRetry: 0 },
    keepSessionAlive: false,
  });

const rejected = () => fs.readdirSync(path.join(pki, "rejected", "certs"));

test("an untrusted client is refused and kept in rejected/ until an administrator trusts it", async () => {
  const client = makeClient("Basic256Sha256", "SignAndEncrypt");
  await assert.rejects(client.connect(endpoint));
  await client.disconnect();
  assert.equal(rejected().length, 1);
  const [file] = rejected();
  fs.renameSync(path.join(pki, "rejected", "certs", file), path.join(pki, "trusted", "certs", file));
});

for (const policy of ["Basic256Sha256", "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss"]) {
  for (const mode of ["Sign", "SignAndEncrypt"]) {
    test(`${policy} ${mode}: reads, writes and subscribes`, async () => {
      const client = makeClient(policy, mode);
      await client.connect(endpoint);
      const session = await client.createSession();
      try {
        const value = Math.floor(Math.random() * 30000);
        const subscription = await session.createSubscription2({
          requestedPublishingInterval: 50,
          requestedMaxKeepAliveCount: 10,
          publishingEnabled: true,
        });
        const monitored = await subscription.monitor({ nodeId: node, attributeId: AttributeIds.Value }, { samplingInterval: 0, queueSize: 10 }, TimestampsToReturn.Both);
        const seen = new Promise((resolve) => monitored.on("changed", (dataValue) => dataValue.value.value === value && resolve()));
        const written = await session.write({ nodeId: node, attributeId: AttributeIds.Value, value: { value: { dataType: DataType.Int16, value } } });
        assert.equal(written.value, StatusCodes.Good.value);
        await seen;
        const read = await session.read({ nodeId: node, attributeId: AttributeIds.Value });
        assert.equal(read.value.value, value);
        await subscription.terminate();
      } finally {
        await session.close();
        await client.disconnect();
      }
      assert.equal(rejected().length, 0);
    });
  }
}

test("a token renewed on an encrypted channel brings new keys, and the session goes on", async () => {
  // The shortest lifetime the server grants is 10 s; the client renews at three quarters of it.
  const client = makeClient("Aes128_Sha256_RsaOaep", "SignAndEncrypt", { defaultSecureTokenLifetime: 10000 });
  await client.connect(endpoint);
  const session = await client.createSession();
  try {
    let renewals = 0;
    client.on("security_token_renewed", () => ++renewals);
    const deadline = Date.now() + 20000;
    while (renewals === 0 && Date.now() < deadline) {
      const status = await session.read({ nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value });
      assert.equal(status.statusCode.value, StatusCodes.Good.value);
      await new Promise((resolve) => setTimeout(resolve, 250));
    }
    assert.equal(renewals, 1);
    for (let i = 0; i < 3; ++i) {
      const status = await session.read({ nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value });
      assert.equal(status.statusCode.value, StatusCodes.Good.value);
    }
  } finally {
    await session.close();
    await client.disconnect();
  }
});

test("a Browse of many nodes travels in chunks both ways over an encrypted channel", async () => {
  const client = makeClient("Aes256_Sha256_RsaPss", "SignAndEncrypt");
  await client.connect(endpoint);
  const session = await client.createSession();
  try {
    const nodes = Array.from({ length: 5000 }, () => ({ nodeId: "ns=0;i=85", browseDirection: 0, resultMask: 63 }));
    const results = await session.browse(nodes);
    assert.equal(results.length, nodes.length);
    for (const result of results) {
      assert.equal(result.statusCode.value, StatusCodes.Good.value);
      assert.ok(result.references.some((r) => r.nodeId.toString() === "ns=0;i=2253")); // the Server object
    }
  } finally {
    await session.close();
    await client.disconnect();
  }
});
