#!/usr/bin/env python3
"""Fault injection: tavrel --headless against four simulated PLCs while faults are injected into three of them.

Usage: fault_injection.py BIN_FOLDER

  Steady     tavrel-plcsim behind a faulty link, kept healthy never faulted; the link counts its answers
  Flaky      tavrel-plcsim behind a faulty link               Modbus exceptions, garbage frames, answers stalled
  Dropped    tavrel-plcsim behind a faulty link               connections dropped mid-request (a poke's write among
                                                              them), half answers, resets
  Restarted  tavrel-plcsim, reached directly                  the simulator killed and restarted, frozen and thawed

The faulty link is a Modbus TCP proxy in this script. Tavrel runs with --reconnect-seconds 2 so that the
60-second retry is driven in seconds. For every fault: the PLC is reported not connected, keeps its last
values (no garbage ever reaches a label), is retried no sooner than the delay allows, and comes back once
the fault is gone; the steady PLC never fails and keeps being read; Tavrel ends cleanly on SIGTERM with no
sanitizer report (the build is ASan/UBSan, so a leak fails the exit code). Prints the figures at the end.
"""
import asyncio
import os
import random
import re
import signal
import socket
import struct
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from programs import (MI, READ, READ_WRITE, T_CURRENT, Failure, Simulator, check, eventually, finish,  # noqa: E402
                      http_call, make_project, start_tavrel_program)

RECONNECT_SECONDS = 2
TIMEOUT_MS = 300
RETRIES = 1
STALL_SECONDS = 1.5           # longer than TIMEOUT_MS x (RETRIES + 1)
DEADLINE_SECONDS = 150         # the whole run, whatever happens


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

    def inject(self, kind):
        self.mode = kind

    def heal(self, kind):
        """Passes requests on again; False: the PLC behind keeps what it had."""
        self.mode = "pass"
        return False

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
                if mode == "stall":
                    await asyncio.sleep(STALL_SECONDS)  # the answer comes too late: the request has timed out
                writer.write({
                    "half": answer[: len(answer) // 2],
                    "garbage-tid": answer_frame(tid ^ 0x5A5A, unit, pdu),
                    # Both bytes wrong: libmodbus 3.1.6 lets a protocol identifier through when either one is 0.
                    "garbage-protocol": answer_frame(tid, unit, pdu, protocol=0x0707),
                    # A read answer whose byte count promises less than the request asked for.
                    "garbage-count": answer_frame(tid, unit, bytes([pdu[0], max(pdu[1] - 2, 0)]) + pdu[2:-2]
                                                  if len(pdu) > 3 else pdu[:1]),
                    "garbage-function": answer_frame(tid, unit, bytes([pdu[0] ^ 0x07]) + pdu[1:]),
                }.get(mode, answer))
                await writer.drain()
                if mode == "half":
                    return
                if mode == "pass":
                    self.answered.append(time.monotonic())
        except (asyncio.IncompleteReadError, ConnectionError, OSError):
            pass
        finally:
            for closing in (writer, upstream_writer):
                if closing is not None:
                    closing.close()


# ---------------------------------------------------------------------------------------------------------------
# The faults

class FaultScript(threading.Thread):
    """Injects a list of faults into one PLC, one after another, checking each. Its items: lblDDE(10k+1) MI 100
    read/write (poked to a known value), lblDDE(10k+2) T (Current) 0, a timer of the simulator that runs from the
    start, so its value moves while the PLC is read."""

    def __init__(self, tavrel, link_port, plc, index, kinds, target):
        """`target`: the FaultyLink or the Restarted simulator, with inject(kind) and heal(kind)."""
        super().__init__(daemon=True)
        self.tavrel, self.link_port, self.plc, self.kinds = tavrel, link_port, plc, kinds
        self.inject, self.heal = target.inject, target.heal
        self.link = target if isinstance(target, FaultyLink) else None
        self.value_item, self.timer_item = 10 * index + 1, 10 * index + 2
        self.poked = 1000 + 100 * index
        self.rows = []       # (fault, seconds to the retry, seconds to be read again, problem)

    def read(self, item):
        status, text = http_call(self.link_port, "GET", f"/dde/Tavrel/Items/lblDDE({item})")
        check(status == 200, f"GET lblDDE({item}) answered {status}: {text}")
        return text

    def poke(self):
        self.poked += 1
        status, text = http_call(self.link_port, "PUT", f"/dde/Tavrel/Items/lblDDE({self.value_item})", str(self.poked))
        check(status == 204, f"PUT lblDDE({self.value_item}) answered {status}: {text}")

    def run(self):
        for kind in self.kinds:
            self.retry_after = self.back_after = None
            try:
                self.cycle(kind)
                problem = None
            except Failure as failure:
                problem = str(failure)
            except Exception as error:  # noqa: BLE001 - a broken script is reported, not hidden
                problem = f"{type(error).__name__}: {error}"
            self.rows.append((kind, self.retry_after, self.back_after, problem))

    def wait_moving(self):
        """Waits until the timer item moves: the PLC is read again."""
        first = self.read(self.timer_item)
        eventually(lambda: self.read(self.timer_item) != first, f"{self.plc}: lblDDE({self.timer_item}) moves", 8, 0.15)
        return time.monotonic()

    def wait_value(self, text):
        eventually(lambda: self.read(self.value_item) == text, f"{self.plc}: lblDDE({self.value_item}) is {text}", 5)

    def cycle(self, kind):
        tavrel, name = self.tavrel, re.escape(self.plc)
        if kind == "cut-write":
            # The poke itself meets the fault: its write is cut, and it must still reach the PLC later.
            injected = time.monotonic()
            self.inject(kind)
            self.poke()
        else:
            self.poke()
            self.wait_value(str(self.poked))
            self.wait_moving()
            injected = time.monotonic()
            self.inject(kind)
        failed, _ = tavrel.wait_line(rf"PLC '{name}' not connected .*next attempt in {RECONNECT_SECONDS} s",
                                     since=injected, timeout=8)

        # The last values stay: the poked value, and a timer that no longer moves.
        frozen = self.read(self.timer_item)
        time.sleep(0.6)
        check(self.read(self.value_item) == str(self.poked),
              f"{self.plc} lost its value {self.poked}: {self.read(self.value_item)!r}")
        check(self.read(self.timer_item) == frozen, f"{self.plc}: a value changed while not connected")

        # Retried no sooner than the delay allows (the clock counts whole seconds), and failing again.
        if self.link is not None:
            retry = eventually(lambda: next((stamp for stamp in self.link.accepts if stamp > failed), None),
                               f"{self.plc} retried", RECONNECT_SECONDS + 3, 0.02)
            self.retry_after = retry - failed
            # A retry at once would come within a few milliseconds; the margins are for a busy machine.
            check(RECONNECT_SECONDS - 1.5 <= self.retry_after <= RECONNECT_SECONDS + 2.5,
                  f"{self.plc}: retried {self.retry_after:.2f} s after failing")
            tavrel.wait_line(rf"PLC '{name}' not connected", since=retry, timeout=5)
        elif kind == "freeze":
            # A frozen process still completes TCP handshakes: the retry opens, and its read fails again.
            again, _ = tavrel.wait_line(rf"PLC '{name}' not connected", since=failed + 0.05,
                                        timeout=RECONNECT_SECONDS + 3)
            self.retry_after = again - failed
        else:
            # A dead PLC refuses the retry; it has not come back, and is not reported as if it had.
            time.sleep(RECONNECT_SECONDS + 0.6)
            reported = tavrel.lines_between(rf"PLC '{name}' connected", failed, time.monotonic())
            check(not reported, f"{self.plc}: reported connected while its PLC was down: {reported}")
        check(self.read(self.value_item) == str(self.poked), f"{self.plc} lost its value after a retry")
        if kind != "cut-write":  # there the retry reads, and only the write fails again
            check(self.read(self.timer_item) == frozen, f"{self.plc}: a value changed after a failed retry")

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
                value = self.read(self.value_item)
                check(value == str(self.poked),
                      f"{self.plc}: the poke {self.poked} whose write was cut never reached the PLC: {value!r}")
                time.sleep(0.1)
        self.back_after = moving - healed


class Restarted:
    """The faults of a simulator reached directly: killed and started again, or frozen and thawed."""

    def __init__(self, simulator):
        self.simulator = simulator

    def inject(self, kind):
        self.simulator.program.stop(signal.SIGKILL) if kind == "kill" else self.simulator.signal(signal.SIGSTOP)

    def heal(self, kind):
        """True when the PLC comes back having forgotten everything."""
        self.simulator.restart() if kind == "kill" else self.simulator.signal(signal.SIGCONT)
        return kind == "kill"


def rate(stamps, start, end):
    return sum(1 for stamp in stamps if start <= stamp < end) / max(end - start, 1e-6)


def main():
    started = time.monotonic()
    bin_folder, folder = sys.argv[1], tempfile.mkdtemp(prefix="tavrel-faults-")
    loop = asyncio.new_event_loop()
    threading.Thread(target=loop.run_forever, daemon=True).start()
    simulators, links, tavrel = {}, {}, None
    problems, figures = [], {}
    try:
        for name in ("Steady", "Flaky", "Dropped", "Restarted"):
            simulators[name] = Simulator(bin_folder)
            if name != "Restarted":
                links[name] = FaultyLink(loop, simulators[name].port)
        names = list(simulators)
        project = os.path.join(folder, "faults.tve")
        make_project(bin_folder, project, [(name, (links.get(name) or simulators[name]).port,
                                            [(MI, 100, 1, READ_WRITE, 10 * k + 1), (T_CURRENT, 0, 1, READ, 10 * k + 2)])
                                           for k, name in enumerate(names, start=1)],
                     timeout_ms=TIMEOUT_MS, retries=RETRIES)
        tavrel, link_port, _ = start_tavrel_program(bin_folder, folder, project,
                                                    "--reconnect-seconds", str(RECONNECT_SECONDS))
        for name in names:
            tavrel.wait_line(rf"PLC '{name}' connected")
        steady = links["Steady"]
        baseline_start = time.monotonic()
        time.sleep(3)
        figures["steady answers per second, before the faults"] = rate(steady.answered, baseline_start,
                                                                       time.monotonic())

        scripts = [
            FaultScript(tavrel, link_port, "Flaky", 2, ["exception-4", "exception-2", "stall", "garbage-tid",
                                                        "garbage-protocol", "garbage-count", "garbage-function",
                                                        "garbage-noise"], links["Flaky"]),
            FaultScript(tavrel, link_port, "Dropped", 3, ["cut", "half", "cut-second", "reset", "cut-write"],
                        links["Dropped"]),
            FaultScript(tavrel, link_port, "Restarted", 4, ["kill", "freeze", "kill", "freeze", "kill"],
                        Restarted(simulators["Restarted"])),
        ]
        faults_start = time.monotonic()
        for script in scripts:
            script.start()
        for script in scripts:
            script.join(max(1.0, started + DEADLINE_SECONDS - time.monotonic()))
            check(not script.is_alive(), f"the faults of {script.plc} did not end in time")
        faults_end = time.monotonic()

        print(f"\n{'PLC':<10} {'fault':<17} {'retried after s':>15} {'read again in s':>15}")
        for script in scripts:
            for kind, retry_after, back_after, problem in script.rows:
                seconds = [f"{value:>15.2f}" if value is not None else f"{'-':>15}"
                           for value in (retry_after, back_after)]
                print(f"{script.plc:<10} {kind:<17} {' '.join(seconds)}{'  FAILED' if problem else ''}")
                if problem:
                    problems.append(f"{script.plc} / {kind}: {problem}")
        figures["faults injected"] = sum(len(script.rows) for script in scripts)
        figures["steady answers per second, during the faults"] = rate(steady.answered, faults_start, faults_end)
        inside = [faults_start] + [stamp for stamp in steady.answered if faults_start <= stamp < faults_end]
        gap = max(later - earlier for earlier, later in zip(inside, inside[1:] + [faults_end]))
        figures["longest time the steady PLC was not read (s)"] = gap
        figures["requests met with a fault"] = links["Flaky"].faulted + links["Dropped"].faulted

        failed = tavrel.lines_between(r"PLC 'Steady' not connected", 0, time.monotonic())
        check(not failed, f"Steady failed while others were faulted: {failed[:1]}")
        # One faulted PLC costs at most its time-out and retries per pass, three at once a little more.
        check(gap <= 3 * TIMEOUT_MS * (RETRIES + 1) / 1000 + 3.0, f"the steady PLC went unread for {gap:.2f} s")
    except Failure as failure:
        problems.append(str(failure))
    finally:
        code = finish(tavrel, folder, figures, started, problems)
        for simulator in simulators.values():
            simulator.stop()
        loop.call_soon_threadsafe(loop.stop)
    return code


if __name__ == "__main__":
    sys.exit(main())
