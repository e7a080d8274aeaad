// For the OPC UA server's Qt test: connects to ENDPOINT, says "connected", then says "found NODE NAME" once NODE can
// be browsed to from its parent and its DisplayName read, and "gone NODE" once it no longer can; ends after both,
// or with status 1 after 30 s.
// Usage: node watch_nodes.js ENDPOINT PARENT NODE      (exits 77, skipped, without node_modules)
"use strict";

let ua;
try {
  ua = require("node-opcua-client");
} catch {
  process.exit(77);
}
const { OPCUAClient, AttributeIds, StatusCodes, MessageSecurityMode, SecurityPolicy } = ua;
const [endpoint, parent, node] = process.argv.slice(2);

(async () => {
  const client = OPCUAClient.create({ endpointMustExist: false, securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 }, keepSessionAlive: false });
  await client.connect(endpoint);
  const session = await client.createSession();
  console.log("connected");
  const present = async () => {
    const children = await session.browse(parent);
    if (!children.references.some((ref) => ref.nodeId.toString() === node)) return null;
    const name = await session.read({ nodeId: node, attributeId: AttributeIds.DisplayName });
    return name.statusCode.value === StatusCodes.Good.value ? name.value.value.text : null;
  };
  const deadline = Date.now() + 30000;
  let found = false;
  while (Date.now() < deadline) {
    const name = await present();
    if (!found && name) {
      console.log(`found ${node} ${name}`);
      found = true;
    } else if (found && !name) {
      console.log(`gone ${node}`);
      await session.close();
      await client.disconnect();
      process.exit(0);
    }
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  process.exit(1);
})().catch((error) => {
  console.error(String(error));
  process.exit(1);
});
