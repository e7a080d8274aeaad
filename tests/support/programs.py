"""What the end-to-end tests and the benchmarks share: our programs started and their output read, loopback
ports, a project on simulated PLCs, and the simulator's registers read and written over a plain socket.

Scripts find it with sys.path.insert(0, <this folder>); it needs nothing beyond Python's own library."""
import http.client
import os
import re
import shutil
import signal
import socket
import sqlite3
import struct
import subprocess
import threading
import time

# Operand types of a project's items (OprndType) and item directions (CommDirection).
MB, MI, ML, MF, DW, T_PRESET, T_CURRENT, C_CURRENT = 1, 3, 5, 7, 16, 39, 44, 45
READ, WRITE, READ_WRITE = 0, 1, 2
# The simulator's run coil: set while its program runs.
RUN_COIL = 65000


class Failure(AssertionError):
    """A check of a suite that is no unittest failed."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def eventually(condition, what, timeout=15.0, pause=0.05):
    """The first true result of `condition()`, tried until `timeout` seconds pass; a Failure naming `what` if none."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise Failure(f"never: {what}")
        time.sleep(pause)


def free_port():
    """A loopback port nobody listens on right now."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def http_call(port, method, path, body=None, headers=None):
    """One HTTP request to the link server on `port`; (status, body text)."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.read().decode()
    finally:
        connection.close()


def start(args, pattern, timeout=15, env=None):
    """Starts a program, its output (standard error included) on a pipe, and waits for a line that matches
    `pattern` (None: no waiting). Returns (process, match, the lines read so far)."""
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
    lines = []
    if pattern is None:
        return process, None, lines
    try:
        return process, wait_for_line(process, pattern, lines, timeout), lines
    except AssertionError:
        end(process)
        raise


def wait_for_line(process, pattern, lines, timeout=15):
    """The match of the first line from now on that matches `pattern`; every line read is added to `lines`."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        line = process.stdout.readline()
        if not line:
            break
        lines.append(line)
        match = re.search(pattern, line)
        if match:
            return match
    raise AssertionError(f"{process.args[0]} never printed {pattern!r}: {''.join(lines[-40:])}")


def drain(process):
    """Reads the rest of a program's output on a thread of its own, so that the program never blocks on a full
    pipe."""
    threading.Thread(target=process.stdout.read, daemon=True).start()


def end(process, timeout=10):
    """Ends a program with SIGTERM, or SIGKILL when it will not end, and closes its output."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    if process.stdout:
        process.stdout.close()


def start_simulator(bin_folder, port=0):
    """tavrel-plcsim on 127.0.0.1:`port` (0: a free one); (process, its port)."""
    process, match, _ = start([f"{bin_folder}/tavrel-plcsim", "--tcp", f"127.0.0.1:{port}"],
                              r"listening on tcp 127\.0\.0\.1:(\d+)")
    return process, int(match.group(1))


def start_tavrel(bin_folder, folder, project, *options, listen="127.0.0.1:0", timeout=15):
    """tavrel --headless with its settings in `folder`, without OPC UA unless `options` ask for it (--opcua): two
    of them at once would both want its port; (process, link server port, lines read so far)."""
    process, match, lines = start([f"{bin_folder}/tavrel", "--headless", "--settings", f"{folder}/t.ini",
                                   "--listen", listen, "--opcua", "127.0.0.1:0", *options, project],
                                  r"link server on http://127\.0\.0\.1:(\d+)/", timeout)
    return process, int(match.group(1)), lines


def make_project(bin_folder, path, plcs, timeout_ms=500, retries=1):
    """A project from the template with PLCs on loopback Modbus TCP: `plcs` holds (name, port, items), each item
    (operand type, address, length, direction, label index)."""
    shutil.copy(f"{bin_folder}/Templates/DDETemplate.tvb", path)
    with sqlite3.connect(path) as db:
        for plc_id, (name, port, items) in enumerate(plcs, start=1):
            db.execute("INSERT INTO Plcs (ID, Name) VALUES (?, ?)", (plc_id, name))
            db.execute("INSERT INTO CommParams (PlcID,PathWay,EthRemotePort,EthRemoteIP,SerialComPort,SerialBaudRate,"
                       "TimeOut,NumRetries,UnitID,PlcType,DataBits,Parity,StopBits) "
                       "VALUES (?,2,?,'127.0.0.1',1,57600,?,?,0,0,8,0,1)", (plc_id, port, timeout_ms, retries))
            db.executemany("INSERT INTO Items (PlcID,OprndType,OprndAddr,Oprndlength,CommDirection,IsEnabled,"
                           "LabelIndex) VALUES (?,?,?,?,?,-1,?)", [(plc_id, *item) for item in items])


def modbus(port, pdu):
    """One Modbus TCP request to the simulator on `port`; the answer's data after its function code."""
    with socket.create_connection(("127.0.0.1", port), 5) as connection:
        connection.sendall(struct.pack(">HHHB", 1, 0, len(pdu) + 1, 255) + pdu)
        reply = b""
        while len(reply) < 9 or len(reply) < 6 + struct.unpack(">H", reply[4:6])[0]:
            chunk = connection.recv(260)
            if not chunk:
                raise AssertionError("the simulator closed the connection")
            reply += chunk
    if reply[7] != pdu[0]:
        raise AssertionError(f"Modbus exception {reply[8]}")
    return reply[8:]


def modbus_read(port, function, address, count=1):
    """Holding registers (function 3) or coils (1) of the simulator, as a list."""
    data = modbus(port, struct.pack(">BHH", function, address, count))[1:]
    if function == 3:
        return list(struct.unpack(f">{count}H", data[:2 * count]))
    return [(data[i // 8] >> (i % 8)) & 1 for i in range(count)]


def modbus_write(port, function, address, values):
    """Writes coils (function 15) or holding registers (16) of the simulator from `address` on."""
    if function == 16:
        data = struct.pack(f">{len(values)}H", *values)
    else:
        data = bytes(sum(1 << i for i, bit in enumerate(values[at:at + 8]) if bit) for at in range(0, len(values), 8))
    modbus(port, struct.pack(">BHHB", function, address, len(values), len(data)) + data)


class Program:
    """A child process whose standard output and error are kept, line by line, with the time each line came; its
    standard error also copied to `stderr_path` when given."""

    def __init__(self, args, stderr_path=None):
        self.args = args
        self.stderr_file = open(stderr_path, "w") if stderr_path else None
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                        errors="replace")
        self.lines = []   # (monotonic time, line)
        self.reader = threading.Thread(target=self._read, args=(self.process.stdout, None), daemon=True)
        self.reader.start()
        self.error_reader = threading.Thread(target=self._read, args=(self.process.stderr, self.stderr_file),
                                             daemon=True)
        self.error_reader.start()

    def _read(self, stream, copy):
        for line in stream:
            self.lines.append((time.monotonic(), line.rstrip("\n")))
            if copy:
                copy.write(line)
                copy.flush()

    def wait_line(self, pattern, since=0.0, timeout=10.0):
        """The time and match of the first line after `since` that matches, waiting for it if need be."""
        deadline = time.monotonic() + timeout
        while True:
            for stamp, line in list(self.lines):
                if stamp > since:
                    match = re.search(pattern, line)
                    if match:
                        return stamp, match
            if time.monotonic() > deadline:
                raise Failure(f"{os.path.basename(self.args[0])} never printed {pattern!r} "
                              f"(last lines: {[line for _, line in self.lines[-6:]]})")
            time.sleep(0.02)

    def lines_between(self, pattern, start, end):
        return [line for stamp, line in list(self.lines) if start < stamp <= end and re.search(pattern, line)]

    def stop(self, sig=signal.SIGTERM, timeout=15):
        if self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.reader.join(5)
        self.error_reader.join(5)
        if self.stderr_file:
            self.stderr_file.close()
        return self.process.returncode


class Simulator:
    """tavrel-plcsim on 127.0.0.1 as a Program, to be killed, frozen and thawed, and started again on its port."""

    def __init__(self, bin_folder, port=0):
        self.bin_folder, self.port = bin_folder, port
        self.restart()

    def restart(self):
        self.program = Program([f"{self.bin_folder}/tavrel-plcsim", "--tcp", f"127.0.0.1:{self.port}"])
        self.port = int(self.program.wait_line(r"listening on tcp 127\.0\.0\.1:(\d+)")[1].group(1))

    def signal(self, sig):
        self.program.process.send_signal(sig)

    def stop(self):
        self.signal(signal.SIGCONT)
        self.program.stop()


def start_tavrel_program(bin_folder, folder, project, *options):
    """tavrel --headless as a Program, its settings in `folder`/t.ini and its standard error in `folder`/tavrel.stderr,
    once its link server listens; (program, the link server's port, that line)."""
    program = Program([f"{bin_folder}/tavrel", "--headless", "--settings", os.path.join(folder, "t.ini"), "--listen",
                       "127.0.0.1:0", "--opcua", "127.0.0.1:0", *options, project], stderr_path=os.path.join(folder, "tavrel.stderr"))
    _, match = program.wait_line(r"link server on http://127\.0\.0\.1:(\d+)/")
    return program, int(match.group(1)), match.string


def finish(tavrel, folder, figures, started, problems):
    """The end of a fault suite: stops tavrel (from start_tavrel_program, or None), adds to `problems` what was wrong
    with how it ended (its exit code, its last line, a sanitizer's report), removes `folder`, prints the figures and
    the problems; the suite's exit code."""
    code = tavrel.stop() if tavrel else None
    stderr_path = os.path.join(folder, "tavrel.stderr")
    stderr = open(stderr_path).read() if os.path.exists(stderr_path) else ""
    shutil.rmtree(folder, ignore_errors=True)
    if code != 0:
        problems.append(f"tavrel ended with {code}")
    if tavrel and tavrel.lines and tavrel.lines[-1][1] != "stopped":
        problems.append(f"tavrel's last line is {tavrel.lines[-1][1]!r}, not 'stopped'")
    for marker in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"):
        if marker in stderr:
            problems.append(f"sanitizer report: {stderr[stderr.index(marker):][:2000]}")
    for name, value in figures.items():
        print(f"{name}: {value:.1f}" if isinstance(value, float) else f"{name}: {value}")
    print(f"tavrel exit code {code}; run time {time.monotonic() - started:.1f} s")
    if problems:
        print("\nPROBLEMS:\n  " + "\n  ".join(problems))
        return 1
    return 0
