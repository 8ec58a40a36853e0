"""Non-streaming Responses API replies turned into Chat Completions replies."""

import copy
import json
import pathlib
import types

import pytest

from helpers import typed, Boom, BadGet

RECORDED = pathlib.Path(__file__).resolve().parent / "data" / "recorded"


def reply(
    content="",
    tool_calls=None,
    finish="stop",
    usage=(0, 0, 0),
    id_="",
    model="",
    reasoning=None,
    details=None,
    reasoning_details=None,
    phase=None,
):
    message = {"role": "assistant", "content": content}
    if reasoning is not None:
        message["reasoning_content"] = reasoning
    if reasoning_details:
        message["reasoning_details"] = reasoning_details
    if tool_calls is not None:
        message["tool_calls"] = tool_calls
    if phase is not None:
        message["phase"] = phase
    return {
        "id": id_,
        "object": "chat.completion",
        "model": model,
        "choices": [{"index": 0, "message": message, "finish_reason": finish}],
        "usage": usage_of(usage, details),
    }


def usage_of(counts, details=None):
    """The usage dict of three counts, with the reply's own usage details
    ((input, output), each None when absent) under the Chat names."""
    usage = dict(zip(("prompt_tokens", "completion_tokens", "total_tokens"), counts))
    if details:
        for name, d in zip(("prompt_tokens_details", "completion_tokens_details"), details):
            if d:
                usage[name] = dict(d)
    return usage


def details_of(u):
    return (u.get("input_tokens_details"), u.get("output_tokens_details")) if u else None


def msg(*parts):
    return {"type": "message", "content": list(parts)}


def call(name="f", arguments="{}", **ids):
    return {"type": "function_call", "name": name, "arguments": arguments, **ids}


def TC(id_, name="f", arguments="{}"):
    return {"id": id_, "type": "function", "function": {"name": name, "arguments": arguments}}


@pytest.mark.parametrize(
    "resp",
    [
        None,
        [],
        [{"output": []}],
        "text",
        5,
        (),
        {"choices": None},
        {"choices": [], "output": [msg({"text": "x"})]},
        types.MappingProxyType({"output": [msg({"text": "x"})]}),
    ],
)
def test_returned_unchanged(impl, resp):
    assert impl.normalize_response(resp) is resp


CASES = [
    ({}, reply()),
    ({"id": None, "model": None}, reply(id_=None, model=None)),
    ({"id": "r", "model": "m", "object": "response", "incomplete_details": {"reason": "x"}}, reply(id_="r", model="m")),
    ({"output": [msg({"type": "output_text", "text": "a"}, {"text": "b"})]}, reply("ab")),
    (
        {"output": [msg({"text": "a"}), {"type": "reasoning", "summary": [{"text": "r"}]}, msg({"text": "b"})]},
        reply("ab", reasoning="r"),
    ),
    (
        {
            "output": [
                msg(
                    {"type": "output_text", "text": ""},
                    {"output_text": "o"},
                    {"text": "t", "output_text": "u"},
                    "str",
                    None,
                    {"type": "refusal", "refusal": "n"},
                )
            ]
        },
        reply("ot"),
    ),
    (
        {
            "output": [
                {"type": "message", "content": "whole string"},
                {"type": "message", "content": None},
                {"type": "message"},
                {"content": [{"text": "typeless"}]},
            ]
        },
        reply(),
    ),
    ({"output": "abc"}, reply()),
    ({"output": {"type": "message"}}, reply()),
    ({"output": None}, reply()),
    ({"output": [None, "x", 3, ["message"]]}, reply()),
    (
        {"output": [call(call_id="c", id="i"), call(id="i2"), call(), call(call_id="", id=None)]},
        reply("", [TC("c"), TC("i2"), TC(""), TC("")], "tool_calls"),
    ),
    (
        {"output": [{"type": "function_call"}, call(name=None, arguments=None)]},
        reply("", [TC("", "", ""), TC("", "", "")], "tool_calls"),
    ),
    (
        {"output": [msg({"text": "say"}), call(call_id="c")], "incomplete_details": {"reason": "max"}},
        reply("say", [TC("c")], "tool_calls"),
    ),
    ({"usage": {"input_tokens": 3, "output_tokens": 4}}, reply(usage=(3, 4, 7))),
    ({"usage": {"input_tokens": 0, "prompt_tokens": 7}}, reply(usage=(7, 0, 7))),
    ({"usage": {"prompt_tokens": 3, "completion_tokens": 4}}, reply(usage=(3, 4, 7))),
    ({"usage": {"input_tokens": 3, "output_tokens": 4, "total_tokens": 100}}, reply(usage=(3, 4, 100))),
    ({"usage": {"input_tokens": 3, "completion_tokens": 4, "total_tokens": 0}}, reply(usage=(3, 4, 7))),
    ({"usage": {"input_tokens": 1.5, "output_tokens": True}}, reply(usage=(1.5, True, 2.5))),
    ({"usage": {"input_tokens": "3", "output_tokens": "4"}}, reply(usage=("3", "4", "34"))),
    ({"usage": None}, reply()),
    ({"usage": []}, reply()),
]


@pytest.mark.parametrize("resp,expected", CASES)
def test_normalization(impl, resp, expected):
    before = copy.deepcopy(resp)
    out = impl.normalize_response(resp)
    assert typed(out) == typed(expected)
    assert typed(resp) == typed(before)


def test_shared_leaves(impl):
    text, args, cid = "t" * 40, '{"k": ' + "1" * 30 + "}", "c" * 30
    big = 10**30
    resp = {
        "id": "r" * 30,
        "model": "m" * 30,
        "output": [msg({"text": text}), call(arguments=args, call_id=cid)],
        "usage": {"input_tokens": big, "output_tokens": big + 1, "total_tokens": big * 3},
    }
    out = impl.normalize_response(resp)
    message = out["choices"][0]["message"]
    assert out["id"] is resp["id"] and out["model"] is resp["model"]
    assert message["content"] is text
    assert message["tool_calls"][0]["id"] is cid
    assert message["tool_calls"][0]["function"]["arguments"] is args
    u = out["usage"]
    assert u["prompt_tokens"] is resp["usage"]["input_tokens"]
    assert u["total_tokens"] is resp["usage"]["total_tokens"]


def test_usage_any_object_with_get(impl):
    class U:
        def get(self, key, default=None):
            return {"input_tokens": 2, "completion_tokens": 5}.get(key, default)

    assert impl.normalize_response({"usage": U()})["usage"] == {
        "prompt_tokens": 2,
        "completion_tokens": 5,
        "total_tokens": 7,
    }


class NoChoices(dict):
    def __contains__(self, key):
        raise Boom


@pytest.mark.parametrize(
    "resp,exc",
    [
        ({"output": 5}, TypeError),
        ({"output": [{"type": "message", "content": 5}]}, TypeError),
        ({"output": [msg({"text": 5})]}, TypeError),
        ({"output": [msg({"text": "a"}, {"text": b"b"})]}, TypeError),
        ({"usage": 5}, AttributeError),
        ({"usage": {"input_tokens": "3", "output_tokens": 4}}, TypeError),
        (BadGet(), Boom),
        (NoChoices(), Boom),
        ({"output": [BadGet(type="message")]}, Boom),
    ],
)
def test_errors(impl, resp, exc):
    with pytest.raises(exc):
        impl.normalize_response(resp)


def test_reads_in_order(impl):
    log = []

    class Rec(dict):
        def get(self, *a):
            log.append(a)
            return super().get(*a)

    resp = Rec(
        output=[Rec(type="message", content=[Rec(output_text="o")]), Rec(type="function_call", id="i")],
        usage=Rec(input_tokens=1),
    )
    impl.normalize_response(resp)
    assert log == [
        ("output", []),
        ("type", ""),
        ("content", []),
        ("text",),
        ("output_text",),
        ("phase",),
        ("type", ""),
        ("call_id",),
        ("id", ""),
        ("name", ""),
        ("arguments", ""),
        ("usage", {}),
        ("input_tokens", 0),
        ("output_tokens", 0),
        ("completion_tokens", 0),
        ("total_tokens", 0),
        ("input_tokens_details",),
        ("prompt_tokens_details",),
        ("output_tokens_details",),
        ("completion_tokens_details",),
        ("id", ""),
        ("model", ""),
        ("status",),
    ]


# The recorded replies. 03 and 08 hold reasoning items whose summaries are
# empty: no "reasoning_content" for them either.
REPLIES = {
    "01-text-simple.json": ("The capital of France is Paris.", [], "stop", (14, 8, 22)),
    "02-function-calls-parallel.json": (
        "",
        [
            TC("call_tYDv1bhtioyX33juEGDY4D6H", "get_weather", '{"location":"London"}'),
            TC("call_lC079UhGnLJngBlPQO0FS6sv", "get_weather", '{"location":"London"}'),
        ],
        "tool_calls",
        (58, 44, 102),
    ),
    "03-reasoning-and-message.json": ("3", [], "stop", (11, 327, 338)),
    "04-incomplete-max-output-tokens.json": (152, [], "length", (14, 50, 64)),
    "05-refusal.json": ("", [], "stop", (54, 13, 67)),
    "06-web-search-annotations.json": (2158, [], "stop", (16981, 461, 17442)),
    "07-two-message-items.json": (206, [], "stop", (197, 66, 263)),
    "08-code-interpreter-pretty-printed.json": (461, [], "stop", (2283, 1928, 4211)),
    "09-error-401-invalid-api-key.json": ("", [], "stop", (0, 0, 0)),
}


@pytest.mark.parametrize("name", sorted(REPLIES))
def test_real_replies(impl, name):
    resp = json.loads((RECORDED / "replies" / name).read_bytes())
    before = copy.deepcopy(resp)
    content, calls, finish, usage = REPLIES[name]
    out = impl.normalize_response(resp)
    message = out["choices"][0]["message"]
    if isinstance(content, int):
        texts = [p["text"] for i in resp["output"] if i["type"] == "message" for p in i["content"]]
        assert len(message["content"]) == content and message["content"] == "".join(texts)
    else:
        assert message["content"] == content
    assert typed(out) == typed(
        reply(
            message["content"],
            calls or None,
            finish,
            usage,
            resp.get("id", ""),
            resp.get("model", ""),
            details=details_of(resp.get("usage")),
        )
    )
    if resp.get("usage"):  # the details are new dicts
        assert out["usage"]["prompt_tokens_details"] is not resp["usage"]["input_tokens_details"]
    assert out["id"] is resp.get("id", out["id"])
    assert resp == before
    json.dumps(out)


# The completion event of a recorded stream carries the whole response, the
# same object a non-streaming call returns; these six hold reasoning summaries
# (recording number: summary parts).
SUMMARIZED = {"07": 3, "08": 1, "09": 12, "16": 1, "21": 4, "29": 1}
# Those whose reasoning items carry encrypted content, and whose message
# items name a phase.
ENCRYPTED_IN = {"08", "09", "16"}
PHASED = {"09", "29"}


def ENCRYPTED(data, id_, index):
    return {"type": "reasoning.encrypted", "data": data, "id": id_, "format": "openai-responses-v1", "index": index}


@pytest.mark.parametrize("number", sorted(SUMMARIZED))
def test_real_replies_with_reasoning_summaries(impl, number):
    (path,) = (RECORDED / "streams").glob(number + "-*.sse")
    last = [line for line in path.read_bytes().split(b"\n") if line.startswith(b"data:")][-1]
    resp = json.loads(last[5:])["response"]
    output = resp["output"]
    summaries = [p["text"] for i in output if i["type"] == "reasoning" for p in i["summary"]]
    assert len(summaries) == SUMMARIZED[number] and all(summaries)
    texts = [p["text"] for i in output if i["type"] == "message" for p in i["content"]]
    calls = [TC(i["call_id"], i["name"], i["arguments"]) for i in output if i["type"] == "function_call"]
    u = resp["usage"]
    encrypted = [
        ENCRYPTED(i["encrypted_content"], i["id"], k)
        for k, i in enumerate(i for i in output if i["type"] == "reasoning" and i.get("encrypted_content"))
    ]
    phases = [i["phase"] for i in output if i["type"] == "message" and i.get("phase")]
    assert bool(encrypted) == (number in ENCRYPTED_IN) and bool(phases) == (number in PHASED)
    out = impl.normalize_response(resp)
    assert typed(out) == typed(
        reply(
            "".join(texts),
            calls or None,
            "tool_calls" if calls else "stop",
            (u["input_tokens"], u["output_tokens"], u["total_tokens"]),
            resp["id"],
            resp["model"],
            reasoning="\n\n".join(summaries),
            details=details_of(u),
            reasoning_details=encrypted,
            phase=phases[-1] if phases else None,
        )
    )


def rs(data=None, id_=None, summary=(), **extra):
    item = {"type": "reasoning", "summary": [{"type": "summary_text", "text": t} for t in summary], **extra}
    if id_ is not None:
        item["id"] = id_
    if data is not None:
        item["encrypted_content"] = data
    return item


def phased(text, phase):
    return {"type": "message", "content": [{"type": "output_text", "text": text}], "phase": phase}


class SubStr(str):
    pass


# The model's own state in a reply: each reasoning item's encrypted content,
# and the phase of the last message item that names one.
@pytest.mark.parametrize(
    "output,details,phase",
    [
        ([rs("e1", "rs_1")], [ENCRYPTED("e1", "rs_1", 0)], None),
        ([rs("e1")], [ENCRYPTED("e1", None, 0)], None),
        ([rs("e1", 7)], [ENCRYPTED("e1", 7, 0)], None),
        ([rs(""), rs(None), rs(5), rs(["e"]), rs("e2", "b")], [ENCRYPTED("e2", "b", 0)], None),
        ([rs("a", "x"), rs(), rs(SubStr("b"), "y")], [ENCRYPTED("a", "x", 0), ENCRYPTED(SubStr("b"), "y", 1)], None),
        (
            [{"type": "message", "encrypted_content": "no"}, {"type": "function_call", "encrypted_content": "no"}],
            None,
            None,
        ),
        ([phased("a", "commentary"), phased("b", "final_answer")], None, "final_answer"),
        ([phased("a", "commentary"), phased("b", ""), phased("c", None), phased("d", 5)], None, "commentary"),
        ([phased("a", SubStr("final_answer"))], None, SubStr("final_answer")),
        ([{"type": "reasoning", "phase": "commentary"}, {"type": "function_call", "phase": "commentary"}], None, None),
    ],
)
def test_model_state_in_replies(impl, output, details, phase):
    message = impl.normalize_response(reply_of(output))["choices"][0]["message"]
    assert typed(message.get("reasoning_details")) == typed(details)
    assert typed(message.get("phase")) == typed(phase)


def reply_of(output):
    return {"output": output}


def test_model_state_keys_in_order_and_objects_kept(impl):
    data, id_, ph = "e" * 50, "rs_" + "x" * 40, "final" + "_answer"
    resp = {"output": [rs(data, id_, ["sum"]), call(call_id="c"), phased("t", ph)]}
    message = impl.normalize_response(resp)["choices"][0]["message"]
    assert list(message) == ["role", "content", "reasoning_content", "reasoning_details", "tool_calls", "phase"]
    (detail,) = message["reasoning_details"]
    assert detail["data"] is data and detail["id"] is id_ and message["phase"] is ph
    assert list(detail) == ["type", "data", "id", "format", "index"]


def test_reasoning_item_reads_in_order(impl):
    log = []

    class Rec(dict):
        def get(self, *a):
            log.append(a)
            return super().get(*a)

    impl.normalize_response(
        {
            "output": [
                Rec(type="reasoning", encrypted_content="e", id="i"),
                Rec(type="reasoning", summary=[], encrypted_content=""),
            ]
        }
    )
    assert log == [
        ("type", ""),
        ("summary",),
        ("content",),
        ("encrypted_content",),
        ("id",),
        ("type", ""),
        ("summary",),
        ("content",),
        ("encrypted_content",),
    ]
