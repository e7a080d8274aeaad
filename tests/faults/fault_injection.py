#!/usr/bin/env python3
"""Fault injection: tavrel --headless against five simulated PLCs while faults are injected into three of them.

Usage: fault_injection.py BIN_FOLDER

  Steady_1   tavrel-plcsim, reached directly                  never faulted
  Steady_2   tavrel-plcsim behind a faulty link, kept healthy never faulted; the link counts its answers
  Flaky      tavrel-plcsim behind a faulty link               Modbus exceptions, garbage frames, answers stalled
  Dropped    tavrel-plcsim behind a faulty link               connections dropped mid-request (a poke's write among
                                                              them), half answers, resets
  Restarted  tavrel-plcsim, reached directly                  the simulator killed and restarted, frozen and thawed

The faulty link is a Modbus TCP proxy in this script. Tavrel runs with --reconnect-seconds 2 so that the
60-second retry is driven in seconds. For every fault: the PLC is reported not connected, keeps its last
values (no garbage ever reaches a label), is retried no sooner than the delay allows, and comes back once
the fault is gone; the steady PLCs never fail and keep being read; Tavrel ends cleanly on SIGTERM with no
sanitizer report (the build is ASan/UBSan, so a leak fails the exit code). Prints the figures at the end.
"""
import asyncio
import os
import random
import re
import shutil
import signal
import socket
import struct
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import programs  # noqa: E402
from programs import MI, READ, READ_WRITE, T_CURRENT, Failure, Program, ending_problems, report  # noqa: E402

RECONNECT_SECONDS = 2
TIMEOUT_MS = 300
RETRIES = 1
STALL_SECONDS = 1.5           # longer than TIMEOUT_MS x (RETRIES + 1)
DEADLINE_SECONDS = 150         # the whole run, whatever happens



def check(condition, message):
    if not condition:
        raise Failure(message)


# ---------------------------------------------------------------------------------------------------------------
# Processes

class Simulator:
    """tavrel-plcsim on 127.0.0.1; started again on the same port after a kill."""

    def __init__(self, bin_folder, port=0):
        self.bin_folder = bin_folder
        self.program = Program([f"{bin_folder}/tavrel-plcsim", "--tcp", f"127.0.0.1:{port}"])
        _, match = self.program.wait_line(r"listening on tcp 127\.0\.0\.1:(\d+)")
        self.port = int(match.group(1))

    def kill(self):
        self.program.stop(signal.SIGKILL)

    def restart(self):
        self.program = Program([f"{self.bin_folder}/tavrel-plcsim", "--tcp", f"127.0.0.1:{self.port}"])
        self.program.wait_line(r"listening on tcp")

    def freeze(self):
        self.program.process.send_signal(signal.SIGSTOP)

    def thaw(self):
        self.program.process.send_signal(signal.SIGCONT)

    def stop(self):
        self.program.process.send_signal(signal.SIGCONT)
        self.program.stop()


# ---------------------------------------------------------------------------------------------------------------
# The faulty link

def answer_frame(tid, unit, pdu, protocol=0):
    return struct.pack(">HHHB", tid, protocol, len(pdu) + 1, unit) + pdu


class FaultyLink:
    """A Modbus TCP proxy to one simulator that passes requests on, or misbehaves as `mode` says:
    pass, exception-4, exception-2, stall, garbage-tid, garbage-protocol, garbage-count, garbage-function,
    garbage-noise, cut, half, cut-second, reset."""

    def __init__(self, loop, upstream_port):
        self.loop = loop
        self.upstream_port = upstream_port
        self.mode = "pass"
        self.accepts = []      # monotonic times of accepted connections
        self.answered = []     # monotonic times of answers passed on whole and in time
        self.faulted = 0       # requests met with a fault
        self.server = asyncio.run_coroutine_threadsafe(
            asyncio.start_server(self._serve, "127.0.0.1", 0), loop).result(5)
        self.port = self.server.sockets[0].getsockname()[1]

    def close(self):
        async def shut():
            self.server.close()
            await self.server.wait_closed()
        asyncio.run_coroutine_threadsafe(shut(), self.loop).result(5)

    @staticmethod
    async def _read_frame(reader):
        header = await reader.readexactly(7)
        _, _, length, _ = struct.unpack(">HHHB", header)
        return header + await reader.readexactly(max(length - 1, 0))

    async def _serve(self, reader, writer):
        self.accepts.append(time.monotonic())
        upstream_writer = None
        requests = 0
        try:
            upstream_reader, upstream_writer = await asyncio.open_connection("127.0.0.1", self.upstream_port)
            while True:
                request = await self._read_frame(reader)
                requests += 1
                tid, _, _, unit = struct.unpack(">HHHB", request[:7])
                function = request[7]
                mode = self.mode
                if mode == "cut-second" and requests % 2 == 1:
                    mode = "pass"
                if mode == "cut-write":
                    mode = "cut" if function in (5, 6, 15, 16) else "pass"
                if mode != "pass":
                    self.faulted += 1
                if mode.startswith("exception-"):
                    writer.write(answer_frame(tid, unit, bytes([function | 0x80, int(mode[-1])])))
                    await writer.drain()
                    continue
                if mode in ("cut", "cut-second", "cut-write"):
                    return  # the request is taken and no answer ever comes: the connection closes
                if mode == "reset":
                    writer.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                                               struct.pack("ii", 1, 0))
                    writer.transport.abort()
                    return
                if mode == "garbage-noise":
                    writer.write(random.randbytes(random.randint(9, 40)))
                    await writer.drain()
                    continue
                upstream_writer.write(request)
                await upstream_writer.drain()
                answer = await self._read_frame(upstream_reader)
                pdu = answer[7:]
                if mode == "pass":
                    writer.write(answer)
                    await writer.drain()
                    self.answered.append(time.monotonic())
                elif mode == "half":
                    writer.write(answer[: len(answer) // 2])
                    await writer.drain()
                    return
                elif mode == "stall":
                    await asyncio.sleep(STALL_SECONDS)
                    writer.write(answer)  # too late: the request has timed out
                    await writer.drain()
                elif mode == "garbage-tid":
                    writer.write(answer_frame(tid ^ 0x5A5A, unit, pdu))
                    await writer.drain()
                elif mode == "garbage-protocol":
                    # Both bytes wrong: libmodbus 3.1.6 lets a protocol identifier through when either one is 0.
                    writer.write(answer_frame(tid, unit, pdu, protocol=0x0707))
                    await writer.drain()
                elif mode == "garbage-count":
                    # A read answer whose byte count promises less than the request asked for.
                    short = bytes([pdu[0], max(pdu[1] - 2, 0)]) + pdu[2:-2] if len(pdu) > 3 else pdu[:1]
                    writer.write(answer_frame(tid, unit, short))
                    await writer.drain()
                elif mode == "garbage-function":
                    writer.write(answer_frame(tid, unit, bytes([pdu[0] ^ 0x07]) + pdu[1:]))
                    await writer.drain()
        except (asyncio.IncompleteReadError, ConnectionError, OSError):
            pass
        finally:
            for closing in (writer, upstream_writer):
                if closing is not None:
                    closing.close()


# ---------------------------------------------------------------------------------------------------------------
# Tavrel

def make_project(path, bin_folder, plcs):
    """Each PLC's items: lblDDE(10k+1) MI 100 read/write (poked to a known value), lblDDE(10k+2) T (Current) 0, a
    timer of the simulator that runs from the start, so its value moves while the PLC is read."""
    programs.make_project(bin_folder, path, [(name, port, [(MI, 100, 1, READ_WRITE, 10 * k + 1),
                                                            (T_CURRENT, 0, 1, READ, 10 * k + 2)])
                                             for k, (name, port) in enumerate(plcs, start=1)],
                          timeout_ms=TIMEOUT_MS, retries=RETRIES)


class Items:
    """The link server's items, over HTTP."""

    def __init__(self, port):
        self.port = port

    def _call(self, method, item, body=None):
        return programs.http_call(self.port, method, f"/dde/Tavrel/Items/lblDDE({item})", body)

    def read(self, item):
        status, text = self._call("GET", item)
        check(status == 200, f"GET lblDDE({item}) answered {status}: {text}")
        return text

    def poke(self, item, text):
        status, answer = self._call("PUT", item, text)
        check(status == 204, f"PUT lblDDE({item}) {text} answered {status}: {answer}")


# ---------------------------------------------------------------------------------------------------------------
# The faults

class Record:
    """What happened to one fault."""

    def __init__(self, plc, kind):
        self.plc, self.kind = plc, kind
        self.detected = self.kept = self.retried = self.back = False
        self.retry_after = None
        self.back_after = None
        self.problem = None

    @property
    def survived(self):
        return self.problem is None and self.detected and self.kept and self.retried and self.back


class FaultScript(threading.Thread):
    """Injects a list of faults into one PLC, one after another, checking each."""

    def __init__(self, run, plc, index, kinds, inject, heal, link=None):
        super().__init__(daemon=True)
        self.run_, self.plc, self.index, self.kinds = run, plc, index, kinds
        self.inject, self.heal, self.link = inject, heal, link
        self.records = []
        self.poked = 1000 + 100 * index

    def value_item(self):
        return 10 * self.index + 1

    def timer_item(self):
        return 10 * self.index + 2

    def run(self):
        for kind in self.kinds:
            record = Record(self.plc, kind)
            self.records.append(record)
            try:
                self.cycle(kind, record)
            except Failure as failure:
                record.problem = str(failure)
            except Exception as error:  # noqa: BLE001 - a broken script is reported, not hidden
                record.problem = f"{type(error).__name__}: {error}"

    def wait_moving(self, timeout=8.0):
        """Waits until the timer item moves: the PLC is read again."""
        items = self.run_.items
        first = items.read(self.timer_item())
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            time.sleep(0.15)
            if items.read(self.timer_item()) != first:
                return time.monotonic()
        raise Failure(f"{self.plc}: lblDDE({self.timer_item()}) stays {first!r}: the PLC is not read")

    def cycle(self, kind, record):
        tavrel, items = self.run_.tavrel, self.run_.items
        name = re.escape(self.plc)
        self.poked += 1
        if kind == "cut-write":
            # The poke itself meets the fault: its write is cut, and it must still reach the PLC later.
            injected = time.monotonic()
            self.inject(kind)
            items.poke(self.value_item(), str(self.poked))
        else:
            items.poke(self.value_item(), str(self.poked))
            self.wait_value(str(self.poked))
            self.wait_moving()
            injected = time.monotonic()
            self.inject(kind)
        failed, _ = tavrel.wait_line(rf"PLC '{name}' not connected .*next attempt in {RECONNECT_SECONDS} s",
                                     since=injected, timeout=8)
        record.detected = True

        # The last values stay: the poked value, and a timer that no longer moves.
        frozen = items.read(self.timer_item())
        time.sleep(0.6)
        check(items.read(self.value_item()) == str(self.poked),
              f"{self.plc} lost its value {self.poked}: {items.read(self.value_item())!r}")
        check(items.read(self.timer_item()) == frozen, f"{self.plc}: a value changed while not connected")

        # Retried no sooner than the delay allows (the clock counts whole seconds), and failing again.
        if self.link is not None:
            retry = self.wait_accept(after=failed, timeout=RECONNECT_SECONDS + 3)
            record.retry_after = retry - failed
            # A retry at once would come within a few milliseconds; the margins are for a busy machine.
            check(RECONNECT_SECONDS - 1.5 <= record.retry_after <= RECONNECT_SECONDS + 2.5,
                  f"{self.plc}: retried {record.retry_after:.2f} s after failing")
            tavrel.wait_line(rf"PLC '{name}' not connected", since=retry, timeout=5)
        elif kind == "freeze":
            # A frozen process still completes TCP handshakes: the retry opens, and its read fails again.
            again, _ = tavrel.wait_line(rf"PLC '{name}' not connected", since=failed + 0.05,
                                        timeout=RECONNECT_SECONDS + 3)
            record.retry_after = again - failed
        else:
            # A dead PLC refuses the retry; it has not come back, and is not reported as if it had.
            time.sleep(RECONNECT_SECONDS + 0.6)
            reported = tavrel.lines_between(rf"PLC '{name}' connected", failed, time.monotonic())
            check(not reported, f"{self.plc}: reported connected while its PLC was down: {reported}")
        record.retried = True
        check(items.read(self.value_item()) == str(self.poked), f"{self.plc} lost its value after a retry")
        if kind != "cut-write":  # there the retry reads, and only the write fails again
            check(items.read(self.timer_item()) == frozen, f"{self.plc}: a value changed after a failed retry")
        record.kept = True

        healed = time.monotonic()
        fresh = self.heal(kind)
        tavrel.wait_line(rf"PLC '{name}' connected", since=healed, timeout=RECONNECT_SECONDS + 5)
        moving = self.wait_moving()
        if fresh:
            # A restarted simulator has forgotten the poke: the value read now is the PLC's, not the label's.
            self.wait_value("0")
        if kind == "cut-write":
            # Read back from the PLC pass after pass: had the poke been lost, the PLC's older value would show.
            until = time.monotonic() + 1.0
            while time.monotonic() < until:
                check(items.read(self.value_item()) == str(self.poked),
                      f"{self.plc}: the poke {self.poked} whose write was cut never reached the PLC: "
                      f"{items.read(self.value_item())!r}")
                time.sleep(0.1)
        record.back_after = moving - healed
        record.back = True

    def wait_value(self, text, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.run_.items.read(self.value_item()) == text:
                return
            time.sleep(0.05)
        raise Failure(f"{self.plc}: lblDDE({self.value_item()}) never became {text!r}")

    def wait_accept(self, after, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            later = [stamp for stamp in self.link.accepts if stamp > after]
            if later:
                return later[0]
            time.sleep(0.02)
        raise Failure(f"{self.plc}: never retried within {timeout} s")


class Run:
    def __init__(self, bin_folder):
        self.bin = bin_folder
        self.folder = tempfile.mkdtemp(prefix="tavrel-faults-")
        self.loop = asyncio.new_event_loop()
        threading.Thread(target=self.loop.run_forever, daemon=True).start()
        self.simulators = {}
        self.links = {}
        self.tavrel = None
        self.items = None

    def start(self):
        for name in ("Steady_1", "Steady_2", "Flaky", "Dropped", "Restarted"):
            self.simulators[name] = Simulator(self.bin)
        for name in ("Steady_2", "Flaky", "Dropped"):
            self.links[name] = FaultyLink(self.loop, self.simulators[name].port)
        plcs = [(name, self.links[name].port if name in self.links else self.simulators[name].port)
                for name in ("Steady_1", "Steady_2", "Flaky", "Dropped", "Restarted")]
        project = os.path.join(self.folder, "faults.tve")
        make_project(project, self.bin, plcs)
        self.tavrel = Program([f"{self.bin}/tavrel", "--headless", "--settings", os.path.join(self.folder, "t.ini"),
                               "--listen", "127.0.0.1:0", "--reconnect-seconds", str(RECONNECT_SECONDS), project],
                              stderr_path=os.path.join(self.folder, "tavrel.stderr"))
        _, match = self.tavrel.wait_line(r"link server on http://127\.0\.0\.1:(\d+)/")
        self.items = Items(int(match.group(1)))
        for name, _ in plcs:
            self.tavrel.wait_line(rf"PLC '{name}' connected")

    def stop(self):
        code = None
        if self.tavrel is not None:
            code = self.tavrel.stop()
        for link in self.links.values():
            link.close()
        for simulator in self.simulators.values():
            simulator.stop()
        self.loop.call_soon_threadsafe(self.loop.stop)
        return code

    def stderr(self):
        with open(os.path.join(self.folder, "tavrel.stderr")) as file:
            return file.read()


def rate(stamps, start, end):
    count = sum(1 for stamp in stamps if start <= stamp < end)
    return count / max(end - start, 1e-6)


def longest_gap(stamps, start, end):
    inside = [start] + [stamp for stamp in stamps if start <= stamp < end] + [end]
    return max(later - earlier for earlier, later in zip(inside, inside[1:]))


def steady_watch(run, until, stop, gaps):
    """Reads Steady_1's timer over and over; records the longest time it stood still."""
    value, since = run.items.read(12), time.monotonic()
    while time.monotonic() < until() and not stop.is_set():
        time.sleep(0.05)
        now_value = run.items.read(12)
        now = time.monotonic()
        if now_value != value:
            value, since = now_value, now
        gaps["Steady_1"] = max(gaps.get("Steady_1", 0.0), now - since)


def main():
    bin_folder = sys.argv[1]
    started = time.monotonic()
    run = Run(bin_folder)
    records = []
    problems = []
    figures = {}
    try:
        run.start()
        steady_link = run.links["Steady_2"]
        baseline_start = time.monotonic()
        time.sleep(3)
        baseline = rate(steady_link.answered, baseline_start, time.monotonic())

        flaky, dropped = run.links["Flaky"], run.links["Dropped"]
        restarted = run.simulators["Restarted"]

        def set_mode(link):
            def inject(kind):
                link.mode = kind
            def heal(kind):
                link.mode = "pass"
                return False
            return inject, heal

        def inject_restarted(kind):
            restarted.kill() if kind == "kill" else restarted.freeze()

        def heal_restarted(kind):
            if kind == "kill":
                restarted.restart()
                return True
            restarted.thaw()
            return False

        scripts = [
            FaultScript(run, "Flaky", 3, ["exception-4", "exception-2", "stall", "garbage-tid", "garbage-protocol",
                                          "garbage-count", "garbage-function", "garbage-noise"],
                        *set_mode(flaky), link=flaky),
            FaultScript(run, "Dropped", 4, ["cut", "half", "cut-second", "reset", "cut-write"], *set_mode(dropped),
                        link=dropped),
            FaultScript(run, "Restarted", 5, ["kill", "freeze", "kill", "freeze", "kill"], inject_restarted,
                        heal_restarted),
        ]
        faults_start = time.monotonic()
        gaps = {}
        stop_watch = threading.Event()
        watcher = threading.Thread(target=steady_watch, daemon=True,
                                   args=(run, lambda: started + DEADLINE_SECONDS, stop_watch, gaps))
        watcher.start()
        for script in scripts:
            script.start()
        for script in scripts:
            script.join(max(1.0, started + DEADLINE_SECONDS - time.monotonic()))
            check(not script.is_alive(), f"the faults of {script.plc} did not end in time")
        faults_end = time.monotonic()
        stop_watch.set()
        watcher.join(5)
        gaps["Steady_2"] = longest_gap(steady_link.answered, faults_start, faults_end)
        records = [record for script in scripts for record in script.records]

        figures["steady answers per second, before the faults"] = baseline
        figures["steady answers per second, during the faults"] = rate(steady_link.answered, faults_start, faults_end)
        figures["longest time a steady PLC was not read (s)"] = max(gaps.get("Steady_1", 0), gaps.get("Steady_2", 0))
        figures["requests met with a fault"] = flaky.faulted + dropped.faulted

        for name in ("Steady_1", "Steady_2"):
            failed = run.tavrel.lines_between(rf"PLC '{name}' not connected", 0, time.monotonic())
            if failed:
                problems.append(f"{name} failed while others were faulted: {failed[0]}")
        # One faulted PLC costs at most its time-out and retries per pass, three at once a little more.
        worst = 3 * TIMEOUT_MS * (RETRIES + 1) / 1000 + 3.0
        if figures["longest time a steady PLC was not read (s)"] > worst:
            problems.append(f"a steady PLC went unread for {figures['longest time a steady PLC was not read (s)']:.2f} s")
    except Failure as failure:
        problems.append(str(failure))
    finally:
        code = run.stop()
        stderr = run.stderr() if os.path.exists(os.path.join(run.folder, "tavrel.stderr")) else ""
        lines = [line for _, line in run.tavrel.lines] if run.tavrel else []
        shutil.rmtree(run.folder, ignore_errors=True)

    problems += ending_problems(code, lines, stderr)
    for record in records:
        if record.problem:
            problems.append(f"{record.plc} / {record.kind}: {record.problem}")

    print(f"\n{'PLC':<10} {'fault':<17} {'detected':>8} {'kept':>5} {'retried':>7} {'after s':>7} {'back':>5} {'in s':>5}")
    for r in records:
        after = f"{r.retry_after:.2f}" if r.retry_after is not None else "-"
        back = f"{r.back_after:.2f}" if r.back_after is not None else "-"
        print(f"{r.plc:<10} {r.kind:<17} {str(r.detected):>8} {str(r.kept):>5} {str(r.retried):>7} {after:>7} "
              f"{str(r.back):>5} {back:>5}")
    survived = sum(1 for r in records if r.survived)
    print(f"\nfaults injected: {len(records)}, survived: {survived}")
    return report(figures, code, started, problems)


if __name__ == "__main__":
    sys.exit(main())
