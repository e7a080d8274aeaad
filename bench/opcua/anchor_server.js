// The anchor of the OPC UA benchmark: a node-opcua server holding N Int32 variables ns=1;s=lblDDE(i) in one folder
// under Objects, every one set every PASS milliseconds to the moment it was set (microseconds of the monotonic
// clock modulo 10^9), as Tavrel's simulated PLC does.
// Usage: node anchor_server.js N PASS_MS      prints "OPC UA server on opc.tcp://127.0.0.1:PORT/"; ends with stdin.
"use strict";

const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const { OPCUAServer, OPCUACertificateManager, Variant, DataType, StatusCodes, MessageSecurityMode, SecurityPolicy } =
  require("node-opcua");

const count = Number(process.argv[2] || 10000);
const passMs = Number(process.argv[3] || 100);
const wrap = 1000000000n;
const stamp = () => Number((process.hrtime.bigint() / 1000n) % wrap);

(async () => {
  const pki = fs.mkdtempSync(path.join(os.tmpdir(), "tavrel-anchor-pki-"));
  const server = new OPCUAServer({
    port: 0,
    hostname: "127.0.0.1",
    serverCertificateManager: new OPCUACertificateManager({ rootFolder: pki, automaticallyAcceptUnknownCertificate: true }),
    securityModes: [MessageSecurityMode.None],
    securityPolicies: [SecurityPolicy.None],
    allowAnonymous: true,
    maxConnectionsPerEndpoint: 10,
    serverCapabilities: { maxMonitoredItems: 200000, maxMonitoredItemsPerSubscription: 200000,
      operationLimits: { maxNodesPerRead: 20000, maxNodesPerBrowse: 20000, maxMonitoredItemsPerCall: 20000 } },
  });
  await server.initialize();
  const addressSpace = server.engine.addressSpace;
  const namespace = addressSpace.getOwnNamespace();
  const folder = namespace.addObject({ organizedBy: addressSpace.rootFolder.objects, browseName: "Clock_1" });
  const variables = [];
  for (let i = 1; i <= count; ++i) {
    variables.push(namespace.addVariable({ componentOf: folder, nodeId: `s=lblDDE(${i})`, browseName: `lblDDE(${i})`,
      dataType: "Int32", value: new Variant({ dataType: DataType.Int32, value: 0 }) }));
  }
  setInterval(() => {
    const now = stamp();
    const when = new Date();
    for (const variable of variables) {
      variable.setValueFromSource(new Variant({ dataType: DataType.Int32, value: now }), StatusCodes.Good, when);
    }
  }, passMs);
  await server.start();
  const port = server.endpoints[0].port;
  console.log(`OPC UA server on opc.tcp://127.0.0.1:${port}/`);
  process.stdin.resume();
  process.stdin.on("end", async () => {
    await server.shutdown(0);
    fs.rmSync(pki, { recursive: true, force: true });
    process.exit(0);
  });
})().catch((error) => {
  console.error(error);
  process.exit(1);
});
