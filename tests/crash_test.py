#!/usr/bin/env python3
"""The tool killed at every system call of a run, one after the other: the
target always holds its complete old or its complete new content, and the
next run, which may find a stale scratch file, makes the correct result.

Usage: crash_test.py path/to/authorstamp
"""

import collections
import re
import resource
import signal
import sys

import support


def crash_and_recover(bench, point):
    call, n = point
    killed = bench.traced(f"{call} #{n}", {call},
                          [f"inject={call}:signal=SIGKILL:when={n}"])
    return killed, bench.plain()


def crash_problems(killed, after, old, new):
    """What is wrong with what a killed run and the run after it left."""
    problems = []
    where = f"killed at {killed.label}"
    if killed.content not in (old, new):
        problems.append(f"{where}: target holds "
                        f"{support.describe(killed.content, old, new)}")
    elif killed.content == new and killed.access != support.TARGET_ACCESS:
        problems.append(f"{where}: new content with access {killed.access}, "
                        f"was {support.TARGET_ACCESS}")
    if not killed.killed and killed.leftovers:
        problems.append(f"{where}: not killed, yet scratch file left: "
                        f"{killed.leftovers}")
    r, content, target_access, leftovers = after
    if (r.returncode, r.stderr) != (0, b""):
        problems.append(f"{where}: the next run: exit {r.returncode}, "
                        f"stderr {r.stderr!r}")
    if content != new:
        problems.append(f"{where}: after the next run the target holds "
                        f"{support.describe(content, old, new)}")
    elif target_access != support.TARGET_ACCESS:
        problems.append(f"{where}: after the next run access "
                        f"{target_access}, was {support.TARGET_ACCESS}")
    if leftovers:
        problems.append(f"{where}: scratch file left after the next run: "
                        f"{leftovers}")
    return problems


class CrashPoints(support.Case):

    def setUp(self):
        self.need_strace()

    def test_killed_at_every_call(self):
        old = support.sample_content()
        new = support.expected_rewrite(old, support.running_user_name())
        counts = support.profile(old)
        # Every call is a place to die, whether or not it can fail.
        points = [(call, n) for call, count in sorted(counts.items())
                  if call not in support.STRACE_OWN
                  for n in range(1, count + 1)]
        results = support.run_on_benches(old, points, crash_and_recover)

        problems = []
        for killed, after in results:
            problems += crash_problems(killed, after, old, new)
        kills = [k for k, _ in results if k.killed]
        left = collections.Counter(
            "new content" if k.content == new else
            "old content" if k.content == old else "other" for k in kills)
        stale = sum(1 for k in kills if k.leftovers)
        lost = sum(support.bytes_lost(k.content, new if k.content == new else old)
                   for k in kills)
        lost += sum(support.bytes_lost(a[1], new) for _, a in results)
        print(f"\ncrash points: {len(kills)} kills in {len(points)} runs over "
              f"{len({p[0] for p in points})} calls; target after the kill: "
              f"{dict(sorted(left.items()))}; stale scratch files: {stale}, "
              f"all taken over by the next run; bytes lost: {lost}",
              file=sys.stderr)
        if problems:
            self.fail(f"{len(problems)} problems:\n" + "\n".join(problems[:40]))
        # A point the kill never reached proves nothing; most must be real.
        self.assertGreater(len(kills), 0.9 * len(points))
        for names in (("read",), ("write",), ("fsync",),
                      ("rename", "renameat", "renameat2"), ("inotify_init1",),
                      ("inotify_add_watch",)):
            self.assertTrue(any(k.killed and k.label.split()[0] in names
                                for k in kills), f"no kill at {names[0]}")


class Interrupted(support.Case):
    """Ctrl-C, Ctrl-\\, a hang-up, kill(1), a timer or a CPU time limit while
    the scratch file is being written: the run dies of the signal, the
    target is untouched and the scratch file goes with the run.  A signal
    the caller ignores (nohup) is ignored by the run too."""

    # Every signal whose default action ends the process, but SIGKILL, which
    # no program can see, and SIGPIPE and SIGXFSZ, which the run ignores.
    FATAL = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT,
             signal.SIGALRM, signal.SIGUSR1, signal.SIGUSR2, signal.SIGXCPU,
             signal.SIGVTALRM, signal.SIGPROF, signal.SIGIO, signal.SIGPWR,
             signal.SIGSTKFLT, signal.SIGSYS, signal.SIGABRT, signal.SIGBUS,
             signal.SIGFPE, signal.SIGILL, signal.SIGSEGV, signal.SIGTRAP,
             signal.SIGRTMIN, signal.SIGRTMAX]

    def setUp(self):
        self.need_strace()

    def test_stop_signals_take_the_scratch_file_along(self):
        old = support.sample_content()
        new = support.expected_rewrite(old, support.running_user_name())
        bench = support.Bench(old)
        self.addCleanup(bench.cleanup)
        # Signals that dump core must not litter the working directory.
        core = resource.getrlimit(resource.RLIMIT_CORE)
        resource.setrlimit(resource.RLIMIT_CORE, (0, core[1]))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_CORE, core)
        # (signal, ignored by the caller)
        cases = [(sig, False) for sig in self.FATAL]
        cases += [(sig, True) for sig in (signal.SIGHUP, signal.SIGQUIT,
                                          signal.SIGUSR1)]
        # Points where the scratch file exists: the last read that finds
        # the end of a file finds the end of the target (the reads after it
        # ask the watch on the target what it saw).
        reads = re.findall(r"^\d+ +read\(.*= (-?\d+)", bench.traced(
            "reads", {"read"}, []).log, re.MULTILINE)
        last_read = len(reads) - reads[::-1].index("0")
        for sig, ignored in cases:
            for point in ("write:when=2", f"read:when={last_read}",
                          "fsync:when=1"):
                call = point.split(":")[0]
                with self.subTest(signal=sig.name, ignored=ignored, at=point):
                    # Kept through strace's exec of the tool, as by nohup.
                    before = signal.signal(sig, signal.SIG_IGN if ignored
                                           else signal.SIG_DFL)
                    try:
                        # By number: strace names the real-time signals
                        # otherwise than Python.
                        run = bench.traced(
                            f"{sig.name} at {point}", {call},
                            [f"inject={point}".replace(
                                ":when", f":signal={int(sig)}:when")])
                    finally:
                        signal.signal(sig, before)
                    if ignored:
                        self.assertEqual((run.returncode, run.stderr), (0, b""))
                        self.assertEqual(run.content, new)
                    else:
                        # strace ends itself with the signal that ended the
                        # tool.
                        self.assertEqual(run.returncode, -sig, run.stderr)
                        self.assertEqual(run.content, old)
                    self.assertEqual(run.leftovers, [])


if __name__ == "__main__":
    support.main()
