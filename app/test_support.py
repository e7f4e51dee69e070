"""Shared pieces of the end-to-end tests: a scratch directory holding a copy
of the real binary, ways to run it as another user or with a chosen account
name, and an independent model of what a run must make of a file."""

import os
import shutil
import subprocess
import tempfile
import unittest

BINARY = None  # the built authorstamp, set by each test program from argv


def expected_rewrite(content: bytes, user: bytes) -> bytes:
    """What a run makes of |content|: every line ends with CR LF, and a line
    holding <Author> is cut behind it and completed with |user|."""
    pieces = content.split(b"\n")
    # Every piece but the last ended at an LF, which may have had a CR.
    lines = [p[:-1] if p.endswith(b"\r") else p for p in pieces[:-1]]
    if pieces[-1]:
        lines.append(pieces[-1])
    out = []
    for line in lines:
        at = line.find(b"<Author>")
        if at >= 0:
            line = line[: at + 8] + user + b"</Author>"
        out.append(line + b"\r\n")
    return b"".join(out)


def is_root() -> bool:
    return os.geteuid() == 0


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
        self.exe = os.path.join(self.dir, "authorstamp")
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
        """Scratch files anywhere in the sandbox."""
        found = []
        for top, _, files in os.walk(self.root):
            found += [os.path.join(top, f) for f in files if f.endswith("New")]
        return found

    def command(self, *args, uid=None, account=None, host="build01"):
        """The command line that runs the binary with |args|.  With |uid| it
        runs as that user; with |account| the user's account entry names
        |account| and the host is called |host| (needs root: a private
        mount and host-name namespace)."""
        cmd = [self.exe, *args]
        if uid is not None:
            cmd = ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups"] + cmd
        if account is not None:
            passwd = os.path.join(self.root, "passwd")
            owner = os.getuid() if uid is None else uid
            with open(passwd, "w") as f:
                f.write(f"{account}:x:{owner}:{owner}::/:/bin/sh\n")
            os.chmod(passwd, 0o644)
            script = 'mount --bind "$0" /etc/passwd && hostname "$1" && shift && exec "$@"'
            cmd = ["unshare", "--mount", "--uts", "sh", "-c", script, passwd, host] + cmd
        return cmd

    def run(self, *args, uid=None, account=None, host="build01", **kwargs):
        kwargs.setdefault("timeout", 60)
        return subprocess.run(
            self.command(*args, uid=uid, account=account, host=host),
            cwd=self.elsewhere,
            capture_output=True,
            **kwargs,
        )


def main():
    """Runs the unittest cases of the calling module; argv[1] is the binary."""
    import sys

    global BINARY
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main(module="__main__", verbosity=2)
