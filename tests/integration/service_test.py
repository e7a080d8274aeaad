#!/usr/bin/env python3
"""Tavrel as installed, run as systemd runs the service, with a notify socket of the test's own.

  service_test.py install BUILD_FOLDER   cmake --install of the build into a temporary DESTDIR
  service_test.py package TAVREL.deb     the package unpacked with dpkg -x into a temporary root

Either way: the installed files are checked, and the installed tavrel, started as the unit starts it, makes a new
project where none is, and serves a project on the installed simulator: READY=1 once it listens, STATUS= with the
PLCs connected, WATCHDOG=1 while passes run, STOPPING=1 on SIGTERM."""
import os
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from programs import (MI, READ, Failure, check, drain, end, eventually, http_call, start,  # noqa: E402
                      start_simulator)


class NotifySocket:
    """systemd's end of NOTIFY_SOCKET: the datagrams received, in order."""

    def __init__(self, path):
        self.path = path
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.socket.bind(path)
        self.socket.settimeout(0.1)
        self.messages = []
        self.stopped = False
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while not self.stopped:
            try:
                self.messages.append(self.socket.recv(4096).decode())
            except socket.timeout:
                pass

    def close(self):
        self.stopped = True
        self.reader.join()
        self.socket.close()
        os.unlink(self.path)


def installed_paths(prefix):
    """Where the files of an installation under `prefix` lie, as the unit and Debian expect them."""
    # As CMake's GNUInstallDirs places them: /etc for /usr, /etc/opt/NAME for /opt/NAME, else under the prefix.
    etc = "/etc" if prefix == "/usr" else f"/etc{prefix}" if prefix.startswith("/opt/") else f"{prefix}/etc"
    state = "/var" if prefix == "/usr" else f"/var{prefix}" if prefix.startswith("/opt/") else f"{prefix}/var"
    units = "/lib/systemd/system" if prefix == "/usr" else f"{prefix}/lib/systemd/system"
    return f"{state}/lib/tavrel", {
        "tavrel": f"{prefix}/bin/tavrel",
        "plcsim": f"{prefix}/bin/tavrel-plcsim",
        "template": f"{prefix}/share/tavrel/Templates/DDETemplate.tvb",
        "help": f"{prefix}/share/tavrel/Help/Tavrel.html",
        "unit": f"{units}/tavrel.service",
        "settings": f"{etc}/tavrel/tavrel.ini",
        "copyright": f"{prefix}/share/doc/tavrel/copyright",
        "changelog": f"{prefix}/share/doc/tavrel/changelog.gz",
    }


def check_tree(root, state, paths):
    for what, path in paths.items():
        check(os.path.isfile(root + path), f"no {what} at {path} in {root}")
    for program in ("tavrel", "plcsim"):
        check(os.access(root + paths[program], os.X_OK), f"{paths[program]} is not executable")
    with open(root + paths["unit"]) as unit:
        text = unit.read()
    exec_start = re.search(r"^ExecStart=(.*)$", text, re.M)
    expected = [paths["tavrel"], "--headless", "--settings", paths["settings"], f"{state}/plant.tve"]
    check(exec_start and exec_start.group(1).split() == expected, f"the unit starts {exec_start and exec_start[1]!r}")
    for line in ("Type=notify", "WatchdogSec=", "Restart=on-failure", "ProtectSystem=strict", "NoNewPrivileges=yes"):
        check(line in text, f"the unit has no {line}")


def run_as_the_unit(root, paths, work, project, watchdog_usec=None):
    """The installed tavrel, headless, as the unit starts it (settings and project in `work`), with a notify socket
    of its own; (process, its notify socket, link server port, lines)."""
    notify = NotifySocket(os.path.join(work, "notify"))
    env = dict(os.environ, NOTIFY_SOCKET=notify.path, XDG_RUNTIME_DIR=work)
    if watchdog_usec:
        env["WATCHDOG_USEC"] = str(watchdog_usec)
    process, match, lines = start([root + paths["tavrel"], "--headless", "--settings", f"{work}/tavrel.ini",
                                   "--listen", "127.0.0.1:0", "--opcua", "127.0.0.1:0", project],
                                  r"link server on http://127\.0\.0\.1:(\d+)/", env=env)
    return process, notify, int(match.group(1)), lines


def add_plc(project, port):
    """Line_1, the simulator on `port`, with one item read into lblDDE(1)."""
    with sqlite3.connect(project) as db:
        db.execute("INSERT INTO Plcs (ID, Name) VALUES (1, 'Line_1')")
        db.execute("INSERT INTO CommParams (PlcID,PathWay,EthRemotePort,EthRemoteIP,SerialComPort,SerialBaudRate,"
                   "TimeOut,NumRetries,UnitID,PlcType,DataBits,Parity,StopBits) "
                   "VALUES (1,2,?,'127.0.0.1',1,57600,500,1,0,0,8,0,1)", (port,))
        db.execute("INSERT INTO Items (PlcID,OprndType,OprndAddr,Oprndlength,CommDirection,IsEnabled,LabelIndex) "
                   "VALUES (1,?,0,1,?,-1,1)", (MI, READ))


def check_service(root, state, paths):
    with tempfile.TemporaryDirectory() as work:
        # The installed settings, with what they keep in the service's folder kept here instead.
        with open(root + paths["settings"]) as installed, open(f"{work}/tavrel.ini", "w") as settings:
            settings.write(installed.read().replace(state, work))

        # A fresh installation: no project yet. A new one is saved, and the service is ready with nothing to do.
        fresh = os.path.join(work, "plant.tve")
        process, notify, port, lines = run_as_the_unit(root, paths, work, fresh)
        try:
            eventually(lambda: any(m.startswith("READY=1") for m in notify.messages), "READY=1 for a new project")
            status, _ = http_call(port, "GET", "/dde/Tavrel/Items")
            check(status == 200, f"ready, but the link server answers {status}")
            check(any("did not exist: a new, empty project was saved there" in line for line in lines),
                  f"no line says the project was made: {lines}")
            with sqlite3.connect(fresh) as db:
                check(db.execute("SELECT COUNT(*) FROM Plcs").fetchone()[0] == 0, "the new project is not empty")
        finally:
            end(process)
            notify.close()

        # A project on the installed simulator, with the watchdog on.
        simulator, sim_port = start_simulator(os.path.dirname(root + paths["plcsim"]))
        try:
            drain(simulator)
            project = os.path.join(work, "line.tve")
            shutil.copy(root + paths["template"], project)
            add_plc(project, sim_port)
            process, notify, port, lines = run_as_the_unit(root, paths, work, project, watchdog_usec=1_000_000)
            try:
                drain(process)
                eventually(lambda: "STATUS=running; 1 of 1 PLC(s) connected" in notify.messages, "1 PLC connected")
                check(any(m.startswith("READY=1") for m in notify.messages), f"no READY=1: {notify.messages}")
                status, value = http_call(port, "GET", "/dde/Tavrel/Items/lblDDE(1)")
                check(status == 200 and value.strip().isdigit(), f"lblDDE(1) is {status} {value!r}")
                count = notify.messages.count("WATCHDOG=1")
                time.sleep(1.5)
                check(notify.messages.count("WATCHDOG=1") >= count + 2, "fewer than two keep-alives in 1.5 s")
                process.send_signal(signal.SIGTERM)
                check(process.wait(15) == 0, f"tavrel ended with {process.returncode}")
                check("STOPPING=1\nSTATUS=stopping" in notify.messages, f"no STOPPING=1: {notify.messages[-3:]}")
            finally:
                end(process)
                notify.close()
        finally:
            end(simulator)


def main():
    mode, source = sys.argv[1], os.path.abspath(sys.argv[2])
    with tempfile.TemporaryDirectory() as root:
        if mode == "install":
            prefix = re.search(r"^CMAKE_INSTALL_PREFIX:PATH=(.*)$", open(f"{source}/CMakeCache.txt").read(),
                               re.M).group(1)
            subprocess.run(["cmake", "--install", source], check=True, stdout=subprocess.DEVNULL,
                           env=dict(os.environ, DESTDIR=root))
        else:
            prefix = "/usr"
            subprocess.run(["dpkg-deb", "-x", source, root], check=True)
            conffiles = subprocess.run(["dpkg-deb", "-I", source, "conffiles"], capture_output=True, text=True)
            check(conffiles.stdout.split() == ["/etc/tavrel/tavrel.ini"], f"conffiles: {conffiles.stdout!r}")
            depends = subprocess.run(["dpkg-deb", "-f", source, "Depends"], capture_output=True, text=True).stdout
            for package in ("adduser", "libsystemd0", "libmodbus5", "libqt6core6"):
                check(package in depends, f"Depends lacks {package}: {depends}")
        state, paths = installed_paths(prefix)
        check_tree(root, state, paths)
        check_service(root, state, paths)
    print(f"{mode} {source}: the installed files and the service protocol are as they should be")


if __name__ == "__main__":
    try:
        main()
    except Failure as failure:
        sys.exit(f"FAILED: {failure}")
