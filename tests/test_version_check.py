"""The import-time version check, with a build for each interpreter: the
module under test (built for this interpreter) imports silently; a wheel
built for another minor version warns with its own compile-time version
and refuses to go on. Such wheels are the ones named (space-separated) in
RESPONSES_API_OTHER_WHEELS when it is set (scripts/test-wheel.sh sets it),
else those in dist/ (make wheel) for this machine. Each import runs in a
fresh interpreter that sees only the build under test."""

import os
import pathlib
import platform
import re
import subprocess
import sys
import zipfile

import pytest

native = pytest.importorskip("routes.responses_api")

DIST = pathlib.Path(__file__).resolve().parent.parent / "dist"
RUNNING = "%d.%d" % sys.version_info[:2]
if "RESPONSES_API_OTHER_WHEELS" in os.environ:
    OTHER_WHEELS = [pathlib.Path(w) for w in os.environ["RESPONSES_API_OTHER_WHEELS"].split()]
else:
    OTHER_WHEELS = sorted(
        w
        for w in DIST.glob("routes_responses_api-*-cp3*-cp3*-*_%s.whl" % platform.machine())
        if w.name.split("-")[2] != "cp%d%d" % sys.version_info[:2]
    )

IMPORT = """
import sys, traceback, warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter(sys.argv[1])
    try:
        import routes.responses_api as m
        print("imported", m.build_payload([], {"model": "m"})["model"])
    except BaseException as e:
        print("raised", type(e).__name__, e)
        print("entry", traceback.extract_tb(e.__traceback__)[-1].name)
print("in sys.modules", "routes.responses_api" in sys.modules)
for w in caught:
    print("warning", w.category.__name__, w.message)
"""


def run_import(tmp_path, so, action="always"):
    """Imports `so` as routes.responses_api in a fresh interpreter (no site
    directories, so no other build of the module), warnings filtered with
    `action`; its printed lines."""
    (tmp_path / "routes").mkdir(exist_ok=True)
    target = tmp_path / "routes" / "responses_api.so"  # a name every version's importer takes
    target.write_bytes(so)
    proc = subprocess.run(
        [sys.executable, "-S", "-c", IMPORT, action],
        cwd=tmp_path,
        env=dict(os.environ, PYTHONPATH=str(tmp_path)),
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


def module_of(wheel):
    with zipfile.ZipFile(wheel) as z:
        [name] = [n for n in z.namelist() if re.fullmatch(r"routes/responses_api\.cpython-3\d+-.*\.so", n)]
        return z.read(name)


def test_own_build_imports_without_a_warning(tmp_path):
    assert run_import(tmp_path, pathlib.Path(native.__file__).read_bytes()) == ["imported m", "in sys.modules True"]


@pytest.mark.skipif(not OTHER_WHEELS, reason="no wheel for another Python version in dist/ (make wheel)")
@pytest.mark.parametrize("wheel", OTHER_WHEELS, ids=lambda w: w.name.split("-")[2])
@pytest.mark.parametrize(
    "action, expected",
    [
        (
            "always",
            [
                "raised ImportError routes.responses_api is built for Python {built} and cannot run on Python {running}",
                "entry init routes.responses_api",
                "in sys.modules False",
                "warning RuntimeWarning " + "compile time Python version {built} of module 'routes.responses_api' "
                "does not match runtime version {running}",
            ],
        ),
        (
            "error",
            [
                "raised RuntimeWarning compile time Python version {built} of module 'routes.responses_api' "
                "does not match runtime version {running}",
                "entry init routes.responses_api",
                "in sys.modules False",
            ],
        ),
    ],
    ids=["warns then refuses", "warning as error"],
)
def test_build_for_another_version(tmp_path, wheel, action, expected):
    tag = wheel.name.split("-")[2]
    built = tag[2] + "." + tag[3:]
    assert built != RUNNING
    lines = run_import(tmp_path, module_of(wheel), action)
    assert lines == [line.format(built=built, running=RUNNING) for line in expected]
