#!/usr/bin/env python3
"""Many runs on one target at the same moment, while other processes read
the target in a loop: no reader ever finds the file missing or sees anything
but the complete old or the complete new content, every run either stamps
or says "Open file fail!", and the result is the correct one.

Usage: concurrency_test.py path/to/authorstamp
"""

import json
import os
import subprocess
import sys

import support

ROUNDS = 4
RUNS_PER_ROUND = 30
READERS = 2

# Reads the target over and over until the stop file appears, and prints
# what it saw as JSON.
READER = r"""
import json, os, sys
target, old_path, new_path, stop = sys.argv[1:]
with open(old_path, "rb") as f: old = f.read()
with open(new_path, "rb") as f: new = f.read()
seen = {"old": 0, "new": 0, "missing": 0, "other": 0}
others = []
print("ready", flush=True)
while not os.path.exists(stop):
    try:
        with open(target, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        seen["missing"] += 1
        continue
    if data == old:
        seen["old"] += 1
    elif data == new:
        seen["new"] += 1
    else:
        seen["other"] += 1
        if len(others) < 5:
            others.append(len(data))
print(json.dumps({"seen": seen, "other_sizes": others}))
"""


class SimultaneousRuns(support.Case):

    def setUp(self):
        self.box = support.Sandbox()
        self.addCleanup(self.box.cleanup)
        # The runs trace to a log of their own, when root can give them one.
        self.prefix = []
        if support.private_mounts():
            listener = support.LogListener(os.path.join(self.box.root, "log"))
            self.addCleanup(listener.close)
            self.prefix = listener.prefix(self.box.elsewhere)
        self.old = support.sample_content()
        self.new = support.expected_rewrite(self.old, support.running_user_name())
        self.refs = {}
        for name, content in (("old", self.old), ("new", self.new)):
            self.refs[name] = os.path.join(self.box.root, name)
            with open(self.refs[name], "wb") as f:
                f.write(content)

    def put_old_content(self):
        # Renamed into place, so that the readers never find the file
        # missing because of the test itself.
        fresh = os.path.join(self.box.root, "fresh")
        with open(fresh, "wb") as f:
            f.write(self.old)
        os.chmod(fresh, support.TARGET_MODE)
        os.rename(fresh, self.box.path(support.TARGET))

    def start_readers(self, stop):
        readers = []
        for _ in range(READERS):
            p = subprocess.Popen(
                [sys.executable, "-c", READER, self.box.path(support.TARGET),
                 self.refs["old"], self.refs["new"], stop],
                stdout=subprocess.PIPE, text=True)
            readers.append(p)
            self.assertEqual(p.stdout.readline(), "ready\n")
        return readers

    def simultaneous_runs(self):
        """Starts RUNS_PER_ROUND runs that all wait on one pipe, then lets
        them go at once; returns (exit status, stderr) of each."""
        gate, opener = os.pipe()
        # The gate is the shell's standard input: a descriptor number of 10
        # or more, as a pipe gets under a parent with many open files, is
        # beyond what dash's redirections take.
        script = 'read _; exec "$0" "$1"'
        cmd = self.prefix + ["sh", "-c", script, self.box.exe, support.TARGET]
        runs = [subprocess.Popen(cmd, cwd=self.box.elsewhere, stdin=gate,
                                 stderr=subprocess.PIPE)
                for _ in range(RUNS_PER_ROUND)]
        os.close(gate)
        os.close(opener)  # every waiting run reads end-of-file now
        results = []
        for p in runs:
            stderr = p.communicate(timeout=60)[1]
            results.append((p.returncode, stderr))
        return results

    def test_runs_and_readers_at_once(self):
        stop = os.path.join(self.box.root, "stop")
        self.put_old_content()
        readers = self.start_readers(stop)
        outcomes = {"stamped": 0, "open failed": 0}
        # A run kept out says so, naming the target and the reason.
        held = support.open_failed(self.box.path(support.TARGET),
                                   "held by another run")
        try:
            for round_ in range(ROUNDS):
                self.put_old_content()
                results = self.simultaneous_runs()
                for status, stderr in results:
                    self.assertEqual(status, 0, f"round {round_}: {stderr!r}")
                    self.assertIn(stderr, (b"", held), f"round {round_}")
                    outcomes["stamped" if not stderr else "open failed"] += 1
                self.assertEqual(self.box.read(support.TARGET), self.new, f"round {round_}")
                self.assertEqual(os.stat(self.box.path(support.TARGET)).st_mode & 0o7777,
                                 support.TARGET_MODE)
                self.assertEqual(self.box.leftovers(), [])
        finally:
            with open(stop, "w"):
                pass
            reports = [json.loads(p.communicate(timeout=60)[0]) for p in readers]
        seen = {k: sum(r["seen"][k] for r in reports) for k in reports[0]["seen"]}
        print(f"\nconcurrency: {ROUNDS} rounds of {RUNS_PER_ROUND} simultaneous "
              f"runs: {outcomes}; {READERS} readers saw {seen}", file=sys.stderr)
        self.assertEqual(seen["missing"], 0, "a reader found the target missing")
        self.assertEqual(seen["other"], 0, "a reader saw a partial file: sizes "
                         f"{[r['other_sizes'] for r in reports]}")
        self.assertGreater(seen["old"] + seen["new"], 0)
        self.assertGreaterEqual(outcomes["stamped"], ROUNDS)


if __name__ == "__main__":
    support.main()
