"""`make bench`: the native module against its pure-Python twin, the same twin
compiled with Cython, and a floor of unavoidable work.

    .venv/bin/python benchmarks/run.py [--quick] [--only TEXT ...] [--against SO]

Everything runs in this one process: after warm-up, the implementations take
turns round-robin (the order rotating every round) for many rounds, and each
round times a batch of calls. Results are medians with their interquartile
range. Before anything is timed, every workload's results are checked to be
equal across the implementations, so a wrong answer is never timed.

A full run prints the table and writes benchmarks/results/latest.json, plus
benchmarks/results.json and benchmarks/chart.png (the committed figures);
--quick (~30 s) writes only benchmarks/results/latest.json and
benchmarks/results/chart.png, and so does a run of some workloads alone
(--only TEXT, repeatable: the workloads whose name contains TEXT).
--against SO adds another build of the module (the .so from an installed
wheel, say) as the implementation "against", timed in the same rounds as
the native one, with the ratio against/native; such a run writes only
benchmarks/results/latest.json.
"""

import argparse
import collections
import contextlib
import functools
import gc
import hashlib
import importlib
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "benchmarks"
BUILD = ROOT / "build" / "bench"
IMPLS = ["native", "twin", "cython", "floor"]
# The readers compared in every workload: the native module, the twin and the
# Cython twin, and with --against another build of the module.
RUN = ["native", "twin", "cython"]
MODS = {}  # the modules of this run, by implementation (set by main)
URL = "http://127.0.0.1/v1/responses"
HEADERS = {"Authorization": "Bearer sk-bench", "Content-Type": "application/json"}
CONFIG = {"model": "gpt-4o", "temperature": 0.2, "max_tokens": 16000}


def ensure_requirements():
    try:
        import Cython  # noqa: F401
        import matplotlib  # noqa: F401
    except ImportError:
        print("installing requirements-bench.txt ...", file=sys.stderr, flush=True)
        subprocess.run(
            [sys.executable, "-m", "pip", "install", "--quiet", "-r", str(ROOT / "requirements-bench.txt")], check=True
        )
        importlib.invalidate_caches()


class Sink:
    """Standard output while timing: convert_messages prints a line per call when
    user messages carry images, and the terminal must not be part of the cost."""

    def write(self, s):
        return len(s)

    def flush(self):
        pass


@contextlib.contextmanager
def patched_opener(modules, opener):
    saved = [m._urllib_opener_local for m in modules]
    for m in modules:
        m._urllib_opener_local = opener
    try:
        yield
    finally:
        for m, original in zip(modules, saved):
            m._urllib_opener_local = original


def drain(gen):
    collections.deque(gen, maxlen=0)


# ------------------------------------------------------------------ timing


def stats(samples):
    q1, median, q3 = statistics.quantiles(samples * (2 if len(samples) == 1 else 1), n=4, method="inclusive")
    return {
        "median": round(median, 1),
        "q1": round(q1, 1),
        "q3": round(q3, 1),
        "min": round(min(samples), 1),
        "max": round(max(samples), 1),
        "rounds": len(samples),
        "samples": samples,
    }


def bench(cases, units, budget, batch, clock=time.perf_counter_ns, warm=2, min_rounds=5, max_rounds=300):
    """Times {impl: zero-argument callable} round-robin; ns per unit of work.

    Each implementation gets a batch size that takes about `batch` ns; rounds
    run until about `budget` seconds are spent. The collector is paused inside
    a batch (all implementations make the same containers; its pauses are noise)."""
    names = list(cases)
    inner = {}
    for name, fn in cases.items():
        fn()
        t0 = clock()
        fn()
        inner[name] = max(1, int(batch / max(clock() - t0, 1)))
    t0 = time.perf_counter()
    for name in names:  # one calibrating batch each, also warm-up
        for _ in range(inner[name]):
            cases[name]()
    rounds = max(min_rounds, min(max_rounds, int(budget / max(time.perf_counter() - t0, 1e-9))))
    samples = {name: [] for name in names}
    gc.collect()
    for r in range(warm + rounds):
        for name in names[r % len(names) :] + names[: r % len(names)]:
            fn, n = cases[name], inner[name]
            gc.disable()
            t0 = clock()
            for _ in range(n):
                fn()
            dt = clock() - t0
            gc.enable()
            if r >= warm:
                samples[name].append(dt / n / units)
    return {name: dict(stats(s), inner=inner[name], round_robin=True) for name, s in samples.items()}


def once(fn, repeat=1):
    """Single timed runs, for the quadratic readers."""
    samples = []
    for _ in range(repeat):
        t0 = time.perf_counter_ns()
        fn()
        samples.append(time.perf_counter_ns() - t0)
    return dict(stats(samples), inner=1, round_robin=False)


# --------------------------------------------------------------- workloads


def translation(mods, floor, budget, batch, selected):
    import floors
    import workloads as w

    tool20 = w.tools(20)
    convs = {n: w.conversation(n, seed=n, tool_defs=tool20) for n in (10, 100, 1000)}
    calls = {}  # workload: (function, arguments)
    for n, conv in convs.items():
        calls[f"build_payload {n} msgs"] = ("build_payload", (conv, CONFIG, tool20, "auto", True))
    for n, conv in convs.items():
        calls[f"convert_messages {n} msgs"] = ("convert_messages", (conv,))
    for n in (5, 100):
        calls[f"convert_tools {n}"] = ("convert_tools", (w.tools(n),))
    for name, reply in w.replies().items():
        calls[f"normalize_response {name}"] = ("normalize_response", (reply,))
    calls = {name: call for name, call in calls.items() if selected(name)}

    results = {}
    for name, (fn, args) in calls.items():
        cases = {impl: functools.partial(getattr(mods[impl], fn), *args) for impl in RUN}
        expected = cases["native"]()
        for impl in RUN[1:]:
            if cases[impl]() != expected:
                if impl == "against":
                    other_behaviour(name)
                    continue
                sys.exit(f"MISMATCH: {name}: {impl} differs from native")
        cases["floor"] = functools.partial(floor.copy, floors.floor_template(expected, args))
        assert cases["floor"]() == expected
        # Not floors, a diagnosis of the tool outputs held as dicts: the stdlib's json.dumps of
        # them alone, and native on the same messages with those outputs already serialised.
        dicts = [
            m["content"]
            for m in args[0]
            if fn in ("build_payload", "convert_messages") and m["role"] == "tool" and not isinstance(m["content"], str)
        ]
        if dicts:
            cases["json.dumps"] = functools.partial(dump_all, dicts)
            as_text = [
                dict(m, content=json.dumps(m["content"], ensure_ascii=False))
                if m["role"] == "tool" and not isinstance(m["content"], str)
                else m
                for m in args[0]
            ]
            cases["native, text outputs"] = functools.partial(getattr(mods["native"], fn), as_text, *args[1:])
            assert cases["native, text outputs"]() == expected
        results[name] = {"group": "translation", "unit": "call", "impls": bench(cases, 1, budget, batch)}
        if dicts:
            results[name]["dict_outputs"] = len(dicts)
        report_progress(name, results[name])
    return results


def streaming(mods, full, budget, batch, selected):
    import floors
    import workloads as w
    from fake_opener import FakeOpener

    bodies = {
        "stream 2000 text deltas": w.text_stream,
        "stream 500 argument fragments": w.function_stream,
        "stream 2000 deltas CRLF": functools.partial(w.text_stream, newline="\r\n"),
        "stream recorded summary, 12 parts": functools.partial(
            w.recorded_stream, "09-reasoning-summary-12-parts-gpt54.sse"
        ),
    }
    modules = [mods[i] for i in RUN]
    results = {}
    for name, make in bodies.items():
        if not selected(name):
            continue
        body = make()
        lines = w.data_lines(body)
        cases = {
            impl: functools.partial(lambda m: drain(m.stream_raw(URL, HEADERS, CONFIG)), mods[impl]) for impl in RUN
        }
        cases["floor"] = functools.partial(floors.stream_floor, body, lines)
        with patched_opener(modules, FakeOpener(body, record=False)):
            check_streams(name, modules)
            results[name] = {
                "group": "streaming",
                "unit": "event",
                "events": len(lines),
                "impls": bench(cases, len(lines), budget, batch),
            }
        report_progress(name, results[name])

    for mib in (2, 8):
        name = f"stream one {mib} MiB line"
        if not selected(name):
            continue
        body = w.big_line_stream(mib << 20)
        line = w.data_lines(body)[0]
        raw = next(ln for ln in body.split(b"\n") if ln.startswith(b"data:"))[5:]
        with patched_opener(modules, FakeOpener(body, record=False)):
            check_streams(name, modules)  # runs each reader once, the quadratic ones too
            cases = {
                impl: functools.partial(lambda m: drain(m.stream_raw(URL, HEADERS, CONFIG)), mods[impl])
                for impl in RUN
                if impl not in ("twin", "cython")
            }
            # two floors: json.loads of the text decoded in advance, and what
            # any reader of bytes pays, the UTF-8 decode of the line and then
            # json.loads of the text
            cases["floor"] = functools.partial(json.loads, line)
            cases["decode + loads"] = lambda: json.loads(raw.decode("utf-8"))  # noqa: B023 - timed in this pass
            impls = bench(cases, 1, budget / 2, 0, min_rounds=5 if full else 3, max_rounds=40)
            for impl in ("twin", "cython"):  # quadratic in the line's length: a few runs only
                m = mods[impl]
                impls[impl] = once(lambda: drain(m.stream_raw(URL, HEADERS, CONFIG)), 3 if full else 1)  # noqa: B023
        results[name] = {"group": "big line", "unit": "stream", "bytes": len(body), "impls": impls}
        report_progress(name, results[name])
    return results


def dump_all(values):
    for v in values:
        json.dumps(v, ensure_ascii=False)


def other_behaviour(name):
    """A build given with --against may be of another behaviour (an older
    commit, say): its results are not the native ones, so it is timed but
    not checked. Said once per workload."""
    print(f"  note: {name}: against gives other results than native (timed, not checked)", file=sys.stderr)


def check_streams(name, modules):
    lists = [list(m.stream_raw(URL, HEADERS, CONFIG)) for m in modules]
    for m, deltas in zip(modules[1:], lists[1:]):
        if deltas != lists[0]:
            if m is MODS.get("against"):
                other_behaviour(name)
                continue
            sys.exit(f"MISMATCH: {name}: {m.__name__} yields other deltas than native")
    if not lists[0] or "_finish_reason" not in lists[0][-1]:
        sys.exit(f"MISMATCH: {name}: the stream did not finish")


def urllib_baseline(url, headers, payload):
    """What a plain reader does: urlopen, read1(4096), json.loads of each data line."""
    body = json.dumps(payload, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
    req = urllib.request.Request(url, body, headers=headers, method="POST")
    with urllib.request.urlopen(req, timeout=300) as resp:
        buf = b""
        while chunk := resp.read1(4096):
            buf += chunk
            *lines, buf = buf.split(b"\n")
            for line in lines:
                if line.startswith(b"data:"):
                    json.loads(line[5:])


def end_to_end(mods, rounds, selected):
    import workloads as w

    name = "end to end 2000 deltas (CPU)"
    if not selected(name):
        return {}
    body = w.text_stream()
    BUILD.mkdir(parents=True, exist_ok=True)
    (BUILD / "stream-2000.sse").write_bytes(body)
    server = subprocess.Popen(
        [sys.executable, str(BENCH / "sse_server.py"), str(BUILD / "stream-2000.sse")],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        url = f"http://127.0.0.1:{server.stdout.readline().strip()}/v1/responses"
        modules = [mods[i] for i in RUN]
        lists = [list(m.stream_raw(url, HEADERS, CONFIG)) for m in modules]
        if (
            any(d != lists[0] for m, d in zip(modules[1:], lists[1:]) if m is not MODS.get("against"))
            or len(lists[0]) != 2001
        ):
            sys.exit("MISMATCH: end to end: the readers disagree over HTTP")
        cases = {
            impl: functools.partial(lambda m: drain(m.stream_raw(url, HEADERS, CONFIG)), mods[impl]) for impl in RUN
        }
        cases["floor"] = functools.partial(urllib_baseline, url, HEADERS, CONFIG)
        impls = bench(cases, 1, 0, 0, clock=time.process_time_ns, warm=1, min_rounds=rounds, max_rounds=rounds)
    finally:
        server.stdin.close()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
    result = {name: {"group": "end to end", "unit": "stream", "events": len(w.data_lines(body)), "impls": impls}}
    report_progress(name, result[name])
    return result


# ----------------------------------------------------------------- output


def ratio(a, b):
    """a / b: the median of the per-round ratios when both ran in the same rounds
    (robust to load that comes and goes), else the ratio of the medians."""
    if a["round_robin"] and b["round_robin"]:
        return statistics.median(x / y for x, y in zip(a["samples"], b["samples"]))
    return a["median"] / b["median"]


def ratios(impls):
    out = {
        "twin/native": ratio(impls["twin"], impls["native"]),
        "cython/native": ratio(impls["cython"], impls["native"]),
        "native/floor": ratio(impls["native"], impls["floor"]),
    }
    if "against" in impls:
        out["against/native"] = ratio(impls["against"], impls["native"])
    if "decode + loads" in impls:
        out["native/(decode + loads)"] = ratio(impls["native"], impls["decode + loads"])
    out = {k: round(v, 3) for k, v in out.items()}
    for s in impls.values():
        del s["samples"]
    return out


def fmt_ns(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def cell(s):
    spread = (s["q3"] - s["q1"]) / s["median"] * 50 if s["median"] else 0
    return f"{fmt_ns(s['median'])} ±{spread:.0f}%"


def report_progress(name, result):
    print(
        f"  {name}: native {fmt_ns(result['impls']['native']['median'])} per {result['unit']}",
        file=sys.stderr,
        flush=True,
    )


def table(results):
    head = (
        f"{'workload':<38}{'per':<7}"
        + "".join(f"{i:>17}" for i in IMPLS)
        + f"{'twin/nat':>10}{'cy/nat':>8}{'nat/floor':>11}"
        + (f"{'against/nat':>13}" if "against" in IMPLS else "")
    )
    lines = [head, "-" * len(head)]
    for name, r in results.items():
        ra = r["ratios"]
        lines.append(
            f"{name:<38}{r['unit']:<7}"
            + "".join(f"{cell(r['impls'][i]):>17}" for i in IMPLS)
            + f"{ra['twin/native']:>9.1f}x{ra['cython/native']:>7.1f}x{ra['native/floor']:>10.2f}x"
            + (f"{ra['against/native']:>12.3f}x" if "against/native" in ra else "")
        )
    for name, r in results.items():
        if "decode + loads" in r["impls"]:
            lines.append(
                f"  {name}: against the UTF-8 decode of the line plus json.loads of the text, "
                f"{fmt_ns(r['impls']['decode + loads']['median'])}: "
                f"{r['ratios']['native/(decode + loads)']:.2f}x"
            )
    big = sorted((r["bytes"], r["impls"]) for r in results.values() if r["group"] == "big line")
    if len(big) == 2:
        (b1, i1), (b2, i2) = big
        growth = ", ".join(
            f"{impl} {math.log(i2[impl]['median'] / i1[impl]['median']) / math.log(b2 / b1):.2f}"
            for impl in i1
            if impl in i2
        )
        lines.append(
            f"  growth from the {round(b1 / 2**20)} to the {round(b2 / 2**20)} MiB line, "
            f"the exponent k of time ~ size^k: {growth}"
        )
    for name, r in results.items():
        if "json.dumps" in r["impls"]:
            med = {k: v["median"] for k, v in r["impls"].items()}
            lines.append(
                f"  {name}: its {r['dict_outputs']} dict tool outputs: stdlib json.dumps of them alone "
                f"{fmt_ns(med['json.dumps'])}; native with them pre-serialised {fmt_ns(med['native, text outputs'])}"
                f" ({med['native, text outputs'] / med['floor']:.2f}x floor)"
            )
    lines.append(
        "median per call / event / stream, ± half the interquartile range; floor: containers alone "
        "(translation), read1 + json.loads (streams), json.loads (8 MiB line), urllib + json.loads (end to end)"
    )
    return "\n".join(lines)


def targets(results):
    big = [f"build_payload {n} msgs" for n in (100, 1000)] + [f"convert_messages {n} msgs" for n in (100, 1000)]
    big = [n for n in big if n in results]
    streams = [n for n, r in results.items() if r["group"] == "streaming"]
    checks = [(f"{n}: >= 5x faster than the twin", results[n]["ratios"]["twin/native"], ">=", 5) for n in big]
    checks += [(f"{n}: >= 3x faster than the Cython twin", results[n]["ratios"]["cython/native"], ">=", 3) for n in big]
    checks += [(f"{n}: within 2x of the container floor", results[n]["ratios"]["native/floor"], "<=", 2) for n in big]
    checks += [
        (f"{n}: per event within 1.3x of read + json.loads", results[n]["ratios"]["native/floor"], "<=", 1.3)
        for n in streams
    ]
    for n, r in results.items():
        if r["group"] == "big line":
            checks.append((f"{n}: within 2x of json.loads", r["ratios"]["native/floor"], "<=", 2))
        if r["group"] == "end to end":
            checks.append((f"{n}: within 1.2x of urllib + json.loads", r["ratios"]["native/floor"], "<=", 1.2))
    return [
        {"target": t, "value": round(v, 3), "bound": f"{op} {b}", "met": v >= b if op == ">=" else v <= b}
        for t, v, op, b in checks
    ]


def chart(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    names = list(results)[::-1]
    series = [
        ("vs twin (twin / native)", "twin/native", "#4c72b0"),
        ("vs Cython twin (cython / native)", "cython/native", "#55a868"),
        ("vs floor (floor / native; 1 = at the floor)", "native/floor", "#c44e52"),
    ]
    fig, ax = plt.subplots(figsize=(10, 0.55 * len(names) + 1.5))
    h = 0.27
    for k, (label, key, color) in enumerate(series):
        vals = [results[n]["ratios"][key] for n in names]
        if key == "native/floor":
            vals = [1 / v for v in vals]
        ax.barh([i + (1 - k) * h for i in range(len(names))], vals, h, label=label, color=color)
    ax.set_xscale("log")
    ax.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}x"))
    ax.axvline(1, color="black", lw=0.8)
    ax.set_yticks(range(len(names)), names, fontsize=8)
    ax.set_xlabel("speed-up of the native module (log scale; > 1 = native faster)")
    ax.set_title("routes.responses_api: native speed-up per workload")
    ax.legend(fontsize=8, loc="lower right")
    ax.grid(axis="x", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# ------------------------------------------------------------------- main


def load_other_build(path):
    """A second copy of the extension from another file, beside the one
    imported: its own shared object, so its own state."""
    import importlib.machinery
    import importlib.util

    loader = importlib.machinery.ExtensionFileLoader("routes.responses_api", str(path))
    spec = importlib.util.spec_from_file_location("routes.responses_api", str(path), loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="a ~30 s run with fewer rounds")
    ap.add_argument(
        "--only", action="append", metavar="TEXT", help="run only the workloads whose name contains TEXT (repeatable)"
    )
    ap.add_argument(
        "--against",
        type=Path,
        metavar="SO",
        help="another build of the module, timed beside the native one (against/native)",
    )
    args = ap.parse_args()
    partial = args.quick or bool(args.only) or bool(args.against)

    def selected(name):
        return not args.only or any(text in name for text in args.only)

    started = time.perf_counter()

    ensure_requirements()
    sys.path[:0] = [str(BENCH), str(ROOT / "tests")]
    import floors
    from routes import responses_api as native
    from twin import responses_api as twin

    so = Path(native.__file__)
    build = {
        "module": so.name,
        "module_sha256": hashlib.sha256(so.read_bytes()).hexdigest()[:16],
        "module_mtime": time.strftime("%Y-%m-%dT%H:%M:%S%z", time.localtime(so.stat().st_mtime)),
        "load_before": [round(x, 2) for x in os.getloadavg()],
    }
    print(
        f"native module {build['module_sha256']} built {build['module_mtime']}; load average {build['load_before']}",
        flush=True,
    )
    print("building helpers into build/bench ...", file=sys.stderr, flush=True)
    mods = {"native": native, "twin": twin, "cython": floors.build_cython_twin(Path(twin.__file__), BUILD)}
    if args.against:
        mods["against"] = load_other_build(args.against.resolve())
        MODS["against"] = mods["against"]
        if Path(mods["against"].__file__).samefile(so):
            sys.exit(f"--against {args.against} is the module already loaded")
        build["against"] = {
            "module": args.against.name,
            "module_sha256": hashlib.sha256(args.against.read_bytes()).hexdigest()[:16],
        }
        print(f"against {args.against} ({build['against']['module_sha256']})", flush=True)
        RUN.append("against")
        IMPLS.insert(1, "against")
    floor = floors.build_floor(BUILD)

    budget, batch = (1.0, 4e6) if args.quick else (6.0, 2e7)
    stdout, sys.stdout = sys.stdout, Sink()
    try:
        results = translation(mods, floor, budget, batch, selected)
    finally:
        sys.stdout = stdout
    results.update(streaming(mods, not args.quick, 1.2 * budget, batch, selected))
    results.update(end_to_end(mods, 4 if args.quick else 20, selected))
    if not results:
        sys.exit("no workload's name contains " + " or ".join(map(repr, args.only)))
    for r in results.values():
        r["ratios"] = ratios(r["impls"])

    print()
    print(table(results))
    checked = targets(results)
    print("\ntargets:")
    for t in checked:
        print(f"  {'met   ' if t['met'] else 'MISSED'}  {t['target']} (is {t['value']:.2f}x, needs {t['bound']})")
    elapsed = time.perf_counter() - started
    print(f"\n{sum(t['met'] for t in checked)} of {len(checked)} targets met; took {elapsed:.0f} s")

    doc = {
        "meta": {
            "python": sys.version.split()[0],
            "machine": platform.machine(),
            "platform": platform.platform(),
            "cpus": os.cpu_count(),
            "quick": args.quick,
            "only": args.only,
            "seconds": round(elapsed, 1),
            "date": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
            **build,
            "load_after": [round(x, 2) for x in os.getloadavg()],
            "units": "nanoseconds per call, per event or per stream (see 'unit')",
            "ratios": "medians of the per-round ratios (rounds interleave the implementations)",
        },
        "workloads": results,
        "targets": checked,
    }
    (BENCH / "results").mkdir(exist_ok=True)
    text = json.dumps(doc, indent=1)
    (BENCH / "results" / "latest.json").write_text(text)
    if partial:
        chart(results, BENCH / "results" / "chart.png")
    else:
        (BENCH / "results.json").write_text(text)
        chart(results, BENCH / "chart.png")


if __name__ == "__main__":
    main()
