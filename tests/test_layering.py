"""The include direction in src/responses_api: a file includes only files
of its own room or of a room below it; rooms on one floor include nothing
of each other. A folder is a room; a file at the top is a room of its own,
named by its stem (values.hpp and values.cpp are the room values). The
floors are written once, here, and README states the same line."""

import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / "src" / "responses_api"
# Bottom first; rooms on one floor are separated by "|".
FLOORS = "errors; refs | state; values; shapes | callables | json; request | response | streaming; surface; module"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
SYSTEM_INCLUDE = re.compile(r"^\s*#\s*include\s+<([^>]+)>", re.M)


def rooms():
    return [[room.strip() for room in floor.split("|")] for floor in FLOORS.split(";")]


def room_of(rel):
    """The room of a path relative to src/responses_api."""
    path = pathlib.PurePosixPath(rel)
    return path.parts[0] if len(path.parts) > 1 else path.stem


def floor_of(room):
    return next(i for i, floor in enumerate(rooms()) if room in floor)


def points_up_or_sideways(rel, target):
    here, there = room_of(rel), room_of(target)
    return here != there and floor_of(there) >= floor_of(here)


def includes():
    for path in sorted(SRC.rglob("*.[ch]pp")):
        rel = path.relative_to(SRC).as_posix()
        for target in INCLUDE.findall(path.read_text()):
            yield rel, target


def test_includes_point_down():
    known = {p.relative_to(SRC).as_posix() for p in SRC.rglob("*.[ch]pp")}
    wrong = []
    for rel, target in includes():
        assert target in known, f"{rel} includes {target}, which is not in src/responses_api"
        if points_up_or_sideways(rel, target):
            wrong.append(f"{rel} ({room_of(rel)}) includes {target} ({room_of(target)})")
    assert wrong == []


def test_every_room_is_on_a_floor():
    present = {room_of(p.relative_to(SRC).as_posix()) for p in SRC.rglob("*.[ch]pp")}
    assert present == {room for floor in rooms() for room in floor}


def test_references_and_errors_need_nothing_but_python_h():
    """Beyond each other, the two bottom rooms include only Python.h and the
    C++ standard library (whose headers have no extension)."""
    for name in ("errors.hpp", "refs.hpp"):
        text = (SRC / name).read_text()
        assert set(INCLUDE.findall(text)) <= {"errors.hpp"}, name
        assert all(h == "Python.h" or "." not in h for h in SYSTEM_INCLUDE.findall(text)), name


def test_readme_states_the_same_floors():
    assert f"Floors, bottom first: {FLOORS}" in " ".join((ROOT / "README.md").read_text().split())


def test_the_rule_catches_upward_and_sideways_includes():
    cases = {
        ("streaming/reader.cpp", "surface/function.hpp"): True,
        ("streaming/events.cpp", "response/response.hpp"): True,
        ("values.hpp", "streaming/lines.hpp"): True,
        ("refs.hpp", "state.hpp"): True,
        ("values.hpp", "shapes.hpp"): True,
        ("shapes.cpp", "json/json.hpp"): True,
        ("state.hpp", "callables.hpp"): True,
        ("errors.hpp", "refs.hpp"): True,
        ("surface/generator.cpp", "streaming/reader.hpp"): False,
        ("module.cpp", "surface/docs.hpp"): False,
        ("request/messages.cpp", "json/json.hpp"): False,
        ("json/writer.cpp", "json/captures.hpp"): False,
        ("values.cpp", "values.hpp"): False,
        ("callables.cpp", "values.hpp"): False,
        ("refs.hpp", "errors.hpp"): False,
    }
    for (rel, target), wrong in cases.items():
        assert points_up_or_sideways(rel, target) == wrong, (rel, target)
