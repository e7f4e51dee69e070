#!/usr/bin/env python3
"""Every system call of a run made to fail, one at a time, and a real full
disk: the tool either rewrites the target completely, or leaves it exactly as
it was and says why, and it never leaves its scratch file behind.

Usage: faults_test.py path/to/authorstamp
"""

import collections
import errno
import os
import re
import shutil
import socket
import stat
import subprocess
import sys
import time

import support

# The errors worth producing for each call: what disks, file systems and the
# system's limits really return from it.  A call not named here gets
# DEFAULT_ERRORS, so a call the tool starts to make is covered at once.
_STAT_ERRORS = ["EACCES", "EIO", "ENOENT"]
_MEMORY_ERRORS = ["ENOMEM"]
ERRORS = {
    "read": ["EIO", "EINTR"],
    "pread64": ["EIO", "EINTR"],
    "write": ["ENOSPC", "EIO", "EINTR"],
    "openat": ["EACCES", "ENOSPC", "EIO", "EINTR", "EMFILE"],
    "close": ["EIO", "EINTR", "ENOSPC"],
    "fsync": ["EIO", "ENOSPC"],
    "fchmod": ["EPERM", "EIO"],
    "fchown": ["EPERM", "EIO"],
    # EINVAL: a file system that cannot exchange two names.
    "renameat2": ["EACCES", "ENOSPC", "EIO", "EINVAL"],
    "unlinkat": ["EACCES", "EIO"],
    "flock": ["EAGAIN", "EINTR", "ENOLCK"],  # EAGAIN is EWOULDBLOCK here
    "newfstatat": _STAT_ERRORS,
    "statx": _STAT_ERRORS,
    "readlink": ["EACCES", "EIO"],
    # Not ENOTSUP nor ENODATA for reading attributes: they say that there is
    # no attribute to copy, which a run cannot tell from the truth.
    "flistxattr": ["EIO", "ENOMEM"],
    "fgetxattr": ["EIO", "ENOMEM"],
    "fsetxattr": ["ENOSPC", "EIO", "EDQUOT", "EPERM"],
    "fremovexattr": ["EIO", "EPERM"],
    "socket": ["EACCES", "EMFILE"],
    "connect": ["EACCES", "EINTR"],
    "sendto": ["ENOBUFS", "EINTR"],
    "mmap": _MEMORY_ERRORS,
    "munmap": _MEMORY_ERRORS,
    "mprotect": _MEMORY_ERRORS,
    # ENOSYS: a kernel without inotify, where the run compares times.
    "inotify_init1": ["EMFILE", "ENFILE", "ENOMEM", "ENOSYS"],
    "inotify_add_watch": ["ENOSPC", "ENOMEM", "EACCES"],
}
DEFAULT_ERRORS = ["EIO", "EACCES"]

# Calls that have no failure return.  A refused brk returns the old break,
# never an error: the C library takes an injected error for a new break and
# crashes.
CANNOT_FAIL = {"getuid", "geteuid", "getgid", "getegid", "getpid", "getppid",
               "gettid", "set_tid_address", "exit", "exit_group",
               "brk"} | support.STRACE_OWN

# Calls a run that rewrites a file must make; the sweep is only as good as
# the list of calls it is derived from.  Each entry lists the names one
# operation may go by.
MUST_APPEAR = [
    ("open", "openat"), ("read",), ("write",), ("close",), ("flock",),
    ("fstat", "newfstatat", "statx"), ("fchmod",),
    ("flistxattr",), ("fgetxattr",), ("fsetxattr",), ("fremovexattr",),
    ("fsync", "fdatasync"), ("rename", "renameat", "renameat2"), ("readlink",),
    ("uname",), ("unlink", "unlinkat"), ("inotify_init1",),
    ("inotify_add_watch",),
] + ([("fchown",)] if support.TARGET_GROUP != os.getgid() else [])

# Calls made on the one file, target or scratch, whose name their failure's
# message must give.
FILE_OF_CALL = {"flistxattr": "target", "fgetxattr": "target",
                "fsetxattr": "scratch", "fremovexattr": "scratch"}

# Faults a run must shrug off and still stamp the file: the calls whose
# failure changes nothing of the result (closing, the log, the watch, which
# the sizes and times stand in for, the directory's flush, the hint to
# start writing back), and the removal of the old content, which the run
# only warns about.  (call, which invocation; None for every one)
SHRUG_OFF = [("close", None), ("socket", None), ("connect", None),
             ("sendto", None), ("inotify_init1", None),
             ("inotify_add_watch", None), ("inotify_rm_watch", None),
             ("sync_file_range", None), ("fsync", 2), ("unlinkat", 1)]

# The calls that remove a scratch file when a run gives up.
CLEANUP_CALLS = {"unlink", "unlinkat"}

# A disk-full write halfway through: the failure whose way out shows which
# calls a run makes only to clean up.
REPRESENTATIVE_FAILURE = "inject=write:error=ENOSPC:when=1"


def errors_for(call):
    return ERRORS.get(call, DEFAULT_ERRORS)


class Sweep:
    """Runs of the tool with one call failing, for every call it makes, every
    time it makes it and every error in errors_for(); computed once."""

    def __init__(self):
        self.old = support.sample_content()
        self.new = support.expected_rewrite(self.old, support.running_user_name())
        self.counts = support.profile(self.old)
        failing = support.profile(self.old, ["-e", REPRESENTATIVE_FAILURE])
        self.cleanup_calls = sorted(CLEANUP_CALLS & set(failing))
        self.jobs = [(call, n, error)
                     for call, count in sorted(self.counts.items())
                     if call not in CANNOT_FAIL
                     for n in range(1, count + 1)
                     for error in errors_for(call)]
        trace_also = set(self.cleanup_calls)

        def work(bench, job):
            call, n, error = job
            return bench.traced(f"{call} #{n} {error}", {call} | trace_also,
                                [f"inject={call}:error={error}:when={n}"])

        self.runs = support.run_on_benches(self.old, self.jobs, work)
        self.must_fail = calls_whose_failure_fails_the_run(self.old)


def calls_whose_failure_fails_the_run(content):
    """The (call, n) whose failure a run must report, since passing over it
    could lose a change or the new content while the final state may still
    look right: the scratch file's flush (the first fsync), every read of
    the watch (the reads that find nothing in a clean run) and the look
    after the exchange (the last statx)."""
    bench = support.Bench(content)
    try:
        log = bench.traced("clean", {"read", "fsync", "statx"}, []).log
    finally:
        bench.cleanup()
    calls = re.findall(r"^\d+ +(read|fsync|statx)\(.*= (-?\d+)( EAGAIN)?",
                       log, re.MULTILINE)
    numbered = collections.Counter()
    must = set()
    for call, _, eagain in calls:
        numbered[call] += 1
        if call == "read" and eagain:
            must.add(("read", numbered["read"]))
    must |= {("fsync", 1), ("statx", numbered["statx"])}
    return must


_sweep = None


def sweep():
    global _sweep
    if _sweep is None:
        _sweep = Sweep()
    return _sweep


def open_failed(run):
    """Whether the run ended with the open failure on its target, exactly."""
    return (run.returncode == 0 and
            support.open_failure_reason(run.stderr, run.target) is not None)


def reported_failure(run):
    """Whether the run ended with one of the tool's own failure reports."""
    return (open_failed(run) or
            (run.returncode == 1 and run.stderr == support.STARTUP_FAILED) or
            (run.returncode == 1 and run.stderr.startswith(b"authorstamp: ") and
             run.stderr.endswith(b"\n") and run.stderr.count(b"\n") == 1 and
             len(run.stderr) > len(b"authorstamp: \n")))


def warned_old_left(run):
    """Whether the run put the new content in place but could not remove the
    old one, which the swap left at the scratch name, and said so: it has
    still done its job (exit 0), and the next run removes that file."""
    target = os.fsencode(run.target)
    head = b"authorstamp: warning: the old content of %s is left at %sNew: " % (
        target, target)
    return (run.returncode == 0 and run.stderr.startswith(head) and
            run.stderr.endswith(b"\n") and run.stderr.count(b"\n") == 1)


def succeeded(run):
    return run.reported_success or warned_old_left(run)


def outcome_problems(run, old, new, scratch_may_stay=False):
    """What is wrong with the state a run with a failed call left, as
    messages; none when the run rewrote the target completely, or reported
    its failure and left the target as it was."""
    problems = []
    where = f"{run.label}: exit {run.returncode}, stderr {run.stderr!r}"
    old_stays = warned_old_left(run) and run.leftover_contents == [old]
    if run.leftovers and not (scratch_may_stay or old_stays):
        problems.append(f"{where}: scratch file left behind: {run.leftovers}")
    if succeeded(run):
        if run.content != new:
            problems.append(f"{where}: reported success but the target holds "
                            f"{support.describe(run.content, old, new)}")
        elif run.access != support.TARGET_ACCESS and not (
                # A refused chown leaves the runner's group, as it must.
                run.called("fchown", injected=True) and
                run.access[::2] == support.TARGET_ACCESS[::2]):
            problems.append(f"{where}: target access {run.access}, was "
                            f"{support.TARGET_ACCESS}")
        return problems
    if not reported_failure(run) and run.opened_target:
        problems.append(f"{where}: neither success, nor the open failure, "
                        "nor a reported failure")
    # Any other exit status or message is the dynamic loader's, the C
    # library's or strace's, from a process that never opened the target;
    # then, as after a reported failure, only the untouched target counts.
    if run.content != old or run.ino != run.ino_before:
        problems.append(f"{where}: failed but the target holds "
                        f"{support.describe(run.content, old, new)}"
                        + (" (a new copy)" if run.content == old else ""))
    return problems


def kind(run):
    if run.reported_success:
        return "rewritten"
    if warned_old_left(run):
        return "rewritten, old content left"
    if open_failed(run):
        return "Open file fail!"
    if reported_failure(run):
        return "failure reported"
    return "ended before opening the target"


class SystemCallFaults(support.Case):

    def setUp(self):
        self.need_strace()

    def test_profile_holds_the_calls_that_matter(self):
        s = sweep()
        for names in MUST_APPEAR:
            with self.subTest(call=names[0]):
                self.assertTrue(any(n in s.counts for n in names),
                                f"no {'/'.join(names)} in {sorted(s.counts)}")
        self.assertGreater(s.counts.get("read", 0), 4, "the file should take several reads")
        self.assertGreater(s.counts.get("write", 0), 1, "the file should take several writes")
        self.assertTrue(s.cleanup_calls,
                        "a failed run removes its scratch file, yet it "
                        f"makes none of {sorted(CLEANUP_CALLS)}")

    def test_each_call_fails_in_turn(self):
        s = sweep()
        problems = []
        for run in s.runs:
            problems += outcome_problems(run, s.old, s.new)
        self.assertTrue(any(c == "read" for c, _ in s.must_fail),
                        f"no read of the watch among {sorted(s.must_fail)}")
        for run, (call, n, error) in zip(s.runs, s.jobs):
            # The loader's own calls, before the program runs, are not its.
            if ((call, None) in SHRUG_OFF or (call, n) in SHRUG_OFF) and (
                    run.injected and run.opened_target and not succeeded(run)):
                problems.append(f"{run.label}: the run should have stamped the "
                                f"file: exit {run.returncode} {run.stderr!r}")
            # EINTR is asked again, as it must be.
            if (call, n) in s.must_fail and error != "EINTR" and run.injected and (
                    run.returncode != 1 or not reported_failure(run)):
                problems.append(f"{run.label}: a failed flush or look must fail "
                                f"the run: exit {run.returncode} {run.stderr!r}")
            if call in FILE_OF_CALL and run.injected and run.returncode == 1:
                path = run.target + ("New" if FILE_OF_CALL[call] == "scratch" else "")
                tail = f" {path}: {os.strerror(getattr(errno, error))}\n".encode()
                if not run.stderr.endswith(tail):
                    problems.append(f"{run.label}: the message does not end with "
                                    f"{tail!r}: {run.stderr!r}")
        injected = [r for r in s.runs if r.injected]
        lost = sum(support.bytes_lost(r.content, s.new if succeeded(r) else s.old)
                   for r in s.runs)
        kinds = collections.Counter(kind(r) for r in injected)
        calls = sorted({job[0] for job in s.jobs})
        errors = sorted({job[2] for job in s.jobs})
        print(f"\nsystem-call faults: {len(injected)} faults injected in "
              f"{len(s.runs)} runs, {len(calls)} calls covered "
              f"({', '.join(calls)}), errors used: {', '.join(errors)}; "
              f"outcomes: {dict(sorted(kinds.items()))}; bytes lost: {lost}",
              file=sys.stderr)
        # Every call must really have been failed, or the sweep proves less
        # than it claims.
        for call in calls:
            self.assertTrue(any(r.injected for r, j in zip(s.runs, s.jobs)
                                if j[0] == call), f"no fault reached {call}")
        # A look for changes that fails must fail the run, never pass a
        # change; some fault must reach a look for the problems to say so.
        self.assertTrue(any(b"was changed during the run: " in r.stderr
                            for r in injected), "no fault reached a look")
        if problems:
            self.fail(f"{len(problems)} problems:\n" + "\n".join(problems[:40]))

    def test_cleanup_after_a_failure_can_fail_too(self):
        # A run that gives up removes its scratch file.  When that removal
        # fails as well, the scratch file may stay (the next run removes
        # it), but the first failure is still the one reported and the
        # target is still untouched.
        s = sweep()
        jobs = []
        for job, run in zip(s.jobs, s.runs):
            if succeeded(run):  # what it removed was the old content
                continue
            for call in s.cleanup_calls:
                jobs += [(job, run, call, m, error)
                         for m in range(1, run.calls(call) + 1)
                         for error in errors_for(call)]
        self.assertTrue(jobs, "no failed call led to a cleanup")

        def work(bench, pair):
            (call, n, error), _, cleanup, m, cleanup_error = pair
            return bench.traced(
                f"{call} #{n} {error}, then {cleanup} #{m} {cleanup_error}",
                {call, cleanup},
                [f"inject={call}:error={error}:when={n}",
                 f"inject={cleanup}:error={cleanup_error}:when={m}"])

        problems = []
        runs = support.run_on_benches(s.old, jobs, work)
        for (_, alone, cleanup, _, _), run in zip(jobs, runs):
            problems += outcome_problems(
                run, s.old, s.new,
                scratch_may_stay=run.called(cleanup, injected=True))
            if (run.returncode, run.message) != (alone.returncode, alone.message):
                problems.append(f"{run.label}: exit {run.returncode} {run.message!r}"
                                f", but {alone.returncode} {alone.message!r} "
                                "without the cleanup failing")
        both = [r for r in runs
                if any(r.called(c, injected=True) for c in s.cleanup_calls)]
        lost = sum(support.bytes_lost(r.content, s.old) for r in runs)
        print(f"\nfailed cleanups: {len(runs)} runs after a failed call, "
              f"{len(both)} with the cleanup ({', '.join(s.cleanup_calls)}) "
              f"failing too; scratch file left by {sum(1 for r in both if r.leftovers)}"
              f"; bytes lost: {lost}", file=sys.stderr)
        if problems:
            self.fail(f"{len(problems)} problems:\n" + "\n".join(problems[:40]))


class Replace(support.Case):
    """How the new content takes the target's place, watched and steered
    with strace."""

    def setUp(self):
        self.need_strace()
        self.box = support.Sandbox()
        self.addCleanup(self.box.cleanup)
        self.old = b"<p>\n <Author>someone</Author>\n</p>\n" * 1000
        self.new = support.expected_rewrite(self.old, support.running_user_name())
        self.target = self.box.write(support.TARGET, self.old)
        self.scratch = self.target + "New"

    def test_scratch_is_durable_before_it_replaces_the_target(self):
        # A crash at any moment must find the old or the new content whole:
        # the new file's data is on disk before its name replaces the old
        # one, and the directory is flushed after, so the replace lasts.  A
        # directory that the runner may write and search but not read (a
        # drop box) cannot be flushed by itself; its file system is.
        box = self.box
        scratch, target = (re.escape(os.path.basename(p))
                           for p in (self.scratch, self.target))
        in_dir = rf'(?:\d+<{re.escape(box.dir)}>, "|"{re.escape(box.dir)}/)'
        # (case, the directory's mode, who runs the tool, the flush after
        # the replace)
        cases = [
            ("a directory the runner may read", 0o755, None,
             rf"fsync\(\d+<{re.escape(box.dir)}>\) = 0"),
            ("a drop box", 0o333, support.NOBODY, r"syncfs\(\d+<[^>]+>\) = 0"),
        ]
        for name, mode, uid, flush in cases:
            with self.subTest(name):
                if uid is not None:
                    self.need_root("running as another user")
                box.write(support.TARGET, self.old)
                if uid is not None:
                    os.chown(self.target, uid, uid)
                os.chmod(box.dir, mode)
                log = os.path.join(box.root, "strace.log")
                user = [] if uid is None else support.as_user(uid)
                r = subprocess.run(
                    ["strace", "-f", "-y", "-o", log, "-e",
                     "trace=fsync,fdatasync,syncfs,rename,renameat,renameat2",
                     *user, box.exe, support.TARGET],
                    cwd=box.elsewhere, capture_output=True, timeout=60)
                os.chmod(box.dir, 0o755)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                self.assertEqual(box.read(support.TARGET), support.expected_rewrite(
                    self.old, support.running_user_name(uid)))
                with open(log) as f:
                    lines = f.read().splitlines()

                def first(pattern):
                    found = [i for i, line in enumerate(lines)
                             if re.search(pattern, line)]
                    self.assertTrue(found, f"no {pattern!r} in:\n" + "\n".join(lines))
                    return found[0]

                synced = first(rf"f(data)?sync\(\d+<{re.escape(self.scratch)}>\) = 0")
                replaced = first(rf'rename(at2?)?\(.*{in_dir}{scratch}",.*'
                                 rf'{in_dir}{target}".* = 0')
                self.assertLess(synced, replaced)
                self.assertLess(replaced, first(flush))

    def test_file_system_that_keeps_no_owners_or_modes(self):
        # Some FUSE file systems answer ENOSYS to chown and chmod, and some
        # refuse them even where nothing would change.  Owner, group and
        # mode are set only where they differ from the new file's, and a
        # file system that keeps none has none to set.
        me, other = os.getgid(), 12345
        # (case, the target's group and mode, failures injected, the new
        # file's group and mode)
        cases = [
            ("chown: ENOSYS", other, 0o600, ["fchown:error=ENOSYS"], (me, 0o600)),
            ("chmod: ENOSYS", me, 0o640, ["fchmod:error=ENOSYS"], (me, 0o600)),
            ("nothing to set, chown and chmod fail", me, 0o600,
             ["fchown:error=EIO", "fchmod:error=EIO"], (me, 0o600)),
        ]
        for name, group, mode, failures, result in cases:
            with self.subTest(name):
                if group != me:
                    self.need_root("giving a file another group")
                self.box.write(support.TARGET, self.old, mode)
                os.chown(self.target, -1, group)
                options = [o for f in failures for o in ("-e", f"inject={f}")]
                r = subprocess.run(["strace", "-f", "-o", "/dev/null", *options,
                                    self.box.exe, support.TARGET],
                                   cwd=self.box.elsewhere, capture_output=True,
                                   timeout=60, preexec_fn=lambda: os.umask(0o022))
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                self.assertEqual(self.box.read(support.TARGET), self.new)
                st = os.stat(self.target)
                self.assertEqual((st.st_gid, stat.S_IMODE(st.st_mode)), result)
                self.assertEqual(self.box.leftovers(), [])

    def test_file_moved_in_during_the_run_is_kept(self):
        # Another program changes the target while the run is busy: an
        # editor saves a newer version over it, or writes into it (as nano
        # does, or a shell's > and >>).  The run must not replace that with
        # the stamped old content.  The run is held by strace at one point
        # while the change is made.
        box = self.box
        newer = b"<p>\n <Author>a newer version</Author>\n</p>\n"
        fresh = os.path.join(box.root, "fresh")
        moved, decoy = box.dir + "-moved", os.path.join(box.root, "decoy")

        def move_in():
            with open(fresh, "wb") as f:
                f.write(newer)
            os.replace(fresh, self.target)

        def overwrite():
            with open(self.target, "r+b") as f:
                f.write(b"<q>XYZ\n\n")

        def append():
            with open(self.target, "ab") as f:
                f.write(b" <Author>appended</Author>\n")

        def truncate_and_rewrite():
            with open(self.target, "wb") as f:
                f.write(newer)

        def overwrite_within_the_clock_tick():
            # What a write within the same tick of the file system's clock
            # leaves: the same size and modification time.
            st = os.stat(self.target)
            overwrite()
            os.utime(self.target, ns=(st.st_atime_ns, st.st_mtime_ns))

        def restrict():
            os.chmod(self.target, 0o600)

        def move_directory():
            os.rename(box.dir, moved)
            return os.path.join(moved, support.TARGET)

        def swap_directory_for_link():
            target = move_directory()
            os.mkdir(decoy)
            os.symlink(decoy, box.dir)
            return target

        def second_run():
            # The new content is in place and the old one not yet gone: the
            # run still holds both, so a second run finds the target held.
            r = box.run(support.TARGET)
            self.assertEqual((r.returncode, r.stderr), (0, support.OPEN_FAILED +
                             b" (%s: held by another run)\n" % os.fsencode(self.target)))

        plain = ["-e", "inject=renameat2:error=EINVAL"]
        # No watch to be had: the user's instances all taken, or no watch
        # left; the run compares size and times instead, and still stamps.
        no_watch = ["-e", "inject=inotify_init1:error=EMFILE"]
        no_watches_left = ["-e", "inject=inotify_add_watch:error=ENOSPC"]
        took = rb"another file took its place during the run and is kept"
        changed = rb"it was changed during the run and is kept"
        # (case, where the run is held, the change or None, more strace
        # options, the message or None where the run stamps the file)
        cases = [
            ("nothing changes", "flush", None, [], None),
            ("moved in, exchanged", "flush", move_in, [], took),
            ("moved in, renamed", "flush", move_in, plain, took),
            ("overwritten in place", "flush", overwrite, [], changed),
            ("appended to", "flush", append, [], changed),
            ("truncated and rewritten", "flush", truncate_and_rewrite, [], changed),
            ("overwritten in place, renamed", "flush", overwrite, plain, changed),
            ("overwritten in place", "first write", overwrite, [], changed),
            ("appended to", "first write", append, [], changed),
            ("truncated and rewritten", "first write", truncate_and_rewrite, [],
             changed),
            ("overwritten within the clock tick", "first write",
             overwrite_within_the_clock_tick, [], changed),
            ("overwritten in place", "exchange", overwrite, [], changed),
            ("its mode changed", "flush", restrict, [], changed),
            ("its mode changed", "first write", restrict, [], None),
            ("its directory renamed", "flush", move_directory, [], None),
            ("its directory swapped for a link", "flush", swap_directory_for_link,
             [], None),
            ("nothing changes, no inotify instance", "flush", None, no_watch, None),
            ("nothing changes, no watch left", "flush", None, no_watches_left,
             None),
            ("appended to, no inotify instance", "flush", append, no_watch,
             changed),
            ("overwritten within the clock tick, no inotify instance",
             "first write", overwrite_within_the_clock_tick, no_watch, changed),
            ("overwritten in place, no watch left", "exchange", overwrite,
             no_watches_left, changed),
            ("a second run started", "removal of the old content", second_run,
             [], None),
        ]
        for name, hold, change, options, message in cases:
            with self.subTest(f"{name}, held at the {hold}"):
                if os.path.lexists(moved):  # a case before moved it
                    if os.path.islink(box.dir):
                        os.unlink(box.dir)
                    os.rename(moved, box.dir)
                for path in box.leftovers():  # what a failed case left
                    os.unlink(path)
                self.check_held_run(box, hold, change, options, message)
        # A file moved in while the run waits for its lock is the one it
        # opens again, and stamps.
        with self.subTest("moved in, held at the lock"):
            self.check_held_run(box, "lock", move_in, [], None,
                                stamped=support.expected_rewrite(
                                    newer, support.running_user_name()))

    def check_held_run(self, box, hold, change, options, message, stamped=None):
        """Runs the tool on a fresh target in |box|, held by strace at
        |hold| while |change| (if any) changes the target; checks the run
        ended with |message| (or stamped the file where None) and left the
        target as the change left it, with nothing beside it."""
        holds = {"flush": "fsync", "first write": "write", "exchange": "renameat2",
                 "removal of the old content": "unlinkat", "lock": "flock"}
        target = os.path.join(box.dir, support.TARGET)
        box.write(support.TARGET, self.old)
        call = holds[hold]
        # strace injects only into the calls it traces.
        traced = {call} | set(re.findall(r"inject=(\w+)", " ".join(options)))
        run = subprocess.Popen(
            ["strace", "-f", "-o", "/dev/null", "-e", f"trace={','.join(traced)}",
             "-e", f"inject={call}:delay_enter=1500000:when=1", *options,
             box.exe, support.TARGET],
            cwd=box.elsewhere, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.wait_for_hold(run, hold, target)
        # A change may say where the target is to be read from now.
        where = (change and change()) or target
        with open(where, "rb") as f:
            left = f.read()
        mode = stat.S_IMODE(os.stat(where).st_mode)
        _, err = run.communicate(timeout=60)
        if message:
            self.assertEqual(run.returncode, 1, err)
            self.assertRegex(err, rb"^authorstamp: cannot replace " +
                             re.escape(os.fsencode(target)) +
                             b": " + message + rb"\n$")
        else:
            self.assertEqual((run.returncode, err), (0, b""))
            left = self.new if stamped is None else stamped
        with open(where, "rb") as f:
            self.assertEqual(f.read(), left)
        self.assertEqual(stat.S_IMODE(os.stat(where).st_mode), mode)
        self.assertEqual(box.leftovers(), [])

    def test_no_watch_to_be_had(self):
        # A desktop's watchers can take every inotify instance of a user, and
        # a user namespace can allow no watch at all: the run compares size
        # and times instead, and stamps the file it could open.
        self.need_root("another user's inotify instances, a user namespace")
        box = self.box
        take_all = ("import ctypes, sys\n"
                    "libc = ctypes.CDLL(None, use_errno=True)\n"
                    "held = []\n"
                    "while (fd := libc.inotify_init1(0)) >= 0: held.append(fd)\n"
                    "print(len(held), ctypes.get_errno(), flush=True)\n"
                    "sys.stdin.read()\n")
        holder = subprocess.Popen(
            support.as_user(support.NOBODY) + [sys.executable, "-c", take_all],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.stdin.close)
        held, error = map(int, holder.stdout.readline().split())
        self.assertEqual(error, errno.EMFILE, "the holder should take them all")
        no_watches = ["unshare", "--user", "--map-root-user", "sh", "-c",
                      'echo 0 >/proc/sys/user/max_inotify_watches && exec "$@"',
                      "sh"]
        # (case, command prefix, user)
        cases = [(f"all {held} instances taken", support.as_user(support.NOBODY),
                  support.NOBODY),
                 ("no watch allowed", no_watches, os.getuid())]
        for name, prefix, uid in cases:
            with self.subTest(name):
                if prefix is no_watches and not support.user_namespaces():
                    support.unavailable(self, "no user namespaces (none in a "
                                        "chroot: enter a tree with pivot_root)")
                box.write(support.TARGET, self.old)
                os.chown(box.dir, uid, uid)
                os.chown(self.target, uid, uid)
                r = subprocess.run(prefix + [box.exe, support.TARGET],
                                   cwd=box.elsewhere, capture_output=True,
                                   timeout=60)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                self.assertEqual(box.read(support.TARGET), support.expected_rewrite(
                    self.old, support.running_user_name(uid)))
                self.assertEqual(box.leftovers(), [])

    def test_change_behind_a_cache_is_seen(self):
        # On FUSE and network file systems another machine's writes reach
        # neither inotify nor the kernel's cache of the file's attributes.
        # bindfs with a long attribute cache stands in for one: the change
        # is made in the directory behind the mount.
        self.need_root("mounting bindfs")
        if not shutil.which("bindfs") or not os.path.exists("/dev/fuse"):
            support.unavailable(self, "bindfs or /dev/fuse is missing "
                                "(tests/run.sh installs bindfs)")
        box = self.box
        backing = box.dir + "-backing"
        os.rename(box.dir, backing)
        os.mkdir(box.dir)
        subprocess.run(["bindfs", "-o", "attr_timeout=30,entry_timeout=30",
                        backing, box.dir], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", box.dir])
        behind = os.path.join(backing, support.TARGET)

        # Each is read back from behind the mount too: the mount's own
        # reads may come from its cache.
        def append():
            with open(behind, "ab") as f:
                f.write(b" <Author>appended</Author>\n")
            return behind

        def overwrite():
            with open(behind, "r+b") as f:
                f.write(b"<q>XYZ\n\n")
            return behind

        changed = rb"it was changed during the run and is kept"
        cases = [("nothing changes", "flush", None, None),
                 ("appended to", "flush", append, changed),
                 ("appended to", "first write", append, changed),
                 ("overwritten in place", "flush", overwrite, changed)]
        for name, hold, change, message in cases:
            with self.subTest(f"{name} behind the cache, held at the {hold}"):
                self.check_held_run(box, hold, change, [], message)

    def test_changed_file_that_cannot_be_put_back_is_never_removed(self):
        # A change that comes between the last look and the exchange is
        # seen after it, and the exchange is undone; when the undoing fails,
        # the file that stood at the target's name stays at the scratch
        # name, and no later run may take it for a scratch file of its own.
        box = self.box
        looks = support.profile(self.old)["statx"]
        newer = b"<p>\n <Author>a newer version</Author>\n</p>\n"
        fresh = os.path.join(box.root, "fresh")

        def append():
            with open(self.target, "ab") as f:
                f.write(b" <Author>appended</Author>\n")
            return self.old + b" <Author>appended</Author>\n"

        def move_in():
            with open(fresh, "wb") as f:
                f.write(newer)
            os.replace(fresh, self.target)
            return newer

        for name, change in (("appended to", append), ("moved in", move_in)):
            with self.subTest(name):
                # Held after the last look before the exchange.
                box.write(support.TARGET, self.old)
                run = subprocess.Popen(
                    ["strace", "-f", "-o", "/dev/null", "-e",
                     "trace=statx,renameat2",
                     "-e", f"inject=statx:delay_exit=1500000:when={looks - 1}",
                     "-e", "inject=renameat2:error=EIO:when=2",
                     box.exe, support.TARGET],
                    cwd=box.elsewhere, stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE)
                self.wait_for_hold(run, "flush", self.target)
                time.sleep(0.3)
                changed = change()
                _, err = run.communicate(timeout=60)
                self.assertEqual(run.returncode, 1, err)
                self.assertEqual(err, (
                    b"authorstamp: cannot replace %s: the file that stood there "
                    b"is now at %s and cannot be put back: Input/output error; "
                    b"move it back by hand\n" %
                    (os.fsencode(self.target), os.fsencode(self.scratch))))
                self.assertEqual(box.read(support.TARGET), self.new)
                with open(self.scratch, "rb") as f:
                    self.assertEqual(f.read(), changed)
                r = box.run(support.TARGET)
                self.assertEqual((r.returncode, r.stderr), (1, (
                    b"authorstamp: cannot create scratch file %s: it holds a "
                    b"change that another program made to the target during an "
                    b"earlier run; move it back by hand, or remove it\n" %
                    os.fsencode(self.scratch))))
                with open(self.scratch, "rb") as f:
                    self.assertEqual(f.read(), changed)
                # Moved back, it is stamped, and the mark does not stay.
                os.replace(self.scratch, self.target)
                r = box.run(support.TARGET)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                self.assertEqual(box.read(support.TARGET), support.expected_rewrite(
                    changed, support.running_user_name()))
                self.assertNotIn("user.authorstamp.kept",
                                 os.listxattr(self.target))
                self.assertEqual(box.leftovers(), [])

    def wait_for_hold(self, run, hold, target):
        """Waits until |run| has reached the point where strace holds it:
        its lock on the target, the scratch file's flush, its first write,
        the exchange or the removal of the old content."""
        scratch = target + "New"

        def ready():
            if hold == "lock":
                return any(holds_open(pid, target) for pid in children(run.pid))
            if hold == "first write":
                return os.path.exists(scratch)
            if hold == "removal of the old content":
                return os.path.getsize(target) == len(self.new)
            # Written whole, and given the target's mode just before the
            # flush: a change before that reaches the new file.
            return (os.path.exists(scratch) and
                    os.path.getsize(scratch) >= len(self.new) and
                    (hold != "flush" or stat.S_IMODE(os.stat(scratch).st_mode) ==
                     stat.S_IMODE(os.stat(target).st_mode)))

        while not ready():
            self.assertIsNone(run.poll(), "the run ended too soon")
            time.sleep(0.01)
        if hold != "flush":
            # From the scratch file's creation to its first write, or from
            # its flush to the exchange, the run takes a few milliseconds.
            time.sleep(0.3)


def children(pid):
    """The processes |pid| started."""
    found = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as f:
            found += [int(c) for c in f.read().split()]
    return found


def holds_open(pid, path):
    """Whether process |pid| has |path| open."""
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except FileNotFoundError:
        return False
    for fd in fds:
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") == path:
                return True
        except FileNotFoundError:
            pass
    return False


class FullDisk(support.Case):
    """A real small file system, not an injected error."""

    def setUp(self):
        self.need_root("mounting a small tmpfs")
        self.box = support.Sandbox()
        self.addCleanup(self.box.cleanup)

    def mount(self, options):
        disk = os.path.join(self.box.root, "disk")
        os.mkdir(disk)
        subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", disk],
                       check=True)
        self.addCleanup(subprocess.run, ["umount", disk], check=True)
        exe = os.path.join(disk, "authorstamp")
        shutil.copy2(support.BINARY, exe)
        return disk, exe

    def check_refused(self, disk, exe, content):
        target = os.path.join(disk, support.TARGET)
        ino = os.stat(target).st_ino
        r = subprocess.run([exe, support.TARGET], cwd=self.box.elsewhere,
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertRegex(r.stderr, rb"^authorstamp: .*No space left on device\n$")
        with open(target, "rb") as f:
            self.assertEqual(f.read(), content)
        self.assertEqual(os.stat(target).st_ino, ino)
        self.assertEqual(sorted(os.listdir(disk)), ["authorstamp", support.TARGET])

    def test_no_room_for_the_rewritten_file(self):
        content = support.sample_content()[: 400 * 1024]
        room = 64 * 1024
        binary = (os.path.getsize(support.BINARY) + 4095) // 4096 * 4096
        disk, exe = self.mount(f"size={binary + len(content) + room}")
        with open(os.path.join(disk, support.TARGET), "wb") as f:
            f.write(content)
        st = os.statvfs(disk)
        self.assertLess(st.f_bavail * st.f_frsize, len(content),
                        "the disk should not hold a second copy")
        self.check_refused(disk, exe, content)

    def test_no_inode_for_the_scratch_file(self):
        # The file system's root, the binary and the target use all three.
        disk, exe = self.mount("size=4m,nr_inodes=3")
        content = b"<Author>someone</Author>\n"
        with open(os.path.join(disk, support.TARGET), "wb") as f:
            f.write(content)
        self.check_refused(disk, exe, content)


class LogDaemon(support.Case):
    """A daemon at /dev/log that reads gets every stamped line, in order.
    One that has stopped reading fills its socket's queue (a datagram
    socket's queue, or, on a stream socket, the unread bytes the system
    holds), and then sending a record waits: the run waits at most its
    budget for the log in all, and still stamps the file."""

    BUDGET = 1.0  # seconds, for all the waiting of a run

    def test_every_line_reaches_a_reader_and_a_stalled_one_costs_a_moment(self):
        self.need_namespaces("a private /dev/log")
        with open("/proc/sys/net/unix/max_dgram_qlen") as f:
            queue = int(f.read())
        with open("/proc/sys/net/core/wmem_default") as f:
            buffered = int(f.read())
        # (socket, reads, lines to trace): a record takes some 60 bytes, and
        # more of a stream socket's buffer; a stalled daemon gets more lines
        # than it holds.
        cases = [(socket.SOCK_DGRAM, True, 3000),
                 (socket.SOCK_STREAM, True, 3000),
                 (socket.SOCK_DGRAM, False, queue + 20),
                 (socket.SOCK_STREAM, False, buffered // 60 + 20)]
        for kind, reads, lines in cases:
            with self.subTest(kind.name, reads=reads, lines=lines):
                box = support.Sandbox()
                self.addCleanup(box.cleanup)
                listener = support.LogListener(os.path.join(box.root, "log"),
                                               drain=reads, kind=kind)
                self.addCleanup(listener.close)
                old = b"".join(b"<a>\n <Author>%d</Author>\n" % i
                               for i in range(lines))
                new = support.expected_rewrite(old, support.running_user_name())
                box.write(support.TARGET, old, support.TARGET_MODE)
                started = time.monotonic()
                try:
                    r = subprocess.run(
                        listener.prefix(box.elsewhere) + [box.exe, support.TARGET],
                        cwd=box.elsewhere, capture_output=True, timeout=30)
                except subprocess.TimeoutExpired:
                    self.fail(f"the run still waited for the log after 30 s; "
                              f"target: {support.describe(box.read(support.TARGET), old, new)}")
                took = time.monotonic() - started
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                self.assertEqual(box.read(support.TARGET), new)
                self.assertEqual(box.leftovers(), [])
                # Starting the namespace and the run takes well under the
                # slack; the waiting itself is bounded by the budget.
                self.assertLess(took, self.BUDGET + 3, "the run waited too long")
                if not reads:
                    continue
                stamped = [line for line in new.split(b"\r\n") if b"<Author>" in line]
                end = b"\0" if kind == socket.SOCK_STREAM else b""
                deadline = time.monotonic() + 10
                while len(listener.records) < lines and time.monotonic() < deadline:
                    time.sleep(0.01)
                self.assertEqual(len(listener.records), lines)
                for rec, line in zip(listener.records, stamped):
                    self.assertEqual(rec, b"<15>authorstamp: " + line + end)


if __name__ == "__main__":
    support.main()
