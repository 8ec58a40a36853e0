"""Request bodies and replies checked against the endpoint's own published
types (the `openai` package, a test-only dependency).

Requests: every payload of a matrix of realistic conversations is validated,
as the JSON text that goes on the wire, against `ResponseCreateParamsStreaming`
or `ResponseCreateParamsNonStreaming`, with unknown keys refused in every
nested typed dict and a message item's `type` required. Two differences
between those types and what the endpoint accepts are allowed, each only in
its exact shape and only where the conversation has it: an assistant history
message whose content is a list of `output_text` parts (the types admit such
parts only inside an output message carrying an id and a status), and a
reasoning item without an id (the types require one).

Replies: `normalize_response` of every recorded reply, and of the reply each
recorded stream ends with, gives a message that is a `ChatCompletionMessage`
and a usage that is a `CompletionUsage`, with no key the types lack besides
"reasoning_content", "reasoning_details" and "phase", each exactly when the
reply has what it carries.
"""

import functools
import itertools
import json
import pathlib
from typing import Annotated, Any, Literal, NotRequired, TypedDict

import pytest
from annotated_types import Len
from pydantic import TypeAdapter, ValidationError
from pydantic_core import SchemaValidator

from openai.types import CompletionUsage
from openai.types.chat import ChatCompletionMessage
from openai.types.responses import ResponseInputItemParam
from openai.types.responses.response_create_params import (
    ResponseCreateParamsNonStreaming,
    ResponseCreateParamsStreaming,
)

RECORDED = pathlib.Path(__file__).resolve().parent / "data" / "recorded"


# ---------------------------------------------------------------------------
# Closed validators

# Strict servers refuse a message item that does not name its type, which the types leave optional.
TYPE_REQUIRED = {"EasyInputMessageParam", "Message"}


def _closed(schema):
    """A copy of a pydantic core schema in which every typed dict refuses keys
    it does not declare, a message item must name its type, and every
    iterable field is checked at once as a list (pydantic checks an
    `Iterable[...]` field lazily, only when the validated value is iterated,
    so `tools` would otherwise never be looked at)."""
    if isinstance(schema, list):
        return [_closed(x) for x in schema]
    if not isinstance(schema, dict):
        return schema
    out = {k: _closed(v) for k, v in schema.items()}
    if out.get("type") == "typed-dict":
        out["extra_behavior"] = "forbid"
        if getattr(out.get("cls"), "__name__", None) in TYPE_REQUIRED and "role" in out["fields"]:
            out["fields"] = dict(out["fields"], type=dict(out["fields"]["type"], required=True))
    elif out.get("type") == "generator":
        out["type"] = "list"
    elif out.get("type") == "union":
        out["mode"] = "left_to_right"  # valid when any member is: no need to rank them
    return out


def closed_validator(tp):
    return SchemaValidator(_closed(TypeAdapter(tp).core_schema))


STREAMING = closed_validator(ResponseCreateParamsStreaming)
NON_STREAMING = closed_validator(ResponseCreateParamsNonStreaming)


def schema_errors(payload):
    """The errors of the wire form of `payload` against its request type."""
    validator = STREAMING if payload.get("stream") is True else NON_STREAMING
    try:
        validator.validate_json(json.dumps(payload, ensure_ascii=False), strict=True)
    except ValidationError as exc:
        return exc.errors()
    return []


def _steps(loc):
    """The keys and indices of an error location, without the names pydantic
    gives the members of a union (an input item is tried as each member of
    the item union; the whole `input` also as the str it may be instead)."""
    if loc == ("input", "str"):
        return ()  # only says that `input` is not a str: the list is judged
    return tuple(
        step
        for step in loc
        if not (
            isinstance(step, str)
            and (step[:1].isupper() or "[" in step or step in ("str", "int", "float", "bool", "none"))
        )
    )


def _within(loc, path):
    return _steps(loc)[: len(path)] == path


# The allowed differences, each in its exact shape.
class _OutputTextPart(TypedDict):
    type: Literal["output_text"]
    text: str


# Strict servers take assistant text only as output parts; the types, only in an output message (id, status).
class _AssistantOutputTextMessage(TypedDict):
    type: Literal["message"]
    role: Literal["assistant"]
    content: Annotated[list[_OutputTextPart], Len(1)]
    phase: NotRequired[Literal["commentary", "final_answer"]]


# The endpoint takes encrypted reasoning without an id (a detail that had none); the types require one.
class _StatelessReasoningItem(TypedDict):
    type: Literal["reasoning"]
    summary: Annotated[list[Any], Len(0, 0)]
    encrypted_content: Annotated[str, Len(1)]


ALLOWANCES = {
    "output_text": closed_validator(_AssistantOutputTextMessage),
    "stateless": closed_validator(_StatelessReasoningItem),
}
INPUT_ITEM = closed_validator(ResponseInputItemParam)


@functools.lru_cache(maxsize=None)
def _item_refused(text):
    try:
        INPUT_ITEM.validate_json(text, strict=True)
    except ValidationError:
        return True
    return False


def _allowance(item):
    """The name of the allowed difference `item` has the shape of, or None."""
    text = json.dumps(item)
    for name, validator in ALLOWANCES.items():
        try:
            validator.validate_json(text, strict=True)
        except ValidationError:
            continue
        return name
    return None


def _accepted_form(item, n, kind):
    """The same input item in the form the types accept."""
    if kind == "stateless":
        return dict(item, id=f"rs_{n}")
    return dict(
        item, id=f"msg_{n}", status="completed", content=[dict(part, annotations=[]) for part in item["content"]]
    )


def _accepted(payload, kinds=None):
    """`payload` with every allowed difference in the form the types accept."""
    if kinds is None:
        kinds = [_allowance(item) for item in payload["input"]]
    return dict(
        payload,
        input=[
            _accepted_form(item, i, kind) if kind else item
            for i, (item, kind) in enumerate(zip(payload["input"], kinds))
        ],
    )


# ---------------------------------------------------------------------------
# The matrix

PNG = (
    "data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQ"
    "AAAABJRU5ErkJggg=="
)
JPG = "https://upload.example.org/photos/harbour.jpg"

PROMPTS = {
    "no-prompt": [],
    "system": [{"role": "system", "content": "You are a concise travel assistant."}],
    "developer": [{"role": "developer", "content": "Answer in metric units."}],
    "system+developer": [
        {"role": "system", "content": "You are a concise travel assistant."},
        {"role": "developer", "content": "  Answer in metric units.\n"},
    ],
    "system-parts": [
        {
            "role": "system",
            "content": [{"type": "text", "text": "Be brief."}, {"type": "text", "text": "Cite sources."}],
        }
    ],
}

ASK = {"type": "text", "text": "What is in this picture, and what is the weather there?"}
USERS = {
    "text": "What's the weather in Paris and Rome today?",
    "text-parts": [ASK, {"type": "text", "text": "Keep it short."}],
    "image-chat": [ASK, {"type": "image_url", "image_url": {"url": JPG}}],
    "image-chat-detail": [ASK, {"type": "image_url", "image_url": {"url": JPG, "detail": "low"}}],
    "image-responses": [ASK, {"type": "input_image", "image_url": PNG}],
    "image-responses-detail": [ASK, {"type": "input_image", "image_url": PNG, "detail": "high"}],
    "images-mixed": [
        ASK,
        {"type": "image_url", "image_url": {"url": PNG, "detail": "high"}},
        {"type": "input_image", "image_url": JPG},
        {"type": "image_url", "image_url": {"url": JPG}},
        {"type": "input_image", "image_url": PNG, "detail": "low"},
    ],
}

CALLS = [
    {"id": "call_paris", "type": "function", "function": {"name": "get_weather", "arguments": '{"city": "Paris"}'}},
    {
        "id": "call_rome",
        "type": "function",
        "function": {"name": "get_weather", "arguments": '{"city": "Rome", "unit": "c"}'},
    },
]
OUTPUTS = {
    "str": ("18 °C, sunny", "24 °C, clear"),
    "dict": ({"temp_c": 18, "sky": "sunny"}, {"temp_c": 24, "sky": "clear", "wind": None}),
    "list": ([{"type": "text", "text": "18 °C"}, "sunny"], [24, "clear"]),
}


def _calls(content, outputs, **assistant):
    return [{"role": "assistant", "content": content, "tool_calls": CALLS, **assistant}] + [
        {"role": "tool", "tool_call_id": c["id"], "content": o} for c, o in zip(CALLS, outputs)
    ]


def encrypted(n, **changes):
    """A `reasoning_details` entry as a reply or a stream's finish delta gives
    it; a change to ``...`` leaves that key out."""
    detail = {
        "type": "reasoning.encrypted",
        "data": f"gAAAAABpPDIV{n}Xf5LyoTTD==",
        "id": f"rs_0842a5{n}",
        "format": "openai-responses-v1",
        "index": n,
    }
    return {k: v for k, v in dict(detail, **changes).items() if v is not ...}


# Entries that are not this endpoint's encrypted reasoning: no input item.
FOREIGN = [
    {"type": "reasoning.text", "text": "Checking both cities.", "format": "openai-responses-v1", "index": 0},
    {"type": "reasoning.summary", "summary": "Weather lookups.", "index": 1},
    encrypted(2, format="other-vendor-v1"),
    encrypted(3, data=""),
]

FOLLOW_UP = [{"role": "user", "content": "And tomorrow?"}]
# name: (history, its assistant output_text messages, its reasoning items
# without an id, all its reasoning items)
HISTORIES = {
    "no-history": ([], 0, 0, 0),
    "assistant-text": ([{"role": "assistant", "content": "Sunny in both."}] + FOLLOW_UP, 1, 0, 0),
    "assistant-text-parts": (
        [{"role": "assistant", "content": [{"type": "text", "text": "Sunny "}, {"type": "text", "text": "in both."}]}]
        + FOLLOW_UP,
        1,
        0,
        0,
    ),
    **{
        f"parallel-calls-{kind}-output": (_calls("Let me check both cities.", out) + FOLLOW_UP, 1, 0, 0)
        for kind, out in OUTPUTS.items()
    },
    "calls-only": (_calls(None, (OUTPUTS["str"][0], OUTPUTS["dict"][1])) + FOLLOW_UP, 0, 0, 0),
    # A reasoning model's loop: encrypted reasoning, a preamble, the calls;
    # then reasoning again and the final answer.
    "reasoning-loop": (
        _calls("Checking both cities.", OUTPUTS["str"], reasoning_details=[encrypted(0)], phase="commentary")
        + [
            {
                "role": "assistant",
                "content": "Sunny in both.",
                "phase": "final_answer",
                "reasoning_details": [encrypted(1, index=0), encrypted(2, index=1)],
            }
        ]
        + FOLLOW_UP,
        2,
        0,
        3,
    ),
    "reasoning-without-ids": (
        _calls(
            None,
            OUTPUTS["dict"],
            reasoning_details=[encrypted(0, id=None), encrypted(1, id=...), encrypted(2, id="", format=None)],
        )
        + FOLLOW_UP,
        0,
        3,
        3,
    ),
    "reasoning-only": (
        [{"role": "assistant", "content": None, "phase": "commentary", "reasoning_details": [encrypted(0, format=...)]}]
        + FOLLOW_UP,
        0,
        0,
        1,
    ),
    "foreign-details": (
        [
            {
                "role": "assistant",
                "content": [{"type": "text", "text": "Sunny in both."}],
                "phase": "final_answer",
                "reasoning_details": FOREIGN + [encrypted(4)],
            }
        ]
        + FOLLOW_UP,
        1,
        0,
        1,
    ),
}

CONFIGS = {
    "defaults": {},
    "reasoning-model": {"model": "gpt-5.4-mini", "temperature": None, "max_tokens": None},
    "effort": {"model": "gpt-5.4", "reasoning_effort": "medium", "reasoning_summary": "auto"},
    "effort-not-stored": {"model": "gpt-5.4", "reasoning_effort": "high", "store": False},
    "no-effort-stored": {"model": "gpt-5.4", "reasoning_effort": "none", "store": True, "temperature": 0.2},
}

# Every history under every configuration and after every user turn; the
# prompts in turn (each prompt meets every user turn and history).
CONVERSATIONS = [
    (
        f"{p}/{u}/{h}/{c}",
        PROMPTS[p] + [{"role": "user", "content": USERS[u]}] + HISTORIES[h][0],
        CONFIGS[c],
        HISTORIES[h][1:],
    )
    for n, (h, c, u) in enumerate(itertools.product(HISTORIES, CONFIGS, USERS))
    for p in [list(PROMPTS)[n % len(PROMPTS)]]
]

TOOLS = [
    {
        "type": "function",
        "function": {
            "name": "get_weather",
            "description": "Current weather for a city.",
            "parameters": {
                "type": "object",
                "properties": {"city": {"type": "string"}, "unit": {"type": "string", "enum": ["c", "f"]}},
                "required": ["city"],
            },
        },
    },
    {"type": "function", "function": {"name": "get_time"}},
]
TOOL_CHOICES = {
    "no-choice": None,
    "auto": "auto",
    "none": "none",
    "required": "required",
    "function-flat": {"type": "function", "name": "get_weather"},
    "function-nested": {"type": "function", "function": {"name": "get_weather"}},
}
OPTIONS = [
    pytest.param(
        dict(tools=tools, tool_choice=choice, stream=stream),
        id=f"{'tools' if tools else 'no-tools'}-{name}-{'stream' if stream else 'no-stream'}",
    )
    for tools in (TOOLS, None)
    for name, choice in TOOL_CHOICES.items()
    for stream in (False, True)
]

MATRIX_SIZE = len(CONVERSATIONS) * len(OPTIONS)


# ---------------------------------------------------------------------------
# Request tests


def _difference(payload, expected):
    """Check one payload against the counts `expected` of its history (output
    text messages, reasoning items without an id, reasoning items); returns
    a failure text, or None."""
    kinds = [_allowance(item) for item in payload["input"]]
    reasoning = sum(isinstance(item, dict) and item.get("type") == "reasoning" for item in payload["input"])
    found = (kinds.count("output_text"), kinds.count("stateless"), reasoning)
    if found != expected:
        return f"(output_text messages, reasoning items without id, reasoning items) {found}, expected {expected}"
    # Each difference occurs: the item type refuses each such item ...
    allowed = [i for i, kind in enumerate(kinds) if kind]
    refused = [i for i in allowed if _item_refused(json.dumps(payload["input"][i]))]
    if refused != allowed:
        return f"allowed shape accepted as it stands at {set(allowed) - set(refused)}"
    # ... and they are the only ones: with those items in the form the types
    # accept, the payload is valid.
    errors = schema_errors(_accepted(payload, kinds))
    return f"schema errors: {errors[:3]}" if errors else None


def _blamed(errors):
    """The input items that `errors` blame, and the errors blaming anything else."""
    items = {_steps(e["loc"])[1] for e in errors if _within(e["loc"], ("input",))}
    others = [e for e in errors if _steps(e["loc"]) and not _within(e["loc"], ("input",))]
    return items, others


@pytest.mark.parametrize("options", OPTIONS)
def test_payloads_match_the_request_types(impl, options, capsys):
    failures, sent = [], set()
    for name, messages, config, expected in CONVERSATIONS:
        payload = impl.build_payload(messages, config, **options)
        failure = _difference(payload, expected)
        if failure:
            failures.append(f"{name}: {failure}")
        sent.update((key, json.dumps(payload[key])) for key in ("include", "store") if key in payload)
        sent.update(("phase", item["phase"]) for item in payload["input"] if "phase" in item)
    capsys.readouterr()  # the image count lines
    assert not failures, f"{len(failures)} of {len(CONVERSATIONS)} payloads:\n" + "\n".join(failures[:10])
    # The matrix does send the new keys, with each of their values.
    assert sent == {
        ("include", '["reasoning.encrypted_content"]'),
        ("store", "false"),
        ("store", "true"),
        ("phase", "commentary"),
        ("phase", "final_answer"),
    }


def test_matrix_size():
    assert MATRIX_SIZE == 385 * 24  # 11 histories x 5 configurations x 7 user turns x 24 options
    assert len({name.split("/")[0] + "/" + name.split("/")[2] for name, *_ in CONVERSATIONS}) == 5 * 11
    assert {expected for *_, expected in CONVERSATIONS} >= {(1, 0, 0), (2, 0, 3), (0, 3, 3)}


def _valid(impl, **options):
    messages = (
        PROMPTS["system"]
        + [{"role": "user", "content": USERS["images-mixed"]}]
        + HISTORIES["parallel-calls-dict-output"][0]
        + [{"role": "assistant", "content": None, "reasoning_details": [encrypted(0)]}]
    )
    payload = _accepted(
        impl.build_payload(messages, {"reasoning_effort": "low", "store": False}, tools=TOOLS, **options)
    )
    assert [item.get("type") for item in payload["input"]] == [
        "message",
        "message",
        "function_call",
        "function_call",
        "function_call_output",
        "function_call_output",
        "message",
        "reasoning",
    ]
    return payload


# Where an unknown key is planted: each path leads to a dict of the payload.
DEPTHS = {
    "top level": (),
    "user message": ("input", 0),
    "image part": ("input", 0, "content", 1),
    "text part": ("input", 0, "content", 0),
    "assistant message": ("input", 1),
    "output text part": ("input", 1, "content", 0),
    "function call": ("input", 2),
    "function call output": ("input", 4),
    "reasoning item": ("input", 7),
    "reasoning": ("reasoning",),
    "tool": ("tools", 1),
    "tool choice": ("tool_choice",),
}


@pytest.mark.parametrize("depth", DEPTHS)
@pytest.mark.parametrize("stream", [False, True])
def test_unknown_key_is_refused_at_any_depth(impl, depth, stream, capsys):
    payload = _valid(impl, tool_choice={"type": "function", "name": "get_weather"}, stream=stream)
    assert schema_errors(payload) == []
    target = payload
    for step in DEPTHS[depth]:
        target = target[step]
    target["x_unknown"] = 1
    errors = schema_errors(payload)
    # A faulty part fails its whole input item, as each member of the item
    # union; nothing outside that item is blamed.
    item = DEPTHS[depth][:2]
    assert errors and all(_within(e["loc"], item) for e in errors if _steps(e["loc"])), errors[:3]
    assert any(e["type"] == "extra_forbidden" and _steps(e["loc"]) == DEPTHS[depth] + ("x_unknown",) for e in errors)
    capsys.readouterr()


@pytest.mark.parametrize(
    "mutate",
    [
        lambda p: p["tools"][0].pop("strict"),
        lambda p: p["tools"][0].update(parameters="object"),
        lambda p: p["input"][0]["content"][1].pop("detail"),
        lambda p: p["input"][0]["content"][1].update(detail="medium"),
        lambda p: p["input"][2].update(arguments={"city": "Paris"}),
        lambda p: p.update(tool_choice={"type": "function", "function": {"name": "get_weather"}}),
        lambda p: p.update(stream_options={"include_usage": True}),
        lambda p: p.update(max_output_tokens=1.5),
        lambda p: p["input"][0].pop("type"),
        lambda p: p["input"][1].update(phase="preamble"),
        lambda p: p["input"][7].update(encrypted_content=["gAAAA"]),
        lambda p: p["input"][7].update(summary=[{"type": "summary_text"}]),
        lambda p: p.update(include=["reasoning.encrypted"]),
        lambda p: p.update(store="false"),
    ],
    ids=[
        "tool-without-strict",
        "non-object-parameters",
        "image-without-detail",
        "unknown-detail",
        "arguments-not-text",
        "nested-tool-choice",
        "include-usage",
        "float-token-limit",
        "message-without-type",
        "unknown-phase",
        "encrypted-content-not-text",
        "summary-part-without-text",
        "unknown-include",
        "store-not-bool",
    ],
)
def test_known_faults_are_refused(impl, mutate, capsys):
    """The validators see faults in lists that the types check lazily, in
    unions and in values, not only unknown keys."""
    payload = _valid(impl, stream=True)
    assert schema_errors(payload) == []
    mutate(payload)
    assert schema_errors(payload)
    capsys.readouterr()


def test_allowance_is_narrow(impl):
    """Only an assistant message of output_text parts (with a known phase or
    none) and a reasoning item of encrypted content alone, with an empty
    summary, are let through: not one with another part type, another key,
    another role, no content, a non-empty summary or an id."""
    messages = HISTORIES["reasoning-without-ids"][0][:1] + HISTORIES["reasoning-loop"][0][3:4]
    payload = impl.build_payload(messages, {})
    kinds = [_allowance(item) for item in payload["input"]]
    assert kinds == ["stateless"] * 3 + [None] * 4 + ["output_text"], kinds
    assert _difference(payload, (1, 3, 5)) is None
    # As it stands, the payload is refused there and nowhere else.
    assert _blamed(schema_errors(payload)) == ({0, 1, 2, 7}, [])
    reasoning, text = payload["input"][0], payload["input"][7]
    for bad in (
        dict(text, role="user"),
        dict(text, extra=1),
        dict(text, phase="preamble"),
        {k: v for k, v in text.items() if k != "type"},
        dict(text, content=[]),
        dict(text, content=text["content"] + [{"type": "input_text", "text": "x"}]),
        dict(text, content=[dict(text["content"][0], annotations=[])]),
        dict(reasoning, summary=[{"type": "summary_text", "text": "x"}]),
        dict(reasoning, extra=1),
        dict(reasoning, encrypted_content=""),
        {k: v for k, v in reasoning.items() if k != "summary"},
        dict(reasoning, type="message"),
        dict(reasoning, id="rs_1"),
    ):
        assert _allowance(bad) is None, bad
    wrong_elsewhere = dict(
        payload, input=payload["input"] + [{"type": "message", "role": "user", "content": "?", "x": 1}]
    )
    assert _difference(wrong_elsewhere, (1, 3, 5))
    assert _blamed(schema_errors(wrong_elsewhere)) == ({0, 1, 2, 7, 8}, [])


# ---------------------------------------------------------------------------
# Reply tests


def _replies():
    """Every recorded reply body, and the reply each recorded stream ends with."""
    out = []
    for path in sorted((RECORDED / "replies").glob("*.json")):
        out.append(pytest.param(json.loads(path.read_text(encoding="utf-8")), id=path.stem))
    for path in sorted((RECORDED / "streams").glob("*.sse")):
        final = None
        for line in path.read_text(encoding="utf-8").splitlines():
            if line.startswith("data:") and line[5:].strip() != "[DONE]":
                event = json.loads(line[5:])
                if event.get("type") in ("response.completed", "response.incomplete", "response.failed"):
                    final = event["response"]
        out.append(pytest.param(final, id=f"stream-{path.stem}"))
    return out


REPLIES = _replies()


def _extras(model, path=()):
    """Every key found in `model` or its nested models that their types lack."""
    for key in model.__pydantic_extra__ or {}:
        yield path + (key,)
    for name in type(model).model_fields:
        value = getattr(model, name)
        for i, sub in enumerate(value if isinstance(value, list) else [value]):
            if hasattr(sub, "__pydantic_extra__"):
                yield from _extras(sub, path + (name, i))


def _summaries(reply):
    return [
        part["text"]
        for item in reply.get("output") or []
        if item.get("type") == "reasoning"
        for part in item.get("summary") or []
        if isinstance(part.get("text"), str) and part["text"]
    ]


def _reasoning(reply):
    """Each reasoning item's summary texts, else its raw reasoning texts."""
    texts = []
    for item in reply.get("output") or []:
        if item.get("type") != "reasoning":
            continue
        summary = [p["text"] for p in item.get("summary") or [] if isinstance(p.get("text"), str) and p["text"]]
        raw = [
            p["text"]
            for p in item.get("content") or []
            if p.get("type") == "reasoning_text" and isinstance(p.get("text"), str) and p["text"]
        ]
        texts += summary or raw
    return texts


def _details(reply):
    """The `reasoning_details` of each reasoning item's encrypted content, in turn."""
    items = [
        item
        for item in reply.get("output") or []
        if item.get("type") == "reasoning"
        and isinstance(item.get("encrypted_content"), str)
        and item["encrypted_content"]
    ]
    return [
        {
            "type": "reasoning.encrypted",
            "data": item["encrypted_content"],
            "id": item.get("id"),
            "format": "openai-responses-v1",
            "index": k,
        }
        for k, item in enumerate(items)
    ]


def _phase(reply):
    """The phase of the last message item that names one."""
    phases = [item.get("phase") for item in reply.get("output") or [] if item.get("type") == "message"]
    return ([None] + [p for p in phases if isinstance(p, str) and p])[-1]


def test_recordings_are_present():
    assert len(REPLIES) >= 9 + 29
    assert sum(bool(_summaries(r.values[0] or {})) for r in REPLIES) >= 6
    # encrypted reasoning in six, one item of it with none; a phase in four
    assert sum(bool(_details(r.values[0] or {})) for r in REPLIES) >= 6
    assert sum(_phase(r.values[0] or {}) is not None for r in REPLIES) >= 4


@pytest.mark.parametrize("reply", REPLIES)
def test_normalized_reply_matches_the_chat_types(impl, reply):
    assert reply is not None, "recording without a terminal event"
    result = impl.normalize_response(reply)
    message = ChatCompletionMessage.model_validate_json(json.dumps(result["choices"][0]["message"]), strict=True)
    usage = CompletionUsage.model_validate_json(json.dumps(result["usage"]), strict=True)
    assert list(_extras(usage)) == []
    counts = reply.get("usage") or {}
    # Cached and reasoning tokens arrive under the Chat names, carried whole.
    for ours, theirs in (
        ("prompt_tokens_details", "input_tokens_details"),
        ("completion_tokens_details", "output_tokens_details"),
    ):
        carried = getattr(usage, ours)
        assert (carried.model_dump(exclude_unset=True) if carried else None) == (counts.get(theirs) or None)
    reasoning, details, phase = _reasoning(reply), _details(reply), _phase(reply)
    extras = {
        "reasoning_content": "\n\n".join(reasoning) if reasoning else None,
        "reasoning_details": details or None,
        "phase": phase,
    }
    assert list(_extras(message)) == [(k,) for k, v in extras.items() if v is not None]
    assert {k: getattr(message, k, None) for k in extras} == extras
    if "error" in reply and "output" not in reply:
        # An HTTP error body, not a reply: nothing in it may pass for an answer.
        assert (message.content, message.tool_calls, usage.total_tokens) == ("", None, 0)
        return
    assert (usage.prompt_tokens, usage.completion_tokens, usage.total_tokens) == (
        counts.get("input_tokens", 0),
        counts.get("output_tokens", 0),
        counts.get("total_tokens", 0),
    )
    calls = [i for i in reply["output"] if i["type"] == "function_call"]
    assert [(c.id, c.function.name, c.function.arguments) for c in message.tool_calls or []] == [
        (i["call_id"], i["name"], i["arguments"]) for i in calls
    ]


REASONING_CONFIGS = (
    [
        {"model": "o4-mini", "reasoning_effort": effort, **({"reasoning_summary": summary} if summary else {})}
        for effort in ("low", "high")
        for summary in ("auto", None)
    ]
    + [{"model": "o4-mini", "reasoning_summary": "auto"}]
    + [
        {"model": "gpt-5.4", "reasoning_effort": effort, "store": store}
        for effort in ("xhigh", "none")
        for store in (False, True)
    ]
)


@pytest.mark.parametrize("config", REASONING_CONFIGS, ids=lambda c: "-".join(map(str, list(c.values())[1:])))
@pytest.mark.parametrize("stream", [False, True])
def test_payloads_with_reasoning_match_the_request_types(impl, config, stream):
    payload = impl.build_payload(
        [{"role": "system", "content": "terse"}, {"role": "user", "content": "hi"}],
        config,
        tools=TOOLS,
        tool_choice="auto",
        stream=stream,
    )
    effort = config.get("reasoning_effort")
    assert "reasoning" in payload
    assert ("temperature" in payload) == (effort in (None, "none"))
    assert ("include" in payload) == (effort not in (None, "none")) and ("store" in payload) == ("store" in config)
    assert schema_errors(payload) == []
    # the types do check inside "reasoning"
    assert schema_errors(dict(payload, reasoning=dict(payload["reasoning"], effort_level="high")))


@pytest.mark.parametrize("path", sorted((RECORDED / "streams").glob("*.sse")), ids=lambda p: p.stem[:2])
def test_finish_deltas_match_the_chat_usage_type(impl, monkeypatch, path):
    from fake_opener import FakeOpener

    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(path.read_bytes()))
    last = list(impl.stream_raw("http://127.0.0.1:9/v1/responses", {}, {}))[-1]
    usage = CompletionUsage.model_validate_json(json.dumps(last["_usage"]), strict=True)
    assert list(_extras(usage)) == []
    final = [
        json.loads(line[5:])
        for line in path.read_bytes().split(b"\n")
        if line.startswith(b"data:") and b'"usage"' in line
    ]
    counts = (final[-1].get("response") or {}).get("usage") or {} if final else {}
    if last["_finish_reason"] != "error" or counts:
        assert (
            usage.prompt_tokens_details.model_dump(exclude_unset=True) if usage.prompt_tokens_details else None
        ) == (counts.get("input_tokens_details") or None)
