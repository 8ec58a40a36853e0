"""The faults `make mutate` plants, drawn mechanically from the C++ sources.

Every line of src/responses_api/ is read with its comments and string
literals blanked out, and each operator below yields the faults it can make
on that line; a fixed seed then picks N of them, spread over the files in
proportion to their size (the lines faults can be drawn from: code, no
directives, nothing only the checked builds compile). The draw depends only
on the seed, N and the sources: the same sources give the same faults, and
each file's own faults depend on the seed, its quota and its own text alone.

Operators (the name shows in the run's output):

- `rel-flip`   a relational operator negated: < into >=, <= into >, > into <=, >= into <
- `rel-shift`  a relational operator shifted by one: < into <=, <= into <, > into >=, >= into >
- `eq-flip`    == into != and != into ==
- `logic-swap` && into || and || into &&
- `negate`     the condition of an `if` or `while` negated: if (c) into if (!(c))
- `const`      an integer constant plus one and minus one
- `return`     a returned value swapped: true/false, 0/-1, Fit::Written/Fit::Fallback
- `drop-call`  a statement that is a single call dropped (Py_VISIT, Py_CLEAR,
               PyErr_Clear, Py_INCREF, ... and every other call made for its
               effect), also as the body of an `if`, `else` or `for` on its line
- `drop-check` a status check dropped: check(x) into (x), Ref::steal(x) into
               Ref::steal_or_null(x)
- `drop-ref`   a new reference not taken: Ref::retain(x) into Ref::steal_or_null(x),
               b.retain() into Ref::steal_or_null(b.get()), Py_NewRef(x) into (x)

A fault that cannot change behaviour is listed, with the reason, in
scripts/equivalent-faults.txt, keyed by its file, the line as it stands and
the line as mutated (whitespace at either end aside), so that an entry holds
while the line stays as it is, wherever it moves; where the file has the
same line more than once, the line above it tells them apart.

    .venv/bin/python scripts/faults.py [--seed S] [-n N] [--all]

prints the faults drawn (or every fault the operators make, with --all) as
file:line with the operator and the line before and after.
"""
import argparse
import dataclasses
import pathlib
import random
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = pathlib.Path("src") / "responses_api"
EQUIVALENTS = ROOT / "scripts" / "equivalent-faults.txt"


@dataclasses.dataclass(frozen=True)
class Fault:
    file: str      # under src/responses_api/
    line: int      # 1-based, in the sources the fault was drawn from
    operator: str
    original: str  # the whole line, without its newline
    mutated: str
    above: str = ""       # the nearest line above it with any text, stripped
    repeated: bool = False  # whether the file has another line of the same text

    @property
    def id(self):
        return f"{self.file}:{self.line}"

    def key(self):
        return (self.file, self.original.strip(), self.mutated.strip())


# ------------------------------------------------------------ reading C++

def blank_out(text):
    """The text with the insides of comments and of string and character
    literals (raw strings too) replaced by spaces, newlines kept, so that
    every position still matches the original."""
    out = list(text)
    i, n = 0, len(text)

    def blank(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            blank(i, j)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank(i, j)
            i = j
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            open_paren = text.find("(", i + 2)
            delim = text[i + 2:open_paren]
            close = text.find(")" + delim + '"', open_paren)
            j = close + len(delim) + 2
            blank(i + 1, j)  # keeps the R: the line still reads as code
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            blank(i + 1, j)
            i = j + 1
        else:
            i += 1
    return "".join(out)


def closing(s, at):
    """The index of the parenthesis closing the one at s[at], or -1 when it
    does not close on this line."""
    depth = 0
    for k in range(at, len(s)):
        if s[k] == "(":
            depth += 1
        elif s[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


# ------------------------------------------------------------ operators

RELATIONAL = re.compile(r"(?<=[^<>=!\-]) (<=|>=|<|>) (?=[^<>=])")
EQUALITY = re.compile(r" (==|!=) ")
LOGICAL = re.compile(r" (&&|\|\|) ")
CONDITION = re.compile(r"\b(?<!#)(if|while) \(")
NUMBER = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.'])")
RETURNED = re.compile(r"\breturn (true|false|0|-1|Fit::Written|Fit::Fallback);")
CALL_NAME = re.compile(r"[A-Za-z_]\w*(?:\(\))?(?:(?:::|\.|->)[A-Za-z_]\w*(?:\(\))?)*")
CHECK = re.compile(r"(?<![\w:.>])check\(")
STEAL = re.compile(r"\bRef::steal\(")
RETAIN = re.compile(r"\bRef::retain\(")
RETAIN_METHOD = re.compile(r"\b([A-Za-z_]\w*)\.retain\(\)")
NEW_REF = re.compile(r"\bPy_NewRef\(")
DECLARATION = re.compile(r"\s*[A-Za-z_][\w:<>]*[ *&]+[A-Za-z_]\w*\s*=(?!=)")
TEMPLATE_ARGS = re.compile(r"<[^<>()]*>")
DECLARED = re.compile(r"\b[A-Za-z_]\w*[ *&]+[A-Za-z_]\w*")
NOT_CALLS = {"return", "if", "while", "for", "switch", "sizeof", "throw", "delete", "case", "static_assert",
             "alignas", "decltype", "assert"}

FLIP = {"<": ">=", "<=": ">", ">": "<=", ">=": "<"}
SHIFT = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}
SWAP_RETURN = {"true": "false", "false": "true", "0": "-1", "-1": "0",
               "Fit::Written": "Fit::Fallback", "Fit::Fallback": "Fit::Written"}


def statement_call(code, start):
    """(a, b) when code[start:] is a call statement `name(args);` with
    nothing after it but whitespace: the span of the call without its `;`."""
    m = CALL_NAME.match(code, start)
    if not m or m.group().split("::")[0].split(".")[0] in NOT_CALLS or m.group().startswith("RAPI_"):
        return None
    p = m.end()
    if p >= len(code) or code[p] != "(":
        return None
    end = closing(code, p)
    if end < 0 or code[end + 1:].strip() != ";":
        return None
    # `Name(Type name, ...);` declares (a constructor); a call passes values
    args = code[p + 1:end]
    while TEMPLATE_ARGS.search(args):
        args = TEMPLATE_ARGS.sub("", args)
    if DECLARED.search(args):
        return None
    return start, end + 1


def dropped_call(code):
    """The span of a call made as a statement on this line, alone or as the
    body of an `if (...)`, `else` or `for (...)` written on the same line."""
    start = len(code) - len(code.lstrip())
    rest = code[start:]
    for head in ("} else if (", "else if (", "if (", "for ("):
        if rest.startswith(head):
            close = closing(code, start + len(head) - 1)
            if close < 0:
                return None
            body = close + 1
            while body < len(code) and code[body] == " ":
                body += 1
            return statement_call(code, body)
    for head in ("} else ", "else "):
        if rest.startswith(head):
            return statement_call(code, start + len(head))
    return statement_call(code, start)


def line_faults(code, line):
    """(operator, mutated line) for every fault the operators make on one
    line; `code` is the line blanked out, `line` the line itself."""
    out = []

    def put(op, a, b, text):
        out.append((op, line[:a] + text + line[b:]))

    for m in RELATIONAL.finditer(code):
        a, b = m.span(1)
        put("rel-flip", a, b, FLIP[m.group(1)])
        put("rel-shift", a, b, SHIFT[m.group(1)])
    for m in EQUALITY.finditer(code):
        a, b = m.span(1)
        put("eq-flip", a, b, "!=" if m.group(1) == "==" else "==")
    for m in LOGICAL.finditer(code):
        a, b = m.span(1)
        put("logic-swap", a, b, "||" if m.group(1) == "&&" else "&&")
    for m in CONDITION.finditer(code):
        if code[m.start() - 1:m.start()] in ("_", "#"):
            continue
        open_paren = m.end() - 1
        close = closing(code, open_paren)
        if close > 0 and not DECLARATION.match(code, open_paren + 1):  # `if (Ref r = f())` declares
            put("negate", open_paren, close + 1, "(!" + line[open_paren:close + 1] + ")")
    for m in NUMBER.finditer(code):
        digits, suffix = m.group(1), m.group(2)
        value = int(digits, 0)
        a, b = m.span(1)
        for v in (value + 1, value - 1):
            if digits.lower().startswith("0x"):
                text = ("0x%x" if digits[2:].islower() or not digits[2:].isalpha() else "0x%X") % v if v >= 0 else str(v)
            else:
                text = str(v)
            if suffix and v < 0:
                continue
            put("const", a, b, text)
    for m in RETURNED.finditer(code):
        a, b = m.span(1)
        put("return", a, b, SWAP_RETURN[m.group(1)])
    span = dropped_call(code)
    if span:
        a, b = span
        if a == len(code) - len(code.lstrip()) and code[b:].strip() == ";":
            out.append(("drop-call", line[:a].rstrip() if line[:a].strip() else ""))
        else:
            put("drop-call", a, b + 1, "{}")
    for m in CHECK.finditer(code):
        before = code[:m.start()].rstrip()
        if before and (before[-1].isalnum() or before[-1] == "_") and not before.endswith("return"):
            continue  # `int check(...)`: the definition, not a call
        close = closing(code, m.end() - 1)
        if close > 0:
            put("drop-check", m.start(), m.end() - 1, "")
    for m in STEAL.finditer(code):
        put("drop-check", m.start(), m.end() - 1, "Ref::steal_or_null")
    for m in RETAIN.finditer(code):
        put("drop-ref", m.start(), m.end() - 1, "Ref::steal_or_null")
    for m in RETAIN_METHOD.finditer(code):
        put("drop-ref", m.start(), m.end(), f"Ref::steal_or_null({m.group(1)}.get())")
    for m in NEW_REF.finditer(code):
        put("drop-ref", m.start(), m.end() - 1, "")
    return out


# ------------------------------------------------------------ the draw

def source_files(root=ROOT):
    base = root / SOURCES
    return sorted(p for p in base.rglob("*") if p.suffix in (".cpp", ".hpp"))


def file_faults(path, root=ROOT):
    """Every fault of one file, in line order, and its size: the lines of
    code it has outside directives and the checked builds' own blocks."""
    text = path.read_text()
    code_text = blank_out(text)
    rel = str(path.relative_to(root / SOURCES))
    faults, seen, size = [], set(), 0
    checked_only = []  # the stack of open #if blocks: whether each is the checked builds' code
    raw = text.split("\n")
    counts = {}
    for ln in raw:
        counts[ln.strip()] = counts.get(ln.strip(), 0) + 1
    above = ""
    for number, (code, line) in enumerate(zip(code_text.split("\n"), raw), start=1):
        if number > 1 and raw[number - 2].strip():
            above = raw[number - 2].strip()
        stripped = code.strip()
        if stripped.startswith("#"):
            directive = stripped[1:].split()
            if directive and directive[0] in ("if", "ifdef", "ifndef"):
                checked_only.append("RAPI_CHECKED" in directive)
            elif directive and directive[0] == "endif":
                checked_only.pop()
            continue
        # The checked builds' own checks and counters are not the module's
        # behaviour (the optimised build has none of them).
        if not stripped or "static_assert" in code or any(checked_only):
            continue
        size += 1
        for op, mutated in line_faults(code, line):
            if mutated != line and (number, mutated) not in seen:
                seen.add((number, mutated))
                faults.append(Fault(rel, number, op, line, mutated, above, counts[line.strip()] > 1))
    return faults, size


def quotas(sizes, available, n):
    """N spread over the files in proportion to their size (largest
    remainders), none given more faults than it has; what a file cannot
    take goes to the others the same way."""
    quota = {f: 0 for f in sizes}
    left = min(n, sum(available.values()))
    while left > 0:
        open_files = [f for f in sizes if quota[f] < available[f]]
        total = sum(sizes[f] for f in open_files)
        shares = {f: left * sizes[f] / total for f in open_files}
        give = {f: min(int(shares[f]), available[f] - quota[f]) for f in open_files}
        rest = left - sum(give.values())
        by_remainder = sorted(open_files, key=lambda f: (-(shares[f] - int(shares[f])), f))
        for f in by_remainder:
            if rest == 0:
                break
            if give[f] < available[f] - quota[f]:
                give[f] += 1
                rest -= 1
        for f in open_files:
            quota[f] += give[f]
        left = min(n, sum(available.values())) - sum(quota.values())
    return quota


def draw(seed=1, n=120, root=ROOT):
    """The N faults of the seed, file by file (sources, then headers)."""
    every, sizes = {}, {}
    for path in source_files(root):
        faults, size = file_faults(path, root)
        rel = str(path.relative_to(root / SOURCES))
        every[rel], sizes[rel] = faults, size
    sizes = {f: s for f, s in sizes.items() if every[f]}
    quota = quotas(sizes, {f: len(every[f]) for f in sizes}, n)
    chosen = []
    for f in sorted(sizes):
        # A generator of its own per file: an edit to one file leaves the
        # faults of the others as they were (while the quotas stay).
        picked = random.Random(f"{seed}:{f}").sample(range(len(every[f])), quota[f])
        chosen.extend(every[f][i] for i in sorted(picked))
    chosen.sort(key=lambda fault: (fault.file.endswith(".hpp"), fault.file, fault.line))
    return chosen


def all_faults(root=ROOT):
    return [fault for path in source_files(root) for fault in file_faults(path, root)[0]]


# ------------------------------------------------------------ equivalents

def read_equivalents(path=EQUIVALENTS):
    """{(file, line, mutated line): [(line above or None, reason)]} from the
    list of equivalent faults. Each entry: the file; optionally `^ ` and the
    nearest line above it with any text (needed when the file has the line
    more than once); `- ` and the line as it stands; `+ ` and the line as
    mutated; `= ` and the reason (going on over further lines that start
    with two spaces). Blank lines and lines starting with # separate them."""
    entries = {}
    if not path.exists():
        return entries
    lines = path.read_text().splitlines()
    i = 0
    while i < len(lines):
        ln = lines[i]
        if not ln.strip() or ln.startswith("#"):
            i += 1
            continue
        start, file, above = i + 1, ln.strip(), None
        i += 1
        if i < len(lines) and lines[i].startswith("^ "):
            above = lines[i][2:].strip()
            i += 1
        try:
            original, mutated, reason = lines[i], lines[i + 1], lines[i + 2]
            if not (original.startswith("- ") and mutated.startswith("+ ") and reason.startswith("= ")):
                raise ValueError
        except (IndexError, ValueError):
            raise SystemExit(f"{path.name}:{start}: an entry is a file, maybe '^ ', then '- ', '+ ' and '= ' lines")
        i += 3
        reason = reason[2:].strip()
        while i < len(lines) and lines[i].startswith("  "):
            reason += " " + lines[i].strip()
            i += 1
        entries.setdefault((file, original[2:].strip(), mutated[2:].strip()), []).append((above, reason))
    return entries


def equivalence(entries, fault):
    """The reason a fault is listed as equivalent, or "". An entry without
    the line above applies only where the file has its line once."""
    for above, reason in entries.get(fault.key(), []):
        if above == fault.above or (above is None and not fault.repeated):
            return reason
    return ""


def show(fault):
    return f"{fault.id} {fault.operator}\n  - {fault.original.strip()}\n  + {fault.mutated.strip()}"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("-n", type=int, default=120)
    ap.add_argument("--all", action="store_true", help="every fault the operators make, not a draw")
    args = ap.parse_args()
    faults = all_faults() if args.all else draw(args.seed, args.n)
    equivalent = read_equivalents()
    for fault in faults:
        reason = equivalence(equivalent, fault)
        print(show(fault) + (f"\n  = equivalent: {reason}" if reason else ""))
    ops = {}
    for fault in faults:
        ops[fault.operator] = ops.get(fault.operator, 0) + 1
    print(f"{len(faults)} faults: " + ", ".join(f"{k} {v}" for k, v in sorted(ops.items())))


if __name__ == "__main__":
    main()
