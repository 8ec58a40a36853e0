"""Deterministic inputs for the benchmarks, shaped like real agent traffic.

Everything is generated from fixed seeds: agent conversations (system prompt,
multimodal user turns, assistant turns with tool calls, large tool outputs),
tool definitions with real-looking JSON schemas, non-streaming replies, and
SSE stream bodies framed the way the service frames them; and, as it is, a
stream recorded from the service (the one the tests replay).
"""

import json
import math
import random
import string
from pathlib import Path

RECORDED_STREAMS = Path(__file__).resolve().parent.parent / "tests" / "data" / "recorded" / "streams"

_WORDS = (
    "the a of to and in is that for it with as on be this are by from or at an was not but can "
    "file function value request response stream token model input output error return list dict "
    "string number config path module test build server client message tool call result data line "
    "buffer event index item state update check parse load write read open close handle retry "
    "timeout cache queue thread process memory latency schema field type default option argument "
    "we should will would could then when where which because however therefore first next finally "
    "user assistant system prompt context window reasoning summary answer question example note "
    "café naïve über façade déjà — → ✓ 日本語 ü"
).split()
_CODE = [
    "def {w}_{v}(self, {v}):",
    "    return self._{w}.get({v!r}, None)",
    "import {w}",
    "from . import {w}_{v}",
    "    if not {v}:",
    "        raise ValueError('{w} {v} missing')",
    "    for {v} in {w}:",
    "        yield {v}",
    "class {W}{V}:",
    '    """{w} {v} helper."""',
    "{v} = {w}.{v}({w}, timeout=30)",
    "",
]
_ALNUM = string.ascii_letters + string.digits


def prose(rng, n):
    """About n characters of running text, cut to exactly n."""
    words = rng.choices(_WORDS, k=n // 5 + 8)
    out, size = [], 0
    for i, w in enumerate(words):
        if i % 17 == 16:
            w += "."
        out.append(w)
        size += len(w) + 1
        if size >= n:
            break
    return " ".join(out)[:n]


def code(rng, n):
    """About n characters of source code."""
    lines, size = [], 0
    while size < n:
        w, v = rng.choice(_WORDS[:80]), rng.choice(_WORDS[:80])
        line = rng.choice(_CODE).format(w=w, v=v, W=w.title(), V=v.title())
        lines.append(line)
        size += len(line) + 1
    return "\n".join(lines)[:n]


def ident(rng, prefix, n=24):
    return prefix + "".join(rng.choices(_ALNUM, k=n))


def log_uniform(rng, lo, hi):
    return int(math.exp(rng.uniform(math.log(lo), math.log(hi))))


# ------------------------------------------------------------------ tools

# name, description, [(parameter, schema, required)]
_S, _I, _B = {"type": "string"}, {"type": "integer"}, {"type": "boolean"}
_TOOL_TABLE = [
    (
        "read_file",
        "Read a text file from the workspace, optionally a window of lines.",
        [("path", _S, 1), ("offset", _I, 0), ("limit", _I, 0)],
    ),
    ("write_file", "Create or overwrite a file with the given content.", [("path", _S, 1), ("content", _S, 1)]),
    (
        "edit_file",
        "Replace an exact string in a file.",
        [("path", _S, 1), ("old_string", _S, 1), ("new_string", _S, 1), ("replace_all", _B, 0)],
    ),
    (
        "list_directory",
        "List the entries of a directory.",
        [("path", _S, 1), ("recursive", _B, 0), ("max_depth", _I, 0)],
    ),
    ("glob_files", "Find files whose path matches a glob pattern.", [("pattern", _S, 1), ("root", _S, 0)]),
    (
        "search_code",
        "Search the workspace for a regular expression.",
        [
            ("query", _S, 1),
            ("path", _S, 0),
            ("file_types", {"type": "array", "items": _S}, 0),
            ("case_sensitive", _B, 0),
            ("max_results", {"type": "integer", "minimum": 1, "maximum": 500}, 0),
        ],
    ),
    (
        "run_command",
        "Run a shell command and return its output.",
        [
            ("command", _S, 1),
            ("cwd", _S, 0),
            ("timeout_seconds", _I, 0),
            ("env", {"type": "object", "additionalProperties": _S}, 0),
        ],
    ),
    (
        "run_tests",
        "Run the test suite or a subset of it.",
        [("target", _S, 0), ("markers", {"type": "array", "items": _S}, 0), ("fail_fast", _B, 0)],
    ),
    (
        "web_search",
        "Search the web and return ranked results.",
        [
            ("query", _S, 1),
            ("num_results", _I, 0),
            ("recency", {"type": "string", "enum": ["day", "week", "month", "any"]}, 0),
        ],
    ),
    (
        "fetch_url",
        "Fetch a URL and return its content.",
        [
            ("url", {"type": "string", "format": "uri"}, 1),
            ("format", {"type": "string", "enum": ["markdown", "html", "text"]}, 0),
            ("max_bytes", _I, 0),
        ],
    ),
    ("git_status", "Show the working tree status.", [("repo_path", _S, 0)]),
    (
        "git_diff",
        "Show changes between commits or the working tree.",
        [("repo_path", _S, 0), ("staged", _B, 0), ("paths", {"type": "array", "items": _S}, 0)],
    ),
    (
        "git_commit",
        "Record staged changes.",
        [("message", _S, 1), ("paths", {"type": "array", "items": _S}, 0), ("amend", _B, 0)],
    ),
    (
        "create_issue",
        "Open an issue in the tracker.",
        [
            ("title", _S, 1),
            ("body", _S, 1),
            ("labels", {"type": "array", "items": _S}, 0),
            ("priority", {"type": "string", "enum": ["low", "medium", "high", "urgent"]}, 0),
        ],
    ),
    (
        "query_database",
        "Run a read-only SQL query.",
        [
            ("sql", _S, 1),
            ("params", {"type": "array", "items": {"anyOf": [_S, {"type": "number"}, {"type": "null"}]}}, 0),
            ("database", {"type": "string", "enum": ["analytics", "billing", "users"]}, 1),
            ("row_limit", _I, 0),
        ],
    ),
    (
        "send_email",
        "Send an email on the user's behalf.",
        [
            ("to", {"type": "array", "items": {"type": "string", "format": "email"}, "minItems": 1}, 1),
            ("subject", _S, 1),
            ("body", _S, 1),
            (
                "attachments",
                {
                    "type": "array",
                    "items": {
                        "type": "object",
                        "properties": {"filename": _S, "content_base64": _S},
                        "required": ["filename", "content_base64"],
                    },
                },
                0,
            ),
        ],
    ),
    (
        "schedule_event",
        "Create a calendar event.",
        [
            ("title", _S, 1),
            ("start", {"type": "string", "format": "date-time"}, 1),
            ("end", {"type": "string", "format": "date-time"}, 1),
            (
                "attendees",
                {
                    "type": "array",
                    "items": {"type": "object", "properties": {"email": _S, "optional": _B}, "required": ["email"]},
                },
                0,
            ),
        ],
    ),
    (
        "get_weather",
        "Current weather for a location.",
        [("location", _S, 1), ("units", {"type": "string", "enum": ["metric", "imperial"]}, 0)],
    ),
    ("python_eval", "Evaluate Python code in a sandbox.", [("code", _S, 1), ("timeout", {"type": "number"}, 0)]),
    (
        "ask_user",
        "Ask the user a clarifying question.",
        [("question", _S, 1), ("options", {"type": "array", "items": _S}, 0)],
    ),
]


def _tool(name, description, params):
    props = {p: dict(schema, description=f"The {p.replace('_', ' ')} to use.") for p, schema, _ in params}
    schema = {
        "type": "object",
        "properties": props,
        "required": [p for p, _, req in params if req],
        "additionalProperties": False,
    }
    return {"type": "function", "function": {"name": name, "description": description, "parameters": schema}}


def tools(n):
    """n tool definitions in the nested shape; past 20 they repeat under plugin prefixes."""
    out = []
    for i in range(n):
        name, desc, params = _TOOL_TABLE[i % len(_TOOL_TABLE)]
        if i >= len(_TOOL_TABLE):
            name = f"plugin{i // len(_TOOL_TABLE)}__{name}"
        out.append(_tool(name, desc, params))
    return out


# ---------------------------------------------------------- conversations


def _arguments(rng, size):
    path = "/".join(rng.choices(_WORDS[:60], k=3)) + ".py"
    args = {"path": path, "content": ""}
    args["content"] = code(rng, max(1, size - len(json.dumps(args))))
    return json.dumps(args)


def _tool_output(rng, size):
    kind = rng.random()
    if kind < 0.2:  # a structured result, serialised by the module
        return {
            "status": "ok",
            "exit_code": 0,
            "duration_ms": rng.randint(3, 9000),
            "stdout": code(rng, size),
            "stderr": "",
            "truncated": size > 10000,
        }
    if kind < 0.6:
        return code(rng, size)
    return prose(rng, size)


def _user(rng):
    text = prose(rng, log_uniform(rng, 20, 1500))
    if rng.random() < 0.7:
        return {"role": "user", "content": text}
    parts = [{"type": "text", "text": text}]
    for _ in range(rng.randint(1, 2)):
        if rng.random() < 0.5:
            blob = "".join(rng.choices(_ALNUM + "+/", k=rng.randint(2000, 8000)))
            parts.append({"type": "image_url", "image_url": {"url": "data:image/png;base64," + blob, "detail": "auto"}})
        else:
            parts.append({"type": "image_url", "image_url": f"https://images.example.com/{ident(rng, '', 16)}.jpg"})
    return {"role": "user", "content": parts}


def conversation(n, seed=0, tool_defs=None):
    """An agent conversation of exactly n messages."""
    rng = random.Random(seed)
    names = [t["function"]["name"] for t in (tool_defs or tools(20))]
    msgs = [{"role": "system", "content": prose(rng, 3000)}]
    while len(msgs) < n:
        msgs.append(_user(rng))
        for _ in range(rng.randint(1, 4)):
            calls = [
                {
                    "id": ident(rng, "call_"),
                    "type": "function",
                    "function": {"name": rng.choice(names), "arguments": _arguments(rng, log_uniform(rng, 50, 2000))},
                }
                for _ in range(rng.randint(1, 3))
            ]
            text = prose(rng, rng.randint(20, 300)) if rng.random() < 0.5 else None
            msgs.append({"role": "assistant", "content": text, "tool_calls": calls})
            msgs += [
                {"role": "tool", "tool_call_id": c["id"], "content": _tool_output(rng, log_uniform(rng, 100, 20000))}
                for c in calls
            ]
        msgs.append({"role": "assistant", "content": prose(rng, log_uniform(rng, 50, 2000))})
    return msgs[:n]


# ---------------------------------------------------------------- replies


def _envelope(rng, output, status="completed"):
    return {
        "id": ident(rng, "resp_", 48),
        "object": "response",
        "created_at": 1751120013,
        "status": status,
        "background": False,
        "error": None,
        "incomplete_details": None,
        "instructions": None,
        "max_output_tokens": None,
        "max_tool_calls": None,
        "model": "gpt-4o",
        "output": output,
        "parallel_tool_calls": True,
        "previous_response_id": None,
        "reasoning": {"effort": None, "summary": None},
        "service_tier": "default",
        "store": True,
        "temperature": 1.0,
        "text": {"format": {"type": "text"}},
        "tool_choice": "auto",
        "tools": [],
        "top_logprobs": 0,
        "top_p": 1.0,
        "truncation": "disabled",
        "usage": {
            "input_tokens": rng.randint(10, 90000),
            "input_tokens_details": {"cached_tokens": 0},
            "output_tokens": rng.randint(5, 4000),
            "output_tokens_details": {"reasoning_tokens": 0},
            "total_tokens": 0,
        },
        "user": None,
        "metadata": {},
    }


def _message(rng, texts):
    return {
        "id": ident(rng, "msg_", 48),
        "type": "message",
        "status": "completed",
        "role": "assistant",
        "content": [{"type": "output_text", "annotations": [], "logprobs": [], "text": t} for t in texts],
    }


def _call(rng, size):
    return {
        "id": ident(rng, "fc_", 48),
        "type": "function_call",
        "status": "completed",
        "arguments": _arguments(rng, size),
        "call_id": ident(rng, "call_"),
        "name": rng.choice(_TOOL_TABLE)[0],
    }


def _reasoning(rng, n_parts):
    return {
        "id": ident(rng, "rs_", 48),
        "type": "reasoning",
        "encrypted_content": ident(rng, "gAAAA", 1200),
        "summary": [{"type": "summary_text", "text": prose(rng, 400)} for _ in range(n_parts)],
    }


def replies(seed=1):
    """The four non-streaming replies, by name."""
    rng = random.Random(seed)
    out = {
        "text": _envelope(rng, [_message(rng, [prose(rng, 600)])]),
        "five_calls": _envelope(rng, [_call(rng, log_uniform(rng, 50, 600)) for _ in range(5)]),
        "reasoning_message": _envelope(rng, [_reasoning(rng, 3), _message(rng, [prose(rng, 900)])]),
        "large_100k": _envelope(
            rng,
            [
                _reasoning(rng, 6),
                _message(rng, [prose(rng, 3500) for _ in range(20)]),
                *(_call(rng, 6000) for _ in range(3)),
            ],
        ),
    }
    for r in out.values():
        u = r["usage"]
        u["total_tokens"] = u["input_tokens"] + u["output_tokens"]
    return out


# ---------------------------------------------------------------- streams


def _frame(events, newline="\n"):
    out = []
    for ev in events:
        data = json.dumps(ev, ensure_ascii=False, separators=(",", ":"))
        out.append(f"event: {ev['type']}{newline}data: {data}{newline}{newline}")
    return "".join(out).encode("utf-8")


def _numbered(events):
    for i, ev in enumerate(events):
        ev["sequence_number"] = i
    return events


def _obfuscation(rng, delta):
    return "".join(rng.choices(_ALNUM, k=max(2, 16 - len(delta.encode()))))


def text_stream(n_deltas=2000, seed=2, newline="\n"):
    """A streamed text reply of n_deltas small deltas, as bytes."""
    rng = random.Random(seed)
    env = _envelope(rng, [], "in_progress")
    msg_id = ident(rng, "msg_", 48)
    deltas = [(" " if i else "") + rng.choice(_WORDS) for i in range(n_deltas)]
    text = "".join(deltas)
    item = {"id": msg_id, "type": "message", "status": "in_progress", "content": [], "role": "assistant"}
    part = {"type": "output_text", "annotations": [], "logprobs": [], "text": ""}
    events = [
        {"type": "response.created", "response": env},
        {"type": "response.in_progress", "response": env},
        {"type": "response.output_item.added", "output_index": 0, "item": item},
        {"type": "response.content_part.added", "item_id": msg_id, "output_index": 0, "content_index": 0, "part": part},
    ]
    events += [
        {
            "type": "response.output_text.delta",
            "sequence_number": 0,
            "item_id": msg_id,
            "output_index": 0,
            "content_index": 0,
            "delta": d,
            "obfuscation": _obfuscation(rng, d),
        }
        for d in deltas
    ]
    done_part = dict(part, text=text)
    done_item = dict(item, status="completed", content=[done_part])
    events += [
        {
            "type": "response.output_text.done",
            "item_id": msg_id,
            "output_index": 0,
            "content_index": 0,
            "text": text,
            "logprobs": [],
        },
        {
            "type": "response.content_part.done",
            "item_id": msg_id,
            "output_index": 0,
            "content_index": 0,
            "part": done_part,
        },
        {"type": "response.output_item.done", "output_index": 0, "item": done_item},
        {"type": "response.completed", "response": dict(env, status="completed", output=[done_item])},
    ]
    return _frame(_numbered(events), newline)


def function_stream(n_fragments=500, n_calls=2, seed=3):
    """Function calls whose arguments arrive in n_fragments fragments in all, as bytes."""
    rng = random.Random(seed)
    env = _envelope(rng, [], "in_progress")
    events = [{"type": "response.created", "response": env}, {"type": "response.in_progress", "response": env}]
    items = []
    for k in range(n_calls):
        item = {
            "id": ident(rng, "fc_", 48),
            "type": "function_call",
            "status": "in_progress",
            "arguments": "",
            "call_id": ident(rng, "call_"),
            "name": rng.choice(_TOOL_TABLE)[0],
        }
        events.append({"type": "response.output_item.added", "output_index": k, "item": item})
        args = _arguments(rng, 4 * n_fragments // n_calls)
        cuts = [0, *sorted(rng.sample(range(1, len(args)), n_fragments // n_calls - 1)), len(args)]
        frags = [args[a:b] for a, b in zip(cuts, cuts[1:])]
        events += [
            {
                "type": "response.function_call_arguments.delta",
                "sequence_number": 0,
                "item_id": item["id"],
                "output_index": k,
                "delta": f,
                "obfuscation": _obfuscation(rng, f),
            }
            for f in frags
        ]
        done = dict(item, status="completed", arguments="".join(frags))
        events += [
            {
                "type": "response.function_call_arguments.done",
                "item_id": item["id"],
                "output_index": k,
                "arguments": done["arguments"],
            },
            {"type": "response.output_item.done", "output_index": k, "item": done},
        ]
        items.append(done)
    events.append({"type": "response.completed", "response": dict(env, status="completed", output=items)})
    return _frame(_numbered(events))


def big_line_stream(size=8 << 20, seed=4):
    """One "response.completed" event whose data line is about `size` bytes."""
    rng = random.Random(seed)
    env = _envelope(rng, [], "completed")
    msg = _message(rng, [""])
    env["output"] = [msg]
    overhead = len(_frame([{"type": "response.completed", "sequence_number": 0, "response": env}]))
    text = prose(rng, size - overhead)
    msg["content"][0]["text"] = text[: len(text) - (len(text.encode()) - len(text))]  # bytes, not characters
    return _frame([{"type": "response.completed", "sequence_number": 0, "response": env}])


def recorded_stream(name):
    """A stream recorded from the service, as the tests replay it."""
    return (RECORDED_STREAMS / name).read_bytes()


def data_lines(body):
    """The text of every data line of a body: what a reader hands to json.loads."""
    return [ln[5:].decode("utf-8").strip() for ln in body.split(b"\n") if ln.startswith(b"data:")]
