// Users and roles over OPC UA, with node-opcua-client and a PKI of its own, against tavrel --headless and the PLC
// simulator: the client's certificate is trusted with --trust-certificate; an operator writes over
// Basic256Sha256 SignAndEncrypt, a reader's write and method call are refused and its UserAccessLevel shows
// read-only; a wrong password and an anonymous session (OpcUaAllowAnonymous=0) are refused; a password travels
// encrypted on the None endpoint too; the audit trail names the user.
// Usage: node opcua_users_test.js BIN_FOLDER       (exits 77, skipped, without node_modules)
"use strict";

const { execFileSync } = require("node:child_process");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const { test, before, after } = require("node:test");
const { start, stopAll, freePort } = require("../../support/programs.js");
const assert = require("node:assert/strict");

let ua, OPCUACertificateManager;
try {
  ua = require("node-opcua-client");
  // Installed with node-opcua-client, which makes its clients' certificate stores with it.
  ({ OPCUACertificateManager } = require("node-opcua-certificate-manager"));
} catch {
  console.log(`SKIP: node-opcua-client is not installed; run tools/install-deps (npm ci in ${__dirname})`);
  process.exit(77);
}
const { OPCUAClient, AttributeIds, DataType, StatusCodes, MessageSecurityMode, SecurityPolicy, UserTokenType } = ua;

const bin = path.resolve(process.argv[2] || "build/bin");
const work = fs.mkdtempSync(path.join(os.tmpdir(), "tavrel-opcua-users-"));
const settings = path.join(work, "tavrel.ini");
const opened = [];

const tavrel = (args, input) => execFileSync(path.join(bin, "tavrel"), ["--settings", settings, ...args], { input });

let endpoint;
let certificates;

before(async () => {
  fs.writeFileSync(settings, "[tavrel]\nOpcUaAllowAnonymous=0\n");
  tavrel(["--add-user", "ann", "operator"], "ann's secret\n");
  tavrel(["--add-user", "rob", "reader"], "rob's secret\n");

  certificates = new OPCUACertificateManager({ rootFolder: path.join(work, "client-pki"), automaticallyAcceptUnknownCertificate: true });
  await certificates.initialize();
  const maker = OPCUAClient.create({ applicationName: "TavrelUsersTest", clientCertificateManager: certificates });
  await maker.createDefaultCertificate();
  tavrel(["--trust-certificate", maker.certificateFile]);

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
  ({ match: [, endpoint] } = await start(
    path.join(bin, "tavrel"),
    ["--headless", "--settings", settings, "--listen", "127.0.0.1:0", "--opcua", `127.0.0.1:${await freePort()}`, project],
    /OPC UA server on (opc\.tcp:\/\/127\.0\.0\.1:\d+\/)/
  ));
});

after(async () => {
  for (const { session, client } of opened) {
    await session.close().catch(() => {});
    await client.disconnect().catch(() => {});
  }
  stopAll();
  fs.rmSync(work, { recursive: true, force: true });
});

/// A session as `user` (none: anonymous) on a channel of `policy` and `mode`.
async function open(user, password, policy = SecurityPolicy.Basic256Sha256, mode = MessageSecurityMode.SignAndEncrypt) {
  const client = OPCUAClient.create({
    applicationName: "TavrelUsersTest",
    clientCertificateManager: certificates,
    securityPolicy: policy,
    securityMode: mode,
    endpointMustExist: false,
    connectionStrategy: { maxRetry: 0 },
    keepSessionAlive: false,
  });
  await client.connect(endpoint);
  try {
    const identity = user ? { type: UserTokenType.UserName, userName: user, password } : { type: UserTokenType.Anonymous };
    const session = await client.createSession(identity);
    opened.push({ client, session });
    return session;
  } catch (error) {
    await client.disconnect();
    throw error;
  }
}

const write = (session, value) =>
  session.write({ nodeId: "ns=1;s=lblDDE(1)", attributeId: AttributeIds.Value, value: { value: { dataType: DataType.Int16, value } } });

test("an operator writes over an encrypted channel, and the audit trail names the user", async () => {
  const session = await open("ann", "ann's secret");
  assert.equal((await write(session, 1234)).value, StatusCodes.Good.value);
  const audit = fs.readFileSync(path.join(work, "tavrel-audit.jsonl"), "utf8").trim().split("\n").map(JSON.parse);
  assert.ok(audit.some((line) => line.surface === "opcua" && line.user === "ann" && line.new === "1234"), JSON.stringify(audit));
});

test("a reader reads but may not write or call, and is shown so", async () => {
  const session = await open("rob", "rob's secret", SecurityPolicy.Aes256_Sha256_RsaPss, MessageSecurityMode.Sign);
  const [value, access] = await session.read([
    { nodeId: "ns=1;s=lblDDE(1)", attributeId: AttributeIds.Value },
    { nodeId: "ns=1;s=lblDDE(1)", attributeId: AttributeIds.UserAccessLevel },
  ]);
  assert.notEqual(value.statusCode.value, StatusCodes.BadUserAccessDenied.value);
  assert.equal(access.value.value, 1); // CurrentRead only
  assert.equal((await write(session, 99)).value, StatusCodes.BadUserAccessDenied.value);
  const called = await session.call({ objectId: "ns=1;s=Tavrel", methodId: "ns=1;s=Tavrel/RunStop", inputArguments: [] });
  assert.equal(called.statusCode.value, StatusCodes.BadUserAccessDenied.value);
});

test("a wrong password, an unknown user and an anonymous session are refused", async () => {
  for (const [user, password] of [["ann", "wrong"], ["nobody", "ann's secret"], ["rob", ""]]) {
    await assert.rejects(open(user, password), /BadUserAccessDenied/, `${user}`);
  }
  // No endpoint offers anonymous access, so the client does not even ask.
  await assert.rejects(open(), /ANONYMOUS user token policy/);
});

test("on the None endpoint of loopback the password still travels encrypted", async () => {
  const session = await open("ann", "ann's secret", SecurityPolicy.None, MessageSecurityMode.None);
  assert.equal((await write(session, 4321)).value, StatusCodes.Good.value);
});
