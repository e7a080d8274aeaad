#!/usr/bin/env python3
"""tavrel --export-items and --import-items on a project file, without a display.

Usage: items_command_test.py BIN_FOLDER
"""
import csv
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from programs import MB, MI, READ, READ_WRITE, make_project  # noqa: E402

BIN = None
HEADER = ("Name,Operand,Address,Length,Direction,Enabled,DataType,ByteOrder,ScaleRawLow,ScaleRawHigh,ScaleLow,"
          "ScaleHigh,Units,Deadband,Record,Label,Description")


class ItemsCommand(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tavrel-items-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.project = os.path.join(self.dir, "p.tve")
        self.list = os.path.join(self.dir, "items.csv")
        make_project(BIN, self.project, [("Line_1", 502, [(MI, 100, 1, READ_WRITE, 1), (MB, 0, 3, READ, 2)])])

    def tavrel(self, *args):
        # No display: the commands must not need one.
        env = {key: value for key, value in os.environ.items() if key not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.pop("QT_QPA_PLATFORM", None)
        return subprocess.run([f"{BIN}/tavrel", *args], capture_output=True, text=True, timeout=60, env=env)

    def rows(self):
        # Opening a project upgrades its file in place: what counts is what the tables hold.
        with sqlite3.connect(self.project) as db:
            return db.execute("SELECT Plcs.Name, OprndType, OprndAddr, Oprndlength, CommDirection, IsEnabled, LabelIndex "
                              "FROM Items JOIN Plcs ON Plcs.ID = Items.PlcID ORDER BY Items.rowid").fetchall()

    def test_an_edited_list_comes_back_into_the_project(self):
        done = self.tavrel("--export-items", "Line_1", self.list, self.project)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("exported 2 items of PLC Line_1", done.stdout)
        with open(self.list, newline="", encoding="utf-8") as file:
            rows = list(csv.reader(file))
        self.assertEqual(",".join(rows[0]), HEADER)
        self.assertEqual(rows[1][:6] + rows[1][15:16], ["", "MI", "100", "1", "Read/Write", "1", "1"])
        # As a spreadsheet would: a name, a scaling and units for the word, a description with a comma.
        rows[1][0], rows[1][8:13], rows[1][16] = "Boiler1.Temp", ["0", "1000", "0", "100", "°C"], "hot, wet"
        with open(self.list, "w", newline="", encoding="utf-8") as file:
            csv.writer(file).writerows(rows)

        done = self.tavrel("--import-items", "Line_1", self.list, self.project)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("imported 2 items into PLC Line_1", done.stdout)
        with sqlite3.connect(self.project) as db:
            stored = db.execute("SELECT OprndType, LabelIndex, Name, ScaleHigh, Units, Description FROM Items "
                                "ORDER BY rowid").fetchall()
        self.assertEqual(stored, [(MI, 1, "Boiler1.Temp", 100.0, "°C", "hot, wet"), (MB, 2, None, None, None, None)])

    def test_a_bad_line_or_a_wrong_plc_leaves_the_project_as_it_was(self):
        before = self.rows()
        with open(self.list, "w", encoding="utf-8") as file:
            file.write(HEADER + "\nA,MI,1,1,Read,1,,,,,,,,,,,\nB,MI,2,1,Sideways,1,,,,,,,,,,,\n")
        for args, code, said in (
                (("--import-items", "Line_1", self.list, self.project), 1, "line 3: Direction"),
                (("--import-items", "Line_9", self.list, self.project), 2, "no PLC named \"Line_9\""),
                (("--import-items", "Line_1", self.list), 2, "takes a PLC name, then FILE and PROJECT.tve"),
                (("--export-items", "Line_1", os.path.join(self.dir, "no", "such.csv"), self.project), 1, "such.csv")):
            done = self.tavrel(*args)
            self.assertEqual(done.returncode, code, done.stderr)
            self.assertIn(said, done.stderr)
        self.assertEqual(self.rows(), before)


if __name__ == "__main__":
    BIN = sys.argv.pop(1)
    unittest.main()
