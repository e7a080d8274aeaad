// An independent OPC UA client (node-opcua-client from npm) against tavrel --headless and the PLC simulator:
// the server status, a browse from Objects to every item, values of every data type, writes that reach the
// simulator's registers and one that is refused, the history of a recorded item, a subscription with a deadband,
// the PLC's Run and Stop methods, and a PLC that goes away and comes back. Then the faults: garbage, a message that
// claims to be huge, a client that never finishes its Hello, one that floods Publish requests and never reads its
// socket.
// Usage: node opcua_peer_test.js BIN_FOLDER       (exits 77, skipped, without node_modules)
"use strict";

const { execFileSync } = require("node:child_process");
const fs = require("node:fs");
const net = require("node:net");
const os = require("node:os");
const path = require("node:path");
const { test, before, after } = require("node:test");
const { start, stopAll, freePort, eventually, readRegisters, readCoil } = require("../../support/programs.js");
const assert = require("node:assert/strict");

let ua;
try {
  ua = require("node-opcua-client");
} catch {
  console.log(`SKIP: node-opcua-client is not installed; run tools/install-deps (npm ci in ${__dirname})`);
  process.exit(77);
}
const { OPCUAClient, AttributeIds, DataType, StatusCodes, TimestampsToReturn, MessageSecurityMode, SecurityPolicy } = ua;

const bin = path.resolve(process.argv[2] || "build/bin");
const work = fs.mkdtempSync(path.join(os.tmpdir(), "tavrel-opcua-"));

// Line_1 is the simulator, Press_2 never answers. The items, one of each kind of value:
const items = [
  { label: 1, plc: 1, type: 3, address: 100, direction: 2, dataType: DataType.Int16 }, // MI 100: holding register 100
  { label: 2, plc: 1, type: 3, address: 0, direction: 0, dataType: DataType.Int16 }, // MI 0, read-only
  { label: 3, plc: 1, type: 5, address: 10, direction: 2, dataType: DataType.Int32 }, // ML 10: registers 7020-7021
  { label: 4, plc: 1, type: 7, address: 20, direction: 2, dataType: DataType.Float }, // MF 20: registers 9340-9341
  { label: 5, plc: 1, type: 1, address: 5, direction: 2, dataType: DataType.Boolean }, // MB 5: coil 1005
  { label: 6, plc: 1, type: 44, address: 0, direction: 0, dataType: DataType.String }, // T (Current) 0, ticking
  { label: 7, plc: 1, type: 45, address: 0, direction: 0, dataType: DataType.Double }, // C (Current) 0, counting
  { label: 8, plc: 2, type: 3, address: 5, direction: 0, dataType: DataType.Int16 }, // MI 5 of Press_2
];
const node = (label) => `ns=1;s=lblDDE(${label})`;

function makeProject(file, plcPort, deadPort) {
  fs.copyFileSync(path.join(bin, "Templates", "DDETemplate.tvb"), file);
  const rows = items.map((i) => `(${i.plc},${i.type},${i.address},1,${i.direction},-1,${i.label})`).join(",");
  execFileSync("sqlite3", [file], {
    input: `INSERT INTO Plcs (Name) VALUES ('Line_1'), ('Press_2');
INSERT INTO CommParams (PlcID,PathWay,EthRemotePort,EthRemoteIP,SerialComPort,SerialBaudRate,TimeOut,NumRetries,UnitID,PlcType,DataBits,Parity,StopBits)
  VALUES (1,2,${plcPort},'127.0.0.1',1,57600,300,1,0,0,8,0,1), (2,2,${deadPort},'127.0.0.1',1,57600,300,1,0,0,8,0,1);
INSERT INTO Items (PlcID,OprndType,OprndAddr,Oprndlength,CommDirection,IsEnabled,LabelIndex) VALUES ${rows};
ALTER TABLE Items ADD COLUMN Record INTEGER;
UPDATE Items SET Record = 1 WHERE LabelIndex = 1;
`,
  });
}

let plcPort;
let simulator;
let endpoint;
let client;
let session;

const startSimulator = async () =>
  (simulator = (await start(path.join(bin, "tavrel-plcsim"), ["--tcp", `127.0.0.1:${plcPort}`], /listening on tcp/)).child);

before(async () => {
  plcPort = await freePort();
  await startSimulator();
  const project = path.join(work, "p.tve");
  makeProject(project, plcPort, await freePort());
  fs.writeFileSync(path.join(work, "t.ini"), "");
  const { match } = await start(
    path.join(bin, "tavrel"),
    ["--headless", "--settings", path.join(work, "t.ini"), "--listen", "127.0.0.1:0", "--opcua", `127.0.0.1:${await freePort()}`,
     "--reconnect-seconds", "1", project],
    /OPC UA server on (opc\.tcp:\/\/127\.0\.0\.1:\d+\/)/
  );
  endpoint = match[1];
  client = OPCUAClient.create({
    applicationName: "TavrelPeerTest",
    endpointMustExist: false,
    securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 0 },
    keepSessionAlive: false,
  });
  await client.connect(endpoint);
  session = await client.createSession();
});

after(async () => {
  if (session) await session.close().catch(() => {});
  if (client) await client.disconnect().catch(() => {});
  stopAll();
  fs.rmSync(work, { recursive: true, force: true });
});

test("the server status reads as running, with the namespace of the server", async () => {
  const [state, namespaces] = await session.read([
    { nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value }, // Server_ServerStatus_State
    { nodeId: "ns=0;i=2255", attributeId: AttributeIds.Value }, // Server_NamespaceArray
  ]);
  assert.equal(state.statusCode.value, StatusCodes.Good.value);
  assert.equal(state.value.value, 0); // Running
  assert.equal(namespaces.value.value[0], "http://opcfoundation.org/UA/");
  assert.match(namespaces.value.value[1], /^urn:.+:Tavrel$/);
  const status = await session.read({ nodeId: "ns=0;i=2256", attributeId: AttributeIds.Value });
  assert.equal(status.value.value.buildInfo.productName, "Tavrel");
});

test("a browse from Objects reaches every item under its PLC", async () => {
  const found = new Map();
  const walk = async (nodeId, depth) => {
    const result = await session.browse({ nodeId, browseDirection: 0, includeSubtypes: true, resultMask: 63, referenceTypeId: "HierarchicalReferences" });
    assert.equal(result.statusCode.value, StatusCodes.Good.value);
    for (const ref of result.references) {
      const id = ref.nodeId.toString();
      if (ref.nodeId.namespace === 1 && !found.has(id)) {
        found.set(id, ref.displayName.text);
        if (depth < 3) await walk(ref.nodeId, depth + 1);
      }
    }
  };
  await walk("ns=0;i=85", 0);
  assert.ok(found.has("ns=1;s=plc/Line_1"), [...found.keys()].join(" "));
  for (const item of items) assert.ok(found.has(node(item.label)), `${node(item.label)} not found`);
  assert.equal(found.get(node(1)), "MI 100");
});

test("values of every data type read with their data type and a source time", async () => {
  await eventually("Line_1 answered", async () => {
    const v = await session.read({ nodeId: node(1), attributeId: AttributeIds.Value });
    return v.statusCode.value === StatusCodes.Good.value;
  });
  const values = await session.read(items.slice(0, 7).map((i) => ({ nodeId: node(i.label), attributeId: AttributeIds.Value })));
  values.forEach((v, n) => {
    assert.equal(v.statusCode.value, StatusCodes.Good.value, `${node(items[n].label)}: ${v.statusCode}`);
    assert.equal(v.value.dataType, items[n].dataType, `${node(items[n].label)}: ${DataType[v.value.dataType]}`);
    assert.ok(v.sourceTimestamp instanceof Date);
  });
  const dataTypes = await session.read(items.map((i) => ({ nodeId: node(i.label), attributeId: AttributeIds.DataType })));
  dataTypes.forEach((v, n) => assert.equal(v.value.value.value, items[n].dataType));
  const dead = await session.read({ nodeId: node(8), attributeId: AttributeIds.Value });
  assert.notEqual(dead.statusCode.value, StatusCodes.Good.value); // Press_2 never answered
});

test("writes reach the simulator's registers; a read-only item refuses with its status code", async () => {
  const write = (label, dataType, value) =>
    session.write({ nodeId: node(label), attributeId: AttributeIds.Value, value: { value: { dataType, value } } });
  assert.equal((await write(1, DataType.Int16, -1234)).value, StatusCodes.Good.value);
  assert.equal((await write(3, DataType.Int32, 123456789)).value, StatusCodes.Good.value);
  assert.equal((await write(4, DataType.Float, 2.5)).value, StatusCodes.Good.value);
  await eventually("MI 100 in register 100", async () => (await readRegisters(plcPort, 100, 1))[0] === 65536 - 1234);
  await eventually("ML 10 in registers 7020-7021", async () => {
    const [high, low] = await readRegisters(plcPort, 7020, 2);
    return high * 65536 + low === 123456789;
  });
  await eventually("MF 20 in registers 9340-9341", async () => {
    const words = await readRegisters(plcPort, 9340, 2);
    const buffer = Buffer.alloc(4);
    buffer.writeUInt16BE(words[0], 0);
    buffer.writeUInt16BE(words[1], 2);
    return buffer.readFloatBE(0) === 2.5;
  });
  assert.equal((await write(2, DataType.Int16, 5)).value, StatusCodes.BadNotWritable.value);
  assert.equal((await write(1, DataType.String, "seven")).value, StatusCodes.BadTypeMismatch.value);
  const access = await session.read({ nodeId: node(2), attributeId: AttributeIds.AccessLevel });
  assert.equal(access.value.value & 2, 0); // CurrentWrite not set
});

test("the history of a recorded item reads back through HistoryRead; another keeps none", async () => {
  const since = new Date(Date.now() - 1000);
  for (const value of [11, 22, 33]) {
    const written = await session.write({ nodeId: node(1), attributeId: AttributeIds.Value,
                                          value: { value: { dataType: DataType.Int16, value } } });
    assert.equal(written.value, StatusCodes.Good.value);
    await eventually(`${value} in register 100`, async () => (await readRegisters(plcPort, 100, 1))[0] === value);
  }
  const history = await eventually("the three writes in the history", async () => {
    const result = await session.readHistoryValue(node(1), since, new Date(Date.now() + 1000));
    const values = (result.historyData?.dataValues || []).map((v) => v.value.value);
    return result.statusCode.isGood() && values.slice(-3).join() === "11,22,33" && result.historyData.dataValues;
  });
  for (let i = 1; i < history.length; i++) {
    assert.ok(history[i].sourceTimestamp >= history[i - 1].sourceTimestamp, "oldest first");
  }
  const historizing = await session.read([1, 2].map((label) => ({ nodeId: node(label), attributeId: AttributeIds.Historizing })));
  assert.deepEqual(historizing.map((v) => v.value.value), [true, false]);
  const none = await session.readHistoryValue(node(2), since, new Date());
  assert.equal(none.statusCode.value, StatusCodes.BadHistoryOperationUnsupported.value);
});

test("a subscription gets the counter's and the timer's changes, and an absolute deadband holds back the small ones", async () => {
  const subscription = await session.createSubscription2({
    requestedPublishingInterval: 100,
    requestedLifetimeCount: 100,
    requestedMaxKeepAliveCount: 10,
    publishingEnabled: true,
  });
  const watch = async (filter, label = 7) => {
    const values = [];
    const monitored = await subscription.monitor(
      { nodeId: node(label), attributeId: AttributeIds.Value },
      { samplingInterval: 100, queueSize: 10, discardOldest: true, filter },
      TimestampsToReturn.Both
    );
    monitored.on("changed", (dataValue) => values.push(dataValue.value.value));
    return { values, monitored };
  };
  const plain = await watch(null);
  const banded = await watch(new ua.DataChangeFilter({ trigger: ua.DataChangeTrigger.StatusValue, deadbandType: ua.DeadbandType.Absolute, deadbandValue: 2.5 }));
  // The timer changes in every pass, more often than the subscription publishes: its changes must not hold the
  // publishing off.
  const timer = await watch(null, 6);
  await eventually("five changes of the counter", () => plain.values.length >= 6, 15000);
  assert.ok(timer.values.length >= 20, `the timer's changes: ${timer.values.length}`);
  assert.ok(banded.values.length >= 2, `deadband: ${banded.values}`);
  assert.ok(banded.values.length < plain.values.length, `plain ${plain.values} deadband ${banded.values}`);
  for (let i = 1; i < banded.values.length; ++i) {
    assert.ok(Math.abs(banded.values[i] - banded.values[i - 1]) > 2.5, `deadband let through ${banded.values}`);
  }
  await subscription.terminate();
});

test("the PLC's Stop and Run methods clear and set the run coil", async () => {
  const plc = "ns=1;s=plc/Line_1";
  const methodOf = async (name) => {
    const result = await session.browse(plc);
    const ref = result.references.find((r) => r.browseName.name === name);
    assert.ok(ref, `no method ${name} under ${plc}`);
    return ref.nodeId;
  };
  const stop = await session.call({ objectId: plc, methodId: await methodOf("Stop"), inputArguments: [] });
  assert.equal(stop.statusCode.value, StatusCodes.Good.value);
  await eventually("run coil 65000 cleared", async () => (await readCoil(plcPort, 65000)) === 0);
  const run = await session.call({ objectId: plc, methodId: await methodOf("Run"), inputArguments: [] });
  assert.equal(run.statusCode.value, StatusCodes.Good.value);
  await eventually("run coil 65000 set", async () => (await readCoil(plcPort, 65000)) === 1);
});

test("a PLC that goes away shows a status that is not good, and good again once it is back", async () => {
  simulator.kill("SIGKILL");
  await eventually("MI 100 no longer good", async () => {
    const v = await session.read({ nodeId: node(1), attributeId: AttributeIds.Value });
    return v.statusCode.value !== StatusCodes.Good.value && v.statusCode.name;
  });
  await startSimulator();
  await eventually("MI 100 good again", async () => {
    const v = await session.read({ nodeId: node(1), attributeId: AttributeIds.Value });
    return v.statusCode.value === StatusCodes.Good.value;
  }, 15000);
});

// Raw bytes on the wire, for the faults no well-behaved client would make.
function rawConnection() {
  const port = Number(new URL(endpoint.replace("opc.tcp", "http")).port);
  const socket = net.connect(port, "127.0.0.1");
  const state = { data: Buffer.alloc(0), closed: false };
  socket.on("data", (chunk) => (state.data = Buffer.concat([state.data, chunk])));
  socket.on("close", () => (state.closed = true));
  socket.on("error", () => {});
  return new Promise((resolve) => socket.on("connect", () => resolve({ socket, state })));
}

function hello(receiveBuffer = 65536, maxMessage = 0) {
  const url = Buffer.from(endpoint);
  const body = Buffer.alloc(20 + 4 + url.length);
  body.writeUInt32LE(0, 0); // protocol version
  body.writeUInt32LE(receiveBuffer, 4);
  body.writeUInt32LE(65536, 8);
  body.writeUInt32LE(maxMessage, 12);
  body.writeUInt32LE(0, 16);
  body.writeInt32LE(url.length, 20);
  url.copy(body, 24);
  const header = Buffer.from("HELF\0\0\0\0");
  header.writeUInt32LE(8 + body.length, 4);
  return Buffer.concat([header, body]);
}

test("garbage, a huge message size and a message before Hello are answered with an error and closed", async () => {
  const cases = [
    Buffer.from("GET / HTTP/1.1\r\nHost: x\r\n\r\n"),
    Buffer.from([0x48, 0x45, 0x4c, 0x46, 0xff, 0xff, 0xff, 0x7f]), // a Hello that claims 2 GB
    Buffer.from("MSGF\x10\0\0\0\0\0\0\0\0\0\0\0"), // a message before any Hello
  ];
  for (const bytes of cases) {
    const { socket, state } = await rawConnection();
    socket.write(bytes);
    await eventually(`closed after ${bytes.subarray(0, 8).toString("hex")}`, () => state.closed);
    if (state.data.length >= 8) assert.equal(state.data.subarray(0, 4).toString(), "ERRF");
  }
  // The server still serves the session opened before.
  const v = await session.read({ nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value });
  assert.equal(v.statusCode.value, StatusCodes.Good.value);
});

test("a client that floods requests and never reads its socket is closed; the others go on", async () => {
  const { socket, state } = await rawConnection();
  socket.write(hello());
  await eventually("Acknowledge", () => state.data.length >= 8 && state.data.subarray(0, 4).toString() === "ACKF");
  socket.pause(); // never reads again
  const junk = Buffer.alloc(65536, 0x41);
  const flood = Buffer.concat([Buffer.from("MSGF"), Buffer.alloc(4), junk]);
  flood.writeUInt32LE(flood.length, 4);
  for (let i = 0; i < 200 && !state.closed; ++i) {
    if (!socket.write(flood)) await new Promise((resolve) => setTimeout(resolve, 5));
  }
  await eventually("the flooding client closed", () => state.closed || socket.destroyed);
  socket.destroy();
  const v = await session.read({ nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value });
  assert.equal(v.statusCode.value, StatusCodes.Good.value);
});
