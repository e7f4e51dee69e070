#!/usr/bin/env python3
"""End-to-end tests of authorstamp: a copy of the built binary runs as a
process on real files in a temporary directory, started from another
working directory.  Usage: see support.py."""

import contextlib
import errno
import fcntl
import filecmp
import os
import pwd
import random
import re
import resource
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tarfile
import threading
import time
import unittest
import zipfile

import support
from support import NOBODY, expected_rewrite, open_failed, running_user_name

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGE = os.path.join(SOURCE, "docs", "authorstamp.1")
README = os.path.join(SOURCE, "README.md")
EXIT_STATUS = os.path.join(SOURCE, "docs", "exit-status.md")

# The road of one file: three lines with LF ends, one of them tagged.
ROAD = b"<project>\n  <Author>old</Author>\n</project>\n"
ROAD_STAMPED = (b"<project>\r\n  <Author>BUILD01\\builder</Author>\r\n"
                b"</project>\r\n")


def utf16(text: str, codec: str = "utf-16-le") -> bytes:
    """|text| as a UTF-16 file: the byte-order mark, then the units, an
    unpaired surrogate as it stands."""
    return "\ufeff".encode(codec) + text.encode(codec, "surrogatepass")


# As Windows PowerShell 5 writes it (Out-File, >): UTF-16 LE, mark, CR LF.
POWERSHELL = utf16(ROAD.decode().replace("\n", "\r\n"))


def xml_lines(count: int, seed: int) -> bytes:
    """XML-like text with mixed line ends, tags in odd places, and now and
    then a line far longer than a read block."""
    rng = random.Random(seed)
    out = []
    for i in range(count):
        kind = rng.randrange(400)
        if kind < 48:
            line = b" " * rng.randrange(12) + b"<Author>someone</Author>"
        elif kind == 48:
            line = b"x" * rng.randrange(200000) + b"<Author>" + b"y" * rng.randrange(20000)
        elif kind == 49:
            line = b"z" * rng.randrange(200000)
        elif kind < 80:
            line = rng.choice([b"<author>other case</author>", b"<Author/>", b"<Author >"])
        else:
            line = b"  <item id=\"%d\">%s</item>" % (i, b"v" * rng.randrange(80))
        out.append(line + rng.choice([b"\n", b"\r\n", b"\r\r\n", b"\n\r"]))
    return b"".join(out)


def straddling(block: int = 64 * 1024, edges: int = 32) -> bytes:
    """A file in which the tag, a CR LF pair or a lone CR straddles every
    multiple of |block|, split at each possible place, whatever the size of
    the blocks a reader takes, as long as it is a power of two from |block|."""
    out = bytearray()
    for i in range(1, edges + 1):
        piece, split = [(b"<Author>", 1 + i // 3 % 7), (b"\r\n", 1), (b"\r", 1)][i % 3]
        out += b"f" * (block * i - split - len(out)) + piece
        out += b" old</Author>\n" if piece == b"<Author>" else b"g"
    return bytes(out)


def hold(stack, path, how=fcntl.LOCK_EX):
    """Takes a flock on |path| in this process until |stack| closes."""
    fd = os.open(path, os.O_RDONLY)
    stack.callback(os.close, fd)
    fcntl.flock(fd, how | fcntl.LOCK_NB)


def unused_uid() -> int:
    uid = 54321
    while True:
        try:
            pwd.getpwuid(uid)
        except KeyError:
            return uid
        uid += 1


def sanitized_binary() -> bool:
    with open(support.BINARY, "rb") as f:
        return b"__asan_init" in f.read()


def read_text(path: str) -> str:
    with open(path, encoding="utf-8") as f:
        return f.read()


def between(text: str, start: str, end: str) -> str:
    """The part of |text| from the line |start| to the next line that begins
    with |end|."""
    at = text.index("\n" + start + "\n")
    stop = text.find("\n" + end, at + len(start) + 2)
    return text[at:stop if stop >= 0 else len(text)]


def roff_words(roff: str) -> str:
    """The running text of man(7) source: requests, comments and font
    changes left out, the arguments of the alternating-font macros (.BI,
    .RB, ...) joined as they print, blanks collapsed."""
    out = []
    for line in roff.splitlines():
        if line.startswith('.\\"'):
            continue
        if line.startswith("."):
            name, _, rest = line[1:].partition(" ")
            args = [q or w for q, w in re.findall(r'"([^"]*)"|(\S+)', rest)]
            alternating = len(name) == 2 and set(name) <= set("BIR")
            line = ("" if alternating else " ").join(args)
        out.append(line)
    text = re.sub(r"\\f[BIRP]", "", " ".join(out))
    text = text.replace("\\-", "-").replace("\\e", "\\")
    return re.sub(r"\s+", " ", text)


def message_texts() -> set:
    """The fixed words of every message the tool forms, on any platform: the
    string literals of its run sequence and of the messages it forms from
    what the platform reports, that read as words (the usage text aside)."""
    texts = set()
    for name in ("app/main.cc", "app/messages.cc"):
        code = re.sub(r"//[^\n]*", "", read_text(os.path.join(SOURCE, name)))
        code = re.sub(r"const char kUsage\[\] =.*?;\n", "", code, flags=re.S)
        for literal in re.findall(r'"((?:[^"\\\n]|\\.)*)"', code):
            words = literal.removesuffix("\\n").strip(": ")
            if " " in words and re.fullmatch(r"[A-Za-z][\w!(),:' -]*", words):
                texts.add(words)
    return texts


ELF_MACHINES = {0x3E: "x86_64", 0xB7: "aarch64"}
# What each release archive holds, under its top directory: the program,
# the README, the manual.
ARCHIVE_FILES = {
    "Linux": ["bin/authorstamp", "share/doc/authorstamp/README.md",
              "share/man/man1/authorstamp.1"],
    "Windows": ["authorstamp.exe", "README.txt", "authorstamp.txt"],
}
WINE = "/usr/lib/wine/wine64"
WINE_RUN = os.path.join(SOURCE, "cmake", "wine-run.sh")


def arm64_libraries():
    """The arm64 C libraries to try the arm64 release with under qemu:
    Debian 11's (glibc 2.31) in the root it is built in, and this
    machine's."""
    return [os.path.join(support.ROOTS or "", "bullseye-g++", "usr", "aarch64-linux-gnu"),
            "/usr/aarch64-linux-gnu"]


def files_named(text: str) -> set:
    """The files a README names, as paths relative to where it lies:
    relative paths with a directory or an extension.  Left out are absolute
    and home paths, Windows paths, addresses, the XML files of its examples
    and numbers such as versions."""
    text = re.sub(r"\w+://\S+", "", text)
    named = set()
    for m in re.finditer(r"(?<![\w/\\~:.-])[\w.+-]+(?:/[\w.+*-]+)*", text):
        name = m[0].rstrip(".")
        if (("/" in name or re.search(r"\.[A-Za-z]\w*$", name))
                and not name.endswith((".xml", ".xmlNew"))):
            named.add(name)
    return named
# Makes the Debian systems that the released program is tried in.
DEBIAN_ROOT = os.path.join(SOURCE, "cmake", "debian-root.sh")
# The account that only those systems know.
STAMPER = 4242


Case = support.Case


class RoadTest(Case):
    def test_road_of_one_file(self):
        self.need_namespaces("a chosen account name")
        sb = self.sandbox()
        sb.write("setup.xml", ROAD)
        r = sb.run("setup.xml", account="builder")
        self.assert_silent(r)
        self.assertEqual(sb.read("setup.xml"), ROAD_STAMPED)
        self.assert_no_scratch(sb)

    def test_second_run_changes_nothing(self):
        sb = self.sandbox()
        content = xml_lines(300, seed=3)
        sb.write("setup.xml", content)
        self.assert_silent(sb.run("setup.xml"))
        first = sb.read("setup.xml")
        self.assertEqual(first, expected_rewrite(content, running_user_name()))
        self.assert_silent(sb.run("setup.xml"))
        self.assertEqual(sb.read("setup.xml"), first)

    def test_empty_target_stays_empty(self):
        sb = self.sandbox()
        sb.write("setup.xml", b"")
        self.assert_silent(sb.run("setup.xml"))
        self.assertEqual(sb.read("setup.xml"), b"")
        self.assert_no_scratch(sb)


class UserNameTest(Case):
    # (account entry, host name, name that must be stamped)
    CASES = [
        ("builder", "build01", "BUILD01\\builder"),
        ("builder", "build01.corp.example", "BUILD01\\builder"),
        ("CORP\\jdoe", "build01", "CORP\\jdoe"),
        ("r&d", "build01", "BUILD01\\r&d"),
        ("u" * 120, "build01", "BUILD01\\" + "u" * 120),
        ("LONGDOMAIN\\" + "v" * 110, "build01", "LONGDOMAIN\\" + "v" * 110),
        ("builder", "h" * 64, "H" * 64 + "\\builder"),  # the longest allowed
        ("j\u00fcrgen", "build01", "BUILD01\\j\u00fcrgen"),
        ("builder", "\u5c71\u7530-01", "\u5c71\u7530-01\\builder"),
        ("\U0001F600", "\u5c71", "\u5c71\\\U0001F600"),
    ]

    def test_name_arrives_whole(self):
        """In an 8-bit file as UTF-8, in a UTF-16 file as UTF-16."""
        self.need_namespaces("a chosen account name")
        for account, host, name in self.CASES:
            for content in (ROAD, POWERSHELL, utf16(ROAD.decode(), "utf-16-be")):
                with self.subTest(account=account, host=host, content=content[:2]):
                    sb = self.sandbox()
                    sb.write("setup.xml", content)
                    self.assert_silent(sb.run("setup.xml", account=account, host=host))
                    self.assertEqual(sb.read("setup.xml"),
                                     expected_rewrite(content, name.encode()))

    def test_name_not_utf8(self):
        """An 8-bit file takes the bytes as they are; a UTF-16 file cannot."""
        self.need_namespaces("a chosen host name")
        host = b"bu\xffld"
        sb = self.sandbox()
        sb.write("setup.xml", ROAD)
        self.assert_silent(sb.run("setup.xml", account="builder", host=host))
        self.assertEqual(sb.read("setup.xml"),
                         expected_rewrite(ROAD, b"BU\xffLD\\builder"))
        sb.write("setup.xml", POWERSHELL)
        r = sb.run("setup.xml", account="builder", host=host)
        self.assert_failed(r, sb.path("setup.xml"), "UTF-16", "not valid UTF-8")
        self.assertEqual(sb.read("setup.xml"), POWERSHELL)
        self.assert_no_scratch(sb)

    def test_name_that_cannot_be_had_leaves_target(self):
        """A user id without an account, and a name whose line end or NUL
        byte would break the stamped line, in 8-bit and UTF-16 files."""
        uid = unused_uid()
        breaks = "it holds a CR, LF or NUL byte"
        # (user who runs the tool, account entry, host name, what the
        # message says)
        cases = [
            (uid, None, None, [f"cannot find the name of user id {uid}"]),
            (None, "builder", "evil\nhost.x",
             ["cannot use the name of this machine", breaks]),
            (None, "builder", "evil\rhost", ["cannot use the name of this machine"]),
            (None, "bad\rname", "build01",
             [f"cannot use the name of user id {os.getuid()}", breaks]),
        ]
        for runner, account, host, says in cases:
            for content in (ROAD, POWERSHELL):
                with self.subTest(account=account, host=host, content=content[:2]):
                    if account is None:
                        self.need_root("running as a user id without an account")
                    else:
                        self.need_namespaces("a chosen account and host name")
                    sb = self.sandbox()
                    os.chmod(sb.dir, 0o777)  # so that only the name can fail
                    sb.write("setup.xml", content, mode=0o666)
                    r = sb.run("setup.xml", uid=runner, account=account, host=host)
                    self.assert_failed(r, *says)
                    self.assertEqual(sb.read("setup.xml"), content)
                    self.assert_no_scratch(sb)


class PathTest(Case):
    ABSOLUTE = object()
    # (arguments, the one file that is stamped, or None and the reason of
    # "Open file fail!")
    CASES = [
        ([], None, errno.EISDIR),
        ([""], None, errno.EISDIR),
        ([ABSOLUTE], None, errno.ENOENT),
        (["sub/setup.xml"], "sub/setup.xml", None),
        (["sub/../setup.xml"], "setup.xml", None),
        (["setup.xml", "other.xml"], "setup.xml", None),
    ]
    FILES = ["bin/setup.xml", "bin/sub/setup.xml", "bin/other.xml",
             "elsewhere/setup.xml", "elsewhere/sub/setup.xml"]

    def populate(self, sb):
        for name in self.FILES:
            path = os.path.join(sb.root, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(ROAD)

    def assert_only_stamped(self, sb, stamped):
        for name in self.FILES:
            with open(os.path.join(sb.root, name), "rb") as f:
                got = f.read()
            want = expected_rewrite(ROAD, running_user_name()) if name == stamped else ROAD
            self.assertEqual(got, want, name)
        self.assert_no_scratch(sb)

    def test_argument_is_named_from_program_directory(self):
        for args, stamped, reason in self.CASES:
            with self.subTest(args=args):
                sb = self.sandbox()
                self.populate(sb)
                args = [sb.path("setup.xml") if a is self.ABSOLUTE else a
                        for a in args]
                r = sb.run(*args)
                if stamped is None:
                    # The program's directory and the argument, as they stand.
                    self.assert_open_fail(r, sb.dir + "/" + "".join(args[:1]), reason)
                else:
                    self.assert_silent(r)
                self.assert_only_stamped(sb, stamped and "bin/" + stamped)

    def test_working_directory_plays_no_part(self):
        sb = self.sandbox()
        link = os.path.join(sb.elsewhere, "linked-authorstamp")
        os.symlink(sb.exe, link)
        # (working directory, how the program is named)
        for cwd, program in [(sb.elsewhere, sb.exe), ("/", sb.exe),
                             (os.path.join(sb.elsewhere, "sub"), "../../bin/authorstamp"),
                             (sb.path("sub"), "../authorstamp"),
                             (sb.elsewhere, link)]:
            with self.subTest(cwd=cwd, program=program):
                self.populate(sb)
                r = subprocess.run([*support.EMULATOR, program, "setup.xml"], cwd=cwd,
                                   capture_output=True, timeout=60)
                self.assert_silent(r)
                self.assert_only_stamped(sb, "bin/setup.xml")

    def test_long_program_directory(self):
        for depth in (5, 20):  # some 300 and some 1200 characters
            with self.subTest(depth=depth):
                sb = self.sandbox()
                deep = os.path.join(sb.root, *[f"{i:02d}" + "d" * 56 for i in range(depth)])
                os.makedirs(deep)
                self.assertGreater(len(deep), 260)
                sb.dir, sb.exe = deep, os.path.join(deep, "authorstamp")
                shutil.copy2(support.BINARY, sb.exe)
                sb.write("setup.xml", ROAD)
                self.assert_silent(sb.run("setup.xml"))
                self.assertEqual(sb.read("setup.xml"), expected_rewrite(ROAD, running_user_name()))
                self.assert_no_scratch(sb)

    def test_version_and_help(self):
        sb = self.sandbox()
        sb.write("setup.xml", ROAD)
        r = sb.run("--version")
        self.assertEqual((r.returncode, r.stdout, r.stderr),
                         (0, f"authorstamp {self.need_version()}\n".encode(), b""))
        r = sb.run("--help")
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertTrue(r.stdout.startswith(b"usage: authorstamp FILE\n"), r.stdout)

        def full_disk(stack):
            return stack.enter_context(open("/dev/full", "wb"))

        def reader_gone(stack):
            read, write = os.pipe()
            os.close(read)
            stack.callback(os.close, write)
            return write

        cannot = "authorstamp: cannot write standard output: "
        # (arguments, where standard output goes, and standard error, the
        # exit status, standard error as it reads)
        cases = [(option, out, subprocess.PIPE, 1, cannot + os.strerror(error))
                 for option in ("--version", "--help")
                 for out, error in ((full_disk, errno.ENOSPC),
                                    (reader_gone, errno.EPIPE))]
        # The open failure's status stays 0 when its message cannot be said.
        cases.append(("missing.xml", subprocess.PIPE, reader_gone, 0, None))
        for args, out, err, status, says in cases:
            with self.subTest(args, stdout=getattr(out, "__name__", "pipe"),
                              stderr=getattr(err, "__name__", "pipe")), \
                    contextlib.ExitStack() as stack:
                r = subprocess.run(
                    sb.command(args), timeout=60,
                    stdout=out(stack) if callable(out) else out,
                    stderr=err(stack) if callable(err) else err)
                self.assertEqual(r.returncode, status, r.stderr)
                if says:
                    self.assertEqual(r.stderr, says.encode() + b"\n")
        self.assertEqual(sb.read("setup.xml"), ROAD)
        self.assertEqual(sorted(os.listdir(sb.dir)), ["authorstamp", "setup.xml"])

    def test_started_through_the_dynamic_loader(self):
        # As on a file system mounted noexec: the program is the loader's
        # argument, and /proc/self/exe names the loader, not the program.
        # The kernel does not hold the program busy then, but it is still
        # the program.
        if support.EMULATOR:
            self.skipTest("the emulator is the loader here")
        headers = subprocess.run(["readelf", "-l", support.BINARY],
                                 capture_output=True, text=True, timeout=60)
        loader = re.search(r"program interpreter: (\S+)\]", headers.stdout)
        if not loader:
            self.skipTest("a static binary has no loader")
        beside = f"beside-the-program-{os.getpid()}.xml"
        self.assertFalse(os.path.exists(
            os.path.join(os.path.dirname(loader.group(1)), beside)))
        # (case, target, whether it is stamped)
        for name, target, stamped in [("a file beside the program", beside, True),
                                      ("the program itself", "authorstamp", False)]:
            with self.subTest(name):
                sb = self.sandbox()
                if stamped:
                    sb.write(target, ROAD)
                before = sb.read(target)
                r = subprocess.run([loader.group(1), sb.exe, target],
                                   cwd=sb.elsewhere, capture_output=True, timeout=60)
                if stamped:
                    self.assert_silent(r)
                    self.assertEqual(sb.read(target),
                                     expected_rewrite(before, running_user_name()))
                else:
                    self.assert_open_fail(r, sb.path(target), errno.ETXTBSY)
                    self.assertEqual(sb.read(target), before)
                self.assert_no_scratch(sb)


class OpenFailTest(Case):
    def test_target_that_cannot_be_had(self):
        def missing(sb, stack):
            pass

        def directory(sb, stack):
            os.mkdir(sb.path("setup.xml"))

        def fifo(sb, stack):
            os.mkfifo(sb.path("setup.xml"))

        def dangling_link(sb, stack):
            os.symlink("nowhere.xml", sb.path("setup.xml"))

        def held(how):
            return lambda sb, stack: hold(stack, sb.write("setup.xml", ROAD), how)

        def read_only_own(sb, stack):
            os.chown(sb.write("setup.xml", ROAD, mode=0o444), NOBODY, NOBODY)

        def read_only_other(sb, stack):
            sb.write("setup.xml", ROAD, mode=0o644)

        def closed_directory(sb, stack):
            sb.write("sub/setup.xml", ROAD, mode=0o666)
            os.chmod(sb.path("sub"), 0o700)

        held_reason = "held by another run"
        # (case, preparation, target, user who runs the tool, the reason
        # the line gives)
        cases = [
            ("missing", missing, "setup.xml", None, errno.ENOENT),
            ("directory", directory, "setup.xml", None, errno.EISDIR),
            ("fifo", fifo, "setup.xml", None, "not a regular file"),
            ("dangling link", dangling_link, "setup.xml", None, errno.ENOENT),
            ("held exclusively", held(fcntl.LOCK_EX), "setup.xml", None, held_reason),
            ("held shared", held(fcntl.LOCK_SH), "setup.xml", None, held_reason),
            ("read-only, own file", read_only_own, "setup.xml", NOBODY, errno.EACCES),
            ("read-only, another's file", read_only_other, "setup.xml", NOBODY,
             errno.EACCES),
            ("directory not searchable", closed_directory, "sub/setup.xml", NOBODY,
             errno.EACCES),
            ("the running program itself", missing, "authorstamp", None, errno.ETXTBSY),
            # Shown with control characters escaped, UTF-8 as it is.
            ("control characters in the name", missing, "no\nsuch\x1b[31m.xml",
             None, errno.ENOENT),
            ("a C1 control in the name", missing, "csi\u009b31m.xml", None,
             errno.ENOENT),
            ("a UTF-8 name", missing, "J\u00fcrgen \u5c71.xml", None, errno.ENOENT),
        ]
        for name, prepare, target, uid, reason in cases:
            with self.subTest(name), contextlib.ExitStack() as stack:
                if uid is not None:
                    self.need_root("running as another user")
                if target == "authorstamp" and support.EMULATOR:
                    self.skipTest("under an emulator the kernel does not run "
                                  "the binary, so does not hold it busy")
                sb = self.sandbox()
                os.chmod(sb.dir, 0o777)  # the directory is never the obstacle
                prepare(sb, stack)
                before = sorted(os.walk(sb.dir))
                content = sb.read(target) if os.path.isfile(sb.path(target)) else None
                r = sb.run(target, uid=uid)
                self.assert_open_fail(r, sb.path(target), reason)
                self.assertEqual(sorted(os.walk(sb.dir)), before)
                if content is not None:
                    self.assertEqual(sb.read(target), content)


class ScratchTest(Case):
    def test_stale_scratch_is_replaced_by_a_file_of_our_own(self):
        # Whatever stands at the scratch name, the run writes into a file
        # it created itself: nothing reached the old one's data, nor can
        # anything that held it reach the new content.
        other_text = b"keep\n"

        def killed_run(sb, stack):
            sb.write("setup.xmlNew", b"left over by a killed run\n" * 5000)

        def hard_link(sb, stack):
            os.link(sb.write("other", other_text), sb.path("setup.xmlNew"))
            return lambda: self.assertEqual(sb.read("other"), other_text)

        def hard_link_to_the_target(sb, stack):
            # Its lock is the run's own lock on the target.
            os.link(sb.path("setup.xml"), sb.path("setup.xmlNew"))

        def held_open_by_another_user(sb, stack):
            # In a directory that others may write, another user makes the
            # scratch file first and keeps a descriptor on it.
            os.chmod(sb.dir, 0o1777)
            planted = sb.write("setup.xmlNew", b"", mode=0o666)
            os.chown(planted, NOBODY, NOBODY)
            fd = os.open(planted, os.O_WRONLY)
            stack.callback(os.close, fd)

            def nothing_reaches_the_target():
                os.write(fd, b"written through the planted descriptor\n")
                self.assertEqual(sb.read("setup.xml"), stamped)
            return nothing_reaches_the_target

        stamped = expected_rewrite(ROAD, running_user_name())
        for name, prepare in [("left by a killed run", killed_run),
                              ("a hard link to another file", hard_link),
                              ("a hard link to the target", hard_link_to_the_target),
                              ("another user's, held open", held_open_by_another_user)]:
            with self.subTest(name), contextlib.ExitStack() as stack:
                if prepare is held_open_by_another_user:
                    self.need_root("another user's file")
                sb = self.sandbox()
                sb.write("setup.xml", ROAD)
                check = prepare(sb, stack)
                self.assert_silent(sb.run("setup.xml"))
                self.assertEqual(sb.read("setup.xml"), stamped)
                self.assert_no_scratch(sb)
                if check:
                    check()

    def test_scratch_that_cannot_be_created(self):
        victim_text = b"a file the run must not touch\n"

        def not_writable(sb, stack):
            os.chmod(sb.dir, 0o755)
            os.chmod(sb.path("setup.xml"), 0o666)

        def directory(sb, stack):
            os.mkdir(sb.path("setup.xmlNew"))
            return lambda: self.assertTrue(os.path.isdir(sb.path("setup.xmlNew")))

        def held(sb, stack):
            hold(stack, sb.write("setup.xmlNew", victim_text))
            return lambda: self.assertEqual(sb.read("setup.xmlNew"), victim_text)

        def link_to_victim(sb, stack):
            victim = sb.write("victim.txt", victim_text)
            os.symlink(victim, sb.path("setup.xmlNew"))
            return lambda: self.assertEqual(sb.read("victim.txt"), victim_text)

        def dangling_link(sb, stack):
            os.symlink("planted.txt", sb.path("setup.xmlNew"))
            return lambda: self.assertFalse(os.path.lexists(sb.path("planted.txt")))

        def fifo(sb, stack):
            os.mkfifo(sb.path("setup.xmlNew"))
            return lambda: self.assertTrue(
                stat.S_ISFIFO(os.lstat(sb.path("setup.xmlNew")).st_mode))

        def nothing(sb, stack):
            pass

        def another_users_in_sticky_directory(sb, stack):
            # Not the runner's to remove, so not the runner's to take over.
            os.chmod(sb.dir, 0o1777)
            os.chown(sb.path("setup.xml"), NOBODY, NOBODY)
            planted = sb.write("setup.xmlNew", victim_text, mode=0o666)
            os.chown(planted, 12345, 12345)
            return lambda: self.assertEqual(sb.read("setup.xmlNew"), victim_text)

        # (case, preparation, target, user who runs the tool, reason in the
        # alert).  A preparation may return a check that its obstacle is
        # still as it was.
        cases = [
            ("directory not writable", not_writable, "setup.xml", NOBODY,
             os.strerror(errno.EACCES)),
            ("a directory at the name", directory, "setup.xml", None,
             os.strerror(errno.EISDIR)),
            ("held by another process", held, "setup.xml", None, None),
            ("symbolic link to a victim", link_to_victim, "setup.xml", None, None),
            ("dangling symbolic link", dangling_link, "setup.xml", None, None),
            ("fifo", fifo, "setup.xml", None, None),
            ("name too long", nothing, "n" * 253, None,
             os.strerror(errno.ENAMETOOLONG)),
            ("another user's file in a sticky directory",
             another_users_in_sticky_directory, "setup.xml", NOBODY,
             os.strerror(errno.EPERM)),
        ]
        for name, prepare, target, uid, reason in cases:
            with self.subTest(name), contextlib.ExitStack() as stack:
                if uid is not None:
                    self.need_root("running as another user")
                sb = self.sandbox()
                sb.write(target, ROAD)
                check_obstacle = prepare(sb, stack)
                r = sb.run(target, uid=uid)
                self.assert_failed(r, sb.path(target) + "New: ")
                if reason:
                    self.assertIn(reason.encode(), r.stderr)
                self.assertEqual(sb.read(target), ROAD)
                if check_obstacle:
                    check_obstacle()
                else:
                    self.assert_no_scratch(sb)


class WriteErrorTest(Case):
    def test_file_size_limit(self):
        sb = self.sandbox()
        content = xml_lines(3000, seed=5)
        limit = 64 * 1024
        self.assertGreater(len(content), 4 * limit)
        sb.write("setup.xml", content)

        # SIGXFSZ as the caller left it: by default it kills the writer.
        # A limit one byte short of the result cuts its last write short,
        # which the run must write again, and so meet the limit.
        short = len(expected_rewrite(content, running_user_name())) - 1
        for disposition, limit in ((signal.SIG_DFL, limit), (signal.SIG_IGN, limit),
                                   (signal.SIG_IGN, short)):
            with self.subTest(SIGXFSZ=disposition.name, limit=limit):
                def limit_file_size(limit=limit, disposition=disposition):
                    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
                    signal.signal(signal.SIGXFSZ, disposition)

                r = sb.run("setup.xml", preexec_fn=limit_file_size)
                self.assert_failed(r, sb.path("setup.xmlNew"),
                                   os.strerror(errno.EFBIG))
                self.assertEqual(sb.read("setup.xml"), content)
                self.assert_no_scratch(sb)

    def test_full_disk(self):
        self.need_namespaces("mounting a small file system")
        text = xml_lines(3000, seed=6)
        # (case, content, the file the message names, what it says)
        cases = [
            ("no room for the result", text, "setup.xmlNew",
             os.strerror(errno.ENOSPC)),
            # Its length is known before anything is written.
            ("UTF-16 with a stray byte, refused before writing",
             utf16(text.decode("latin-1")) + b"x", "setup.xml",
             "is not UTF-16 text"),
        ]
        for name, content, names, says in cases:
            with self.subTest(name):
                sb = self.sandbox()
                source = os.path.join(sb.root, "source.xml")
                with open(source, "wb") as f:
                    f.write(content)
                disk, seen = os.path.join(sb.root, "disk"), os.path.join(sb.root, "seen")
                os.mkdir(disk)
                os.mkdir(seen)
                # Room for the program and the target and little more.
                size = os.path.getsize(sb.exe) + len(content) + 64 * 1024
                size = (size + 4095) // 4096 * 4096 + 16 * 4096
                # The emulator, if any, follows the four paths.
                script = ('mount -t tmpfs -o size=%d tmpfs "$1" && cp "$2" "$1"/ && '
                          'cp "$3" "$1"/setup.xml && cd / && d=$1 s=$4 && shift 4 && '
                          '"$@" "$d"/authorstamp setup.xml; rc=$?; '
                          'ls -A "$d" >"$s"/listing && cp "$d"/setup.xml "$s"/ && '
                          'exit $rc' % size)
                r = subprocess.run(["unshare", "--mount", "sh", "-c", script, "sh",
                                    disk, sb.exe, source, seen, *support.EMULATOR],
                                   capture_output=True, timeout=60)
                self.assert_failed(r, f"{disk}/{names}: ", says)
                with open(os.path.join(seen, "listing")) as f:
                    self.assertEqual(f.read().split(), ["authorstamp", "setup.xml"])
                with open(os.path.join(seen, "setup.xml"), "rb") as f:
                    self.assertEqual(f.read(), content)

    def test_out_of_memory(self):
        # Under an address-space limit (ulimit -v) any allocation may fail.
        # Below some limit the loader or the C++ runtime cannot even start
        # the program, which then cannot print its version; from there up,
        # until it has the room it needs, a run must say that it ran out of
        # memory and leave the target and no scratch file.
        if sanitized_binary():
            self.skipTest("the sanitizer runtime reserves terabytes of address space")
        if support.EMULATOR:
            self.skipTest("the emulator's address space is not the program's")
        sb = self.sandbox()
        content = xml_lines(300, seed=9)

        def run(kib, *args):
            def limit():
                resource.setrlimit(resource.RLIMIT_AS, (kib * 1024, kib * 1024))
            return sb.run(*args, preexec_fn=limit)

        low, high = 1024, 256 * 1024  # KiB: too little, and plenty
        self.assertEqual(run(high, "--version").returncode, 0)
        while high - low > 4:
            middle = (low + high) // 2
            if run(middle, "--version").returncode == 0:
                high = middle
            else:
                low = middle
        out_of_memory = 0
        for kib in range(high, high + 4096, 8):
            with self.subTest(kib=kib):
                sb.write("setup.xml", content)
                r = run(kib, "setup.xml")
                self.assert_no_scratch(sb)
                if r.returncode == 0:
                    self.assert_silent(r)
                    self.assertEqual(sb.read("setup.xml"),
                                     expected_rewrite(content, running_user_name()))
                    break
                self.assert_failed(r, "out of memory")
                self.assertEqual(sb.read("setup.xml"), content)
                out_of_memory += 1
        self.assertGreater(out_of_memory, 0, "no run ran out of memory")
        self.assertEqual(r.returncode, 0, "no run had enough memory")


class CopyBackTest(Case):
    def test_keeps_permissions_and_owner(self):
        # (mode, owner and group or None, user who runs the tool or None)
        cases = [(0o640, None, None), (0o600, None, None), (0o755, None, None),
                 (0o444, None, None), (0o2755, None, None),
                 (0o2750, (12345, 23456), None), (0o4711, (12345, 23456), None),
                 (0o640, (NOBODY, NOBODY), NOBODY), (0o2770, (NOBODY, NOBODY), NOBODY)]
        for mode, owner, uid in cases:
            with self.subTest(mode=oct(mode), owner=owner, uid=uid):
                if owner or uid or not mode & 0o200:
                    self.need_root("other users' files, writing a read-only file")
                sb = self.sandbox()
                os.chmod(sb.dir, 0o777)
                path = sb.write("setup.xml", ROAD)
                if owner:
                    os.chown(path, *owner)
                os.chmod(path, mode)  # after chown, which clears set-id bits
                before = os.stat(path)
                self.assert_silent(sb.run("setup.xml", uid=uid))
                after = os.stat(path)
                self.assertNotEqual(after.st_ino, before.st_ino)  # it was replaced
                self.assertEqual(oct(stat.S_IMODE(after.st_mode)), oct(mode))
                self.assertEqual((after.st_uid, after.st_gid),
                                 (before.st_uid, before.st_gid))
                self.assertEqual(sb.read("setup.xml")[-12:], b"</project>\r\n")
                self.assert_no_scratch(sb)

    def test_keeps_what_sed_keeps_and_more(self):
        """Who owns the replaced file and who may do what with it: exactly
        what the target had, but for what the system refuses the runner;
        everything GNU sed -i keeps, and the extended attributes, as cp -a
        keeps them.  Each case runs the tool and sed -i on twin files."""
        self.need_root("other users' files, ACLs and trusted attributes")
        if not shutil.which("setfacl"):
            support.unavailable(self, "setfacl is not installed (package acl)")
        if not support.user_namespaces():
            support.unavailable(self, "no user namespaces (none in a chroot: "
                                      "enter a tree with pivot_root)")
        staff, owner = 12345, 1000

        def acl_with_a_named_user(sb, path):
            os.chmod(path, 0o640)
            subprocess.run(["setfacl", "-m", f"u:{NOBODY}:rw-", path], check=True)

        def default_acl_of_the_directory(sb, path):
            subprocess.run(["setfacl", "-d", "-m", f"u:{NOBODY}:rwx", sb.dir],
                           check=True)

        def group_member_not_owner(sb, path):
            for p, mode in ((sb.dir, 0o775), (path, 0o664)):
                os.chown(p, owner, staff)
                os.chmod(p, mode)

        def owner_without_mapping(sb, path):
            os.chmod(sb.dir, 0o777)
            os.chown(path, owner, owner)
            os.chmod(path, 0o666)

        def extended_attributes(sb, path):
            os.setxattr(path, "user.origin", b"build server")
            os.setxattr(path, "trusted.note", b"for root only")
            # cap_net_raw, permitted and effective (VFS_CAP_REVISION_2).
            os.setxattr(path, "security.capability",
                        struct.pack("<5I", 0x02000001, 1 << 13, 0, 0, 0))

        def second_hard_link(sb, path):
            os.link(path, sb.path("other.xml"))

        def without_capability(before):
            return {n: v for n, v in before.items() if n != "security.capability"}

        in_user_namespace = ["unshare", "--user", "--map-root-user"]
        # (case, preparation, runner (uid, groups) or root, wrapper, what
        # differs afterwards: a value or a function of the value before)
        cases = [
            ("ACL with a named user", acl_with_a_named_user, None, [], {}),
            ("default ACL of the directory", default_acl_of_the_directory,
             None, [], {}),
            ("group member, not the owner", group_member_not_owner,
             (NOBODY, [staff]), [], {"owner": NOBODY}),
            ("owner with no mapping in a user namespace", owner_without_mapping,
             None, in_user_namespace, {"owner": 0, "group": 0}),
            ("extended attributes", extended_attributes, None, [],
             {"xattrs": without_capability}),
            ("a second hard link", second_hard_link, None, [], {"links": 1}),
        ]

        def identity(path):
            st = os.lstat(path)
            return {"owner": st.st_uid, "group": st.st_gid,
                    "mode": oct(stat.S_IMODE(st.st_mode)), "links": st.st_nlink,
                    "xattrs": {n: os.getxattr(path, n) for n in os.listxattr(path)}}

        report = []
        for name, prepare, runner, wrapper, differs in cases:
            with self.subTest(name):
                uid, groups = runner or (None, ())
                after = {}
                for tool in ("authorstamp", "sed"):
                    sb = self.sandbox()
                    path = sb.write("setup.xml", ROAD)
                    prepare(sb, path)
                    before = identity(path)
                    if tool == "authorstamp":
                        cmd = sb.command("setup.xml", uid=uid, groups=groups)
                    else:
                        cmd = ["sed", "-i", "-e", "s/old/new/", path]
                        if uid is not None:
                            cmd = support.as_user(uid, groups) + cmd
                    r = subprocess.run(wrapper + cmd, cwd=sb.elsewhere,
                                       capture_output=True, timeout=60)
                    self.assertEqual((tool, r.returncode, r.stderr),
                                     (tool, 0, b""))
                    self.assertNotEqual(sb.read("setup.xml"), ROAD)
                    after[tool] = identity(path)
                    if prepare is second_hard_link:
                        self.assertEqual(sb.read("other.xml"), ROAD)
                    self.assert_no_scratch(sb)
                want = {k: (v(before[k]) if callable(v) else v)
                        for k, v in differs.items()}
                want = {**before, **want}
                self.assertEqual(after["authorstamp"], want)

                def changes(got):
                    """What differs from before, each attribute by name."""
                    found = [k for k in before
                             if k != "xattrs" and got[k] != before[k]]
                    names = set(before["xattrs"]) | set(got["xattrs"])
                    return found + sorted(
                        n for n in names
                        if got["xattrs"].get(n) != before["xattrs"].get(n))

                lost = {t: changes(after[t]) for t in after}
                report.append(f"{name}: authorstamp changes "
                              f"{', '.join(lost['authorstamp']) or 'nothing'}; "
                              f"sed -i {', '.join(lost['sed']) or 'nothing'}")
                for key in set(lost["authorstamp"]) - set(lost["sed"]):
                    self.assertIn(key, differs.keys() | {"security.capability"},
                                  f"sed -i keeps {key}, the tool does not")
        print("\nidentity: " + "\nidentity: ".join(report), file=sys.stderr)

    def test_symbolic_link_stays_a_link(self):
        # What setup.xml holds: relative, absolute, or a link to a link.
        for link_text in ["../data/real.xml", "{root}/data/real.xml", "chain.xml"]:
            with self.subTest(link=link_text):
                sb = self.sandbox()
                real = os.path.join(sb.root, "data", "real.xml")
                os.mkdir(os.path.dirname(real))
                with open(real, "wb") as f:
                    f.write(ROAD)
                os.chmod(real, 0o640)
                os.symlink("../data/real.xml", sb.path("chain.xml"))
                link_text = link_text.format(root=sb.root)
                os.symlink(link_text, sb.path("setup.xml"))
                self.assert_silent(sb.run("setup.xml"))
                self.assertTrue(os.path.islink(sb.path("setup.xml")))
                self.assertEqual(os.readlink(sb.path("setup.xml")), link_text)
                self.assertEqual(os.readlink(sb.path("chain.xml")), "../data/real.xml")
                with open(real, "rb") as f:
                    self.assertEqual(f.read(), expected_rewrite(ROAD, running_user_name()))
                self.assertEqual(stat.S_IMODE(os.stat(real).st_mode), 0o640)
                self.assert_no_scratch(sb)

    def test_failed_copy_back_leaves_target(self):
        self.need_root("running as another user")
        sb = self.sandbox()
        # In a sticky directory the user may write root's file and create
        # the scratch file, but not rename over a file that is not theirs.
        os.chmod(sb.dir, 0o1777)
        target = sb.write("setup.xml", ROAD, 0o666)
        r = sb.run("setup.xml", uid=NOBODY)
        self.assert_failed(r, "cannot replace", target, os.strerror(errno.EPERM))
        self.assertEqual(sb.read("setup.xml"), ROAD)
        self.assert_no_scratch(sb)

    def test_link_into_closed_directory_leaves_target(self):
        self.need_root("running as another user")
        sb = self.sandbox()
        os.chmod(sb.dir, 0o777)
        # The file is writable, but its directory is closed to the user, so
        # no scratch file can be made beside it.
        locked = os.path.join(sb.root, "locked")
        os.mkdir(locked)
        real = os.path.join(locked, "real.xml")
        with open(real, "wb") as f:
            f.write(ROAD)
        os.chmod(real, 0o666)
        os.symlink(real, sb.path("setup.xml"))
        r = sb.run("setup.xml", uid=NOBODY)
        self.assert_failed(r, real + "New", os.strerror(errno.EACCES))
        with open(real, "rb") as f:
            self.assertEqual(f.read(), ROAD)
        self.assertTrue(os.path.islink(sb.path("setup.xml")))
        self.assert_no_scratch(sb)

    def test_symbolic_link_to_another_file_system(self):
        sb = self.sandbox()
        elsewhere = "/dev/shm"
        if not os.path.isdir(elsewhere) or \
                os.stat(elsewhere).st_dev == os.stat(sb.root).st_dev:
            support.unavailable(self, "no second file system at /dev/shm")
        real = os.path.join(elsewhere, os.path.basename(sb.root) + ".xml")
        with open(real, "wb") as f:
            f.write(ROAD)
        self.addCleanup(os.unlink, real)
        os.symlink(real, sb.path("setup.xml"))
        self.assert_silent(sb.run("setup.xml"))
        with open(real, "rb") as f:
            self.assertEqual(f.read(), expected_rewrite(ROAD, running_user_name()))
        self.assertTrue(os.path.islink(sb.path("setup.xml")))
        self.assert_no_scratch(sb)

    def test_reader_sees_old_or_new_content_whole(self):
        sb = self.sandbox()
        old = xml_lines(4000, seed=7)
        new = expected_rewrite(old, running_user_name())
        target = sb.write("setup.xml", old)
        fresh = sb.path("fresh")
        seen, failures, done = set(), [], threading.Event()

        def read_all_the_time():
            while not done.is_set():
                try:
                    with open(target, "rb") as f:
                        content = f.read()
                except OSError as e:
                    failures.append(repr(e))
                    return
                if content not in (old, new):
                    failures.append(f"{len(content)} bytes that are neither")
                    return
                seen.add(content == new)

        reader = threading.Thread(target=read_all_the_time)
        reader.start()
        try:
            for _ in range(12):
                self.assert_silent(sb.run("setup.xml"))
                # Put the old content back in one step, as the tool must.
                with open(fresh, "wb") as f:
                    f.write(old)
                os.replace(fresh, target)
        finally:
            done.set()
            reader.join()
        self.assertEqual(failures, [])
        self.assertEqual(seen, {False, True})  # the reader did meet the runs


class ContentTest(Case):
    def test_files_rewritten_exactly(self):
        far = 5 * 1024 * 1024
        cases = [
            ("bytes 0 and 26", b"a\x00b\x1a\n\x00<Author>\x1aold\x00</Author>\n"
                               b"\x1a\x1a\n\x00\x00\x00\n\x1a"),
            ("UTF-8 byte-order mark", b"\xef\xbb\xbf<Author>old</Author>\nx\n"),
            ("FF FE later in the file", b"a\n\xff\xfe<Author>\n"),
            ("a single FF byte", b"\xff"),
            ("very long line, tag far in",
             b"<p>\n" + b"q" * far + b"<Author>" + b"r" * 300000 + b"\n</p>"),
            ("tags and line ends across read blocks", straddling()),
            ("many blocks, many tags", xml_lines(20000, seed=11)),
            ("UTF-16 LE as Windows PowerShell writes it", POWERSHELL),
            ("UTF-16 BE, LF, no final line end",
             utf16("a\n  <Author>x</Author>\nb", "utf-16-be")),
            ("UTF-16 LE, mark only", utf16("")),
            ("UTF-16 LE, units whose bytes are CR, LF or <",
             utf16("\u0a0d\u0d0a\u3c41\u0a00\n<Author>\u0a0d\n\u3c00A")),
            ("UTF-16 BE, non-ASCII, pairs and unpaired surrogates",
             utf16("J\u00fcrgen \U0001F600\ud800 <Author>\udc00\n\ud800\n",
                   "utf-16-be")),
            ("UTF-16 LE, tags and line ends across read blocks",
             utf16(straddling().decode("latin-1"))),
            ("UTF-16 LE, many blocks, many tags",
             utf16(xml_lines(4000, seed=12).decode("latin-1"))),
        ]
        for name, content in cases:
            with self.subTest(name):
                sb = self.sandbox()
                sb.write("setup.xml", content)
                self.assert_silent(sb.run("setup.xml"))
                self.assertEqual(sb.read("setup.xml"), expected_rewrite(content, running_user_name()))
                self.assert_no_scratch(sb)

    def test_refused_untouched(self):
        odd = "an odd number of bytes"
        # (case, content, what the message says)
        cases = [
            ("UTF-32 LE", b"\xff\xfe\x00\x00" + "<Author>x\n".encode("utf-32-le"),
             "UTF-32"),
            ("UTF-32 BE", b"\x00\x00\xfe\xff" + "<Author>x\n".encode("utf-32-be"),
             "UTF-32"),
            ("UTF-32 LE mark alone", b"\xff\xfe\x00\x00", "UTF-32"),
            ("UTF-16 LE, odd length", POWERSHELL + b"\n", odd),
            ("UTF-16 BE, one byte after the mark", b"\xfe\xff\x00", odd),
            ("UTF-16 LE, a stray byte after many blocks",
             utf16("<Author>x\n" * 50000) + b"x", odd),
        ]
        for name, content, says in cases:
            with self.subTest(name):
                sb = self.sandbox()
                sb.write("setup.xml", content)
                r = sb.run("setup.xml")
                self.assert_failed(r, sb.path("setup.xml"), says)
                self.assertEqual(sb.read("setup.xml"), content)
                self.assert_no_scratch(sb)


class ConcurrencyTest(Case):
    def test_runs_on_one_target(self):
        sb = self.sandbox()
        content = xml_lines(2000, seed=13)
        sb.write("setup.xml", content)
        runs = [subprocess.Popen(sb.command("setup.xml"), cwd=sb.elsewhere,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                for _ in range(12)]
        outcomes = []
        for p in runs:
            out, err = p.communicate(timeout=60)
            outcomes.append((p.returncode, out, err))
        held = open_failed(sb.path("setup.xml"), "held by another run")
        for outcome in outcomes:
            self.assertIn(outcome, [(0, b"", b""), (0, b"", held)])
        self.assertIn((0, b"", b""), outcomes)
        self.assertEqual(sb.read("setup.xml"), expected_rewrite(content, running_user_name()))
        self.assert_no_scratch(sb)


class TraceTest(Case):
    def test_stamped_lines_reach_the_system_log(self):
        """A daemon on a datagram socket gets each stamped line as a
        datagram; one on a stream socket, as the C library sends it, with a
        NUL byte after each.  A line is sent as a debugger would show it:
        up to its first NUL byte, in one record."""
        self.need_namespaces("a /dev/log of the test's own")
        for kind, end in ((socket.SOCK_DGRAM, b""), (socket.SOCK_STREAM, b"\0")):
            with self.subTest(kind.name):
                sb = self.sandbox()
                log = support.LogListener(os.path.join(sb.root, "log"), kind=kind)
                self.addCleanup(log.close)

                def run(content, account="builder"):
                    sb.write("setup.xml", content)
                    cmd = log.prefix(sb.elsewhere) + sb.command("setup.xml", account=account)
                    self.assert_silent(subprocess.run(cmd, capture_output=True, timeout=60))
                    return [line for line in sb.read("setup.xml").split(b"\r\n")
                            if b"<Author>" in line]

                # A file without the tag first: any record it made would
                # come before those of the tagged file.
                self.assertEqual(run(b"<a>x</a>\n<author>x</author>\n<Author/>\n"), [])
                stamped = run(b"<a>x</a>\n <x><Author>old</Author>\n\x1a%s %n <Author>\n"
                              b"plain\nab\0c <Author>old</Author>\n")
                self.assertEqual(len(stamped), 3)
                stamped[2] = b"ab"
                # The stamped line of a UTF-16 file is logged in UTF-8.
                line = " \u00fc\U0001F600<Author>"
                run(utf16("<a/>\n" + line + "old</Author>\n", "utf-16-be"), "j\u00fcrgen")
                stamped.append(f"{line}BUILD01\\j\u00fcrgen</Author>".encode())
                deadline = time.monotonic() + 10
                while len(log.records) < len(stamped) and time.monotonic() < deadline:
                    time.sleep(0.01)
                self.assertEqual(len(log.records), len(stamped), log.records)
                # No time: the daemon stamps each record in its own zone.
                for rec, line in zip(log.records, stamped):
                    self.assertEqual(rec, b"<15>authorstamp: " + line + end)


class DocsTest(Case):
    def test_manual_page_renders_without_warnings(self):
        checks = [["groff", "-man", "-ww", "-z", PAGE],
                  ["mandoc", "-Tlint", "-Wwarning", PAGE]]
        checks = [c for c in checks if shutil.which(c[0])]
        if not checks:
            support.unavailable(self, "neither groff nor mandoc is installed")
        for check in checks:
            with self.subTest(check[0]):
                r = subprocess.run(check, capture_output=True, timeout=60)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"", b""))

    def test_help_page_and_readme_agree(self):
        version = self.need_version()
        sb = self.sandbox()
        r = sb.run("--help")
        self.assertEqual(r.returncode, 0, r)
        page, readme = read_text(PAGE), read_text(README)
        options = {
            "--help": set(re.findall(r"^ +(--[a-z]+) ", r.stdout.decode(), re.M)),
            "page": {o.replace("\\-", "-") for o in re.findall(
                r"^\.B (\\-\\-[a-z]+)$", between(page, ".SH OPTIONS", ".SH"), re.M)},
            "README": set(re.findall(r"`(--[a-z]+)`", between(readme, "## Usage", "## "))),
        }
        self.assertEqual(options["--help"], {"--help", "--version"})
        for where, found in options.items():
            self.assertEqual(found, options["--help"], where)
        self.assertIn(f'"authorstamp {version}"', page.split("\n", 5)[4])

        # Every message the code can form is told in the page's list and the
        # table of exit statuses and messages.
        told = {"page": roff_words(between(page, ".SH DIAGNOSTICS", ".SH")),
                "docs/exit-status.md": re.sub(r"[`\s]+", " ", read_text(EXIT_STATUS))}
        texts = message_texts()
        self.assertGreater(len(texts), 15, texts)
        self.assertIn("Open file fail!", texts)
        for where, text in told.items():
            for words in sorted(texts):
                self.assertTrue(words in text, f"the {where} does not tell {words!r}")


class PackageTest(Case):
    def unpacked_archive(self, sb, config=None):
        """Makes the release archive of this binary's build, or of the build
        of the CPack |config|, checks what it holds and unpacks it in |sb|;
        returns the directory it unpacks to and the archive's system, such
        as "Linux-x86_64"."""
        version = self.need_version()
        build = os.path.dirname(config or support.CPACK_CONFIG or support.BINARY)
        with open(os.path.join(build, "CPackConfig.cmake")) as f:
            system = re.search(r'^set\(CPACK_SYSTEM_NAME "(.*)"\)$', f.read(), re.M)[1]
        kind = system.split("-")[0]
        program = os.path.join(build, ARCHIVE_FILES[kind][0].split("/")[-1])
        if config is None:
            program = support.BINARY
            with open(program, "rb") as f:
                machine = ELF_MACHINES[int.from_bytes(f.read(20)[18:], "little")]
            self.assertEqual(system, f"Linux-{machine}")
        archive = support.release_archive(self, os.path.join(sb.root, "cpack"), config)
        top = f"authorstamp-{version}-{system}"
        self.assertEqual(os.path.basename(archive),
                         top + (".zip" if kind == "Windows" else ".tar.gz"))
        unpacked = os.path.join(sb.root, "unpacked")
        if kind == "Windows":
            with zipfile.ZipFile(archive) as z:
                files = sorted(n for n in z.namelist() if not n.endswith("/"))
                z.extractall(unpacked)
        else:
            with tarfile.open(archive) as tar:
                files = sorted(m.name for m in tar.getmembers() if not m.isdir())
                # Newer Pythons want to be told how far to trust an archive.
                safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
                tar.extractall(unpacked, **safe)
        self.assertEqual(files, [f"{top}/{name}" for name in sorted(ARCHIVE_FILES[kind])])
        # (where in the archive, the file it must be a copy of)
        program_name, readme_name, manual_name = ARCHIVE_FILES[kind]
        contents = [(program_name, program),
                    (readme_name, os.path.join(build, os.path.basename(readme_name)))]
        if kind == "Linux":
            contents.append((manual_name, PAGE))
        for name, source in contents:
            self.assertTrue(filecmp.cmp(os.path.join(unpacked, top, name), source,
                                        shallow=False), name)
        if kind == "Windows":
            # Text for Windows: CR LF line ends, ASCII; the manual is the page.
            for name in (readme_name, manual_name):
                text = support.read_file(os.path.join(unpacked, top, name))
                self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), name)
                self.assertTrue(text.isascii(), name)
            page = support.read_file(os.path.join(unpacked, top, manual_name)).split()
            for words in ("authorstamp - write the running user's name",
                          "EXIT STATUS", "SEE ALSO"):
                self.assertIn(words, b" ".join(page).decode(), manual_name)
        return os.path.join(unpacked, top), system

    def test_release_archives_hold_tools_that_work(self):
        # This build's archive and those of the other release builds: each
        # README names exactly the files its archive holds, and the program
        # from the archive stamps a file beside itself wherever it can be
        # tried here.
        for config in (None, *support.ARCHIVES):
            sb = self.sandbox()
            unpacked, system = self.unpacked_archive(sb, config)
            with self.subTest(system=system):
                kind = system.split("-")[0]
                readme = read_text(os.path.join(unpacked, ARCHIVE_FILES[kind][1]))
                self.assertEqual(files_named(readme), set(ARCHIVE_FILES[kind]))
                program = os.path.join(unpacked, ARCHIVE_FILES[kind][0])
                for how, command, env, user in self.ways_to_run(config, system, program):
                    with self.subTest(how=how):
                        target = os.path.join(os.path.dirname(program), "setup.xml")
                        with open(target, "wb") as f:
                            f.write(ROAD)
                        r = subprocess.run([*command, "setup.xml"], cwd=sb.elsewhere,
                                           env=env, capture_output=True, timeout=120)
                        self.assert_silent(r)
                        stamped = support.read_file(target)
                        if user is None:  # Wine's machine name, checked below
                            m = re.search(rb"<Author>(.*)\\builder</Author>", stamped)
                            self.assertTrue(m, stamped)
                            host = socket.gethostname().split(".")[0].upper()
                            self.assertTrue(host.startswith(m[1].decode()), m[1])
                            user = m[1] + b"\\builder"
                        self.assertEqual(stamped, expected_rewrite(ROAD, user))

    def ways_to_run(self, config, system, program):
        """How the |program| of the archive for |system| runs here: (what,
        command, environment, the user name it writes, or None for Wine's)."""
        if config is None:
            return [("as built", [*support.EMULATOR, program], None,
                     running_user_name())]
        if system == "Linux-aarch64":
            qemu = shutil.which("qemu-aarch64-static") or shutil.which("qemu-aarch64")
            if not qemu:
                support.unavailable(self, "no qemu-aarch64 "
                                    "(bash .ci/packages.sh package installs it)")
            for d in arm64_libraries():
                self.assertTrue(os.path.isdir(d), d)
            return [(f"qemu, {d}", [qemu, "-L", d, program], None, running_user_name())
                    for d in arm64_libraries()]
        if system == "Windows-x86_64":
            if "WINEPREFIX" not in os.environ or not os.path.exists(WINE):
                support.unavailable(self, "no Wine server started "
                                    "(cmake/wine-server.sh, with WINEPREFIX)")
            return [("wine", [WINE_RUN, program], dict(os.environ, USER="builder"), None)]
        self.fail(f"no way to run the program for {system}")

    def test_released_program_runs_on_older_and_newer_systems(self):
        # The oldest Debian whose glibc the program is built for, and the
        # newest, as debootstrap made them: every change a run makes goes to
        # an overlay in the sandbox.
        if support.ROOTS is None:
            self.skipTest("only the released program is built for other systems")
        self.need_namespaces("Debian systems made by debootstrap, run by chroot")
        if not shutil.which("debootstrap"):
            support.unavailable(self, "debootstrap is not installed "
                                "(bash .ci/packages.sh package installs it)")
        sb = self.sandbox()
        unpacked, _ = self.unpacked_archive(sb)
        for suite in ("bullseye", "trixie"):
            with self.subTest(suite=suite):
                system = os.path.join(support.ROOTS, suite)
                made = subprocess.run(["bash", DEBIAN_ROOT, suite, system],
                                      capture_output=True, timeout=600)
                self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
                self.stamp_in(system, os.path.join(sb.root, suite), unpacked)

    def stamp_in(self, system, overlay, unpacked):
        """Runs the program of |unpacked| in the Debian |system|, as root and
        as an account of its own, with /proc mounted, in a mount namespace
        whose overlay keeps the changes in |overlay|."""
        upper, work, merged = (os.path.join(overlay, d) for d in ("upper", "work", "merged"))
        os.makedirs(work)
        os.makedirs(merged)
        home = "/opt/" + os.path.basename(unpacked)
        shutil.copytree(unpacked, upper + home)
        # An account that the system's own name service knows.
        os.makedirs(upper + "/etc")
        for name, entry in (("passwd", f"stamper:x:{STAMPER}:{STAMPER}::/:/bin/sh\n"),
                            ("group", f"stamper:x:{STAMPER}:\n")):
            with open(f"{system}/etc/{name}") as f:
                entries = f.read()
            with open(f"{upper}/etc/{name}", "w") as f:
                f.write(entries + entry)
            os.chmod(f"{upper}/etc/{name}", 0o644)
        os.chown(upper + home + "/bin", STAMPER, STAMPER)
        cases = [  # (account, user and group id, file)
            ("root", 0, "root.xml"),
            ("stamper", STAMPER, "stamper.xml"),
        ]
        script = ('mount -t overlay overlay -o "lowerdir=$0,upperdir=$1,workdir=$2" "$3" && '
                  'mount -t proc proc "$3/proc" && hostname build01 && shift 3 && '
                  'exec chroot "$@"')

        def run(uid, *args):
            return subprocess.run(
                ["unshare", "--mount", "--uts", "sh", "-c", script, system, upper,
                 work, merged, f"--userspec={uid}:{uid}", merged,
                 f"{home}/bin/authorstamp", *args], capture_output=True, timeout=60)

        for account, uid, name in cases:
            target = f"{upper}{home}/bin/{name}"
            with open(target, "wb") as f:
                f.write(ROAD)
            os.chown(target, uid, uid)
            self.assert_silent(run(uid, name))
            self.assertEqual(support.read_file(target),
                             expected_rewrite(ROAD, f"BUILD01\\{account}".encode()),
                             account)
        self.assert_open_fail(run(STAMPER, "missing.xml"), f"{home}/bin/missing.xml",
                              errno.ENOENT)


class StartupTest(Case):
    def test_program_file_deleted_while_it_runs(self):
        # The kernel then names it "PATH (deleted)"; it is still PATH that
        # gives the directory and the name in messages.
        if support.EMULATOR:
            self.skipTest("the emulator runs the program from its own path")
        sb = self.sandbox()
        sb.write("setup.xml", ROAD)
        fd = os.open(sb.exe, os.O_RDONLY)
        self.addCleanup(os.close, fd)
        os.unlink(sb.exe)
        program = f"/proc/self/fd/{fd}"
        r = subprocess.run([program, "missing.xml"], pass_fds=(fd,),
                           cwd=sb.elsewhere, capture_output=True, timeout=60)
        self.assert_open_fail(r, sb.path("missing.xml"), errno.ENOENT)
        r = subprocess.run([program, "setup.xml"], pass_fds=(fd,),
                           cwd=sb.elsewhere, capture_output=True, timeout=60)
        self.assert_silent(r)
        self.assertEqual(sb.read("setup.xml"), expected_rewrite(ROAD, running_user_name()))
        self.assert_no_scratch(sb)

    def test_program_path_unknown(self):
        self.need_namespaces("hiding /proc in a private mount namespace")
        if sanitized_binary():
            self.skipTest("the sanitizer runtime itself needs /proc")
        if support.EMULATOR:
            self.skipTest("an emulator answers /proc/self/exe itself")
        sb = self.sandbox()
        sb.write("setup.xml", ROAD)
        r = subprocess.run(
            ["unshare", "--mount", "sh", "-c", 'mount -t tmpfs none /proc && exec "$0" "$@"',
             sb.exe, "setup.xml"], cwd=sb.elsewhere, capture_output=True, timeout=60)
        self.assertEqual((r.returncode, r.stdout, r.stderr),
                         (1, b"", b"Fatal Error: MFC initialization failed\n"))
        self.assertEqual(sb.read("setup.xml"), ROAD)
        self.assert_no_scratch(sb)


if __name__ == "__main__":
    support.main()
