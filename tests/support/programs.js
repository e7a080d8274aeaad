// What the node tests share: programs started and waited for, free ports on 127.0.0.1, waiting for a condition,
// and one Modbus TCP request to the PLC simulator.
"use strict";

const { spawn } = require("node:child_process");
const net = require("node:net");
const assert = require("node:assert/strict");

const started = [];

// Starts a program and resolves with { child, match } once its output (standard output or error) matches
// `pattern`; rejects when it ends or takes longer than `timeoutMs`.
function start(program, args, pattern, timeoutMs = 30000) {
  const child = spawn(program, args, { stdio: ["ignore", "pipe", "pipe"] });
  started.push(child);
  let output = "";
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`${program} never printed ${pattern}: ${output}`)), timeoutMs);
    const look = (chunk) => {
      output += chunk;
      const match = output.match(pattern);
      if (match) {
        clearTimeout(timer);
        resolve({ child, match });
      }
    };
    child.stdout.on("data", look);
    child.stderr.on("data", look);
    child.on("exit", (code) => reject(new Error(`${program} ended (${code}): ${output}`)));
  });
}

// Ends every program started that still runs.
function stopAll(signal = "SIGTERM") {
  for (const child of started) if (child.exitCode === null) child.kill(signal);
}

function freePort() {
  return new Promise((resolve) => {
    const server = net.createServer().listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// Resolves with the first true result of `check`, asked every 50 ms; fails naming `what` after `timeoutMs`.
async function eventually(what, check, timeoutMs = 10000) {
  const deadline = Date.now() + timeoutMs;
  let last;
  while (Date.now() < deadline) {
    last = await check();
    if (last) return last;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  assert.fail(`${what} never happened (last: ${JSON.stringify(last)})`);
}

// One Modbus TCP request to the simulator (unit 255); the answer's data after the function code.
function modbus(port, pdu) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, "127.0.0.1");
    let answer = Buffer.alloc(0);
    socket.setTimeout(3000, () => socket.destroy(new Error("the simulator did not answer")));
    socket.on("connect", () => socket.write(Buffer.concat([Buffer.from([0, 1, 0, 0, 0, pdu.length + 1, 255]), pdu])));
    socket.on("data", (chunk) => {
      answer = Buffer.concat([answer, chunk]);
      if (answer.length >= 6 && answer.length >= 6 + answer.readUInt16BE(4)) {
        socket.end();
        if (answer[7] & 0x80) reject(new Error(`Modbus exception ${answer[8]}`));
        else resolve(answer.subarray(8));
      }
    });
    socket.on("error", reject);
  });
}

// A request: the function code, then 16-bit words.
const pdu = (...words) => Buffer.concat([Buffer.from([words[0]]), ...words.slice(1).map((w) => Buffer.from([w >> 8, w & 255]))]);
const readRegisters = async (port, address, count) => {
  const data = await modbus(port, pdu(3, address, count));
  return [...Array(count).keys()].map((i) => data.readUInt16BE(1 + 2 * i));
};
const writeRegister = (port, address, value) => modbus(port, pdu(6, address, value));
const readCoil = async (port, address) => (await modbus(port, pdu(1, address, 1)))[1] & 1;

module.exports = { start, stopAll, freePort, eventually, modbus, pdu, readRegisters, writeRegister, readCoil };
