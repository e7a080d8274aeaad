"""Running Windows programs under Wine for the tests and the benchmark of tavrel-dde.

Each WinePrefix is a fresh prefix in a temporary folder with its own persistent wineserver, ended (and the
folder removed) by close(): nothing is left running.
"""
import os
import queue
import shutil
import subprocess
import tempfile
import threading
import time


class LineReader:
    """The lines a process writes, collected by a thread so that reads can time out."""

    def __init__(self, stream):
        self.lines = queue.Queue()
        self.seen = []
        thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        thread.start()

    def _read(self, stream):
        for line in iter(stream.readline, ""):
            self.lines.put(line.rstrip("\r\n"))
        self.lines.put(None)

    def next(self, timeout):
        """The next line, or None at the end of the output; AssertionError when none comes in time."""
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError(f"no output within {timeout} s; so far: {self.seen[-20:]}") from None
        if line is not None:
            self.seen.append(line)
        return line


class WinePrefix:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="tavrel-wine-")
        self.env = dict(os.environ, WINEPREFIX=os.path.join(self.dir, "prefix"), WINEDEBUG="-all",
                        WINEARCH="win64", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)
        self.processes = []
        try:
            # The first command creates the prefix; then that set-up's server is let go and one persistent
            # server serves the whole test, so that every program sees the others' windows.
            self._run(["wine", "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f"],
                      timeout=240)
            self._run(["wineserver", "-w"], timeout=120)
            # The persistent server leaves at once and lives on: it must not hold our pipes.
            subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60, check=True)
        except BaseException:
            self.close()
            raise

    def _run(self, args, timeout, check=True):
        """Runs a program to its end; (exit code, output). The output goes through a file: Wine's helper processes
        inherit a pipe and would hold it open."""
        with tempfile.TemporaryFile(mode="w+", dir=self.dir) as output:
            code = subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                  timeout=timeout).returncode
            output.seek(0)
            if check and code != 0:
                raise AssertionError(f"{' '.join(args)} failed ({code}): {output.read()}")
            return code, output.read()

    @staticmethod
    def path(unix_path):
        """A Unix path as Windows programs under Wine name it."""
        return "Z:" + os.path.abspath(unix_path).replace("/", "\\")

    def run(self, exe, *args, timeout=60):
        """Runs a Windows program to its end; (exit code, output)."""
        return self._run(["wine", exe, *args], timeout, check=False)

    def start(self, exe, *args):
        """Starts a program with pipes for its input and output; returns (process, LineReader)."""
        process = subprocess.Popen(["wine", exe, *args], env=self.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True, encoding="utf-8", errors="replace", bufsize=1)
        self.processes.append(process)
        return process, LineReader(process.stdout)

    def close(self):
        try:
            subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True, timeout=60)
        except (OSError, subprocess.TimeoutExpired):
            pass
        for process in self.processes:
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class DdeClient:
    """tavrel-dde-client.exe under Wine: one command, one answer line; advise data arrive as 'data' lines."""

    def __init__(self, prefix, exe, *args):
        self.process, self.output = prefix.start(exe, *args)
        self.data = []
        while (line := self.output.next(60)) != "ready":
            if line is None:
                raise AssertionError(f"the DDE client ended before it was ready: {self.output.seen[-20:]}")

    def __call__(self, command, timeout=30):
        answer = self.send(command, timeout)
        # On a loaded machine Wine's DDEML now and then misses a server that has just registered its name; a
        # spreadsheet tries again too.
        for _ in range(3):
            if not (command.startswith("connect ") and "NO_CONV_ESTABLISHED" in answer):
                break
            time.sleep(1)
            answer = self.send(command, timeout)
        return answer

    def send(self, command, timeout):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        while True:
            line = self.output.next(timeout)
            if line is None:
                raise AssertionError(f"the DDE client ended during {command!r}: {self.output.seen[-20:]}")
            if line.startswith("data "):
                self.data.append(line[5:])
                continue
            if line == "disconnected":
                continue
            return line

    def wait_data(self, item, value, timeout=15):
        """Waits until an advise of `item` brings `value`."""
        wanted = f"{item} {value}"
        deadline = time.time() + timeout
        while wanted not in self.data:
            try:
                line = self.output.next(max(0.01, deadline - time.time()))
            except AssertionError:
                raise AssertionError(f"no advise of {wanted!r}; advises seen: {self.data[-20:]}") from None
            if line is None:
                raise AssertionError("the DDE client ended")
            if line.startswith("data "):
                self.data.append(line[5:])
