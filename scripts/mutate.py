"""Plants faults in a copy of the sources one at a time, rebuilds the module
incrementally, and runs the suite with -x against each build. Prints each
fault as file:line with its diff, killed / survived / crashed per fault,
and the kill rate.

    .venv/bin/python scripts/mutate.py [--seed S] [-n N] [SELECT ...]
    .venv/bin/python scripts/mutate.py --list [SELECT ...]

By default the faults are drawn mechanically from the C++ sources
(scripts/faults.py: seed 1, N 120); --list plants instead the hand-written
faults of scripts/mutants.py, the supplement. SELECT keeps the faults whose
id starts with one of the given prefixes (`streaming/lines.cpp:17`,
`streaming/`, or a mutant id of the list).

Everything happens under build/mutate/: the working tree's sources and
tests are copied to build/mutate/tree (only what changed is copied again),
the faults are planted there, and the module is built in build/mutate/build
with the checked builds' checks (RESPONSES_API_CHECKED, optimised), so that
the tests reading the framing counters run too. The working tree, and every
other build, is never touched: a run can go on while the sources are edited.

The unmutated suite runs first: it must pass, and it sets the time limit
of each run (three times its duration, at least two minutes, unless
--timeout is given). A fault counts as killed when a test fails, crashed
when the run dies of a signal, times out or cannot import the module (the
suite did not pass either way), survived when the suite passes, and no-build
when it does not compile or its line is not where it was (neither is a
fault of the module). A fault listed as equivalent (scripts/equivalent-faults.txt
for the drawn ones, `equivalent` in scripts/mutants.py) is still run and
reported; it leaves the kill rate's denominator when it survives.
"""
import argparse
import datetime
import fcntl
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))

import faults as drawn  # noqa: E402
from mutants import MUTANTS  # noqa: E402

WORK = ROOT / "build" / "mutate"
TREE = WORK / "tree"
BUILD = WORK / "build"
STAGE = WORK / "stage"
VENV = ROOT / ".venv" / "bin"
SOURCES = TREE / "src" / "responses_api"
# Fast, broad files first, so that most faults stop the run early; then
# the rest of the suite in its usual order.
FIRST = ["tests/test_payload.py", "tests/test_messages.py", "tests/test_content.py", "tests/test_tools.py",
         "tests/test_response.py", "tests/test_surface.py", "tests/test_getters.py", "tests/test_json_encoding.py",
         "tests/streaming/test_reader.py", "tests/streaming/test_events.py",
         "tests/streaming/test_json_decoding.py", "tests/streaming/test_http.py",
         "tests/streaming/test_lifecycle.py", "tests/test_generator_protocol.py"]
# The tests that each pin one guard run last: a fault they alone catch
# then shows as killed there, after the rest of the suite passed.
LAST = ["tests/test_pinned_behaviours.py"]


# ------------------------------------------------------------ the faults

class Planted:
    """One fault: where it goes, how it reads, how to plant it."""

    def __init__(self, id, file, plant, diff, equivalent):
        self.id, self.file, self.plant, self.diff, self.equivalent = id, file, plant, diff, equivalent


def from_draw(fault, equivalents):
    def plant(text):
        lines = text.split("\n")
        if len(lines) < fault.line or lines[fault.line - 1] != fault.original:
            return None, "the line is no longer where it was drawn"
        lines[fault.line - 1] = fault.mutated
        return "\n".join(lines), None
    diff = [f"- {fault.original.strip()}", f"+ {fault.mutated.strip()}"]
    return Planted(f"{fault.id} {fault.operator}", fault.file, plant, diff, drawn.equivalence(equivalents, fault))


def from_list(m):
    def plant(text):
        if text.count(m.original) != 1:
            return None, f"snippet found {text.count(m.original)} times"
        return text.replace(m.original, m.replacement), None
    diff = [f"  {m.description}"] + [f"- {ln.strip()}" for ln in m.original.strip("\n").split("\n")] \
        + [f"+ {ln.strip()}" for ln in m.replacement.strip("\n").split("\n") if ln.strip()]
    return Planted(m.id, m.file, plant, diff, m.equivalent)


# ------------------------------------------------------------ the copy, the build

def tool(name):
    path = VENV / name
    return str(path) if path.exists() else name


def working_files():
    """The working tree's files as git sees them: tracked, and untracked but
    not ignored (new tests not yet committed count)."""
    out = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                         capture_output=True, check=True).stdout
    return sorted({p for p in out.decode().split("\0") if p and (ROOT / p).is_file()})


def sync_tree():
    """Makes build/mutate/tree a copy of the working tree; files that did
    not change keep their time stamps, so the build stays incremental."""
    wanted = set(working_files())
    for rel in wanted:
        src, dst = ROOT / rel, TREE / rel
        if dst.exists() and dst.read_bytes() == src.read_bytes():
            continue
        dst.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(src, dst)
    if TREE.exists():
        for path in TREE.rglob("*"):
            rel = str(path.relative_to(TREE))
            if path.is_file() and rel not in wanted and "__pycache__" not in path.parts and \
                    not rel.startswith(".hypothesis"):
                path.unlink()


def build():
    """Configures once, then rebuilds what changed; stages the module.
    The compiler's last lines when it fails, else None."""
    if not (BUILD / "build.ninja").exists():
        subprocess.run([tool("cmake"), "-S", str(TREE), "-B", str(BUILD), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DRESPONSES_API_CHECKED=ON",
                        f"-DPython_EXECUTABLE={VENV / 'python'}", f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}"],
                       check=True, stdout=subprocess.DEVNULL)
    proc = subprocess.run([tool("cmake"), "--build", str(BUILD)], capture_output=True, text=True)
    if proc.returncode != 0:
        return proc.stdout + proc.stderr
    (STAGE / "routes").mkdir(parents=True, exist_ok=True)
    for so in BUILD.glob("responses_api*.so"):
        shutil.copy2(so, STAGE / "routes" / so.name)
    shutil.copy2(TREE / "src" / "routes" / "responses_api.pyi", STAGE / "routes")
    return None


def env():
    e = dict(os.environ)
    e["PYTHONPATH"] = str(STAGE) + (os.pathsep + e["PYTHONPATH"] if e.get("PYTHONPATH") else "")
    e["PYTHONDONTWRITEBYTECODE"] = "1"
    e["RESPONSES_API_NATIVE_ONLY"] = "1"  # the twin's own runs cannot see a planted fault
    return e


def suite_order(tests):
    rest = sorted(str(p.relative_to(tests)) for p in tests.rglob("test_*.py"))
    first, last = ([f.removeprefix("tests/") for f in group if (tests / f.removeprefix("tests/")).exists()]
                   for group in (FIRST, LAST))
    return [str(tests / f) for f in first + [f for f in rest if f not in first + last] + last]


def run_suite(timeout, tests):
    cmd = [str(VENV / "python"), "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "-o", "addopts=",
           *suite_order(tests)]
    start = time.monotonic()
    proc = subprocess.Popen(cmd, cwd=TREE, env=env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        return "crashed", f"timeout after {timeout} s", timeout
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise
    secs = time.monotonic() - start
    if proc.returncode == 0:
        return "survived", f"{secs:.0f} s", secs
    if proc.returncode < 0 or proc.returncode > 128 or "Fatal Python error" in out:
        return "crashed", f"rc {proc.returncode}, {secs:.0f} s", secs
    if proc.returncode in (2, 4) and "ImportError" in out:
        return "crashed", "the module does not import", secs
    failed = [ln for ln in out.splitlines() if ln.startswith(("FAILED", "ERROR"))]
    return "killed", (failed[0][:150] if failed else f"rc {proc.returncode}") + f", {secs:.0f} s", secs


def interrupt(signum, frame):
    raise KeyboardInterrupt


def commit_of_tree():
    head = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True,
                          text=True).stdout.strip()
    dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"], cwd=ROOT,
                           capture_output=True, text=True).stdout.strip()
    return head + (" with uncommitted changes" if dirty else "")


def main():
    signal.signal(signal.SIGTERM, interrupt)
    ap = argparse.ArgumentParser()
    ap.add_argument("select", nargs="*", help="fault id prefixes (all by default)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("-n", type=int, default=120, help="how many faults to draw")
    ap.add_argument("--list", action="store_true", help="the hand-written faults of scripts/mutants.py instead")
    ap.add_argument("--timeout", type=int, default=0, help="seconds per suite run (default: from the first run)")
    args = ap.parse_args()

    # One run at a time: a second would plant its faults in the same copy.
    WORK.mkdir(parents=True, exist_ok=True)
    lock = open(WORK / "lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        sys.exit("another mutation run is using build/mutate")
    started = datetime.datetime.now()
    commit = commit_of_tree()
    sync_tree()
    if args.list:
        ids = [m.id for m in MUTANTS]
        dupes = {i for i in ids if ids.count(i) > 1}
        if dupes:
            sys.exit(f"duplicate mutant ids: {sorted(dupes)}")
        every = [from_list(m) for m in MUTANTS]
        what = f"the {len(MUTANTS)} faults of scripts/mutants.py"
    else:
        equivalents = drawn.read_equivalents()
        every = [from_draw(f, equivalents) for f in drawn.draw(args.seed, args.n, TREE)]
        what = f"seed {args.seed}, N {args.n}: faults drawn from the sources"
    chosen = [p for p in every if not args.select or any(p.id.startswith(s) for s in args.select)]
    # A header rebuilds every source that includes it: those faults last.
    chosen.sort(key=lambda p: p.file.endswith(".hpp"))

    error = build()
    if error:
        sys.exit("the unmutated source does not build:\n" + error)
    loaded = subprocess.run([str(VENV / "python"), "-c", "import routes.responses_api as m; print(m.__file__)"],
                            env=env(), capture_output=True, text=True).stdout.strip()
    if not loaded.startswith(str(STAGE)):
        sys.exit(f"expected the build/mutate module, got {loaded!r}")
    print(f"{what}; {len(chosen)} to run; sources at {commit}; {started:%Y-%m-%d %H:%M}", flush=True)
    print(f"suite against {loaded}", flush=True)
    status, note, secs = run_suite(args.timeout or 3600, TREE / "tests")
    if status != "survived":
        sys.exit(f"the unmutated suite does not pass: {status}, {note}")
    timeout = args.timeout or max(120, int(3 * secs))
    print(f"unmutated suite: passed in {secs:.0f} s; time limit per fault {timeout} s\n", flush=True)

    results = []
    interrupted = False
    for p in chosen:
        path = SOURCES / p.file
        original = path.read_bytes()
        mutated, why = p.plant(original.decode())
        if mutated is None:
            results.append((p, "no-build", why))
        else:
            try:
                path.write_text(mutated)
                error = build()
                if error:
                    last = [ln for ln in error.strip().splitlines() if "error" in ln] or error.strip().splitlines()
                    results.append((p, "no-build", "does not compile: " + last[0][-120:]))
                else:
                    results.append((p, *run_suite(timeout, TREE / "tests")[:2]))
            except KeyboardInterrupt:
                interrupted = True
            finally:
                path.write_bytes(original)
        if interrupted:
            break
        _, status, note = results[-1]
        mark = " (equivalent)" if p.equivalent and status == "survived" else ""
        print(f"{p.id}  {status}{mark} -- {note}", flush=True)
        for ln in p.diff:
            print("    " + ln, flush=True)

    print()
    counts = {k: sum(1 for r in results if r[1] == k) for k in ("killed", "survived", "crashed", "no-build")}
    equivalent = sum(1 for p, status, _ in results if status == "survived" and p.equivalent)
    minutes = (datetime.datetime.now() - started).total_seconds() / 60
    print(f"{what}; sources at {commit}; {started:%Y-%m-%d}; {minutes:.0f} min")
    print("killed {killed}, crashed {crashed}, survived {survived}, no-build {no-build}".format(**counts)
          + f" ({equivalent} of the survivors listed as equivalent)")
    detected = counts["killed"] + counts["crashed"]
    live = detected + counts["survived"] - equivalent
    if live:
        print(f"kill rate: {detected}/{live} = {100 * detected / live:.1f} % of the faults that can change "
              f"behaviour ({detected}/{detected + counts['survived']} = "
              f"{100 * detected / (detected + counts['survived']):.1f} % counting the equivalent ones)")
    for p, status, note in results:
        if status == "survived":
            print(f"survivor {p.id}" + (f" -- equivalent: {p.equivalent}" if p.equivalent else ""))
            for ln in p.diff:
                print("    " + ln)
    for p, status, note in results:
        if status != "survived" and p.equivalent:
            print(f"listed as equivalent, but {status}: {p.id} -- the entry is wrong")
    # Leaves the build matching the restored copy.
    build()
    if interrupted:
        sys.exit(130)


if __name__ == "__main__":
    main()
