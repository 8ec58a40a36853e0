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
from sse_server import FakeOpener, FakeResponse, FakeResponse1  # noqa: E402

time.time = lambda: 1.0  # the debug record's timestamp, the same for both


class Sub(dict):
    pass


class SubList(list):
    pass


class SubStr(str):
    pass


KEYS = ["role", "content", "type", "text", "output_text", "image_url", "image", "url", "tool_calls", "tool_call_id",
        "id", "function", "name", "arguments", "description", "parameters", "model", "temperature", "max_tokens",
        "output", "call_id", "usage", "input_tokens", "output_tokens", "total_tokens", "prompt_tokens",
        "completion_tokens", "choices", "object", "item", "item_id", "delta", "response", "error", "message",
        "incomplete_details", "code", "status"]
WORDS = ["", " ", "\n", "system", "developer", "user", "assistant", "tool", "text", "input_text", "output_text",
         "image_url", "input_image", "output_image", "function", "function_call", "message", "response", "hi",
         "\u00e9\u2713\U0001F31F", "[DONE]", "null", "data:", "x" * 600, "\ud800", "auto", "none", "required"]
LEAVES = [None, True, False, 0, 1, -7, 2 ** 70, 1.5, math.nan, math.inf, -0.0, b"x\xff"]
EVENT_TYPES = ["response.output_text.delta", "response.reasoning_text.delta", "response.output_item.added",
               "response.function_call_arguments.delta", "response.function_call_arguments.done",
               "response.output_item.done", "response.completed", "response.failed", "response.incomplete",
               "error", "response.created", "response.in_progress", "response.refusal.delta", ""]


class Gen:
    """Structured values drawn from the fuzzer's bytes."""

    def __init__(self, data):
        self.f = atheris.FuzzedDataProvider(data)

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
                part = {"type": self.pick(["text", "image_url", "input_image", "output_image", "input_text", "x"])}
                for k in self.sample(["text", "output_text", "image_url", "image"]):
                    part[k] = ({"url": self.text()} if k in ("image_url", "image") and self.chance(2) else self.leaf())
                parts.append(part)
            return parts
        return self.value(depth)

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
        return m

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
        return {"type": self.pick(["function", "function", "x", None]), "function": fn if not self.chance(8) else self.leaf()}

    def tools(self):
        if self.chance(8):
            return self.value(2)
        return [self.tool() for _ in range(self.n(0, 4))]

    def reply(self):
        if self.chance(8):
            return self.value(3)
        r = {}
        for k in self.sample(["id", "object", "model", "output", "usage", "choices"]):
            if k == "output":
                r[k] = [self.output_item() for _ in range(self.n(0, 4))] if not self.chance(6) else self.value(1)
            elif k == "usage":
                r[k] = self.usage()
            else:
                r[k] = self.leaf()
        return r

    def output_item(self):
        if self.chance(6):
            return self.value(2)
        item = {"type": self.pick(["message", "function_call", "reasoning", None])}
        for k in self.sample(["content", "id", "call_id", "name", "arguments"]):
            item[k] = self.content() if k == "content" else self.leaf()
        return item

    def usage(self):
        if self.chance(6):
            return self.value(1)
        counts = [0, 1, 10, None, 2.5, True, "3", 2 ** 65]
        return {k: self.pick(counts) for k in self.sample(["input_tokens", "output_tokens", "total_tokens",
                                                           "prompt_tokens", "completion_tokens"])}


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
    names = ["tools", "tool_choice", "stream", "max_tokens", "temperature", "skip_tool_choice"]
    values = [lambda: g.tools(), lambda: g.pick([None, "auto", {"type": "function", "function": {"name": g.text()}},
                                                  {"type": "function", "name": "f"}, g.value(2)]),
              g.leaf, g.leaf, g.leaf, g.leaf]
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


URLS = ["http://a.example/v1", "http://a.example:80/x", "https://a.example/v1", "http://A.EXAMPLE/y",
        "http://b.example/v1", "http://a.example:8080/", "/relative", "http://[::1]:9/", "http://[bad/",
        "http://a.example:99999/", "ftp://a.example/", "http://a.example:x/"]
HEADER_NAMES = ["Authorization", "authorization", "Proxy-Authorization", "Cookie", "API-KEY", "X-Api-Key",
                "Content-Type", "X-Trace", "Cookie2"]


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
    return ("request", new.full_url, new.get_method(), canon(new.data), canon(new.headers),
            canon(new.unredirected_hdrs), new.origin_req_host, new.unverifiable, new.data is data)


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


JUNK = [b": ping", b"id: 7", b"retry: 5", b"data: {bad", b"data:", b"\xff\xfe\xc3", b"event:", b"data: [1]",
        b"data: [DONE]", b"data:  [DONE]  ", b"DATA: {}", b"data: null", b"data: \"s\"", b"data: 5",
        b"\xc2\xa0data: {}", b"data:\xc2\xa0{}", b"event: response.completed"]
FIELDS = {"response.output_text.delta": ["delta"], "response.reasoning_text.delta": ["delta"],
          "response.output_item.added": ["item"], "response.output_item.done": ["item"],
          "response.function_call_arguments.delta": ["item_id", "delta"],
          "response.function_call_arguments.done": ["item_id", "arguments"],
          "response.completed": ["response"], "response.failed": ["error", "incomplete_details", "response"],
          "response.incomplete": ["error", "incomplete_details", "response"], "error": ["message", "error", "code"]}
IDS = ["fc_1", "fc_2", "fc_3", "", None]


def event(g):
    t = g.pick(EVENT_TYPES)
    data = {}
    if not g.chance(6):
        data["type"] = t if not g.chance(10) else g.leaf()
    for k in FIELDS.get(t, ["delta"]):
        if g.chance(5):
            continue
        if k == "item":
            v = {"type": g.pick(["function_call", "function_call", "message", None])}
            for f in g.sample(["id", "call_id", "name", "arguments"]):
                v[f] = g.pick(IDS + ["call_a", "call_b", "f", "g"]) if not g.chance(4) else g.leaf()
            v = v if not g.chance(12) else g.value(1)
        elif k == "item_id":
            v = g.pick(IDS) if not g.chance(6) else g.leaf()
        elif k == "response":
            v = {}
            for f in g.sample(["usage", "error", "incomplete_details", "status"]):
                v[f] = g.usage() if f == "usage" else g.value(1)
            v = v if not g.chance(10) else g.leaf()
        elif k in ("error", "incomplete_details"):
            v = g.pick([lambda: {"message": g.text()}, lambda: {"reason": "max_output_tokens"}, g.leaf, lambda: g.value(1)])()
        else:
            v = g.text() if not g.chance(6) else g.leaf()
        data[k] = v
    if g.chance(20):
        data = g.value(1)
    return t, data


def t_stream_events(g):
    """Event sequences from the stream's vocabulary, framed with random
    separators, junk lines and line ends, split at random places."""
    run_stream(g, lambda: events_body(g))


def events_body(g):
    lines = []
    for _ in range(g.n(0, 14)):
        t, data = event(g)
        if g.chance(3):
            lines.append(b"event:" + g.pick([b" ", b"", b"\t"]) + (t if not g.chance(4) else g.text()).encode("utf-8", "replace"))
        try:
            text = json.dumps(data, ensure_ascii=g.chance(2), allow_nan=True)
        except (TypeError, ValueError):
            text = "{}"
        lines.append(b"data:" + g.pick([b" ", b"", b"  "]) + text.encode("utf-8", "surrogatepass"))
        if not g.chance(4):
            lines.append(b"")
        if g.chance(8):
            lines.append(g.pick(JUNK))
    end = g.pick([b"\n", b"\n", b"\r\n", b"\r"])
    return end.join(lines) + g.pick([end, b"", b"\n"])


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
