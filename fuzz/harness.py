"""Differential fuzz targets: the native module against its pure-Python twin.

    python fuzz/harness.py TARGET [libFuzzer options] [corpus dirs]

(fuzz/run.sh runs it through a small wrapper per target, named in FUZZ_SELF,
which libFuzzer starts again for its -merge and -fork modes.)

Every target builds its input from the fuzzer's bytes (the data provider
picks the structure from the vocabulary of the messages, tools, replies and
stream events the module reads), runs it through both implementations and
fails on any difference: results (types and key order included), exception
types, printed text, changes to the input, and for streams every delta, the
final exception type, the debug record and every read, enter and exit seen
by the response. Crashes and sanitizer reports end the run by themselves.
"""

import contextlib
import copy
import io
import json
import math
import os
import sys
import time
import urllib.request

import atheris

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

with atheris.instrument_imports(include=["twin"]):
    from twin import responses_api as twin
from routes import responses_api as native  # noqa: E402
from fake_opener import FakeOpener, FakeResponse, FakeResponse1  # noqa: E402

time.time = lambda: 1.0  # the debug record's timestamp, the same for both


class Sub(dict):
    pass


class SubList(list):
    pass


class SubStr(str):
    pass


KEYS = [
    "role",
    "content",
    "type",
    "text",
    "output_text",
    "image_url",
    "image",
    "url",
    "tool_calls",
    "tool_call_id",
    "id",
    "function",
    "name",
    "arguments",
    "description",
    "parameters",
    "model",
    "temperature",
    "max_tokens",
    "output",
    "call_id",
    "usage",
    "input_tokens",
    "output_tokens",
    "total_tokens",
    "prompt_tokens",
    "completion_tokens",
    "choices",
    "object",
    "item",
    "item_id",
    "delta",
    "response",
    "error",
    "message",
    "incomplete_details",
    "code",
    "status",
    "detail",
    "summary",
    "output_index",
    "summary_index",
    "part",
    "reasoning_effort",
    "reasoning_summary",
    "input_tokens_details",
    "output_tokens_details",
    "prompt_tokens_details",
    "completion_tokens_details",
    "cached_tokens",
    "reasoning_tokens",
    "reason",
    "reasoning_details",
    "phase",
    "encrypted_content",
    "store",
    "data",
    "format",
    "index",
]
WORDS = [
    "",
    " ",
    "\n",
    "system",
    "developer",
    "user",
    "assistant",
    "tool",
    "text",
    "input_text",
    "output_text",
    "image_url",
    "input_image",
    "output_image",
    "function",
    "function_call",
    "message",
    "response",
    "hi",
    "\u00e9\u2713\U0001f31f",
    "[DONE]",
    "null",
    "data:",
    "x" * 600,
    "\ud800",
    "auto",
    "none",
    "required",
    "reasoning",
    "summary_text",
    "low",
    "high",
    "\n\n",
    "reasoning_text",
    "incomplete",
    "failed",
    "completed",
    "content_filter",
    "max_output_tokens",
    "reasoning.encrypted",
    "openai-responses-v1",
    "commentary",
    "final_answer",
]
LEAVES = [None, True, False, 0, 1, -7, 2**70, 1.5, math.nan, math.inf, -0.0, b"x\xff"]
EVENT_TYPES = [
    "response.output_text.delta",
    "response.reasoning_text.delta",
    "response.output_item.added",
    "response.function_call_arguments.delta",
    "response.function_call_arguments.done",
    "response.output_item.done",
    "response.completed",
    "response.failed",
    "response.incomplete",
    "error",
    "response.created",
    "response.in_progress",
    "response.refusal.delta",
    "",
    "response.reasoning_summary_text.delta",
    "response.reasoning_summary_part.added",
    "response.reasoning_summary_part.done",
    "response.reasoning_summary_text.done",
    "response.reasoning.delta",
]
# Output and summary positions: ints mostly, and what the readers must not
# take for one (bools, numeric strings, floats equal to an int, NaN, lists).
INDEXES = [0, 1, 2, 3, 0, 1, True, False, "0", "1", 0.0, 1.0, math.nan, -1, 2**64, None, [0], [], {"i": 0}]
DETAILS = ["low", "high", "auto", "", SubStr("low"), SubStr(""), None, 0, 1.5, True, ["low"], {"d": "low"}, b"low"]
PHASES = ["commentary", "final_answer", "commentary", "", SubStr("commentary"), SubStr(""), None, 0, ["commentary"]]
# Encrypted reasoning as the service gives it (long, base64), and otherwise.
ENCRYPTED = [
    "gAAAAABpPDIVOKrsHNZ0" + "Q" * 300,
    "gAAAAABpPDIU",
    "rsn_5ZVrif4J",
    "",
    SubStr("gAAAA"),
    None,
    7,
    ["gAAAA"],
    b"gAAAA",
]
DETAIL_TYPES = [
    "reasoning.encrypted",
    "reasoning.encrypted",
    "reasoning.encrypted",
    "reasoning.text",
    "reasoning.summary",
    SubStr("reasoning.encrypted"),
    "",
    None,
]
FORMATS = [None, "openai-responses-v1", "openai-responses-v1", SubStr("openai-responses-v1"), "other-v1", "", 1]


class Gen:
    """Structured values drawn from the fuzzer's bytes."""

    def __init__(self, data):
        self.f = atheris.FuzzedDataProvider(data)
        self.count = 0

    def serial(self):
        self.count += 1
        return self.count

    def n(self, lo, hi):
        return self.f.ConsumeIntInRange(lo, hi)

    def pick(self, seq):
        return seq[self.n(0, len(seq) - 1)]

    def chance(self, k):  # 1 in k
        return self.n(0, k - 1) == 0

    def text(self):
        c = self.n(0, 5)
        if c == 0:
            return self.f.ConsumeUnicode(self.n(0, 12))
        if c == 1:
            return SubStr(self.pick(WORDS))
        if c == 2:
            return self.pick(EVENT_TYPES)
        return self.pick(WORDS)

    def leaf(self):
        return self.text() if self.chance(2) else self.pick(LEAVES)

    def value(self, depth=3, keys=KEYS):
        c = self.n(0, 9) if depth > 0 else 9
        if c <= 3:
            return self.dict(depth, keys)
        if c <= 5:
            return self.list(depth, keys)
        if c == 6:
            return tuple(self.list(depth, keys))
        return self.leaf()

    def dict(self, depth=3, keys=KEYS, cls=None):
        d = (cls or (Sub if self.chance(6) else dict))()
        for _ in range(self.n(0, 5)):
            d[self.pick(keys) if not self.chance(12) else self.text()] = self.value(depth - 1, keys)
        return d

    def list(self, depth=3, keys=KEYS):
        items = [self.value(depth - 1, keys) for _ in range(self.n(0, 4))]
        return SubList(items) if self.chance(8) else items

    # Shaped values: mostly well-formed, with a random value anywhere.
    def content(self, depth=2):
        c = self.n(0, 4)
        if c == 0:
            return self.text()
        if c <= 2:
            parts = []
            for _ in range(self.n(0, 4)):
                if self.chance(3):
                    parts.append(self.value(1))
                    continue
                if self.chance(3):
                    parts.append(self.image_part())
                    continue
                part = {"type": self.pick(["text", "image_url", "input_image", "output_image", "input_text", "x"])}
                for k in self.sample(["text", "output_text", "image_url", "image", "detail"]):
                    if k == "detail":
                        part[k] = self.detail()
                    elif k in ("image_url", "image") and self.chance(2):
                        part[k] = self.image_ref()
                    else:
                        part[k] = self.leaf()
                parts.append(part)
            return parts
        return self.value(depth)

    def detail(self):
        return self.pick(DETAILS) if not self.chance(4) else self.leaf()

    def image_ref(self):
        """The Chat form's image reference: {"url": U, "detail": D}."""
        ref = Sub() if self.chance(6) else {}
        if not self.chance(8):
            ref["url"] = self.text() if not self.chance(6) else self.leaf()
        if not self.chance(3):
            ref["detail"] = self.detail()
        return ref

    def image_part(self):
        """An image part in the Chat form {"type": "image_url", "image_url":
        {"url": U, "detail": D}}, the Responses form {"type": "input_image",
        "image_url": U, "detail": D}, or a mix of both."""
        kind = self.pick(["image_url", "input_image", "output_image", SubStr("input_image")])
        key = "image" if self.chance(6) else "image_url"
        if self.chance(2):
            part = {"type": kind, key: self.image_ref()}
            if self.chance(4):
                part["detail"] = self.detail()
        else:
            part = {"type": kind, key: self.text() if not self.chance(6) else self.leaf()}
            if not self.chance(4):
                part["detail"] = self.detail()
        return part

    def index(self):
        return self.pick(INDEXES)

    def summary(self):
        """A reasoning item's "summary": a list of summary parts (dicts whose
        "text" is of any type), or anything else."""
        if self.chance(6):
            return self.value(1)
        parts = []
        for _ in range(self.n(0, 4)):
            if self.chance(6):
                parts.append(self.value(1))
                continue
            p = Sub() if self.chance(8) else {}
            if not self.chance(4):
                p["type"] = "summary_text"
            if not self.chance(6):
                p["text"] = self.text() if not self.chance(4) else self.leaf()
            parts.append(p)
        return SubList(parts) if self.chance(8) else parts

    def sample(self, keys):
        return [k for k in keys if self.chance(2)]

    def message(self):
        if self.chance(10):
            return self.value(2)
        m = Sub() if self.chance(6) else {}
        m["role"] = self.pick(["system", "developer", "user", "assistant", "tool", "x", None])
        if not self.chance(6):
            m["content"] = self.content()
        if self.chance(3):
            m["tool_calls"] = [self.tool_call() for _ in range(self.n(0, 3))] if not self.chance(6) else self.value(1)
        if self.chance(3):
            m["tool_call_id"] = self.leaf()
        if m["role"] == "assistant" or self.chance(12):
            if self.chance(2):
                m["reasoning_details"] = self.reasoning_details()
            if self.chance(2):
                m["phase"] = self.phase()
        return m

    def phase(self):
        return self.pick(PHASES) if not self.chance(6) else self.leaf()

    def encrypted(self):
        return self.pick(ENCRYPTED) if not self.chance(6) else self.leaf()

    def reasoning_detail(self):
        """A `reasoning_details` entry: encrypted reasoning as a reply gives
        it, at times with some of its values wrong or left out, or no dict."""
        if self.chance(6):
            return self.value(1)
        d = (Sub if self.chance(6) else dict)(
            type="reasoning.encrypted",
            data=self.pick(ENCRYPTED[:3]),
            id=self.pick(["rs_1", "rs_2"]),
            format="openai-responses-v1",
            index=self.n(0, 2),
        )
        wrong = {
            "type": lambda: self.pick(DETAIL_TYPES) if not self.chance(8) else self.leaf(),
            "data": self.encrypted,
            "id": lambda: self.pick(["rs_1", "", SubStr("rs_s"), None]) if not self.chance(6) else self.leaf(),
            "format": lambda: self.pick(FORMATS) if not self.chance(8) else self.leaf(),
            "index": lambda: self.pick(INDEXES),
        }
        for k in self.sample(list(wrong)) if self.chance(2) else []:
            if self.chance(4):
                del d[k]
            else:
                d[k] = wrong[k]()
        return d

    def reasoning_details(self):
        if self.chance(6):
            return self.pick([self.reasoning_detail, self.leaf, lambda: self.value(1)])()
        details = [self.reasoning_detail() for _ in range(self.n(0, 3))]
        return self.pick([details, details, SubList(details), tuple(details)])

    def tool_call(self):
        if self.chance(8):
            return self.value(1)
        fn = {k: self.leaf() for k in self.sample(["name", "arguments"])}
        tc = {k: self.leaf() for k in self.sample(["id", "type"])}
        tc["function"] = fn if not self.chance(8) else self.value(1)
        return tc

    def messages(self):
        if self.chance(12):
            return self.value(2)
        return [self.message() for _ in range(self.n(0, 6))]

    def tool(self):
        if self.chance(8):
            return self.value(2)
        fn = {k: self.leaf() for k in self.sample(["name", "description"])}
        if self.chance(2):
            fn["parameters"] = self.value(2)
        return {
            "type": self.pick(["function", "function", "x", None]),
            "function": fn if not self.chance(8) else self.leaf(),
        }

    def tools(self):
        if self.chance(8):
            return self.value(2)
        return [self.tool() for _ in range(self.n(0, 4))]

    def reply(self):
        if self.chance(8):
            return self.value(3)
        r = {}
        for k in self.sample(["id", "object", "model", "output", "usage", "choices", "status", "incomplete_details"]):
            if k == "output":
                r[k] = [self.output_item() for _ in range(self.n(0, 4))] if not self.chance(6) else self.value(1)
            elif k == "usage":
                r[k] = self.usage()
            elif k == "status":
                r[k] = (
                    self.pick(["completed", "incomplete", "failed", "in_progress", SubStr("incomplete")])
                    if not self.chance(5)
                    else self.leaf()
                )
            elif k == "incomplete_details":
                r[k] = self.pick(
                    [
                        lambda: {"reason": self.pick(["max_output_tokens", "content_filter", None])},
                        lambda: self.value(1),
                    ]
                )()
            else:
                r[k] = self.leaf()
        return r

    def output_item(self):
        if self.chance(6):
            return self.value(2)
        kind = self.pick(["message", "function_call", "reasoning", "reasoning", None, SubStr("reasoning")])
        item = {"type": kind}
        if kind == "reasoning" and not self.chance(4):
            item["summary"] = self.summary()
        if kind == "reasoning" and self.chance(2):
            item["encrypted_content"] = self.encrypted()
        elif kind == "message" and self.chance(2):
            item["phase"] = self.phase()
        for k in self.sample(["content", "id", "call_id", "name", "arguments", "summary"]):
            if k == "summary":
                item[k] = self.summary()
            elif k == "content" and kind == "reasoning" and not self.chance(3):
                item[k] = self.reasoning_content()
            else:
                item[k] = self.content() if k == "content" else self.leaf()
        return item

    def reasoning_content(self):
        """A reasoning item's raw "content": reasoning_text parts mostly."""
        parts = []
        for _ in range(self.n(0, 3)):
            if self.chance(5):
                parts.append(self.value(1))
            else:
                parts.append(
                    {
                        "type": self.pick(["reasoning_text", "reasoning_text", "summary_text", None]),
                        "text": self.text() if not self.chance(5) else self.leaf(),
                    }
                )
        return parts if not self.chance(6) else self.pick([tuple(parts), self.leaf()])

    def token_details(self):
        if self.chance(4):
            return self.pick([{}, None, 0, "", [], [("cached_tokens", 1)], "x"])
        d = {
            k: self.pick([0, 1, 5, None, 2.5])
            for k in self.sample(["cached_tokens", "reasoning_tokens", "cache_write_tokens"])
        }
        return d if not self.chance(4) else Sub(d)

    def usage(self):
        if self.chance(6):
            return self.pick([lambda: self.value(1), lambda: self.pick([{}, None, 0, "", [], False, "usage", [1]])])()
        counts = [0, 1, 10, None, 2.5, True, "3", 2**65, -1, [1], {"n": 1}, math.nan, ""]
        u = {
            k: self.pick(counts)
            for k in self.sample(
                ["input_tokens", "output_tokens", "total_tokens", "prompt_tokens", "completion_tokens"]
            )
        }
        for k in self.sample(
            ["input_tokens_details", "prompt_tokens_details", "output_tokens_details", "completion_tokens_details"]
        ):
            u[k] = self.token_details()
        return u


# ------------------------------------------------------------- comparison


def canon(x, depth=0):
    """Types, key order and values; NaN equal to itself; cycles cut."""
    if depth > 40:
        return "<deep>"
    t = type(x).__name__
    if isinstance(x, dict):
        return (t, [(canon(k, depth + 1), canon(v, depth + 1)) for k, v in x.items()])
    if isinstance(x, (list, tuple)):
        return (t, [canon(v, depth + 1) for v in x])
    if isinstance(x, float):
        return (t, repr(x))
    if isinstance(x, BaseException):
        return (t,)
    return (t, x)


def outcome(fn, *args, **kw):
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            result = fn(*args, **kw)
        return ("ok", canon(result), out.getvalue())
    except Exception as e:  # the exception's type is what must agree
        return ("raised", type(e).__name__, out.getvalue())


class Divergence(AssertionError):
    pass


def compare(what, a, b, arg):
    if a != b:
        raise Divergence("%s differs\n  input:  %r\n  native: %r\n  twin:   %r" % (what, arg, a, b))


def differential(name, args, kw=None):
    """Runs native.NAME and twin.NAME on copies of the same arguments."""
    kw = kw or {}
    results = []
    for module in (native, twin):
        a, k = copy.deepcopy((args, kw))
        results.append((outcome(getattr(module, name), *a, **k), canon((a, k))))
    compare(name, results[0][0], results[1][0], (args, kw))
    compare(name + " (input afterwards)", results[0][1], results[1][1], (args, kw))


# ------------------------------------------------------------- targets


def t_normalize_content(g):
    differential("_normalize_content", (g.content(3), g.pick(["input_text", "output_text", g.text()])))


def t_convert_messages(g):
    differential("convert_messages", (g.messages(),))


def t_convert_tools(g):
    differential("convert_tools", (g.tools(),))


def t_normalize_response(g):
    differential("normalize_response", (g.reply(),))


def t_build_payload(g):
    cfg = g.dict(2, ["model", "temperature", "max_tokens", "x"]) if not g.chance(10) else g.value(1)
    if isinstance(cfg, dict) and g.chance(2):  # reasoning settings of every type
        for k in g.sample(["reasoning_effort", "reasoning_summary"]):
            cfg[k] = g.pick(["low", "high", "none", "auto", None, SubStr("none")]) if not g.chance(4) else g.leaf()
    if isinstance(cfg, dict) and g.chance(3):
        cfg["store"] = g.pick([False, True, None, 0, "false"]) if not g.chance(4) else g.leaf()
    names = ["tools", "tool_choice", "stream", "max_tokens", "temperature", "skip_tool_choice"]
    values = [
        lambda: g.tools(),
        lambda: g.pick(
            [
                None,
                "auto",
                {"type": "function", "function": {"name": g.text()}},
                {"type": "function", "name": "f"},
                g.value(2),
            ]
        ),
        g.leaf,
        g.leaf,
        g.leaf,
        g.leaf,
    ]
    args, kw = [g.messages(), cfg], {}
    for name, make in zip(names, values):
        if g.chance(2):
            if kw or g.chance(3):
                kw[name] = make()
            else:
                args.append(make())
        elif not kw:
            break
    differential("build_payload", tuple(args), kw)


URLS = [
    "http://a.example/v1",
    "http://a.example:80/x",
    "https://a.example/v1",
    "http://A.EXAMPLE/y",
    "http://b.example/v1",
    "http://a.example:8080/",
    "/relative",
    "http://[::1]:9/",
    "http://[bad/",
    "http://a.example:99999/",
    "ftp://a.example/",
    "http://a.example:x/",
]
HEADER_NAMES = [
    "Authorization",
    "authorization",
    "Proxy-Authorization",
    "Cookie",
    "API-KEY",
    "X-Api-Key",
    "Content-Type",
    "X-Trace",
    "Cookie2",
]


def redirect_outcome(module, method, url, data, headers, unredirected, code, newurl):
    req = urllib.request.Request(url, data=data, headers=headers, method=method)
    for k, v in unredirected:
        req.add_unredirected_header(k, v)
    handler = module._PostRedirectHandlerLocal()
    try:
        new = handler.redirect_request(req, None, code, "msg", {}, newurl)
    except Exception as e:
        return ("raised", type(e).__name__, getattr(e, "code", None))
    if new is None:
        return ("none",)
    return (
        "request",
        new.full_url,
        new.get_method(),
        canon(new.data),
        canon(new.headers),
        canon(new.unredirected_hdrs),
        new.origin_req_host,
        new.unverifiable,
        new.data is data,
    )


def t_redirect_request(g):
    method = g.pick(["POST", "PUT", "GET", "HEAD", "DELETE", "post", None])
    url = g.pick(URLS[:6])
    data = g.pick([None, b"{}", b"x" * 10])
    headers = {g.pick(HEADER_NAMES): g.pick(["v", "Bearer k"]) for _ in range(g.n(0, 4))}
    unredirected = [(g.pick(HEADER_NAMES), "u") for _ in range(g.n(0, 2))]
    code = g.pick([301, 302, 303, 307, 308, 300, 304, 399, True])
    newurl = g.pick(URLS) if not g.chance(4) else g.text()
    a, b = (redirect_outcome(m, method, url, data, headers, unredirected, code, newurl) for m in (native, twin))
    compare("redirect_request", a, b, (method, url, data, headers, unredirected, code, newurl))


class ReadOnly(dict):
    """A debug logger that refuses every write."""

    def __setitem__(self, key, value):
        raise TypeError("read-only")


class Picky(dict):
    """A debug logger that refuses one key only."""

    def __setitem__(self, key, value):
        if key == "raw_sse_tail":
            raise KeyError(key)
        super().__setitem__(key, value)


def loggers(g):
    return g.pick([lambda: None, dict, lambda: {"x": 1}, ReadOnly, Picky])()


def stream_outcome(module, pieces, read1, logger, payload, stop_after, how):
    resp = (FakeResponse1 if read1 else FakeResponse)(pieces)
    opener = FakeOpener(resp)
    saved, module._urllib_opener_local = module._urllib_opener_local, opener
    deltas, exc = [], None
    try:
        gen = module.stream_raw("http://127.0.0.1:9/v1/responses", {"Authorization": "k"}, payload, logger)
        for d in gen:
            deltas.append(canon(d))
            if len(deltas) == stop_after:
                if how == "close":
                    gen.close()
                else:
                    gen.throw(RuntimeError("stop"))
    except Exception as e:
        exc = type(e).__name__
    finally:
        module._urllib_opener_local = saved
    sent = [(r.full_url, r.data, canon(r.headers), r.get_method(), t) for r, t in opener.opened]
    calls = [c[:2] if c[0] != "exit" else (c[0], c[1] and c[1].__name__) for c in resp.calls]
    return deltas, exc, canon(logger), calls, sent


def run_stream(g, make_body):
    read1 = g.chance(2)
    logger = loggers(g)
    payload = g.pick([{}, {"model": "m", "input": [], "stream": True}, {"k": "\u00e9"}, [1, math.nan], {1: 2}, b"x"])
    stop_after, how = (g.n(1, 6), g.pick(["close", "throw"])) if g.chance(4) else (None, None)
    points = sorted(g.n(0, 1024) for _ in range(g.n(0, 8)))
    raw = make_body()
    points = [min(p, len(raw)) for p in points]
    pieces = [raw[a:b] for a, b in zip([0] + points, points + [len(raw)])]
    if g.chance(10):
        pieces.insert(g.n(0, len(pieces)), g.pick([OSError("reset"), TimeoutError("slow"), ValueError("x")]))
    a, b = (stream_outcome(m, pieces, read1, copy.deepcopy(logger), payload, stop_after, how) for m in (native, twin))
    compare("stream_raw", a, b, (pieces, read1, logger, payload, stop_after, how))


def t_stream_bytes(g):
    """Raw bytes as the body, split at random places into the reads."""
    run_stream(g, lambda: g.f.ConsumeBytes(g.n(0, 2048)))


JUNK = [
    b": ping",
    b"id: 7",
    b"retry: 5",
    b"data: {bad",
    b"data:",
    b"\xff\xfe\xc3",
    b"event:",
    b"data: [1]",
    b"data: [DONE]",
    b"data:  [DONE]  ",
    b"DATA: {}",
    b"data: null",
    b"data: \"s\"",
    b"data: 5",
    b"\xc2\xa0data: {}",
    b"data:\xc2\xa0{}",
    b"event: response.completed",
]
SUMMARY_FIELDS = ["item_id", "output_index", "summary_index"]
FIELDS = {
    "response.output_text.delta": ["output_index", "delta"],
    "response.reasoning_text.delta": ["output_index", "delta"],
    "response.reasoning.delta": ["output_index", "delta"],
    "response.reasoning_summary_text.delta": SUMMARY_FIELDS + ["delta"],
    "response.reasoning_summary_text.done": SUMMARY_FIELDS + ["text"],
    "response.reasoning_summary_part.added": SUMMARY_FIELDS + ["part"],
    "response.reasoning_summary_part.done": SUMMARY_FIELDS + ["part"],
    "response.output_item.added": ["output_index", "item"],
    "response.output_item.done": ["output_index", "item"],
    "response.function_call_arguments.delta": ["item_id", "output_index", "delta"],
    "response.function_call_arguments.done": ["item_id", "output_index", "arguments"],
    "response.completed": ["response"],
    "response.failed": ["error", "incomplete_details", "response", "usage"],
    "response.incomplete": ["error", "incomplete_details", "response", "usage"],
    "error": ["message", "error", "code"],
}
IDS = ["fc_1", "fc_2", "fc_3", "", None]


def item_id(g):
    """A known item id, or a new one (some servers rename the item on every event)."""
    if g.chance(4):
        return "fc_r%d" % g.serial()
    return g.pick(IDS) if not g.chance(6) else g.leaf()


def response_object(g):
    """The "response" of a terminal event: usage of every kind inside, or no dict at all."""
    if g.chance(8):
        return g.pick([g.leaf, lambda: g.list(1)])()
    v = {}
    if not g.chance(4):
        v["usage"] = g.usage()
    for f in g.sample(["error", "incomplete_details", "status"]):
        v[f] = g.value(1)
    return v


def event(g):
    t = g.pick(EVENT_TYPES)
    data = {}
    if not g.chance(6):
        data["type"] = t if not g.chance(10) else g.leaf()
    for k in FIELDS.get(t, ["delta"]):
        if g.chance(5):
            continue
        if k == "item":
            v = {"type": g.pick(["function_call", "function_call", "message", "reasoning", "reasoning", None])}
            if v["type"] == "reasoning" and not g.chance(3):
                v["summary"] = g.summary()
            for f in g.sample(
                ["id", "call_id", "name", "arguments", "summary", "content", "encrypted_content", "phase"]
            ):
                if f == "summary":
                    v[f] = g.summary()
                elif f == "encrypted_content":
                    v[f] = g.encrypted()
                elif f == "phase":
                    v[f] = g.phase()
                elif f == "content":
                    v[f] = g.reasoning_content() if not g.chance(3) else g.content()
                elif f == "id":
                    v[f] = item_id(g)
                else:
                    v[f] = g.pick(IDS + ["call_a", "call_b", "f", "g"]) if not g.chance(4) else g.leaf()
            v = v if not g.chance(12) else g.value(1)
        elif k == "item_id":
            v = item_id(g)
        elif k in ("output_index", "summary_index"):
            v = g.index() if not g.chance(12) else g.leaf()
        elif k == "part":
            v = {"type": "summary_text", "text": g.text()} if not g.chance(4) else g.value(1)
        elif k == "response":
            v = response_object(g)
        elif k == "usage":
            v = g.usage()
        elif k in ("error", "incomplete_details"):
            v = g.pick(
                [lambda: {"message": g.text()}, lambda: {"reason": "max_output_tokens"}, g.leaf, lambda: g.value(1)]
            )()
        else:
            v = g.text() if not g.chance(6) else g.leaf()
        data[k] = v
    if g.chance(20):
        data = g.value(1)
    return t, data


def pieces_of(g, text):
    """A text cut into one to three fragments; anything else as it is."""
    if not isinstance(text, str) or not text or g.chance(3):
        return [text]
    cuts = sorted(g.n(0, len(text)) for _ in range(g.n(1, 2)))
    return [text[a:b] for a, b in zip([0] + cuts, cuts + [len(text)])]


def scripted_events(g):
    """A stream shaped like the service's: output items in turn (reasoning
    whose summary parts stream or arrive only whole at item done, text,
    function calls), item ids fixed or new on every event, output indices
    mostly right, then a terminal event with its usage, or none at all."""
    events = [{"type": "response.created", "response": {"status": "in_progress"}}]
    # one server gives every open call output index 0
    shared = g.chance(4)
    for out in range(g.n(0, 4)):
        index = out if not g.chance(8) else g.index()
        if shared:
            index = 0
        kind = g.pick(["reasoning", "reasoning", "message", "function_call"])
        rotate = g.chance(3)
        fixed = "%s_%d" % (kind[:2], out)

        def ids():
            return "%s_r%d" % (kind[:2], g.serial()) if rotate else fixed  # noqa: B023 - called in this pass

        def add(t, **fields):
            data = {"type": t}
            if not g.chance(12):
                data["output_index"] = index  # noqa: B023 - called in this pass
            data.update(fields)
            events.append(data)

        if kind == "reasoning":
            texts = [g.text() if not g.chance(8) else g.leaf() for _ in range(g.n(0, 3))]
            # encrypted content: whole only at done (at added, cut short or none)
            whole = g.encrypted() if not g.chance(4) else None
            state = {} if whole is None else {"encrypted_content": whole}
            added = (
                {}
                if whole is None or g.chance(2)
                else {"encrypted_content": whole[: g.n(0, len(whole))] if isinstance(whole, str) else g.encrypted()}
            )
            add("response.output_item.added", item={"type": "reasoning", "id": ids(), "summary": [], **added})
            if g.chance(6):
                add("response.reasoning_text.delta", item_id=ids(), delta=g.text())
            if g.chance(2):
                for k, text in enumerate(texts):
                    k = k if not g.chance(8) else g.index()
                    part = {"type": "summary_text", "text": ""}
                    add("response.reasoning_summary_part.added", item_id=ids(), summary_index=k, part=part)
                    for piece in pieces_of(g, text):
                        add("response.reasoning_summary_text.delta", item_id=ids(), summary_index=k, delta=piece)
                    add("response.reasoning_summary_text.done", item_id=ids(), summary_index=k, text=text)
                    add(
                        "response.reasoning_summary_part.done",
                        item_id=ids(),
                        summary_index=k,
                        part=dict(part, text=text),
                    )
            summary = [{"type": "summary_text", "text": t} for t in texts] if not g.chance(6) else g.summary()
            add("response.output_item.done", item={"type": "reasoning", "id": ids(), "summary": summary, **state})
        elif kind == "message":
            texts = [g.text() for _ in range(g.n(0, 3))]
            phase = {"phase": g.phase()} if g.chance(2) else {}
            add("response.output_item.added", item={"type": "message", "id": ids(), "content": [], **phase})
            for text in texts if not g.chance(3) else []:  # some servers send it only whole
                add("response.output_text.delta", item_id=ids(), delta=text)
            if g.chance(4):  # at done the same phase, at times another one
                phase = {"phase": g.phase()}
            add(
                "response.output_item.done",
                item={
                    "type": "message",
                    "id": ids(),
                    **phase,
                    "content": [{"type": "output_text", "text": "".join(texts)}],
                },
            )
        else:
            call = {
                "type": "function_call",
                "id": ids(),
                "call_id": g.pick(["call_a", "call_b", ""]),
                "name": g.pick(["f", "g", ""]),
                "arguments": "",
            }
            args = g.pick(['{"a": 1}', "{}", "", g.text()])
            add("response.output_item.added", item=call)
            if not g.chance(4):
                for piece in pieces_of(g, args):
                    add("response.function_call_arguments.delta", item_id=ids(), delta=piece)
            if g.chance(2):
                add("response.function_call_arguments.done", item_id=ids(), arguments=args)
            if shared and g.chance(2):
                index = out  # its done event then at its own position
            add("response.output_item.done", item=dict(call, id=ids(), arguments=args))
    end = g.pick(
        ["response.completed", "response.completed", "response.failed", "response.incomplete", "error", None, None]
    )
    if end == "error":
        events.append({"type": end, "message": g.text()})
    elif end:
        events.append({"type": end, "response": response_object(g)})
    events = [(e["type"], e) for e in events]
    if g.chance(4):
        events.append((None, None))  # the "[DONE]" line
    for _ in range(g.n(0, 2) if g.chance(4) else 0):  # a stray event anywhere
        events.insert(g.n(0, len(events)), event(g))
    return events


def t_stream_events(g):
    """Event sequences from the stream's vocabulary, or shaped like a real
    stream, framed with random separators, junk lines and line ends, at
    times cut short anywhere, split at random places."""
    run_stream(g, lambda: events_body(g))


def events_body(g):
    scripted = g.chance(2)
    events = scripted_events(g) if scripted else [event(g) for _ in range(g.n(0, 14))]
    lines = []
    for t, data in events:
        if t is None:
            lines += [b"data: [DONE]", b""]
            continue
        if g.chance(3):
            lines.append(
                b"event:" + g.pick([b" ", b"", b"\t"]) + (t if not g.chance(4) else g.text()).encode("utf-8", "replace")
            )
        try:
            text = json.dumps(data, ensure_ascii=g.chance(2), allow_nan=True)
        except (TypeError, ValueError):
            text = "{}"
        lines.append(b"data:" + g.pick([b" ", b"", b"  "]) + text.encode("utf-8", "surrogatepass"))
        # a stream shaped like the service's is framed mostly right
        if not g.chance(12 if scripted else 4):
            lines.append(b"")
        if g.chance(24 if scripted else 8):
            lines.append(g.pick(JUNK))
    end = g.pick([b"\n", b"\n", b"\r\n", b"\r"])
    body = end.join(lines) + g.pick([end, b"", b"\n"])
    if g.chance(5):  # the upstream went away: cut mid-event, mid-call or between events
        body = body[: g.n(0, len(body))]
    return body


TARGETS = {name[2:]: fn for name, fn in globals().items() if name.startswith("t_")}


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in TARGETS:
        sys.exit("usage: harness.py {%s} [libFuzzer options]" % ",".join(sorted(TARGETS)))
    target = TARGETS[sys.argv[1]]

    def one(data):
        target(Gen(data))

    atheris.Setup([os.environ.get("FUZZ_SELF", sys.argv[0])] + sys.argv[2:], one)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
