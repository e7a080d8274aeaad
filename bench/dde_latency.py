#!/usr/bin/env python3
"""The DDE gateway under load: a DDE client under Wine advises on N items of tavrel --headless (through
tavrel-dde.exe), while the PLC simulator's values change every period. Every value written is the time
of day in milliseconds (modulo 30,000), so the client knows how long each change took from the simulator to its
advise callback. Prints p50, p99 and the largest delay, and the share of changes that arrived.

The client speaks the DDE messages itself, as spreadsheets do (--client raw, the default): it finds the item of
each WM_DDE_DATA by its atom, at a cost independent of the number of links. --client ddeml runs our DDEML client
instead: Wine's DDEML client looks up each advise's link by comparing item names with every link of the
conversation, so with 1,000 links it takes a few thousand advises a second at best, and the share that arrives
says how many. With the raw client the limit at 1,000 items is the processor: under Wine each advise costs about
0.2 ms of wineserver, 0.13 ms of the gateway and 0.11 ms of the client, so 10,000 changes a second would take more
than two cores; the share that arrives says how much of it the machine gave. Also printed: the
gateway's memory before and after the changes, and the references to the items' global atoms left at the end
(the raw client counts them after its conversation has ended; the DDEML client with its links up, so those of
advises still on their way count too, and those of advise starts that Wine's client failed and tried again).

Exits 1 when the p99 misses its target of 50 ms; that target is checked for up to 100 items, and a larger case is
printed as information.

Usage: dde_latency.py BIN_FOLDER WINDOWS_BUILD_FOLDER [--items N] [--seconds S] [--period-ms P] [--client raw|ddeml]
  [--gateway EXE]  (another build of tavrel-dde.exe, to compare)
"""
import argparse
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "windows"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
import winetools  # noqa: E402
from programs import MI, READ, drain, end, make_project, modbus_write, start_simulator, start_tavrel  # noqa: E402

MODULUS_MS = 30000
TARGET_P99_MS = 50
# The target is checked up to this many items. Beyond, under Wine every DDE message goes through wineserver, and
# on a machine of two cores the processor, not the gateway, sets the delay (see above): such a case is information.
TARGET_ITEMS = 100


def resident_kib(pid):
    """The resident memory of a process (a Windows program under Wine is one Linux process)."""
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin")
    parser.add_argument("windows")
    parser.add_argument("--items", type=int, default=1000)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--period-ms", type=int, default=100)
    parser.add_argument("--client", choices=["raw", "ddeml"], default="raw")
    parser.add_argument("--gateway", help="the tavrel-dde.exe to run (default: the one in WINDOWS_BUILD_FOLDER)")
    options = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="tavrel-dde-bench-")
    processes = []
    wine = None
    try:
        sim, plc_port = start_simulator(options.bin)
        processes.append(sim)
        project = os.path.join(folder, "bench.tve")
        # One read-only vector of N MI registers: labels 1 to N.
        make_project(options.bin, project, [("Line_1", plc_port, [(MI, 0, options.items, READ, 1)])])
        tavrel, link_port, _ = start_tavrel(options.bin, folder, project, timeout=30)
        drain(tavrel)
        processes.append(tavrel)

        wine = winetools.WinePrefix()
        log = os.path.join(folder, "gateway.log")
        gateway, _ = wine.start(options.gateway or f"{options.windows}/tavrel-dde.exe", "--server", f"127.0.0.1:{link_port}", "--log",
                                wine.path(log))
        deadline = time.time() + 60
        while "connected to the link server" not in (open(log).read() if os.path.exists(log) else ""):
            if time.time() > deadline:
                raise SystemExit("dde_latency: the gateway did not connect")
            time.sleep(0.1)
        client = winetools.DdeClient(wine, f"{options.windows}/tavrel-dde-client.exe",
                                     *(["--raw"] if options.client == "raw" else []))
        assert client("connect Items") == "ok"
        made = client(f"adviserange 1 {options.items}", timeout=600)
        if not made.startswith(f"ok {options.items} "):
            raise SystemExit(f"dde_latency: advising gave {made!r}")
        assert client(f"latency on {MODULUS_MS}") == "ok"

        memory_before = resident_kib(gateway.pid)
        rounds = 0
        period = options.period_ms / 1000
        next_round = time.time()
        until = next_round + options.seconds
        while next_round < until:
            stamp = int(time.time() * 1000) % MODULUS_MS or 1
            for first in range(0, options.items, 120):
                modbus_write(plc_port, 16, first, [stamp] * min(120, options.items - first))
            rounds += 1
            next_round += period
            time.sleep(max(0, next_round - time.time()))
        time.sleep(1)  # the last changes arrive
        count, p50, p99, largest = client("latency report").split()[1:]
        memory_after = resident_kib(gateway.pid)
        if options.client == "raw":
            assert client("disconnect") == "ok"
        atoms = client(f"atoms 1 {options.items}", timeout=120).removeprefix("atoms ")
        expected = rounds * options.items
        print(f"DDE gateway (Wine), {options.client} client: {options.items} advised items changing every "
              f"{options.period_ms} ms, {rounds} changes each; load average {os.getloadavg()[0]:.2f}")
        checked = options.items <= TARGET_ITEMS
        print(f"  simulator change -> DDE advise callback: p50 {p50} ms, p99 {p99} ms, max {largest} ms "
              + (f"(target p99 < {TARGET_P99_MS} ms)" if checked
                 else f"(information: the target p99 < {TARGET_P99_MS} ms holds up to {TARGET_ITEMS} items)"))
        print(f"  advise starts tried again: {made.split()[2]}")
        print(f"  advises received: {count} of {expected} changes ({100 * int(count) / expected:.1f} %; "
              "a change overtaken by the next one before a pass read it is not sent)")
        print(f"  gateway memory: {memory_before} KiB before the changes, {memory_after} KiB after; "
              f"references to the items' global atoms left behind: {atoms}")
        if int(count) < expected / 2:
            with open(log, encoding="utf-8", errors="replace") as text:
                print("  the gateway's log ends:\n    " + "\n    ".join(text.read().splitlines()[-15:]))
        return 0 if not checked or float(p99) < TARGET_P99_MS else 1
    finally:
        if wine is not None:
            wine.close()
        for process in processes:
            end(process)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
