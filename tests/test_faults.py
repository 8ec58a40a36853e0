"""The generator of `make mutate`'s faults (scripts/faults.py): what each
operator makes of a line, what it must leave alone, and a draw that is the
same for the same sources and, file by file, survives edits elsewhere."""

import pathlib
import shutil
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))

import faults  # noqa: E402


def made(line):
    return {(op, mutated.strip()) for op, mutated in faults.line_faults(faults.blank_out(line), line)}


@pytest.mark.parametrize(
    "line,expected",
    [
        (
            "    if (a < b) f(x);",
            {
                ("rel-flip", "if (a >= b) f(x);"),
                ("rel-shift", "if (a <= b) f(x);"),
                ("negate", "if (!(a < b)) f(x);"),
                ("drop-call", "if (a < b) {}"),
            },
        ),
        (
            "    return x == 0 || y != 2;",
            {
                ("eq-flip", "return x != 0 || y != 2;"),
                ("eq-flip", "return x == 0 || y == 2;"),
                ("logic-swap", "return x == 0 && y != 2;"),
                ("const", "return x == 1 || y != 2;"),
                ("const", "return x == -1 || y != 2;"),
                ("const", "return x == 0 || y != 3;"),
                ("const", "return x == 0 || y != 1;"),
            },
        ),
        ("    return true;", {("return", "return false;")}),
        ("    Py_VISIT(self->dict);", {("drop-call", "")}),
        ("    check(PyDict_SetItem(d, k, v));", {("drop-call", ""), ("drop-check", "(PyDict_SetItem(d, k, v));")}),
        ("    Ref r = Ref::retain(o);", {("drop-ref", "Ref r = Ref::steal_or_null(o);")}),
        ("    Ref r = b.retain();", {("drop-ref", "Ref r = Ref::steal_or_null(b.get());")}),
        (
            "    Ref r = Ref::steal(PyList_New(0));",
            {
                ("drop-check", "Ref r = Ref::steal_or_null(PyList_New(0));"),
                ("const", "Ref r = Ref::steal(PyList_New(1));"),
                ("const", "Ref r = Ref::steal(PyList_New(-1));"),
            },
        ),
        (
            "    x = c >= 0x1f ? 1u : y;",
            {
                ("rel-flip", "x = c < 0x1f ? 1u : y;"),
                ("rel-shift", "x = c > 0x1f ? 1u : y;"),
                ("const", "x = c >= 0x20 ? 1u : y;"),
                ("const", "x = c >= 0x1e ? 1u : y;"),
                ("const", "x = c >= 0x1f ? 2u : y;"),
                ("const", "x = c >= 0x1f ? 0u : y;"),
            },
        ),
        # nothing inside comments, strings, templates, declarations or definitions
        ('    f("a < b && 1", \'<\');  // if (x == 2) g();', {("drop-call", "")}),
        (
            "    static_cast<size_t>(n) >> 4;",
            {("const", "static_cast<size_t>(n) >> 5;"), ("const", "static_cast<size_t>(n) >> 3;")},
        ),
        ("    if (Ref text = part_text(part)) g(text);", {("drop-call", "if (Ref text = part_text(part)) {}")}),
        ("    StreamReader(Borrowed url, Borrowed headers);", set()),
        ("inline int check(int status) {", set()),
        ("    Ref &&other;", set()),
    ],
)
def test_operators(line, expected):
    assert made(line) == expected


def test_blank_out_keeps_positions_and_blanks_literals():
    text = 'a("x // y", R"DOC(if (a < b))DOC"); /* c\n< */ b;\n'
    out = faults.blank_out(text)
    assert len(out) == len(text) and out.count("\n") == 2
    assert "<" not in out and "if" not in out and out.endswith(" b;\n")


def test_the_draw_is_fixed_by_the_seed_and_holds_per_file(tmp_path):
    first = faults.draw(1, 120)
    assert first == faults.draw(1, 120) and len(first) == 120
    assert first != faults.draw(2, 120)
    # A fault-free edit of one file (a line in the checked builds' code) moves
    # the lines of its faults, and changes no fault of any file.
    shutil.copytree(ROOT / "src", tmp_path / "src")
    lines = tmp_path / "src" / "responses_api" / "streaming" / "lines.cpp"
    lines.write_text(
        lines.read_text().replace("namespace rapi {\n", "namespace rapi {\n#ifdef RAPI_CHECKED\nint x;\n#endif\n", 1)
    )
    moved = faults.draw(1, 120, tmp_path)
    assert [f.key() for f in moved] == [f.key() for f in first]
    assert [f.line for f in moved if f.file == "streaming/lines.cpp"] == [
        f.line + 3 for f in first if f.file == "streaming/lines.cpp"
    ]
