"""End-to-end tests of the Windows executable, run under Wine on real files
in a temporary directory.

    main_win32_test.py --emulator=WINE_RUN --objdump=OBJDUMP --windres=WINDRES
                       --helper=win32_test_helper.exe
                       --faults=authorstamp_faults.exe [--version=V]
                       authorstamp.exe

The Wine server must be up and the prefix initialised (.ci/windows.sh does
both).  The helper is a second Win32 process: it holds files open as another
program would, and runs the tool as its debugger to collect what it sends
to the debugger channel, or stands in for a debug-output monitor.
authorstamp_faults.exe is the program built so that each Windows call of
its replace can be made to fail (AUTHORSTAMP_FAULTS) or held
(AUTHORSTAMP_PAUSE).  Under Wine without a display no alert box can be
shown, so the tool writes alerts to standard error, where the tests read
them.  Wine forms the user name from the host name and $USER, so the tests
choose the user by setting USER.
"""

import argparse
import collections
import contextlib
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import zipfile

import support
from support import expected_rewrite

# On Windows the open failure is the bare text, with no path or reason.
OPEN_FAILED = support.OPEN_FAILED + b"\n"
TOOLS = None  # --objdump, --windres, --helper
TIMEOUT = 120


def utf16(text: str, codec: str = "utf-16-le") -> bytes:
    """|text| as a UTF-16 file: the byte-order mark, then the units."""
    return "\ufeff".encode(codec) + text.encode(codec, "surrogatepass")


# As Windows PowerShell 5 writes it (Out-File, >): UTF-16 LE, mark, CR LF.
POWERSHELL = utf16("<project>\r\n  <Author>old</Author>\r\n</project>\r\n")


def win_path(path: str) -> str:
    """Wine's name for a Unix path: the root is drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine(*args, user="builder", cwd=None, env=None, timeout=TIMEOUT, **kwargs):
    """Runs a Windows program under Wine; output with Windows line ends
    turned back into LF.

    Rarely (once in CI, never in some 1,700 starts here) Wine has ended a
    run with status 1 and no output at all.  The tool never ends so: under
    Wine every status 1 comes with its alert on standard error.  Such a run
    is made once more, and said so on the suite's standard error."""
    env = dict(os.environ, USER=user, **(env or {}))
    for attempt in (1, 2):
        result = subprocess.run(
            [*support.EMULATOR, *args], env=env, cwd=cwd, capture_output=True,
            timeout=timeout, **kwargs)
        if (result.returncode, result.stdout, result.stderr) != (1, b"", b""):
            break
        print(f"\nWine ended {args} with status 1 and no output "
              f"(attempt {attempt})", file=sys.stderr)
    result.stdout = result.stdout.replace(b"\r\n", b"\n")
    result.stderr = result.stderr.replace(b"\r\n", b"\n")
    return result


class Helper:
    """The helper as another Wine process, in place until the block ends
    (see win32_test_helper.cc)."""

    def __init__(self, *args, ready=b"held"):
        self.args = [*support.EMULATOR, TOOLS.helper, *args]
        self.ready = ready

    def __enter__(self):
        self.proc = subprocess.Popen(self.args, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE)
        line = self.proc.stdout.readline()
        if line.strip() != self.ready:
            self.proc.kill()
            raise AssertionError(f"helper {self.args[-2:]} failed: {line!r}")
        return self

    def __exit__(self, *exc):
        self.proc.stdin.close()
        self.rest = self.proc.stdout.read().replace(b"\r\n", b"\n")
        self.proc.stdout.close()
        self.proc.wait(timeout=TIMEOUT)


def Held(mode, path):
    """Another Wine process holding |path| open: "exclusive" with share
    mode 0, "nodelete" reading it and sharing reading and writing but not
    deletion."""
    return Helper("hold", mode, win_path(path))


class Monitor(Helper):
    """A debug-output monitor that takes |lines| lines and then never frees
    its buffer again; .lines is what it took."""

    def __init__(self, lines):
        super().__init__("monitor", str(lines), ready=b"ready")

    def __exit__(self, *exc):
        super().__exit__(*exc)
        self.lines = [bytes.fromhex(line.split()[1].decode())
                      for line in self.rest.splitlines()]


def try_open(path) -> bytes:
    """What another Wine process gets when it opens |path| with share mode
    0: "held", or the error."""
    return wine(TOOLS.helper, "hold", "exclusive", win_path(path),
                stdin=subprocess.DEVNULL).stdout.strip()


def short_name(case, path) -> str:
    """|path|'s 8.3 short name, as Wine makes it up for a long name."""
    result = wine(TOOLS.helper, "short", win_path(path))
    short = result.stdout.decode().strip().split("\\")[-1]
    if result.returncode != 0 or short == os.path.basename(path):
        support.unavailable(case, f"no 8.3 short name for {path}: {result}")
    return short


def attributes(path, value=None) -> int:
    """|path|'s attributes as Windows reports them, after setting them to
    |value| if given."""
    args = [format(value, "x")] if value is not None else []
    result = wine(TOOLS.helper, "attrib", win_path(path), *args)
    return int(result.stdout, 16)


class Case(support.Case):
    """Each test gets a sandbox holding a copy of the tool (self.sb), and
    runs it from another directory so that the working directory never
    helps."""

    domain = None  # the machine part of the user name, as Wine forms it

    @classmethod
    def setUpClass(cls):
        if Case.domain is None:
            Case.domain = find_domain()

    def setUp(self):
        self.sb = self.sandbox()

    def user(self, account="builder") -> bytes:
        return (self.domain + "\\" + account).encode()

    def run_tool(self, *args, user="builder", exe=None, **kwargs):
        return wine(exe or self.sb.exe, *args, user=user, cwd=self.sb.elsewhere,
                    **kwargs)

    def assertStamped(self, result, name, original, account="builder"):
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.assertEqual(self.sb.read(name),
                         expected_rewrite(original, self.user(account)))
        self.assert_no_scratch(self.sb)

    def assertOpenFailed(self, result, name=None, original=None):
        self.assertEqual((result.returncode, result.stderr), (0, OPEN_FAILED))
        if name is not None:
            self.assertEqual(self.sb.read(name), original)
        self.assert_no_scratch(self.sb)

    def assertFailed(self, result, name, original, message, *planted):
        """A mended failure: reported, exit 1, target as it was."""
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertRegex(result.stderr.decode(errors="replace"),
                         "^authorstamp: .*" + message)
        self.assertEqual(self.sb.read(name), original)
        self.assert_no_scratch(self.sb, *planted)


def find_domain() -> str:
    """Wine's machine name, learnt from a run, checked against the host's."""
    root = tempfile.mkdtemp(prefix="authorstamp-win32-")
    try:
        exe = os.path.join(root, "authorstamp.exe")
        shutil.copy(support.BINARY, exe)
        with open(os.path.join(root, "probe.xml"), "wb") as f:
            f.write(b"<Author>\n")
        result = wine(exe, "probe.xml", user="probe", cwd=root)
        with open(os.path.join(root, "probe.xml"), "rb") as f:
            stamped = f.read()
    finally:
        shutil.rmtree(root, ignore_errors=True)
    m = re.fullmatch(rb"<Author>([^\\]+)\\probe</Author>\r\n", stamped)
    if result.returncode != 0 or not m:
        raise AssertionError(f"probe run failed: {result} {stamped!r}")
    domain = m.group(1).decode()
    host = socket.gethostname().split(".")[0].upper()
    if not host.startswith(domain):
        raise AssertionError(f"machine name {domain!r} is not from {host!r}")
    return domain


class RoadOfOneFileTest(Case):
    def test_three_lines_with_lf_come_out_stamped_with_cr_lf(self):
        self.sb.write("setup.xml", b"<project>\n  <Author>old</Author>\n</project>\n")
        result = self.run_tool("setup.xml")
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (0, b"", b""))
        self.assertEqual(
            self.sb.read("setup.xml"),
            b"<project>\r\n  <Author>" + self.user() + b"</Author>\r\n"
            b"</project>\r\n")
        self.assert_no_scratch(self.sb)

    def test_from_the_release_archive(self):
        version = self.need_version()
        archive = support.release_archive(self, os.path.join(self.sb.root, "cpack"))
        top = f"authorstamp-{version}-Windows-x86_64"
        self.assertEqual(os.path.basename(archive), top + ".zip")
        unpacked = os.path.join(self.sb.root, "unpacked")
        with zipfile.ZipFile(archive) as z:
            self.assertEqual(sorted(n for n in z.namelist() if not n.endswith("/")),
                             [f"{top}/README.txt", f"{top}/authorstamp.exe",
                              f"{top}/authorstamp.txt"])
            z.extractall(unpacked)
        exe = os.path.join(unpacked, top, "authorstamp.exe")
        with open(exe, "rb") as f, open(support.BINARY, "rb") as built:
            self.assertEqual(f.read(), built.read())
        content = b"<project>\n  <Author>old</Author>\n</project>\n"
        target = os.path.join(unpacked, top, "setup.xml")
        with open(target, "wb") as f:
            f.write(content)
        result = self.run_tool("setup.xml", exe=exe)
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        with open(target, "rb") as f:
            self.assertEqual(f.read(), expected_rewrite(content, self.user()))

    def test_line_rules(self):
        big = b"".join(b"line %d <Author>x\n" % i if i % 7 == 0
                       else b"%d\r\n" % i for i in range(60000))
        cases = {
            "empty": b"",
            "no final line end": b"a\n<Author>b",
            "cr lf stays one line end": b"a\r\n<Author>b\r\n",
            "lone cr is text": b"a\rb\n<Author>c\rd\n",
            "blank lines": b"\n\n\r\n",
            "bytes 0 and 26": b"a\x00b\x1ac\n<Author>\x00\x1a\n\x1a",
            "utf-8 bom survives": b"\xef\xbb\xbf<Author>x\n",
            "first tag counts": b"<Author>a</Author><Author>b\n",
            "tag case matters": b"<author>a\n<AUTHOR>b\n",
            "several blocks": big,
            "utf-16 le as powershell writes it": POWERSHELL,
            "utf-16 be, lf, no final line end":
                utf16("a\n <Author>x</Author>\nb", "utf-16-be"),
            "utf-16 le, units whose bytes are cr, lf or <":
                utf16("\u0a0d\u0d0a\u3c41\n<Author>\u0a0d\n\ud800\n"),
            "utf-16 le, several blocks": utf16(big.decode("latin-1")),
        }
        for name, content in cases.items():
            with self.subTest(name):
                self.sb.write("t.xml", content)
                self.assertStamped(self.run_tool("t.xml"), "t.xml", content)

    def test_utf32_and_odd_length_are_refused_untouched(self):
        odd = "an odd number of bytes"
        for name, content, says in [
                ("utf-32 le", b"\xff\xfe\x00\x00" + "<Author>x\n".encode("utf-32-le"),
                 "UTF-32"),
                ("utf-32 be", b"\x00\x00\xfe\xff" + "<Author>x\n".encode("utf-32-be"),
                 "UTF-32"),
                ("utf-16 le, odd length", POWERSHELL + b"\n", odd),
                ("utf-16 be, odd length", b"\xfe\xff\x00<\x00", odd)]:
            with self.subTest(name):
                self.sb.write("u.xml", content)
                self.assertFailed(self.run_tool("u.xml"), "u.xml", content,
                                  re.escape(win_path(self.sb.path("u.xml"))) +
                                  ".*" + says)


class PathTest(Case):
    CONTENT = b"<Author>old\n"

    def test_names_resolve_below_the_program_directory(self):
        """However the file is named, in another case or by its 8.3 short
        name (None: asked of Wine), it keeps its own name, and a link to
        that name leads to the new content."""
        cases = [("sub\\s.xml", "sub/s.xml"),
                 ("sub/s.xml", "sub/s.xml"),
                 ("J\u00fcrgen.xml", "J\u00fcrgen.xml"),
                 ("setup.xml", "Setup.xml"),
                 ("SUB\\SETUP.XML", "sub/Setup.xml"),
                 (None, "a long name.xml")]
        for n, (arg, name) in enumerate(cases):
            with self.subTest(arg or "short name"):
                path = self.sb.write(name, self.CONTENT)
                if arg is None:
                    arg = short_name(self, path)
                link = os.path.join(os.path.dirname(path), f"link{n}")
                os.symlink(os.path.basename(name), link)
                self.assertStamped(self.run_tool(arg), name, self.CONTENT)
                spellings = {os.path.basename(name).lower(),
                             re.split(r"[\\/]", arg)[-1].lower()}
                self.assertEqual([entry for entry in os.listdir(os.path.dirname(path))
                                  if entry.lower() in spellings],
                                 [os.path.basename(name)])
                self.assertEqual(support.read_file(link), self.sb.read(name))

    def test_working_directory_plays_no_part(self):
        self.sb.write("s.xml", self.CONTENT)
        self.sb.write("../elsewhere/s.xml", self.CONTENT)
        self.assertStamped(self.run_tool("s.xml"), "s.xml", self.CONTENT)
        self.assertEqual(self.sb.read("../elsewhere/s.xml"), self.CONTENT)

    def test_target_that_cannot_be_opened_gives_the_alert(self):
        self.sb.write("s.xml", self.CONTENT)
        os.makedirs(self.sb.path("dir.xml"))
        self.sb.write("ro.xml", self.CONTENT)
        os.chmod(self.sb.path("ro.xml"), 0o444)  # Wine: the read-only attribute
        cases = {
            "missing": ["missing.xml"],
            "directory": ["dir.xml"],
            "read-only": ["ro.xml"],
            "device": ["NUL"],
            "no argument": [],
            "absolute Windows path": [win_path(self.sb.path("s.xml"))],
            "absolute Unix path": [self.sb.path("s.xml")],
            "wildcards are not expanded": ["s*.xml"],
        }
        for name, args in cases.items():
            with self.subTest(name):
                self.assertOpenFailed(self.run_tool(*args))
                self.assertEqual(self.sb.read("s.xml"), self.CONTENT)
                self.assertEqual(self.sb.read("ro.xml"), self.CONTENT)

    def test_program_path_longer_than_max_path_is_read_whole(self):
        # Wine's 8-bit file calls stop at 260 characters, so the target
        # beside such a program cannot be opened there; the alert's caption,
        # taken from the end of the program path, shows the path came whole.
        deep = os.path.join(self.sb.dir, *(["d" * 100] * 3))
        os.makedirs(deep)
        exe = os.path.join(deep, "authorstamp.exe")
        shutil.copy(support.BINARY, exe)
        self.assertGreater(len(win_path(exe)), 300)
        self.assertOpenFailed(self.run_tool("s.xml", exe=exe))


class UserNameTest(Case):
    def test_user_name_arrives_whole(self):
        """In an 8-bit file as UTF-8, in a UTF-16 file as UTF-16."""
        for account in ["builder", "J\u00fcrgen", "\u5c71\u7530",
                        "\U0001F600", "a" * 150]:
            for content in [b"<x>\n <Author>old</Author>\n", POWERSHELL,
                            utf16("<x>\n <Author>old</Author>\n", "utf-16-be")]:
                with self.subTest(account=account[:20], content=content[:2]):
                    self.sb.write("s.xml", content)
                    self.assertStamped(self.run_tool("s.xml", user=account),
                                       "s.xml", content, account)


class DebuggerChannelTest(Case):
    def debug_run(self, name, user="builder"):
        """Runs the tool under the helper as debugger: the debug strings it
        sent, in order, and its exit status."""
        result = wine(TOOLS.helper, "debug", win_path(self.sb.exe), name,
                      user=user, cwd=self.sb.elsewhere)
        self.assertEqual(result.returncode, 0, result)
        strings, status = [], None
        for line in result.stdout.decode().splitlines():
            kind, _, value = line.partition(" ")
            if kind == "debug":
                strings.append(bytes.fromhex(value))
            elif kind == "exit":
                status = int(value)
        return strings, status, result.stderr

    def test_each_stamped_line_goes_to_the_debugger(self):
        # A line with a NUL byte shows up to it, as OutputDebugStringA has it.
        self.sb.write("s.xml", b"one\n  <Author>a\ntwo\nx<Author>b</Author>y\n"
                      b"nul\x00<Author>c\n")
        strings, status, stderr = self.debug_run("s.xml", user="J\u00fcrgen")
        user = self.user("J\u00fcrgen")
        self.assertEqual((status, stderr), (0, b""))
        self.assertEqual(strings, [b"  <Author>" + user + b"</Author>",
                                   b"x<Author>" + user + b"</Author>", b"nul"])

    def test_lines_of_a_utf16_file_go_in_utf8(self):
        for codec in ("utf-16-le", "utf-16-be"):
            with self.subTest(codec):
                self.sb.write("s.xml", utf16(
                    "one\n \u00fc\U0001F600<Author>a\n\ud800x<Author>b\n", codec))
                strings, status, stderr = self.debug_run("s.xml", user="J\u00fcrgen")
                user = self.user("J\u00fcrgen")
                self.assertEqual((status, stderr), (0, b""))
                self.assertEqual(strings, [
                    " \u00fc\U0001F600<Author>".encode() + user + b"</Author>",
                    "\ufffdx<Author>".encode() + user + b"</Author>"])

    def test_untagged_file_sends_nothing(self):
        self.sb.write("s.xml", b"one\ntwo\n")
        self.assertEqual(self.debug_run("s.xml")[:2], ([], 0))

    def test_a_monitor_gets_every_line_and_never_holds_the_run(self):
        """Without a debugger, each line waits for a listening monitor to
        free its buffer, as OutputDebugStringA does, but within one budget
        of 1 s for the whole run.  A monitor that reads gets every line, in
        order, up to its first NUL byte; one that stalls after a line or
        from the start costs the run the budget once, not 10 s a line as
        OutputDebugStringA would (with the target held all the while)."""
        lines = 300
        content = b"".join(b"%d<Author>x\n" % i for i in range(lines))
        content += b"nul\x00<Author>x\n"
        stamped = [b"%d<Author>" % i + self.user() + b"</Author>"
                   for i in range(lines)] + [b"nul"]
        for takes in (10 * lines, 1, 0):
            with self.subTest(takes=takes):
                self.sb.write("s.xml", content)
                with Monitor(takes) as monitor:
                    start = time.monotonic()
                    result = self.run_tool("s.xml", timeout=25)
                    took = time.monotonic() - start
                self.assertStamped(result, "s.xml", content)
                self.assertEqual(monitor.lines, stamped[:takes])
                # The budget, and room for Wine to start the program.
                self.assertLess(took, 1 + 4)


class ExclusiveAccessTest(Case):
    """Other processes and things in the way: every run either rewrites the
    target completely or leaves it byte for byte as it was."""

    CONTENT = b"<p>\n<Author>old</Author>\n</p>\n"

    def setUp(self):
        super().setUp()
        self.sb.write("s.xml", self.CONTENT)

    def test_target_held_by_another_process(self):
        with Held("exclusive", self.sb.path("s.xml")):
            result = self.run_tool("s.xml")
        self.assertOpenFailed(result, "s.xml", self.CONTENT)

    def test_file_at_scratch_path_that_is_not_a_stale_one_stays(self):
        # A run's own leftover (for its user alone: Wine shows the mode as
        # the access list) that another process holds; a file another
        # program left there, which others may read: not the run's mark.
        scratch = self.sb.path("s.xmlNew")
        for mode, holder, says in [
                (0o700, lambda: Held("exclusive", scratch), ""),
                (0o644, contextlib.nullcontext,
                 "a file this program did not leave")]:
            with self.subTest(mode=oct(mode)):
                self.sb.write("s.xmlNew", b"theirs", mode)
                with holder():
                    result = self.run_tool("s.xml")
                self.assertFailed(result, "s.xml", self.CONTENT,
                                  re.escape(win_path(scratch)) + ": " + says,
                                  "s.xmlNew")
                self.assertEqual(self.sb.read("s.xmlNew"), b"theirs")

    def test_scratch_path_is_a_directory(self):
        os.makedirs(self.sb.path("s.xmlNew"))
        self.assertFailed(self.run_tool("s.xml"), "s.xml", self.CONTENT,
                          re.escape(win_path(self.sb.path("s.xmlNew"))),
                          "s.xmlNew")

    def test_link_planted_at_scratch_path_is_not_followed(self):
        self.sb.write("victim", b"precious\n")
        for plant in (os.symlink, os.link):
            with self.subTest(plant.__name__):
                plant(self.sb.path("victim"), self.sb.path("s.xmlNew"))
                self.assertFailed(self.run_tool("s.xml"), "s.xml",
                                  self.CONTENT, "link", "s.xmlNew")
                self.assertEqual(self.sb.read("victim"), b"precious\n")
                os.remove(self.sb.path("s.xmlNew"))

    def test_stale_scratch_file_is_replaced_by_a_new_one(self):
        # Not reused: whoever could open the old file (its security may let
        # them) must not reach the new content.  A Linux descriptor, which
        # Wine's share modes do not see, stands for such an opener.  Left
        # for its user alone, as a run leaves it.
        stale = self.sb.write("s.xmlNew", b"left over from a killed run" * 1000,
                              0o700)
        fd = os.open(stale, os.O_WRONLY)
        self.addCleanup(os.close, fd)
        self.assertStamped(self.run_tool("s.xml"), "s.xml", self.CONTENT)
        os.write(fd, b"written through the old file")
        self.assertEqual(self.sb.read("s.xml"),
                         expected_rewrite(self.CONTENT, self.user()))

    def test_symbolic_link_target_stays_a_link(self):
        # (link, what it points to): the file it points to gets the content.
        # A link may have its target's very name, in another directory.
        for link, points_to in [("link.xml", "s.xml"), ("l.xml", "o/l.xml")]:
            with self.subTest(link=link):
                self.sb.write(points_to, self.CONTENT)
                os.symlink(points_to, self.sb.path(link))
                self.assertStamped(self.run_tool(link), points_to, self.CONTENT)
                self.assertEqual(os.readlink(self.sb.path(link)), points_to)

    def test_target_held_by_a_reader_that_does_not_share_deletion(self):
        # The replace would meet it: the run does not begin.
        with Held("nodelete", self.sb.path("s.xml")):
            result = self.run_tool("s.xml")
        self.assertOpenFailed(result, "s.xml", self.CONTENT)

    def test_copy_back_that_cannot_replace_the_target(self):
        self.need_root("mounting")
        # A file mounted over the target opens like any other, but nothing
        # can be renamed onto it or away from it.
        other = os.path.join(self.sb.root, "mounted.xml")
        with open(other, "wb") as f:
            f.write(self.CONTENT)
        mount = subprocess.run(["mount", "--bind", other, self.sb.path("s.xml")],
                               capture_output=True, timeout=TIMEOUT)
        if mount.returncode != 0:
            support.unavailable(self, f"cannot bind-mount: {mount.stderr!r}")
        try:
            result = self.run_tool("s.xml")
        finally:
            subprocess.run(["umount", self.sb.path("s.xml")], timeout=TIMEOUT)
        self.assertFailed(result, "s.xml", self.CONTENT, "cannot replace")
        with open(other, "rb") as f:
            self.assertEqual(f.read(), self.CONTENT)
        self.assertEqual(sorted(os.listdir(self.sb.dir)),
                         ["authorstamp.exe", "s.xml"])

    def test_simultaneous_runs(self):
        """12 runs at once on one file, round after round: each stamps it
        or finds it held by another run, replace included; the file is
        never lost and nothing is left beside it.  AUTHORSTAMP_WIN32_ROUNDS
        sets the number of rounds; the outcomes go to standard error."""
        rounds = int(os.environ.get("AUTHORSTAMP_WIN32_ROUNDS", "8"))
        env = dict(os.environ, USER="builder")
        outcomes = collections.Counter()
        for n in range(rounds):
            self.sb.write("s.xml", self.CONTENT)
            runs = [subprocess.Popen([*support.EMULATOR, self.sb.exe, "s.xml"],
                                     cwd=self.sb.elsewhere, env=env,
                                     stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
                    for _ in range(12)]
            for run in runs:
                err = run.communicate(timeout=TIMEOUT)[1].replace(b"\r\n", b"\n")
                outcomes[(run.returncode, err)] += 1
                self.assertIn((run.returncode, err), [(0, b""), (0, OPEN_FAILED)],
                              f"round {n + 1}")
            self.assertEqual(self.sb.read("s.xml"),
                             expected_rewrite(self.CONTENT, self.user()),
                             f"round {n + 1}")
            self.assertEqual(sorted(os.listdir(self.sb.dir)),
                             ["authorstamp.exe", "s.xml"], f"round {n + 1}")
        print(f"\n{rounds} rounds of 12 runs: "
              f"{outcomes[(0, b'')]} stamped, "
              f"{outcomes[(0, OPEN_FAILED)]} found the file held",
              file=sys.stderr)


class ReplaceTest(Case):
    """The replace, run by the test build of the program, in which each
    Windows call of the replace can be made to fail (AUTHORSTAMP_FAULTS,
    "CALL=ERROR" or "CALL#N=ERROR") or be held until a file is removed
    (ERROR "pause").  Whatever fails, the target holds its old or its new
    content whole, and every other file left beside it is named in the
    message and holds one of the two."""

    CONTENT = b"<p>\n<Author>old</Author>\n</p>\n"
    # Windows errors: a hard one, a file in use, ReplaceFile's three
    # documented half-way states, and a file system that cannot replace.
    IO, IN_USE, DENIED, NOT_SUPPORTED = 1117, 32, 5, 50

    def setUp(self):
        super().setUp()
        shutil.copy(TOOLS.faults, self.sb.exe)
        self.new = expected_rewrite(self.CONTENT, self.user())
        self.reset()

    def reset(self):
        """The target with its old content, and nothing else beside it."""
        for name in self.left():
            os.remove(self.sb.path(name))
        self.sb.write("s.xml", self.CONTENT)

    def run_faults(self, faults="", **env):
        return self.run_tool("s.xml", env=dict(env, AUTHORSTAMP_FAULTS=faults))

    def left(self, *planted):
        """The files beside the target, but the program and |planted|."""
        return sorted(set(os.listdir(self.sb.dir)) -
                      {"authorstamp.exe", "s.xml", *planted})

    def assertWhole(self, result, *planted):
        """Returns which content the target holds, "old" or "new"."""
        content = support.read_file(self.sb.path("s.xml"))
        outcome = (result.returncode, result.stderr)
        if outcome == (0, b""):
            self.assertEqual((content, self.left(*planted)), (self.new, []))
        elif outcome == (0, OPEN_FAILED):
            self.assertEqual((content, self.left(*planted)), (self.CONTENT, []))
        else:
            message = result.stderr.decode(errors="replace")
            self.assertEqual(result.returncode, 1, message)
            self.assertRegex(message, r"\Aauthorstamp: [^\n]+\n\Z")
            self.assertIn(content, (self.CONTENT, self.new), message)
            for name in self.left(*planted):
                self.assertIn(win_path(self.sb.path(name)), message)
                self.assertIn(self.sb.read(name), (self.CONTENT, self.new),
                              message)
        return "new" if content == self.new else "old"

    def test_replace_failures(self):
        # (faults, what the target holds, what the message says)
        cases = [
            (f"ReplaceFileA#1={self.IN_USE}", "new", None),
            (f"ReplaceFileA={self.IN_USE}", "old", r"tried \d+ times in 2"),
            # A refusal, not a file in use: said at once.
            (f"ReplaceFileA={self.DENIED}", "old", r"with .*New: [^(]*$"),
            ("ReplaceFileA=1175", "old", "tried"),
            ("ReplaceFileA#1=1176", "new", None),
            (f"ReplaceFileA={self.IO}", "old", r"with .*New: [^(]*$"),
            # Half-way, the old file aside: finished, or else undone.
            ("ReplaceFileA=1177", "new", None),
            (f"ReplaceFileA=1177 MoveFileExA#1={self.IN_USE}", "new", None),
            (f"ReplaceFileA=1177 MoveFileExA#1={self.IO}", "old",
             "cannot replace"),
            # A file system that cannot replace: the run renames, once it
            # has carried the target's security.
            (f"ReplaceFileA={self.NOT_SUPPORTED}", "new", None),
            (f"ReplaceFileA={self.NOT_SUPPORTED} SetSecurityInfo={self.DENIED}",
             "old", "cannot give its security"),
            (f"ReplaceFileA={self.NOT_SUPPORTED} GetSecurityInfo={self.IO}",
             "old", "cannot read its security"),
            (f"ReplaceFileA={self.NOT_SUPPORTED} "
             f"GetFileInformationByHandleEx={self.IO}", "old", "streams"),
            (f"ReplaceFileA={self.NOT_SUPPORTED} MoveFileExA#1={self.IO}",
             "old", "cannot replace"),
            (f"ReplaceFileA={self.NOT_SUPPORTED} MoveFileExA#2={self.IO}",
             "new", None),
        ]
        for faults, holds, says in cases:
            with self.subTest(faults):
                self.reset()
                result = self.run_faults(faults)
                self.assertEqual(self.assertWhole(result), holds)
                if says:
                    self.assertRegex(result.stderr.decode(), says)

    def test_half_way_and_neither_finished_nor_undone(self):
        # Every rename refused: the message says where each content is.
        result = self.run_faults(f"ReplaceFileA=1177 MoveFileExA={self.IO}")
        message = result.stderr.decode()
        self.assertEqual(result.returncode, 1, message)
        self.assertFalse(os.path.exists(self.sb.path("s.xml")))
        self.assertEqual(self.sb.read("s.xmlOld"), self.CONTENT)
        self.assertEqual(self.sb.read("s.xmlNew"), self.new)
        for name, content in [("s.xmlOld", "old"), ("s.xmlNew", "new")]:
            self.assertIn(f"the {content} content is at "
                          f"{win_path(self.sb.path(name))}", message)

    def test_each_call_failing_in_turn(self):
        """Each invocation of each call the replace makes, failed in turn
        with a hard error, on the way that succeeds, on the way back from
        ReplaceFile's half-way state and on the way of a file system that
        cannot replace; on the first, also with an error that is tried
        again (a file in use)."""
        calls = os.path.join(self.sb.root, "calls")
        runs = collections.Counter()
        for scenario in ["", "ReplaceFileA=1177",
                         f"ReplaceFileA={self.NOT_SUPPORTED}"]:
            self.reset()
            self.assertWhole(self.run_faults(scenario,
                                             AUTHORSTAMP_CALLS=win_path(calls)))
            with open(calls) as f:
                made = f.read().split()
            os.remove(calls)
            seen = collections.Counter()
            for call in made:
                seen[call] += 1
                for error in (self.IO, self.IN_USE)[:1 if scenario else 2]:
                    faults = f"{scenario} {call}#{seen[call]}={error}"
                    with self.subTest(faults):
                        self.reset()
                        runs[self.assertWhole(self.run_faults(faults))] += 1
        print(f"\n{sum(runs.values())} runs with a call failed: "
              f"{runs['new']} stamped, {runs['old']} left the old content",
              file=sys.stderr)

    def paused(self, faults, *planted):
        """Starts the test build held at the call that |faults| pauses;
        returns the process once it waits, and a function that lets it go
        and returns its result."""
        flag = os.path.join(self.sb.root, "paused")
        env = dict(os.environ, USER="builder", AUTHORSTAMP_FAULTS=faults,
                   AUTHORSTAMP_PAUSE=win_path(flag))
        proc = subprocess.Popen([*support.EMULATOR, self.sb.exe, "s.xml"],
                                cwd=self.sb.elsewhere, env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        while not os.path.exists(flag):
            if proc.poll() is not None:
                self.fail(f"the run ended before it paused: {proc.communicate()}")
            time.sleep(0.01)

        def go_on():
            os.remove(flag)
            out, err = proc.communicate(timeout=TIMEOUT)
            return subprocess.CompletedProcess(
                proc.args, proc.returncode, out.replace(b"\r\n", b"\n"),
                err.replace(b"\r\n", b"\n"))
        return go_on

    def test_target_closed_to_others_until_the_new_content_is_in(self):
        """Held before the scratch file is flushed, and before ReplaceFile
        (the scratch file let go of by then): another run finds the target
        held, no one can open it with share mode 0 (as a writer would),
        and the scratch file is the user's alone."""
        for call in ("FlushFileBuffers", "ReplaceFileA"):
            with self.subTest(call):
                self.reset()
                go_on = self.paused(f"{call}=pause")
                try:
                    other = self.run_tool("s.xml")
                    self.assertEqual((other.returncode, other.stderr),
                                     (0, OPEN_FAILED))
                    self.assertIn(b"error 32", try_open(self.sb.path("s.xml")))
                    if call == "FlushFileBuffers":
                        self.assertIn(b"error 32",
                                      try_open(self.sb.path("s.xmlNew")))
                    # Wine keeps a file's security as its mode: nothing
                    # for others, where the directory would give them read.
                    mode = os.stat(self.sb.path("s.xmlNew")).st_mode
                    self.assertEqual(mode & 0o007, 0, oct(mode))
                finally:
                    result = go_on()
                self.assertEqual(self.assertWhole(result), "new")

    def test_file_moved_in_during_the_run_is_kept(self):
        # Before the last look at the target, and between it and the
        # replace, which then moves the newer file aside and back; last,
        # with the way back refused: the newer file stays aside, named.
        # Then the target itself changed, but no other file: its last
        # write time set, or made read-only, which the replace is refused
        # for.  None of these is a file in use, to be waited for.
        newer = b"<Author>saved by an editor meanwhile</Author>\r\n"
        target = self.sb.path("s.xml")

        def move_in():
            self.sb.write("saved", newer)
            os.replace(self.sb.path("saved"), target)

        def touch():  # the last write time, and nothing else
            os.utime(target, (1e9, 1e9))

        def read_only():
            os.chmod(target, 0o444)

        kept = "another file took its place during the run and is kept"
        changed = "it was changed during the run and is kept"
        cases = [
            ("FlushFileBuffers=pause", move_in, newer, [], kept),
            ("ReplaceFileA#1=pause", move_in, newer, [], kept),
            (f"ReplaceFileA#1=pause MoveFileExA#2={self.IO}", move_in,
             self.new, ["s.xmlOld"], "another file is at .*s.xmlOld"),
            ("FlushFileBuffers=pause", touch, self.CONTENT, [], changed),
            ("ReplaceFileA#1=pause", touch, self.CONTENT, [], changed),
            ("FlushFileBuffers=pause", read_only, self.CONTENT, [], changed),
            ("ReplaceFileA#1=pause", read_only, self.CONTENT, [],
             r"with .*New: Access denied$"),
        ]
        for faults, act, holds, left, says in cases:
            with self.subTest(faults, act=act.__name__):
                self.reset()
                go_on = self.paused(faults)
                try:
                    act()
                finally:
                    start = time.monotonic()
                    result = go_on()
                    took = time.monotonic() - start
                self.assertEqual(result.returncode, 1)
                self.assertRegex(result.stderr.decode(), says)
                self.assertEqual(self.sb.read("s.xml"), holds)
                self.assertEqual(self.left(), left)
                for name in left:
                    self.assertEqual(self.sb.read(name), newer)
                self.assertLess(took, 1.0)

    def test_giving_up_removes_only_its_own_scratch_file(self):
        # While the run waits at the replace, which then fails: the scratch
        # file's name taken by another file, which stays; or the scratch
        # file held by another process (a scanner) until after the run,
        # which leaves it and says where, and the next run removes it.
        theirs = b"not the run's own\n"
        scratch = self.sb.path("s.xmlNew")

        def take_name():
            self.sb.write("theirs", theirs)
            os.replace(self.sb.path("theirs"), scratch)
            return contextlib.nullcontext()

        left = "the new content is left at " + re.escape(win_path(scratch))
        for faults, act, holds, says in [
                (f"ReplaceFileA#1=pause ReplaceFileA={self.IO}", take_name,
                 theirs, r"with .*New: [^;]*$"),
                ("ReplaceFileA#1=pause", lambda: Held("exclusive", scratch),
                 self.new, f"{left}: .*tried")]:
            with self.subTest(faults):
                self.reset()
                go_on = self.paused(faults)
                with act():
                    result = go_on()
                self.assertFailed(result, "s.xml", self.CONTENT, says,
                                  "s.xmlNew")
                self.assertEqual(self.sb.read("s.xmlNew"), holds)
        # The next run removes the scratch file the held one left.
        self.assertEqual(self.assertWhole(self.run_faults()), "new")

    def test_attributes_are_kept(self):
        # Hidden, system and archive: those Wine keeps.  ReplaceFile and
        # the rename where a file system cannot replace.
        for faults in ("", f"ReplaceFileA={self.NOT_SUPPORTED}"):
            for kept in (0x2, 0x4, 0x26):
                with self.subTest(faults=faults, attributes=hex(kept)):
                    self.reset()
                    attributes(self.sb.path("s.xml"), kept)
                    self.assertEqual(self.assertWhole(self.run_faults(faults)),
                                     "new")
                    self.assertEqual(attributes(self.sb.path("s.xml")) & 0x26,
                                     kept | 0x20)


class ExecutableTest(support.Case):
    SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll",
                   "secur32.dll", "msvcrt.dll", "ntdll.dll", "version.dll"}

    def test_fault_injection_is_in_the_test_build_only(self):
        for exe, has in [(support.BINARY, False), (TOOLS.faults, True)]:
            with open(exe, "rb") as f:
                self.assertEqual(b"AUTHORSTAMP_FAULTS" in f.read(), has, exe)

    def test_imports_only_system_dlls(self):
        dump = subprocess.run([TOOLS.objdump, "-p", support.BINARY], check=True,
                              capture_output=True, text=True,
                              timeout=TIMEOUT).stdout
        dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", dump)}
        self.assertIn("kernel32.dll", dlls)
        self.assertLessEqual(dlls, self.SYSTEM_DLLS)

    def test_version_record_as_stored(self):
        version = self.need_version()
        numbers = ", ".join(version.split("."))  # 1.4.0.0 is 1, 4, 0, 0 there
        rc = subprocess.run([TOOLS.windres, "-i", support.BINARY, "-O", "rc"],
                            check=True, capture_output=True, text=True,
                            timeout=TIMEOUT).stdout
        self.assertIn(f"FILEVERSION {numbers}\n", rc)
        self.assertIn(f"PRODUCTVERSION {numbers}\n", rc)
        self.assertIn(f'VALUE "FileVersion", "{version}"', rc)
        self.assertIn(f'VALUE "ProductVersion", "{version}"', rc)
        self.assertIn("<activeCodePage", rc)

    def test_version_record_as_windows_reads_it(self):
        version = self.need_version()
        result = wine(TOOLS.helper, "version", win_path(support.BINARY))
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(result.stdout.decode().splitlines(), [
            f"FILEVERSION {version}",
            f"PRODUCTVERSION {version}",
            f"FileVersion {version}",
            f"ProductVersion {version}",
            "ProductName authorstamp",
        ])

    def test_version_option(self):
        result = wine(support.BINARY, "--version")
        self.assertEqual((result.returncode, result.stdout),
                         (0, f"authorstamp {self.need_version()}\n".encode()))


if __name__ == "__main__":
    parser = argparse.ArgumentParser(add_help=False)
    for tool in ("objdump", "windres", "helper", "faults"):
        parser.add_argument(f"--{tool}", required=True)
    TOOLS, sys.argv[1:] = parser.parse_known_args()
    TOOLS.helper = os.path.abspath(TOOLS.helper)
    TOOLS.faults = os.path.abspath(TOOLS.faults)
    support.main()
