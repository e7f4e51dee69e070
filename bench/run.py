#!/usr/bin/env python3
"""Times authorstamp against the floor of its own work and GNU sed.

The floor is a durable atomic replace with the bytes authorstamp writes: a
copy of them into a new file in user space (dd bs=128K conv=fsync), renamed
over the target, then the directory flushed.  Generates five inputs in a scratch directory, runs
every command on a fresh copy of each input, round after round, and prints
one table of medians, peak memory and the per-round ratios the tool's goals
are stated in, then the time per run on a small file.  See
docs/benchmark.md.  Takes a few minutes; not part of the test suite.
"""

import argparse
import mmap
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))
from support import running_user_name  # noqa: E402  (the name the tool writes)

MIB = 1 << 20
GNU_TIME = "/usr/bin/time"
TAGGED_LINE = "<Author>old</Author>"

# The goals, as medians of per-round ratios of wall-clock times and as peak
# memory.  authorstamp / the replace floor at most this; where the storage
# is fast (tmpfs) the rewrite's own time shows, and these bound it.
GOAL_VS_FLOOR = {"xml": 1.2, "lines": 1.4}
GOAL_VS_FLOOR_OTHERS = 1.3
GOAL_MEMORY_MIB = 16.0    # authorstamp's peak memory below this, every input


# --- Inputs ------------------------------------------------------------------
#
# Each generator writes large blocks; building a block costs far more than
# writing it, so a few distinct blocks are built and then cycled.

WORDS = ("alpha beta gamma delta release debug build module library setup "
         "installer component feature registry service shortcut folder file "
         "value default product version update patch company").split()


def _xml_line(rng):
    """One element line of a project or installer description."""
    indent = " " * rng.choice((2, 4, 4, 6, 6, 8, 10))
    words = " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 6)))
    n = rng.randint(0, 9999)
    kind = rng.randrange(9)
    if kind == 0:
        return f'{indent}<Component Id="cmp{n:04d}" Guid="{rng.getrandbits(128):032X}">'
    if kind == 1:
        return f"{indent}</Component>"
    if kind == 2:
        return f'{indent}<File Source="src\\{rng.choice(WORDS)}\\file_{n:04d}.dll" KeyPath="yes" />'
    if kind == 3:
        return f"{indent}<Version>1.{n % 10}.{n % 7}.{n}</Version>"
    if kind == 4:
        return f"{indent}<Description>{words}</Description>"
    if kind == 5:
        return f"{indent}<!-- {words} -->"
    if kind == 6:
        return f'{indent}<Property Id="{rng.choice(WORDS).upper()}_{n}" Value="{words}" />'
    if kind == 7:
        return f"{indent}<Title>{words.title()}</Title>"
    return ""  # blank lines occur in real files too


def _xml_block(rng, size, head=""):
    """|size| bytes of LF-ended lines, about one in fifty tagged."""
    lines = [head] if head else []
    used = len(head)
    while True:
        if rng.randrange(50) == 0:
            line = " " * rng.choice((4, 6, 8)) + TAGGED_LINE + "\n"
        else:
            line = _xml_line(rng) + "\n"
        if used + len(line) > size - 120:
            break
        lines.append(line)
        used += len(line)
    # A whitespace-only line pads the block to its exact size.
    lines.append(" " * (size - used - 1) + "\n")
    data = "".join(lines).encode("ascii")
    assert len(data) == size
    return data


def make_xml(path, size):
    rng = random.Random(1)
    head = '<?xml version="1.0" encoding="utf-8"?>\n<Setup>\n'
    first = _xml_block(rng, MIB, head)
    rest = [_xml_block(rng, MIB) for _ in range(7)]
    with open(path, "wb") as f:
        f.write(first[:size])
        for i, start in enumerate(range(MIB, size, MIB)):
            f.write(rest[i % len(rest)][: size - start])


def make_one_byte_lines(path, size):
    block = b"x\n" * (8 * MIB // 2)
    with open(path, "wb") as f:
        for start in range(0, size, len(block)):
            f.write(block[: size - start])


def make_single_line(path, size):
    """Minified XML: one line with no line end but the last byte.

    The tag sits 4 KiB before the end, so nearly every byte must be copied
    and the text before the tag is far longer than any buffer."""
    rng = random.Random(2)
    items = []
    used = 0
    while used < MIB:
        item = _xml_line(rng).strip()
        items.append(item)
        used += len(item)
    block = "".join(items).encode("ascii")[:MIB]
    tail = block[: 4 * 1024 - len(TAGGED_LINE) - 1]
    body = size - len(TAGGED_LINE) - len(tail) - 1
    with open(path, "wb") as f:
        for start in range(0, body, len(block)):
            f.write(block[: body - start])
        f.write(TAGGED_LINE.encode("ascii") + tail + b"\n")


def make_utf16_xml(path, size):
    """The XML-like lines as UTF-16 LE after a byte-order mark, as Windows
    PowerShell and .reg exports write them."""
    rng = random.Random(4)
    head = '<?xml version="1.0" encoding="utf-16"?>\n<Setup>\n'
    half = MIB // 2  # characters of a 1 MiB block
    first = "\ufeff".encode("utf-16-le") + _xml_block(
        rng, half - 1, head).decode("ascii").encode("utf-16-le")
    rest = [_xml_block(rng, half).decode("ascii").encode("utf-16-le")
            for _ in range(7)]
    with open(path, "wb") as f:
        f.write(first[:size])
        for i, start in enumerate(range(MIB, size, MIB)):
            f.write(rest[i % len(rest)][: size - start])


def make_utf16_line(path, size):
    """The single line as UTF-16 LE after a byte-order mark: the tag 4 Ki
    characters before its end."""
    ascii_path = path.with_name(path.name + ".ascii")
    make_single_line(ascii_path, size // 2 - 1)
    with open(ascii_path, "rb") as src, open(path, "wb") as f:
        f.write("\ufeff".encode("utf-16-le"))
        while chunk := src.read(8 * MIB):
            f.write(chunk.decode("ascii").encode("utf-16-le"))
    ascii_path.unlink()


# name, description, size in MiB, generator, sed / authorstamp goal
INPUTS = [
    ("xml", "XML-like lines, 1 in 50 tagged", 1024, make_xml, 4.0),
    ("lines", 'one-byte lines ("x\\n")', 64, make_one_byte_lines, 10.0),
    ("line", "a single line, tag 4 KiB before its end", 256, make_single_line, None),
    ("utf16", "XML-like lines in UTF-16 LE, 1 in 50 tagged (sed: iconv to "
     "UTF-8, sed -i, iconv back)", 64, make_utf16_xml, 4.0),
    ("utf16-line", "a single line in UTF-16 LE, tag 4 Ki characters before "
     "its end (sed: as above)", 64, make_utf16_line, None),
]
UTF16_INPUTS = {"utf16", "utf16-line"}


# --- The commands -------------------------------------------------------------

def sed_program(user):
    """The issue's sed job, with the name of the user who runs it."""
    escaped = user.replace("\\", "\\\\").replace("&", "\\&").replace("|", "\\|")
    return ["s/\\r$//",
            "s|\\(<Author>\\).*|\\1" + escaped + "</Author>|",
            "s/$/\\r/",
            "$a\\"]


class Layout:
    """The files of one timed run, all in the run directory."""

    def __init__(self, run_dir, stamped):
        self.dir = run_dir
        self.stamped = stamped  # the bytes authorstamp writes, for the floor
        self.tool = run_dir / "authorstamp"
        self.target = run_dir / "target"
        self.scratch = run_dir / "targetNew"  # the tool's own scratch name
        self.copy = run_dir / "copy"
        self.utf8 = run_dir / "utf8"  # the UTF-16 input, converted for sed
        self.temporaries = (self.target, self.scratch, self.copy, self.utf8)

    def commands(self, user, utf16=False):
        t = str(self.target)
        sed = ['sed -i -e "$1" -e "$2" -e "$3" -e "$4" -- "$5" && sync -- "$5"',
               "sh", *sed_program(user), t]
        if utf16:
            # sed cannot read UTF-16: convert to UTF-8 and back, which
            # drops the byte-order mark, so it is put back by hand.
            sed = ['iconv -f UTF-16 -t UTF-8 -- "$5" >"$6" && '
                   'sed -i -e "$1" -e "$2" -e "$3" -e "$4" -- "$6" && '
                   '{ printf "\\377\\376" && iconv -f UTF-8 -t UTF-16LE -- "$6"; } '
                   '>"$7" && rm -f -- "$6" && mv -f -- "$7" "$5" && sync -- "$5"',
                   "sh", *sed_program(user), t, str(self.utf8), str(self.copy)]
        return {
            "dd": ["dd", f"if={t}", f"of={self.copy}", "bs=1M",
                   "conv=fsync", "status=none"],
            # What any tool that replaces the file durably and atomically
            # with these bytes must do at the least.
            "floor": ["sh", "-c",
                      'dd if="$1" of="$2" bs=128K conv=fsync status=none '
                      '&& mv -f -- "$2" "$3" && sync -- "$4"',
                      "sh", str(self.stamped), str(self.copy), t,
                      str(self.dir)],
            # The tool finds its argument beside itself.
            "authorstamp": [str(self.tool), self.target.name],
            "sed": ["sh", "-c", *sed],
        }


COMMANDS = ("dd", "floor", "authorstamp", "sed")
COMMAND_TITLES = {"dd": "dd bs=1M conv=fsync", "floor": "replace floor",
                  "authorstamp": "authorstamp", "sed": "sed -i + sync FILE"}


CACHE_MODES = {
    "warm": "before every run of every command: a fresh copy of the input, "
            "sync(1), the page cache dropped (echo 3 > "
            "/proc/sys/vm/drop_caches) and the input read back once, so every "
            "command finds its input whole in the page cache, nothing dirty "
            "and the same free memory, then 4 GiB or four times the input's "
            "size of memory written and freed, so that the host backs it; its "
            "time includes making its output durable",
    "cold": "before every run of every command: a fresh copy of the input, "
            "sync(1), the page cache dropped and memory written and freed as "
            "for warm, so every command reads its input from disk; its time "
            "includes making its output durable",
    "as-copied": "before every run of every command: a fresh copy of the "
                 "input and sync(1), nothing dropped, so every command finds "
                 "its input in the page cache as the copy left it (memory "
                 "left over from earlier runs varies, and with it the "
                 "kernel's cost of copying); its time includes making its "
                 "output durable",
}


def can_drop_caches():
    return os.access("/proc/sys/vm/drop_caches", os.W_OK)


def prepare(layout, source, cache):
    """Puts a fresh copy of |source| in place and gets the disk quiet.  The
    floor's input, the stamped bytes, is cached like the target."""
    for p in layout.temporaries:
        p.unlink(missing_ok=True)
    shutil.copyfile(source, layout.target)
    # Whatever is still dirty (the fresh copy, the last run's deletions) goes
    # to disk now, so no run pays for the one before it.
    os.sync()
    if cache == "as-copied":
        return
    # What the runs before left in memory changes what the kernel's copies
    # cost by as much as the tool itself does; start every run alike.
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")
    if cache == "warm":
        for path in (layout.target, layout.stamped):
            with open(path, "rb", buffering=0) as f:
                while f.read(8 * MIB):
                    pass
    pretouch(max(4 * source.stat().st_size, 4096 * MIB))


def pretouch(size):
    """Writes to |size| bytes of fresh memory and frees them again.

    On a virtual machine whose host takes back the guest's free memory
    (virtio-balloon free page reporting), the page cache that a command
    fills costs it a host page fault per page until that memory is in use
    again; which command pays depends on luck: dd's time for 1 GiB varied
    from 0.8 s to 2.8 s.  Touching the memory just before the run hands
    every command memory the host has backed.  Twice what the command
    needed was not always enough; 4 GiB or four times the input was."""
    avail = os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    size = min(size, avail // 2)
    if size < MIB:
        return
    chunk = b"\1" * (64 * MIB)
    with mmap.mmap(-1, size) as m:
        for start in range(0, size, len(chunk)):
            m.write(chunk[: size - start])


def timed(argv, stats_file):
    """Runs |argv| under GNU time: wall seconds, CPU seconds, peak KiB."""
    env = dict(os.environ, LC_ALL="C")
    start = time.perf_counter()
    proc = subprocess.run([GNU_TIME, "-f", "%M %U %S", "-o", str(stats_file),
                           *argv], env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    if proc.returncode != 0 or proc.stderr:
        sys.exit(f"bench: {argv[0]} failed (exit {proc.returncode}): "
                 f"{proc.stderr.decode(errors='replace').strip()}")
    rss_kib, user, system = stats_file.read_text().split()[-3:]
    return wall, float(user) + float(system), int(rss_kib)


def same_bytes(a, b):
    return subprocess.run(["cmp", "-s", str(a), str(b)]).returncode == 0


def stamp_once(layout, source):
    """Runs authorstamp once, untimed, on a copy of |source|: its output is
    what the floor writes and what sed must give."""
    for p in layout.temporaries:
        p.unlink(missing_ok=True)
    shutil.copyfile(source, layout.target)
    proc = subprocess.run([str(layout.tool), layout.target.name],
                          stdin=subprocess.DEVNULL, capture_output=True)
    if proc.returncode != 0 or proc.stderr:
        sys.exit(f"bench: authorstamp failed (exit {proc.returncode}): "
                 f"{proc.stderr.decode(errors='replace').strip()}")
    os.replace(layout.target, layout.stamped)
    if same_bytes(layout.stamped, source):
        sys.exit("bench: authorstamp left the input unchanged")


def bench_input(layout, source, runs, user, cache, utf16):
    """Times every command |runs| times, the commands taking turns.  In the
    first round, the results of authorstamp, sed and the floor are checked
    against the bytes of an untimed run of authorstamp."""
    stamp_once(layout, source)
    results = {c: [] for c in COMMANDS}
    same = None
    for i in range(runs):
        # Each round starts one command later, so that no command always
        # follows the same one: what a run leaves behind (free space to
        # allocate from, blocks still to discard) differs by command.
        for name in COMMANDS[i % len(COMMANDS):] + COMMANDS[:i % len(COMMANDS)]:
            prepare(layout, source, cache)
            argv = layout.commands(user, utf16)[name]
            results[name].append(timed(argv, layout.dir / "time.out"))
            if i == 0 and name == "sed":
                same = same_bytes(layout.stamped, layout.target)
            elif i == 0 and name != "dd" and not same_bytes(layout.stamped,
                                                            layout.target):
                sys.exit(f"bench: {name} wrote other bytes than authorstamp "
                         "did in its first run")
            print(f"  run {i + 1}/{runs} {name:12} "
                  f"{results[name][-1][0]:7.2f} s", file=sys.stderr)
    for p in (*layout.temporaries, layout.stamped):
        p.unlink(missing_ok=True)
    return results, same


def bench_small_file(layout, runs, user):
    """The time per run on a 2 KB file: start-up and the replace dominate.
    Every command runs |runs| times, in turns, on the file it left; a second
    run of either tool rewrites the file again all the same."""
    rng = random.Random(3)
    layout.target.write_bytes(
        _xml_block(rng, 2048, "<Setup>\n    " + TAGGED_LINE + "\n"))
    argv = {"authorstamp": layout.commands(user)["authorstamp"],
            "sed": ["sed", "-i", *(a for e in sed_program(user)
                                   for a in ("-e", e)), "--",
                    str(layout.target)],
            "sed+sync": layout.commands(user)["sed"]}
    times = {name: [] for name in argv}
    env = dict(os.environ, LC_ALL="C")
    for _ in range(runs):
        for name, command in argv.items():
            start = time.perf_counter()
            proc = subprocess.run(command, env=env, stdin=subprocess.DEVNULL,
                                  capture_output=True)
            times[name].append(time.perf_counter() - start)
            if proc.returncode != 0 or proc.stderr:
                sys.exit(f"bench: {name} failed on the small file: "
                         f"{proc.stderr.decode(errors='replace').strip()}")
    layout.target.unlink()
    return {name: statistics.median(t) for name, t in times.items()}


# --- Report ---------------------------------------------------------------------

def summary(samples):
    walls = [s[0] for s in samples]
    return {"wall": statistics.median(walls), "min": min(walls),
            "max": max(walls),
            "cpu": statistics.median(s[1] for s in samples),
            "rss": max(s[2] for s in samples) / 1024}


def round_ratios(res, a, b):
    """|a|'s time over |b|'s in each round, and their median."""
    ratios = [x[0] / y[0] for x, y in zip(res[a], res[b])]
    return ratios, statistics.median(ratios)


def verdict(ok):
    return "met" if ok else "**missed**"


def report(rows, small, args, user, tool, loads):
    out = []
    say = out.append
    say(f"authorstamp benchmark: median of {args.runs} rounds; the ratios are "
        "medians of the ratios within each round; peak memory is the largest "
        "max RSS of the runs.")
    say("")
    say("| input | size | " + " | ".join(COMMAND_TITLES[c] for c in COMMANDS)
        + " | authorstamp / floor | sed / authorstamp |")
    say("|---|---:|" + "---:|" * (len(COMMANDS) + 2))
    goals = []
    details = []
    for key, desc, size, _, sed_goal, res, same in rows:
        s = {c: summary(res[c]) for c in COMMANDS}
        floor_ratios, vs_floor = round_ratios(res, "authorstamp", "floor")
        sed_ratios, vs_sed = round_ratios(res, "sed", "authorstamp")
        cells = [f"{s[c]['wall']:.2f} s, {s[c]['rss']:.1f} MiB"
                 for c in COMMANDS]
        sed_cell = f"{vs_sed:.1f}x"
        if sed_goal:
            sed_cell += f" (goal ≥ {sed_goal:g}x: {verdict(vs_sed >= sed_goal)})"
        floor_goal = GOAL_VS_FLOOR.get(key, GOAL_VS_FLOOR_OTHERS)
        say(f"| {desc} | {size} MiB | " + " | ".join(cells)
            + f" | {vs_floor:.2f}x (goal ≤ {floor_goal}x: "
            f"{verdict(vs_floor <= floor_goal)}) | {sed_cell} |")
        goals.append((f"{desc}: authorstamp / replace floor ≤ {floor_goal}x",
                      f"{vs_floor:.2f}x", vs_floor <= floor_goal))
        if sed_goal:
            goals.append((f"{desc}: sed / authorstamp ≥ {sed_goal:g}x",
                          f"{vs_sed:.1f}x", vs_sed >= sed_goal))
        rss = s["authorstamp"]["rss"]
        goals.append((f"{desc}: authorstamp peak memory < "
                      f"{GOAL_MEMORY_MIB:g} MiB", f"{rss:.1f} MiB",
                      rss < GOAL_MEMORY_MIB))
        goals.append((f"{desc}: sed gives the same bytes as authorstamp",
                      "same" if same else "DIFFERENT", same))
        details.append((desc, s, floor_ratios, sed_ratios))
    if small:
        say("")
        say(f"Time per run on a 2 KB file, median of {args.small_runs} runs "
            "each (start-up, the rewrite and the replace):")
        say("")
        say("| input | authorstamp | sed -i | sed -i + sync FILE |")
        say("|---|---:|---:|---:|")
        say(f"| 2 KB XML-like lines | {small['authorstamp'] * 1000:.2f} ms | "
            f"{small['sed'] * 1000:.2f} ms | {small['sed+sync'] * 1000:.2f} ms |")
    say("")
    say("Goals:")
    say("")
    for text, value, ok in goals:
        say(f"- {text}: {value}, {verdict(ok)}")
    say("")
    say("Spread and CPU time (user + system) of the same runs, and the ratios "
        "round by round:")
    say("")
    say("| input | command | median | min – max | CPU | peak memory |")
    say("|---|---|---:|---:|---:|---:|")
    for desc, s, floor_ratios, sed_ratios in details:
        for c in COMMANDS:
            say(f"| {desc} | {COMMAND_TITLES[c]} | {s[c]['wall']:.2f} s | "
                f"{s[c]['min']:.2f} – {s[c]['max']:.2f} s | "
                f"{s[c]['cpu']:.2f} s | {s[c]['rss']:.1f} MiB |")
        for name, ratios in (("authorstamp / floor", floor_ratios),
                             ("sed / authorstamp", sed_ratios)):
            say(f"| {desc} | {name}, by round | "
                + ", ".join(f"{r:.2f}x" for r in ratios) + " | | | |")
    say("")
    say(f"Caching ({args.cache}): {CACHE_MODES[args.cache]}.")
    say(f"Machine: {cpu_model()}, {os.cpu_count()} cores, "
        f"Linux {platform.release()}, scratch on {filesystem(args.scratch)}; "
        f"{sed_version()}; sed runs with LC_ALL=C; load average "
        f"{loads[0]:.2f} before, {loads[1]:.2f} after.")
    say(f"authorstamp: {tool} ({tool_version(tool)}); it stamps "
        f"{user}; system log "
        f"{'listening (stamped lines are logged)' if os.path.exists('/dev/log') else 'absent (no trace records)'}.")
    return "\n".join(out)


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def filesystem(path):
    proc = subprocess.run(["findmnt", "-n", "-o", "FSTYPE,SOURCE", "-T",
                           str(path)], capture_output=True, text=True)
    # A directory mounted over more than once: the last mount is the one seen.
    lines = proc.stdout.splitlines()
    return " ".join(lines[-1].split()) if lines else "unknown"


def sed_version():
    proc = subprocess.run(["sed", "--version"], capture_output=True, text=True)
    return proc.stdout.splitlines()[0] if proc.stdout else "sed"


def tool_version(tool):
    proc = subprocess.run([str(tool), "--version"], capture_output=True,
                          text=True)
    return proc.stdout.strip()


# --- Main ---------------------------------------------------------------------

def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--runs", type=int, default=5,
                   help="timed runs of each command on each input (default 5)")
    p.add_argument("--scratch", type=Path,
                   default=Path(os.environ.get("TMPDIR") or "/tmp"),
                   help="directory to create the working directory in "
                        "(default $TMPDIR or /tmp); never inside the repository")
    p.add_argument("--authorstamp", type=Path,
                   default=REPO / "build" / "release" / "authorstamp",
                   help="the tool to time (default build/release/authorstamp)")
    p.add_argument("--inputs", default=",".join(i[0] for i in INPUTS),
                   help="comma-separated subset of: "
                        + ", ".join(i[0] for i in INPUTS))
    p.add_argument("--scale", type=float, default=1.0,
                   help="multiply every input size, for a quick trial "
                        "(the goals hold for the full sizes)")
    p.add_argument("--cache", choices=sorted(CACHE_MODES), default="warm",
                   help="how every run starts: warm (input cached, rest "
                        "dropped; the default), cold (nothing cached) or "
                        "as-copied (nothing dropped); warm and cold need "
                        "root and fall back to as-copied without it")
    p.add_argument("--small-runs", type=int, default=200,
                   help="runs of each command on the 2 KB file (default "
                        "200; 0 leaves the small file out)")
    p.add_argument("--keep", action="store_true",
                   help="keep the working directory")
    p.add_argument("--output", type=Path,
                   help="also write the report to this file")
    return p.parse_args()


def main():
    args = parse_args()
    tool = args.authorstamp.resolve()
    if not tool.is_file():
        sys.exit(f"bench: no {tool}; build it first: "
                 "cmake --workflow --preset test")
    for prog in (GNU_TIME, "dd", "sed", "sync", "cmp", "iconv"):
        if not shutil.which(prog):
            sys.exit(f"bench: {prog} is missing (GNU time: apt-get install time)")
    chosen = args.inputs.split(",")
    unknown = set(chosen) - {i[0] for i in INPUTS}
    if unknown or args.runs < 1:
        sys.exit(f"bench: bad --inputs or --runs: {', '.join(unknown)}")

    if args.cache != "as-copied" and not can_drop_caches():
        print("bench: cannot drop the page cache (not root): --cache "
              "as-copied", file=sys.stderr)
        args.cache = "as-copied"

    scratch = args.scratch.resolve()
    if scratch == REPO or REPO in scratch.parents:
        sys.exit(f"bench: {scratch} is inside the repository; choose another")
    scratch.mkdir(parents=True, exist_ok=True)
    largest = max(i[2] for i in INPUTS if i[0] in chosen) * args.scale * MIB
    need = 6 * largest + sum(i[2] for i in INPUTS) * args.scale * MIB
    if shutil.disk_usage(scratch).free < need:
        sys.exit(f"bench: {scratch} needs {need / 2**30:.1f} GiB free")

    loads = [os.getloadavg()[0]]
    if loads[0] > 1.0:
        print(f"bench: load average {loads[0]:.2f}: other work on this "
              "machine will show in the figures", file=sys.stderr)
    work = Path(tempfile.mkdtemp(prefix="authorstamp-bench-", dir=scratch))
    try:
        layout = Layout(work / "run", work / "stamped")
        layout.dir.mkdir()
        shutil.copy2(tool, layout.tool)
        user = running_user_name().decode()
        rows = []
        for key, desc, size, make, sed_goal in INPUTS:
            if key not in chosen:
                continue
            size = max(1, round(size * args.scale))
            source = work / f"input-{key}"
            start = time.perf_counter()
            make(source, size * MIB)
            print(f"{desc}: generated {size} MiB in "
                  f"{time.perf_counter() - start:.1f} s", file=sys.stderr)
            res, same = bench_input(layout, source, args.runs, user,
                                    args.cache, key in UTF16_INPUTS)
            source.unlink()
            rows.append((key, desc, size, make, sed_goal, res, same))
        small = None
        if args.small_runs > 0:
            print(f"2 KB file: {args.small_runs} runs of each command",
                  file=sys.stderr)
            small = bench_small_file(layout, args.small_runs, user)
        loads.append(os.getloadavg()[0])
        text = report(rows, small, args, user, tool, loads)
    finally:
        if args.keep:
            print(f"bench: kept {work}", file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)
    print(text)
    if args.output:
        args.output.write_text(text + "\n")
    # Missed goals are findings, not failures; different bytes are a fault.
    return 0 if all(row[-1] for row in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
