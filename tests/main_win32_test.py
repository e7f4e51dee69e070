"""End-to-end tests of the Windows executable, run under Wine on real files
in a temporary directory.

    main_win32_test.py --emulator=WINE_RUN --objdump=OBJDUMP --windres=WINDRES
                       --helper=win32_test_helper.exe [--version=V]
                       authorstamp.exe

The Wine server must be up and the prefix initialised (.ci/windows.sh does
both).  The helper is a second Win32 process: it holds files open as another
program would, and runs the tool as its debugger to collect what it sends
to the debugger channel.  Under Wine without a display no alert box can be
shown, so the tool writes alerts to standard error, where the tests read
them.  Wine forms the user name from the host name and $USER, so the tests
choose the user by setting USER.
"""

import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
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


def wine(*args, user="builder", cwd=None, **kwargs):
    """Runs a Windows program under Wine; output with Windows line ends
    turned back into LF.

    Rarely (once in CI, never in some 1,700 starts here) Wine has ended a
    run with status 1 and no output at all.  The tool never ends so: under
    Wine every status 1 comes with its alert on standard error.  Such a run
    is made once more, and said so on the suite's standard error."""
    env = dict(os.environ, USER=user)
    for attempt in (1, 2):
        result = subprocess.run(
            [*support.EMULATOR, *args], env=env, cwd=cwd, capture_output=True,
            timeout=TIMEOUT, **kwargs)
        if (result.returncode, result.stdout, result.stderr) != (1, b"", b""):
            break
        print(f"\nWine ended {args} with status 1 and no output "
              f"(attempt {attempt})", file=sys.stderr)
    result.stdout = result.stdout.replace(b"\r\n", b"\n")
    result.stderr = result.stderr.replace(b"\r\n", b"\n")
    return result


class Held:
    """Another Wine process holding |path| open until the block ends:
    "exclusive" with share mode 0, "nodelete" sharing reading and writing
    but not deletion."""

    def __init__(self, mode, path):
        self.args = [*support.EMULATOR, TOOLS.helper, "hold", mode, win_path(path)]

    def __enter__(self):
        self.proc = subprocess.Popen(self.args, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE)
        line = self.proc.stdout.readline()
        if line.strip() != b"held":
            self.proc.kill()
            raise AssertionError(f"helper could not hold the file: {line!r}")
        return self

    def __exit__(self, *exc):
        self.proc.stdin.close()
        self.proc.stdout.close()
        self.proc.wait(timeout=TIMEOUT)


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

    def run_tool(self, *args, user="builder", exe=None):
        return wine(exe or self.sb.exe, *args, user=user, cwd=self.sb.elsewhere)

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
                             [f"{top}/README.md", f"{top}/authorstamp.exe"])
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
        for arg, name in [("sub\\s.xml", "sub/s.xml"),
                          ("sub/s.xml", "sub/s.xml"),
                          ("J\u00fcrgen.xml", "J\u00fcrgen.xml")]:
            with self.subTest(arg):
                self.sb.write(name, self.CONTENT)
                self.assertStamped(self.run_tool(arg), name, self.CONTENT)

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
        self.sb.write("s.xml", b"one\n  <Author>a\ntwo\nx<Author>b</Author>y\n")
        strings, status, stderr = self.debug_run("s.xml", user="J\u00fcrgen")
        user = self.user("J\u00fcrgen")
        self.assertEqual((status, stderr), (0, b""))
        self.assertEqual(strings, [b"  <Author>" + user + b"</Author>",
                                   b"x<Author>" + user + b"</Author>"])

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

    def test_scratch_held_by_another_process(self):
        self.sb.write("s.xmlNew", b"theirs")
        with Held("exclusive", self.sb.path("s.xmlNew")):
            result = self.run_tool("s.xml")
        self.assertFailed(result, "s.xml", self.CONTENT,
                          re.escape(win_path(self.sb.path("s.xmlNew"))),
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
        # Wine's share modes do not see, stands for such an opener.
        stale = self.sb.write("s.xmlNew", b"left over from a killed run" * 1000)
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

    def test_copy_back_while_a_reader_holds_the_target(self):
        # Windows refuses to replace a file open without delete sharing;
        # Wine moves it aside.  Either way: complete, or reported and whole.
        with Held("nodelete", self.sb.path("s.xml")):
            result = self.run_tool("s.xml")
        if result.returncode == 0:
            self.assertStamped(result, "s.xml", self.CONTENT)
        else:
            self.assertFailed(result, "s.xml", self.CONTENT, "cannot replace")
        self.assertEqual(sorted(os.listdir(self.sb.dir)),
                         ["authorstamp.exe", "s.xml"])

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
        # Wine's ReplaceFile leaves the empty temporary file it meant to
        # move the target to; nothing else may remain.
        left = [n for n in os.listdir(self.sb.dir)
                if not (n.startswith("rf") and n.endswith(".tmp")
                        and os.path.getsize(self.sb.path(n)) == 0)]
        self.assertEqual(sorted(left), ["authorstamp.exe", "s.xml"])

    def test_simultaneous_runs(self):
        env = dict(os.environ, USER="builder")
        runs = [subprocess.Popen([*support.EMULATOR, self.sb.exe, "s.xml"],
                                 cwd=self.sb.elsewhere, env=env,
                                 stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE)
                for _ in range(6)]
        for run in runs:
            err = run.communicate(timeout=TIMEOUT)[1].replace(b"\r\n", b"\n")
            # Done, kept out by another run, or beaten to the copy-back.
            self.assertTrue(
                (run.returncode, err) in [(0, b""), (0, OPEN_FAILED)] or
                (run.returncode == 1 and
                 err.startswith(b"authorstamp: cannot replace")),
                (run.returncode, err))
        self.assertEqual(self.sb.read("s.xml"),
                         expected_rewrite(self.CONTENT, self.user()))
        self.assert_no_scratch(self.sb)


class ExecutableTest(support.Case):
    SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll",
                   "secur32.dll", "msvcrt.dll", "ntdll.dll", "version.dll"}

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
    for tool in ("objdump", "windres", "helper"):
        parser.add_argument(f"--{tool}", required=True)
    TOOLS, sys.argv[1:] = parser.parse_known_args()
    TOOLS.helper = os.path.abspath(TOOLS.helper)
    support.main()
