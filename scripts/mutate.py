"""Plants the faults of scripts/mutants.py in src/ one at a time, rebuilds
the module incrementally in build/mutate, and runs the suite with -x against
that build. Prints killed / survived / crashed / stale per fault and the
kill rate. Every source is restored after each fault, on failure and on
Ctrl-C too.

    .venv/bin/python scripts/mutate.py [ID_OR_PREFIX ...] [--timeout S]

A fault counts as killed when a test fails, crashed when the run dies of a
signal, times out or cannot import the module (all three: the suite did not
pass), survived when the suite passes, stale when its snippet no longer
occurs exactly once in its file. An entry marked equivalent is still run
and reported; it leaves the kill rate's denominator when it survives.
"""
import argparse
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))

from mutants import MUTANTS  # noqa: E402

BUILD = ROOT / "build" / "mutate"
STAGE = ROOT / "build" / "mutate-stage"
VENV = ROOT / ".venv" / "bin"
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


def tool(name):
    path = VENV / name
    return str(path) if path.exists() else name


def build():
    """Configures once, then rebuilds what changed; stages the module."""
    if not (BUILD / "build.ninja").exists():
        subprocess.run([tool("cmake"), "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={VENV / 'python'}",
                        f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}"], check=True, stdout=subprocess.DEVNULL)
    proc = subprocess.run([tool("cmake"), "--build", str(BUILD)], capture_output=True, text=True)
    if proc.returncode != 0:
        return proc.stdout + proc.stderr
    (STAGE / "routes").mkdir(parents=True, exist_ok=True)
    for so in BUILD.glob("responses_api*.so"):
        shutil.copy2(so, STAGE / "routes" / so.name)
    shutil.copy2(ROOT / "src" / "routes" / "responses_api.pyi", STAGE / "routes")
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
    proc = subprocess.Popen(cmd, cwd=ROOT, env=env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        return "crashed", f"timeout after {timeout} s"
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise
    secs = time.monotonic() - start
    if proc.returncode == 0:
        return "survived", f"{secs:.0f} s"
    if proc.returncode < 0 or proc.returncode > 128 or "Fatal Python error" in out:
        return "crashed", f"rc {proc.returncode}, {secs:.0f} s"
    if proc.returncode in (2, 4) and "ImportError" in out:
        return "crashed", "the module does not import"
    failed = [ln for ln in out.splitlines() if ln.startswith(("FAILED", "ERROR"))]
    return "killed", (failed[0][:150] if failed else f"rc {proc.returncode}") + f", {secs:.0f} s"


def interrupt(signum, frame):
    raise KeyboardInterrupt


def main():
    signal.signal(signal.SIGTERM, interrupt)
    ap = argparse.ArgumentParser()
    ap.add_argument("select", nargs="*", help="mutant ids or id prefixes (all by default)")
    ap.add_argument("--timeout", type=int, default=600)
    ap.add_argument("--tests", type=pathlib.Path, default=ROOT / "tests",
                    help="the test directory (a copy of an older suite, say)")
    args = ap.parse_args()
    chosen = [m for m in MUTANTS if not args.select or any(m.id.startswith(s) for s in args.select)]
    # A header rebuilds every source that includes it: those faults last.
    chosen.sort(key=lambda m: m.file.endswith(".hpp"))
    ids = [m.id for m in MUTANTS]
    dupes = {i for i in ids if ids.count(i) > 1}
    if dupes:
        sys.exit(f"duplicate mutant ids: {sorted(dupes)}")

    error = build()
    if error:
        sys.exit("the unmutated source does not build:\n" + error)
    loaded = subprocess.run([str(VENV / "python"), "-c", "import routes.responses_api as m; print(m.__file__)"],
                            env=env(), capture_output=True, text=True).stdout.strip()
    if not loaded.startswith(str(STAGE)):
        sys.exit(f"expected the build/mutate module, got {loaded!r}")
    print(f"{len(chosen)} faults, suite against {loaded}", flush=True)

    results = []
    interrupted = False
    for m in chosen:
        path = ROOT / "src" / "responses_api" / m.file
        original = path.read_bytes()
        text = original.decode()
        if text.count(m.original) != 1:
            results.append((m, "stale", f"snippet found {text.count(m.original)} times"))
        else:
            try:
                path.write_text(text.replace(m.original, m.replacement))
                error = build()
                if error:
                    results.append((m, "stale", "does not compile: " + error.strip().splitlines()[-1][:120]))
                else:
                    results.append((m, *run_suite(args.timeout, args.tests.resolve())))
            except KeyboardInterrupt:
                interrupted = True
            finally:
                path.write_bytes(original)
        if interrupted:
            break
        r = results[-1]
        mark = " (equivalent)" if m.equivalent and r[1] == "survived" else ""
        print(f"{m.id:14} {r[1]:9}{mark} {m.file}: {m.description} -- {r[2]}", flush=True)

    print()
    counts = {k: sum(1 for r in results if r[1] == k) for k in ("killed", "survived", "crashed", "stale")}
    equivalent = sum(1 for m, status, _ in results if status == "survived" and m.equivalent)
    print("killed {killed}, survived {survived}, crashed {crashed}, stale {stale}".format(**counts)
          + f" ({equivalent} of the survivors equivalent)")
    detected = counts["killed"] + counts["crashed"]
    live = detected + counts["survived"] - equivalent
    if live:
        print(f"kill rate: {detected}/{live} = {100 * detected / live:.1f} %"
              f" ({detected}/{detected + counts['survived']} = "
              f"{100 * detected / (detected + counts['survived']):.1f} % counting the equivalent ones)")
    for m, status, note in results:
        if status == "survived":
            print(f"survivor {m.id}: {m.description}" + (f" -- equivalent: {m.equivalent}" if m.equivalent else ""))
    # Leaves the build matching the restored source.
    build()
    if interrupted:
        sys.exit(130)


if __name__ == "__main__":
    main()
