"""Reference counts and memory stay exact over many calls of every
callable, on the success paths and on the failure paths, including inputs
whose own methods raise."""

import gc
import os
import sys
import urllib.request

import pytest

native = pytest.importorskip("routes.responses_api")  # conftest refuses a missing build unless asked

pytestmark = pytest.mark.usefixtures("native")


class Boom(Exception):
    pass


class RaisingGet(dict):
    def get(self, *args):
        raise Boom("get")


class RaisingIter(list):
    def __iter__(self):
        raise Boom("iter")


class RaisingStr:
    def __str__(self):
        raise Boom("str")


class RaisingEq(str):
    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = str.__hash__


class RaisingHash:
    def __hash__(self):
        raise Boom("hash")


class RaisingBool:
    def __bool__(self):
        raise Boom("bool")


TOOL = {"type": "function", "function": {"name": "read", "description": "d", "parameters": {"type": "object"}}}
CONVERSATION = [
    {"role": "system", "content": "  be brief  "},
    {"role": "developer", "content": [{"type": "text", "text": "dev"}, "skip"]},
    {
        "role": "user",
        "content": [
            {"type": "text", "text": "look"},
            {"type": "image_url", "image_url": {"url": "data:image/png;base64,AA"}},
        ],
    },
    {
        "role": "assistant",
        "content": "ok",
        "tool_calls": [{"id": "c1", "type": "function", "function": {"name": "read", "arguments": "{\"p\": 1}"}}],
    },
    {"role": "tool", "tool_call_id": "c1", "content": {"result": ["é", 1.5, None]}},
    {"role": "tool", "tool_call_id": "c2", "content": "plain"},
]
REPLY = {
    "id": "r",
    "model": "m",
    "output": [
        {"type": "reasoning", "summary": []},
        {"type": "message", "content": [{"type": "output_text", "text": "hi "}, {"output_text": "there"}]},
        {"type": "function_call", "call_id": "c", "name": "f", "arguments": "{}"},
    ],
    "usage": {"input_tokens": 3, "output_tokens": 4},
}

# (callable, args): every one is called many times; failures must raise.
CASES = [
    (native.convert_messages, (CONVERSATION,)),
    (native.convert_messages, ([{"role": "user", "content": RaisingIter([1])}],)),
    (native.convert_messages, ([{"role": "tool", "content": {1j}}],)),
    (native.convert_messages, ([{"role": "system", "content": [{"text": 5}]}],)),
    (native.convert_messages, ([{"role": RaisingEq("user")}],)),
    (native.convert_messages, ([RaisingGet()],)),
    (native._normalize_content, (["a", {"type": "text"}, {"type": "input_image", "image": "u"}, 3], "input_text")),
    (native._normalize_content, ([RaisingGet(type="text")], "t")),
    (native._normalize_content, (RaisingStr(), "t")),
    (native._normalize_content, ([{"type": RaisingEq("text")}], "t")),
    (native._normalize_content, (RaisingBool(), "t")),
    (native.convert_tools, ([TOOL, TOOL, "x", {"type": "function", "function": {"name": ""}}],)),
    (native.convert_tools, ([{"type": "function", "function": None}],)),
    (native.convert_tools, ([{"type": "function", "function": RaisingGet()}],)),
    (native.convert_tools, (RaisingIter([TOOL]),)),
    (
        native.build_payload,
        (CONVERSATION, {"model": "m"}, [TOOL], {"type": "function", "function": {"name": "read"}}, True, None, 0),
    ),
    (native.build_payload, (CONVERSATION, None)),
    (native.build_payload, (CONVERSATION, RaisingGet())),
    (native.build_payload, (CONVERSATION, {}, [{"type": "function", "function": 7}])),
    (native.normalize_response, (REPLY,)),
    (native.normalize_response, ({"output": [{"type": "message", "content": [{"text": 1}]}]},)),
    (native.normalize_response, ({"usage": {"input_tokens": "a", "output_tokens": 1}},)),
    (native.normalize_response, ({"output": 5},)),
    (native.normalize_response, (RaisingGet(),)),
    (native.normalize_response, ({"output": [{"type": RaisingEq("message")}]},)),
    # reasoning models: settings, token details, raw reasoning, statuses
    (native.build_payload, (CONVERSATION, {"reasoning_effort": "high", "reasoning_summary": "auto"})),
    (native.build_payload, (CONVERSATION, {"reasoning_effort": RaisingEq("none")})),
    (
        native.normalize_response,
        (
            {
                "status": "incomplete",
                "incomplete_details": {"reason": "content_filter"},
                "output": [{"type": "reasoning", "summary": [], "content": [{"type": "reasoning_text", "text": "r"}]}],
                "usage": {
                    "input_tokens": 5,
                    "input_tokens_details": {"cached_tokens": 2},
                    "output_tokens_details": {"reasoning_tokens": 1},
                },
            },
        ),
    ),
    (native.normalize_response, ({"status": RaisingEq("failed")},)),
    (native.normalize_response, ({"usage": {"input_tokens": 1, "input_tokens_details": RaisingGet()}},)),
]


def walk(value, out):
    """Every object reachable from value (containers and leaves)."""
    out.append(value)
    if isinstance(value, dict):
        for k, v in value.items():
            walk(k, out)
            walk(v, out)
    elif isinstance(value, (list, tuple)):
        for i in range(len(value)):  # by index: some lists here refuse iteration
            walk(value[i], out)
    return out


def call_many(fn, args, n):
    for _ in range(n):
        try:
            fn(*args)
        except Exception:
            pass


@pytest.mark.parametrize("fn,args", CASES, ids=lambda v: getattr(v, "__name__", None))
def test_reference_counts_unchanged(fn, args):
    objects = walk(args, [])
    call_many(fn, args, 50)
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    call_many(fn, args, 2000)
    gc.collect()
    after = [sys.getrefcount(o) for o in objects]
    assert after == before


def test_redirect_request_reference_counts():
    handler = native._PostRedirectHandlerLocal()
    req = urllib.request.Request("http://a.test/x", data=b"{}", headers={"Authorization": "k"}, method="POST")
    args_list = [
        (req, None, 307, "", {}, "http://a.test/y"),
        (req, None, 308, "", {}, "http://b.test/y"),
        (req, None, 302, "", {}, "http://a.test/y"),
        (None, None, 307, "", {}, "http://a.test/y"),
    ]
    objects = walk(args_list, []) + [req.headers, req.data]
    for args in args_list:
        call_many(handler.redirect_request, args, 20)
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    for args in args_list:
        call_many(handler.redirect_request, args, 500)
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == before


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


@pytest.mark.slow
@pytest.mark.skipif(os.environ.get("RESPONSES_API_SANITIZED") == "1", reason="sizes are meaningless under ASan")
def test_memory_flat_over_many_calls():
    """A million calls in all, spread over the cases; the resident size must
    not grow with the number of calls."""
    per_case = 1_000_000 // len(CASES)
    for fn, args in CASES:
        call_many(fn, args, per_case // 10)
    gc.collect()
    start = rss_kib()
    for fn, args in CASES:
        call_many(fn, args, per_case)
    gc.collect()
    growth = rss_kib() - start
    assert growth < 4096, f"resident size grew by {growth} KiB"
