"""What the end-to-end suites share: the built binary and how to start it, a
scratch directory holding a copy of it, an independent model of what a run
makes of a file, the base of their test cases, and the means of the fault,
crash and concurrency suites (strace, a log daemon of their own, many
sandboxes at once).

Every suite is started as

    SUITE.py [--emulator=ARG]... [--version=V] [--cpack-config=FILE]
             [--roots=DIR] [--archive=FILE]... BINARY [unittest arguments]

--emulator, given once per word, is the command that runs the binary where
it cannot run by itself (Wine, qemu); --version is the version the build
gave the binary; --cpack-config is the build's CPackConfig.cmake (the one
beside BINARY when not given); --roots, given for the released Linux
binary, is where the Debian systems to try it in are kept; --archive, once
per further release build, is that build's CPackConfig.cmake.

A suite exits 0 when every case ran and passed, 1 when one failed, and
SKIPPED when none failed but some could not run on this machine (no root,
no strace, no private mounts): CTest shows that suite as skipped, never as
passed.  A case that does not apply to the build at hand (an emulator, a
sanitizer runtime) skips without that; it could never run there."""

import argparse
import concurrent.futures
import dataclasses
import errno
import functools
import os
import pwd
import queue
import random
import re
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import unittest

BINARY = None  # the built tool, from the command line
EMULATOR = []  # what runs it, when it cannot run by itself
VERSION = None  # the version it was built with, when given
CPACK_CONFIG = None  # what makes the release archive that holds it
ROOTS = None  # where Debian systems to try it in are kept, when given
ARCHIVES = []  # the CPack configurations of the other release builds

# The alert of a target that cannot be had: on Windows the whole line; on
# Linux its beginning, followed by " (PATH: REASON)".
OPEN_FAILED = b"authorstamp: Open file fail!"
# What the open failure gives as its reason besides the system's own texts.
OPEN_FAILED_REASONS = {"not a regular file", "held by another run",
                       "replaced while being opened"}
STARTUP_FAILED = b"Fatal Error: MFC initialization failed\n"
NOBODY = 65534

# The exit status of a suite that could not run whole (SKIP_RETURN_CODE).
SKIPPED = 77
_unavailable = []  # the cases that could not run here, and why


def shown(path: str) -> bytes:
    """|path| as the tool's messages show it (Linux): control characters,
    C1 ones in UTF-8 too, escaped as in C; every other byte as it is."""
    named = {0x09: b"\\t", 0x0A: b"\\n", 0x0D: b"\\r"}
    return re.sub(rb"[\x00-\x1f\x7f]|\xc2[\x80-\x9f]",
                  lambda m: b"".join(named.get(c, b"\\%03o" % c) for c in m[0]),
                  os.fsencode(path))


def open_failed(path: str, reason: str) -> bytes:
    """The line of the open failure on |path| for |reason| (Linux)."""
    return b"%s (%s: %s)\n" % (OPEN_FAILED, shown(path), reason.encode())


def open_failure_reason(stderr: bytes, path: str):
    """The reason that |stderr| gives, when it is exactly the line of the
    open failure on |path| with a reason the tool can give; None otherwise."""
    head = b"%s (%s: " % (OPEN_FAILED, shown(path))
    if not (stderr.startswith(head) and stderr.endswith(b")\n")):
        return None
    reason = stderr[len(head):-2].decode(errors="replace")
    system = {os.strerror(n) for n in errno.errorcode}
    known = OPEN_FAILED_REASONS | system
    return reason if reason in known else None


def expected_rewrite(content: bytes, user: bytes) -> bytes | None:
    """What a run makes of |content|, or None when it refuses the file:
    every line ends with CR LF, and a line holding <Author> is cut behind it
    and completed with |user|.  After a UTF-16 byte-order mark the same
    rules apply to 16-bit units and |user| goes in as UTF-16; refused are
    UTF-32 marks, an odd number of bytes after a UTF-16 mark, and for UTF-16
    a user name that is not UTF-8."""
    if content.startswith((b"\xff\xfe\x00\x00", b"\x00\x00\xfe\xff")):
        return None
    if not content.startswith((b"\xff\xfe", b"\xfe\xff")):
        return _rewrite_lines(content, user)
    codec = "utf-16-le" if content.startswith(b"\xff") else "utf-16-be"
    if len(content) % 2:
        return None
    try:
        name = user.decode("utf-8")
    except UnicodeDecodeError:
        return None
    # surrogatepass: an unpaired surrogate is a unit like any other.
    text = content[2:].decode(codec, "surrogatepass")
    return content[:2] + _rewrite_lines(text, name).encode(codec, "surrogatepass")


def _rewrite_lines(text, user):
    """The line rules, on bytes or on str alike."""
    same = (lambda t: t) if isinstance(text, str) else str.encode
    pieces = text.split(same("\n"))
    # Every piece but the last ended at an LF, which may have had a CR.
    lines = [p[:-1] if p.endswith(same("\r")) else p for p in pieces[:-1]]
    if pieces[-1]:
        lines.append(pieces[-1])
    out = []
    for line in lines:
        at = line.find(same("<Author>"))
        if at >= 0:
            line = line[: at + 8] + user + same("</Author>")
        out.append(line + same("\r\n"))
    return text[:0].join(out)


def read_file(path: str):
    """The bytes of |path|; None when it is not a file."""
    if not os.path.isfile(path):
        return None
    with open(path, "rb") as f:
        return f.read()


def is_root() -> bool:
    return os.geteuid() == 0


@functools.cache
def no_private_mounts() -> str:
    """Why this process cannot give a command mount and host-name namespaces
    of its own, or "" when it can: it takes root, and a kernel, container or
    chroot that allow them (a chroot's root must be a mount point)."""
    if not is_root():
        return "not root"
    if not shutil.which("unshare"):
        return "no unshare"
    probe = subprocess.run(["unshare", "--mount", "--uts", "true"],
                           capture_output=True, timeout=60)
    if probe.returncode == 0:
        return ""
    return probe.stderr.decode(errors="replace").strip() or "unshare failed"


def private_mounts() -> bool:
    return not no_private_mounts()


def user_namespaces() -> bool:
    """Whether this process can start a command in a user namespace of its
    own (a chroot cannot: enter a tree with pivot_root instead)."""
    return subprocess.run(["unshare", "--user", "--map-root-user", "true"],
                          capture_output=True).returncode == 0


def unavailable(case: unittest.TestCase, why: str):
    """Skips |case| because this machine lacks what it needs, which makes
    the whole suite count as skipped."""
    _unavailable.append(f"{case.id()}: {why}")
    raise unittest.SkipTest(f"cannot run here: {why}")


def running_user_name(uid=None) -> bytes:
    """The name a run by this process's user (or by |uid|) writes on Linux:
    the machine's short name in capitals, a backslash and the account name,
    or the account name alone when it holds a backslash already."""
    account = pwd.getpwuid(os.getuid() if uid is None else uid).pw_name
    if "\\" in account:
        return account.encode()
    host = socket.gethostname().split(".")[0].upper()
    return f"{host}\\{account}".encode()


def as_user(uid: int, groups=()) -> list:
    """What to put before a command to run it as |uid|, whose group is |uid|
    too, member of |groups| and no other (needs root)."""
    member = f"--groups={','.join(map(str, groups))}" if groups else "--clear-groups"
    return ["setpriv", f"--reuid={uid}", f"--regid={uid}", member]


def release_archive(case: unittest.TestCase, dest: str, config=None) -> str:
    """Makes the release archive of the build that made BINARY (or of the
    build of the CPack |config|), with cpack into |dest|, and returns its
    path.  Only the build directory can.  It also checks that SHA256SUMS
    there, which already lists another file, gains one line for the
    archive, also when it is made again."""
    config = config or CPACK_CONFIG or os.path.join(os.path.dirname(BINARY),
                                                    "CPackConfig.cmake")
    if not os.path.exists(config) or not shutil.which("cpack"):
        unavailable(case, f"no cpack, or no {config}")
    os.makedirs(dest)
    with open(os.path.join(dest, "notes.txt"), "w") as f:
        f.write("made earlier\n")
    listed = subprocess.run(["sha256sum", "notes.txt"], cwd=dest,
                            capture_output=True, check=True).stdout
    with open(os.path.join(dest, "SHA256SUMS"), "wb") as f:
        f.write(listed)
    for _ in range(2):
        r = subprocess.run(["cpack", "--config", config, "-B", dest],
                           capture_output=True, timeout=300)
        case.assertEqual(r.returncode, 0, r.stdout + r.stderr)
    made = [n for n in os.listdir(dest) if n.endswith((".tar.gz", ".zip"))]
    case.assertEqual(len(made), 1, made)
    check = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=dest,
                           capture_output=True)
    case.assertEqual((check.returncode, check.stdout),
                     (0, f"notes.txt: OK\n{made[0]}: OK\n".encode()),
                     check.stderr)
    return os.path.join(dest, made[0])


class Sandbox:
    """A temporary directory with a copy of the binary in it, and a second
    directory to run it from, so that the working directory never helps."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="authorstamp-test-")
        os.chmod(self.root, 0o755)
        self.dir = os.path.join(self.root, "bin")
        self.elsewhere = os.path.join(self.root, "elsewhere")
        os.mkdir(self.dir)
        os.mkdir(self.elsewhere)
        self.exe = os.path.join(self.dir, os.path.basename(BINARY))
        shutil.copy2(BINARY, self.exe)

    def cleanup(self):
        # Tests may leave read-only directories behind.
        for top, dirs, _ in os.walk(self.root):
            for d in dirs:
                path = os.path.join(top, d)
                if not os.path.islink(path):
                    os.chmod(path, 0o755)
        shutil.rmtree(self.root, ignore_errors=True)

    def path(self, name: str) -> str:
        return os.path.join(self.dir, name)

    def write(self, name: str, content: bytes, mode: int = 0o644) -> str:
        p = self.path(name)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(content)
        os.chmod(p, mode)
        return p

    def read(self, name: str) -> bytes:
        with open(self.path(name), "rb") as f:
            return f.read()

    def leftovers(self):
        """Scratch files (and directories of that name) anywhere in the
        sandbox."""
        found = []
        for top, dirs, files in os.walk(self.root):
            found += [os.path.join(top, f) for f in files + dirs
                      if f.endswith("New")]
        return sorted(found)

    def command(self, *args, uid=None, groups=(), account=None, host="build01",
                exe=None):
        """The command line that runs the binary (or |exe|) with |args|.
        With |uid| it runs as that user, member of |groups| only; with
        |account| the user's account entry names |account| and the host is
        called |host|, str or bytes, any bytes but NUL (needs root: a
        private mount and host-name namespace)."""
        cmd = [*EMULATOR, exe or self.exe, *args]
        if uid is not None:
            cmd = as_user(uid, groups) + cmd
        if account is not None:
            passwd = os.path.join(self.root, "passwd")
            owner = os.getuid() if uid is None else uid
            with open(passwd, "w", encoding="utf-8") as f:
                f.write(f"{account}:x:{owner}:{owner}::/:/bin/sh\n")
            os.chmod(passwd, 0o644)
            # hostname(1) takes only ASCII names, and the kernel's file ends
            # a name at a line end; sethostname(2) takes any bytes.  (-I -S:
            # a bare interpreter starts in a third of the time.)
            sethostname = ("import os, socket, sys; "
                           "socket.sethostname(os.fsencode(sys.argv[1]))")
            script = ('mount --bind "$0" /etc/passwd && '
                      '"$1" -I -S -c "$2" "$3" && shift 3 && exec "$@"')
            cmd = ["unshare", "--mount", "--uts", "sh", "-c", script, passwd,
                   sys.executable, sethostname, host] + cmd
        return cmd

    def run(self, *args, uid=None, groups=(), account=None, host="build01",
            exe=None, **kwargs):
        kwargs.setdefault("timeout", 120)
        return subprocess.run(
            self.command(*args, uid=uid, groups=groups, account=account,
                         host=host, exe=exe),
            cwd=self.elsewhere,
            capture_output=True,
            **kwargs,
        )


class Case(unittest.TestCase):
    """The base of the end-to-end test cases: sandboxes that go away with
    the test, and the outcomes every suite checks for."""

    def sandbox(self) -> Sandbox:
        sb = Sandbox()
        self.addCleanup(sb.cleanup)
        return sb

    def need_root(self, why):
        if not is_root():
            unavailable(self, f"needs root ({why})")

    def need_namespaces(self, why):
        """Root and private mount and host-name namespaces."""
        self.need_root(why)
        if not private_mounts():
            unavailable(self, f"cannot make private mounts ({why}): "
                        f"{no_private_mounts()}")

    def need_strace(self):
        if not have_strace():
            unavailable(self, "strace is not installed (tests/run.sh installs it)")

    def need_version(self):
        if VERSION is None:
            unavailable(self, "the suite was started without --version")
        return VERSION

    def assert_silent(self, r):
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"", b""))

    def assert_open_fail(self, r, path, reason):
        """Exit 0 and the one line of the open failure on |path|; |reason|
        is its reason as a text, or an errno value."""
        if isinstance(reason, int):
            reason = os.strerror(reason)
        self.assertEqual((r.returncode, r.stdout, r.stderr),
                         (0, b"", open_failed(path, reason)))

    def assert_failed(self, r, *fragments):
        """Exit 1 with one alert line that holds every fragment."""
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(r.stdout, b"")
        self.assertTrue(r.stderr.startswith(b"authorstamp: "), r.stderr)
        self.assertTrue(r.stderr.endswith(b"\n"), r.stderr)
        self.assertEqual(r.stderr.count(b"\n"), 1, r.stderr)
        for fragment in fragments:
            self.assertIn(fragment.encode(), r.stderr)

    def assert_no_scratch(self, sb, *planted):
        """No scratch file anywhere in |sb| but the names in |planted|."""
        self.assertEqual(sb.leftovers(), sorted(sb.path(p) for p in planted))


def main():
    """Runs the unittest cases of the calling module with the binary and the
    options the command line gives."""
    global BINARY, EMULATOR, VERSION, CPACK_CONFIG, ROOTS, ARCHIVES
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--emulator", action="append", default=[])
    parser.add_argument("--version")
    parser.add_argument("--cpack-config")
    parser.add_argument("--roots")
    parser.add_argument("--archive", action="append", default=[])
    parser.add_argument("binary")
    opts, rest = parser.parse_known_args()
    BINARY = os.path.abspath(opts.binary)
    EMULATOR = opts.emulator
    VERSION = opts.version
    CPACK_CONFIG = opts.cpack_config
    ROOTS = opts.roots
    ARCHIVES = opts.archive
    program = unittest.main(module="__main__", argv=[sys.argv[0], *rest],
                            verbosity=2, exit=False)
    result = program.result
    if not result.wasSuccessful():
        sys.exit(1)
    if _unavailable or not result.testsRun:
        why = sorted(set(_unavailable)) or ["no case ran"]
        print(f"\nSKIPPED: {len(why)} cases could not run here:", *why,
              sep="\n  ", file=sys.stderr)
        sys.exit(SKIPPED)
    sys.exit(0)


# --- Fault injection, crash points and concurrency --------------------------
#
# Running the tool under strace with one system call made to fail or to kill
# the process, on several copies of one target at once, and telling what a
# run left behind.

TARGET = "project.xml"
TARGET_MODE = 0o640
# As root, a group the runner is not in, so that every run has to set it.
TARGET_GROUP = 12345 if is_root() else os.getgid()
# The target also carries an extended attribute, so that a run copies one.
TARGET_XATTRS = {"user.origin": b"authorstamp tests"}


def access(path: str):
    """What decides who may do what with |path|: its mode, group and
    extended attributes (the ACL among them), to compare before and after a
    run."""
    st = os.stat(path)
    return (stat.S_IMODE(st.st_mode), st.st_gid,
            sorted((n, os.getxattr(path, n)) for n in os.listxattr(path)))


TARGET_ACCESS = (TARGET_MODE, TARGET_GROUP, sorted(TARGET_XATTRS.items()))

# The exec by which strace starts the binary: strace cannot fail it or kill
# the process at it in any way that tells something about the tool.
STRACE_OWN = {"execve"}


def have_strace() -> bool:
    return shutil.which("strace") is not None


def sample_content() -> bytes:
    """About 560 KiB of text with LF line ends, a few dozen lines holding an
    author element: a handful of the tool's 128 KiB blocks, so that reads
    and writes happen several times each, while the number of calls (one
    log record per stamped line among them) stays small enough to fail each
    of them in turn."""
    rng = random.Random(4)
    words = [b"<item>", b"</item>", b"value", b"  ", b"x=1", b"\t", b"&amp;"]
    lines = []
    size = 0
    while size < 560 * 1024:
        if rng.randrange(300) == 0:
            line = b" " * rng.randrange(8) + b"<Author>someone</Author>"
        else:
            line = b" ".join(rng.choice(words) for _ in range(rng.randrange(30)))
        lines.append(line)
        size += len(line) + 1
    return b"\n".join(lines) + b"\n"


def call_counts(command, cwd, extra_options=(), prefix=()) -> dict:
    """How often each system call is made by |command|, from `strace -c`
    started by |prefix|."""
    with tempfile.NamedTemporaryFile(suffix=".strace") as out:
        subprocess.run(
            [*prefix, "strace", "-f", "-c", "-o", out.name, *extra_options,
             *command],
            cwd=cwd, capture_output=True, check=False, timeout=60)
        text = out.read().decode()
    counts = {}
    rows = False
    for line in text.splitlines():
        if line.startswith("-----"):
            if rows:
                break
            rows = True
            continue
        fields = line.split()
        # % time, seconds, usecs/call, calls, [errors,] syscall
        if rows and len(fields) >= 5:
            counts[fields[-1]] = int(fields[3])
    return counts


def profile(content: bytes, extra_options=()) -> dict:
    """call_counts() of one run on a fresh target holding |content|."""
    bench = Bench(content)
    try:
        bench.reset()
        return call_counts([bench.box.exe, TARGET], bench.box.elsewhere,
                           extra_options, bench.prefix)
    finally:
        bench.cleanup()


@dataclasses.dataclass
class Run:
    """What one traced run did and left behind."""
    label: str
    root: str  # the sandbox it ran in
    target: str
    returncode: int
    stderr: bytes
    log: str
    ino_before: int
    content: bytes | None  # None when the target is missing
    ino: int | None
    access: tuple | None  # as access() gives it
    leftovers: list
    leftover_contents: list  # of the leftovers; None for a directory

    @property
    def message(self) -> bytes:
        """Standard error with the sandbox's own directory left out, to
        compare runs in different sandboxes."""
        return self.stderr.replace(self.root.encode(), b"<sandbox>")

    @property
    def opened_target(self) -> bool:
        """Whether the process got as far as opening the target or its
        scratch file (whose name starts with the target's)."""
        path = re.escape(self.target)
        return re.search(rf'^\d+ +open(at)?\((AT_FDCWD, )?"{path}', self.log,
                         re.MULTILINE) is not None

    @property
    def injected(self) -> bool:
        return "(INJECTED)" in self.log

    @property
    def killed(self) -> bool:
        return "+++ killed by SIGKILL +++" in self.log

    def calls(self, syscall: str, injected: bool = False) -> int:
        """How often the log shows |syscall|, or a fault injected into it."""
        tail = r".*\(INJECTED\)$" if injected else ""
        return len(re.findall(rf"^\d+ +{re.escape(syscall)}\({tail}", self.log,
                              re.MULTILINE))

    def called(self, syscall: str, injected: bool = False) -> bool:
        return self.calls(syscall, injected) > 0

    @property
    def reported_success(self) -> bool:
        return self.returncode == 0 and not self.stderr


class LogListener:
    """Stands in for the system log daemon: a datagram socket (or, with
    |kind| SOCK_STREAM, a stream socket) that commands started through
    prefix() reach as /dev/log, in a mount namespace of their own
    (private_mounts() only), so that neither the machine's log nor another
    test listening at the real /dev/log is involved.  With |drain| it reads
    every record as it comes; without, it never reads, nor takes a stream
    connection, like a daemon that hangs."""

    def __init__(self, path: str, drain: bool = True, kind=socket.SOCK_DGRAM):
        self.path = path
        # What it has read, in order; from a stream, each record with the
        # NUL byte that ended it, and what came after the last NUL byte.
        self.records = []
        self.sock = socket.socket(socket.AF_UNIX, kind)
        self.sock.bind(path)
        if kind == socket.SOCK_STREAM:
            self.sock.listen(1)
        self.stop = threading.Event()
        self.thread = None
        if drain:
            self.sock.settimeout(0.1)
            work = self._drain if kind == socket.SOCK_DGRAM else self._drain_streams
            self.thread = threading.Thread(target=work, daemon=True)
            self.thread.start()
        # One namespace for all runs, held by a process that lives until its
        # input closes: entering it is much cheaper than making one per run.
        script = ('mount -t tmpfs tmpfs /dev && touch /dev/log && '
                  'mount --bind "$0" /dev/log && echo ready && exec cat')
        self.holder = subprocess.Popen(
            ["unshare", "--mount", "sh", "-c", script, path],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        if self.holder.stdout.readline() != b"ready\n":
            self.close()
            raise RuntimeError("cannot set up a private /dev/log")

    def _drain(self):
        while not self.stop.is_set():
            try:
                self.records.append(self.sock.recv(1 << 16))
            except TimeoutError:
                pass

    def _drain_streams(self):
        while not self.stop.is_set():
            try:
                conn, _ = self.sock.accept()
            except TimeoutError:
                continue
            with conn:
                rest = b""
                while data := conn.recv(1 << 16):
                    *ended, rest = (rest + data).split(b"\0")
                    self.records += [r + b"\0" for r in ended]
                if rest:
                    self.records.append(rest)

    def prefix(self, cwd: str) -> list:
        """What to put before a command to run it in |cwd| with this log.
        Entering a mount namespace puts a process at the namespace's real
        root; --root keeps it in the holder's, which a chroot changes."""
        holder = f"/proc/{self.holder.pid}"
        return ["nsenter", f"--mount={holder}/ns/mnt", f"--root={holder}/root",
                f"--wd={cwd}"]

    def close(self):
        self.holder.stdin.close()
        self.holder.wait(timeout=60)
        self.holder.stdout.close()
        self.stop.set()
        if self.thread:
            self.thread.join()
        self.sock.close()


class Bench:
    """A sandbox holding the binary and a fresh copy of the target before
    every run, and, when root, a log daemon of its own.  One worker uses it
    at a time."""

    def __init__(self, content: bytes):
        self.box = Sandbox()
        self.content = content
        self.target = self.box.path(TARGET)
        self.log = os.path.join(self.box.root, "strace.log")
        self.listener = None
        self.prefix = []
        if private_mounts():
            self.listener = LogListener(os.path.join(self.box.root, "log"))
            self.prefix = self.listener.prefix(self.box.elsewhere)

    def cleanup(self):
        if self.listener:
            self.listener.close()
        self.box.cleanup()

    def reset(self):
        for path in self.box.leftovers():
            os.unlink(path)
        if os.path.lexists(self.target):
            os.unlink(self.target)
        self.box.write(TARGET, self.content, TARGET_MODE)
        os.chown(self.target, -1, TARGET_GROUP)
        for name, value in TARGET_XATTRS.items():
            os.setxattr(self.target, name, value)

    def state(self):
        """The target's content, inode and access(); Nones when missing."""
        try:
            with open(self.target, "rb") as f:
                return (f.read(), os.fstat(f.fileno()).st_ino,
                        access(self.target))
        except FileNotFoundError:
            return None, None, None

    def traced(self, label: str, trace: set, options: list) -> Run:
        """Runs the tool under strace on a fresh target.  |trace| names the
        calls to log besides those that take a file name; |options| are the
        -e inject=... options."""
        self.reset()
        ino_before = os.stat(self.target).st_ino
        calls = ",".join(sorted(set(trace) | {"%file"}))
        cmd = ["strace", "-f", "-o", self.log, "-e", f"trace={calls}"]
        for option in options:
            cmd += ["-e", option]
        r = subprocess.run(self.prefix + cmd + [self.box.exe, TARGET],
                           cwd=self.box.elsewhere, capture_output=True,
                           timeout=60)
        with open(self.log, errors="replace") as f:
            log = f.read()
        content, ino, target_access = self.state()
        leftovers = self.box.leftovers()
        return Run(label, self.box.root, self.target, r.returncode, r.stderr,
                   log, ino_before, content, ino, target_access, leftovers,
                   [read_file(p) for p in leftovers])

    def plain(self):
        """Runs the tool without strace on whatever the target holds now."""
        r = subprocess.run(self.prefix + [self.box.exe, TARGET],
                           cwd=self.box.elsewhere, capture_output=True,
                           timeout=60)
        content, _, target_access = self.state()
        return r, content, target_access, self.box.leftovers()


def run_on_benches(content: bytes, jobs, work):
    """Calls |work(bench, job)| for every job, on as many benches at once as
    there are processors; returns the results in the order of |jobs|."""
    workers = max(2, min(os.cpu_count() or 2, 8))
    benches = queue.Queue()
    made = [Bench(content) for _ in range(workers)]
    for b in made:
        benches.put(b)

    def one(job):
        bench = benches.get()
        try:
            return work(bench, job)
        finally:
            benches.put(bench)

    try:
        with concurrent.futures.ThreadPoolExecutor(workers) as pool:
            return list(pool.map(one, jobs))
    finally:
        for b in made:
            b.cleanup()


def describe(content, old: bytes, new: bytes) -> str:
    """Names what a target holds, for messages."""
    if content is None:
        return "target missing"
    if content == old:
        return "old content"
    if content == new:
        return "new content"
    return (f"{len(content)} bytes, neither old ({len(old)} bytes, first "
            f"difference at {first_difference(content, old)}) nor new "
            f"({len(new)} bytes, first difference at "
            f"{first_difference(content, new)})")


def first_difference(a: bytes, b: bytes) -> int:
    n = min(len(a), len(b))
    for i in range(0, n, 4096):
        if a[i:i + 4096] != b[i:i + 4096]:
            return next(j for j in range(i, min(i + 4096, n)) if a[j] != b[j])
    return n


def bytes_lost(content, reference: bytes) -> int:
    """How many bytes of |reference| a target holding |content| lacks, counted
    from the first byte that differs."""
    if content == reference:
        return 0
    if content is None:
        return len(reference)
    return len(reference) - first_difference(content, reference)
