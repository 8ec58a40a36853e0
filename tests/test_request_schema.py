"""Request bodies and replies checked against the endpoint's own published
types (the `openai` package, a test-only dependency).

Requests: every payload of a matrix of realistic conversations is validated,
as the JSON text that goes on the wire, against `ResponseCreateParamsStreaming`
or `ResponseCreateParamsNonStreaming`, with unknown keys refused in every
nested typed dict. One difference between those types and what the endpoint
accepts is allowed, and only in its exact shape: an assistant history message
whose content is a list of `output_text` parts (the types admit such parts
only inside an output message carrying an id and a status).

Replies: `normalize_response` of every recorded reply, and of the reply each
recorded stream ends with, gives a message that is a `ChatCompletionMessage`
and a usage that is a `CompletionUsage`, with no key the types lack besides
"reasoning_content".
"""
import functools
import itertools
import json
import pathlib
from typing import Literal, TypedDict

import pytest
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


def _closed(schema):
    """A copy of a pydantic core schema in which every typed dict refuses keys
    it does not declare, and every iterable field is checked at once as a list
    (pydantic checks an `Iterable[...]` field lazily, only when the validated
    value is iterated, so `tools` would otherwise never be looked at)."""
    if isinstance(schema, list):
        return [_closed(x) for x in schema]
    if not isinstance(schema, dict):
        return schema
    out = {k: _closed(v) for k, v in schema.items()}
    if out.get("type") == "typed-dict":
        out["extra_behavior"] = "forbid"
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
    return tuple(step for step in loc if not (isinstance(step, str) and (
        step[:1].isupper() or "[" in step or step in ("str", "int", "float", "bool", "none"))))


def _within(loc, path):
    return _steps(loc)[:len(path)] == path


# The one allowed difference, in its exact shape.
class _OutputTextPart(TypedDict):
    type: Literal["output_text"]
    text: str


class _AssistantOutputTextMessage(TypedDict):
    role: Literal["assistant"]
    content: list[_OutputTextPart]


ASSISTANT_OUTPUT_TEXT = closed_validator(_AssistantOutputTextMessage)
INPUT_ITEM = closed_validator(ResponseInputItemParam)


@functools.lru_cache(maxsize=None)
def _item_refused(text):
    try:
        INPUT_ITEM.validate_json(text, strict=True)
    except ValidationError:
        return True
    return False


def _is_assistant_output_text(item):
    try:
        ASSISTANT_OUTPUT_TEXT.validate_json(json.dumps(item), strict=True)
    except ValidationError:
        return False
    return True


def _as_output_message(item, n):
    """The same history message in the form the types accept."""
    return {"type": "message", "id": f"msg_{n}", "status": "completed", "role": "assistant",
            "content": [dict(part, annotations=[]) for part in item["content"]]}


# ---------------------------------------------------------------------------
# The matrix

PNG = ("data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQ"
       "AAAABJRU5ErkJggg==")
JPG = "https://upload.example.org/photos/harbour.jpg"

PROMPTS = {
    "no-prompt": [],
    "system": [{"role": "system", "content": "You are a concise travel assistant."}],
    "developer": [{"role": "developer", "content": "Answer in metric units."}],
    "system+developer": [{"role": "system", "content": "You are a concise travel assistant."},
                         {"role": "developer", "content": "  Answer in metric units.\n"}],
    "system-parts": [{"role": "system", "content": [{"type": "text", "text": "Be brief."},
                                                    {"type": "text", "text": "Cite sources."}]}],
}

ASK = {"type": "text", "text": "What is in this picture, and what is the weather there?"}
USERS = {
    "text": "What's the weather in Paris and Rome today?",
    "text-parts": [ASK, {"type": "text", "text": "Keep it short."}],
    "image-chat": [ASK, {"type": "image_url", "image_url": {"url": JPG}}],
    "image-chat-detail": [ASK, {"type": "image_url", "image_url": {"url": JPG, "detail": "low"}}],
    "image-responses": [ASK, {"type": "input_image", "image_url": PNG}],
    "image-responses-detail": [ASK, {"type": "input_image", "image_url": PNG, "detail": "high"}],
    "images-mixed": [ASK, {"type": "image_url", "image_url": {"url": PNG, "detail": "high"}},
                     {"type": "input_image", "image_url": JPG},
                     {"type": "image_url", "image_url": {"url": JPG}},
                     {"type": "input_image", "image_url": PNG, "detail": "low"}],
}

CALLS = [
    {"id": "call_paris", "type": "function",
     "function": {"name": "get_weather", "arguments": '{"city": "Paris"}'}},
    {"id": "call_rome", "type": "function",
     "function": {"name": "get_weather", "arguments": '{"city": "Rome", "unit": "c"}'}},
]
OUTPUTS = {
    "str": ("18 °C, sunny", "24 °C, clear"),
    "dict": ({"temp_c": 18, "sky": "sunny"}, {"temp_c": 24, "sky": "clear", "wind": None}),
    "list": ([{"type": "text", "text": "18 °C"}, "sunny"], [24, "clear"]),
}


def _calls(content, outputs):
    return ([{"role": "assistant", "content": content, "tool_calls": CALLS}]
            + [{"role": "tool", "tool_call_id": c["id"], "content": o} for c, o in zip(CALLS, outputs)])


FOLLOW_UP = [{"role": "user", "content": "And tomorrow?"}]
HISTORIES = {
    "no-history": [],
    "assistant-text": [{"role": "assistant", "content": "Sunny in both."}] + FOLLOW_UP,
    "assistant-text-parts": [{"role": "assistant", "content": [{"type": "text", "text": "Sunny "},
                                                               {"type": "text", "text": "in both."}]}]
    + FOLLOW_UP,
    **{f"parallel-calls-{kind}-output": _calls("Let me check both cities.", out) + FOLLOW_UP
       for kind, out in OUTPUTS.items()},
    "calls-only": _calls(None, (OUTPUTS["str"][0], OUTPUTS["dict"][1])) + FOLLOW_UP,
}
# The history whose assistant message is a list of parts: the only place
# where the allowed difference may and must occur.
OUTPUT_TEXT_HISTORY = "assistant-text-parts"

CONFIGS = {
    "defaults": {},
    "reasoning-model": {"model": "gpt-5.4-mini", "temperature": None, "max_tokens": None},
}

CONVERSATIONS = [
    (f"{p}/{u}/{h}/{c}", PROMPTS[p] + [{"role": "user", "content": USERS[u]}] + HISTORIES[h],
     CONFIGS[c], h == OUTPUT_TEXT_HISTORY)
    for p, u, h, c in itertools.product(PROMPTS, USERS, HISTORIES, CONFIGS)
]

TOOLS = [
    {"type": "function", "function": {
        "name": "get_weather", "description": "Current weather for a city.",
        "parameters": {"type": "object", "properties": {
            "city": {"type": "string"}, "unit": {"type": "string", "enum": ["c", "f"]}},
            "required": ["city"]}}},
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
    pytest.param(dict(tools=tools, tool_choice=choice, stream=stream),
                 id=f"{'tools' if tools else 'no-tools'}-{name}-{'stream' if stream else 'no-stream'}")
    for tools in (TOOLS, None)
    for name, choice in TOOL_CHOICES.items()
    for stream in (False, True)
]

MATRIX_SIZE = len(CONVERSATIONS) * len(OPTIONS)


# ---------------------------------------------------------------------------
# Request tests


def _difference(payload, expected):
    """Check one payload; returns a failure text, or None."""
    allowed = [i for i, item in enumerate(payload["input"]) if _is_assistant_output_text(item)]
    if bool(allowed) != expected:
        return f"assistant output_text history at {allowed}, expected {'some' if expected else 'none'}"
    # The difference occurs: the item type refuses each such message ...
    refused = [i for i in allowed if _item_refused(json.dumps(payload["input"][i]))]
    if refused != allowed:
        return f"assistant output_text history accepted as it stands at {set(allowed) - set(refused)}"
    # ... and it is the only one: with those messages in the form the types
    # accept, the payload is valid.
    fixed = dict(payload, input=[_as_output_message(item, i) if i in allowed else item
                                 for i, item in enumerate(payload["input"])])
    errors = schema_errors(fixed)
    return f"schema errors: {errors[:3]}" if errors else None


def _blamed(errors):
    """The input items that `errors` blame, and the errors blaming anything else."""
    items = {_steps(e["loc"])[1] for e in errors if _within(e["loc"], ("input",))}
    others = [e for e in errors if _steps(e["loc"]) and not _within(e["loc"], ("input",))]
    return items, others


@pytest.mark.parametrize("options", OPTIONS)
def test_payloads_match_the_request_types(impl, options, capsys):
    failures = []
    for name, messages, config, expected in CONVERSATIONS:
        payload = impl.build_payload(messages, config, **options)
        failure = _difference(payload, expected)
        if failure:
            failures.append(f"{name}: {failure}")
    capsys.readouterr()  # the image count lines
    assert not failures, f"{len(failures)} of {len(CONVERSATIONS)} payloads:\n" + "\n".join(failures[:10])


def test_matrix_size():
    assert MATRIX_SIZE == 490 * 24  # 5 prompts x 7 user turns x 7 histories x 2 configurations x 24 options
    assert sum(expected for *_, expected in CONVERSATIONS) == 70


def _valid(impl, **options):
    messages = PROMPTS["system"] + [{"role": "user", "content": USERS["images-mixed"]}] \
        + HISTORIES["parallel-calls-dict-output"]
    return impl.build_payload(messages, {}, tools=TOOLS, **options)


# Where an unknown key is planted: each path leads to a dict of the payload.
DEPTHS = {
    "top level": (),
    "user message": ("input", 0),
    "image part": ("input", 0, "content", 1),
    "text part": ("input", 0, "content", 0),
    "assistant message": ("input", 1),
    "function call": ("input", 2),
    "function call output": ("input", 4),
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
    assert any(e["type"] == "extra_forbidden" and _steps(e["loc"]) == DEPTHS[depth] + ("x_unknown",)
               for e in errors)
    capsys.readouterr()


@pytest.mark.parametrize("mutate", [
    lambda p: p["tools"][0].pop("strict"),
    lambda p: p["tools"][0].update(parameters="object"),
    lambda p: p["input"][0]["content"][1].pop("detail"),
    lambda p: p["input"][0]["content"][1].update(detail="medium"),
    lambda p: p["input"][2].update(arguments={"city": "Paris"}),
    lambda p: p.update(tool_choice={"type": "function", "function": {"name": "get_weather"}}),
    lambda p: p.update(stream_options={"include_usage": True}),
    lambda p: p.update(max_output_tokens=1.5),
], ids=["tool-without-strict", "non-object-parameters", "image-without-detail", "unknown-detail",
        "arguments-not-text", "nested-tool-choice", "include-usage", "float-token-limit"])
def test_known_faults_are_refused(impl, mutate, capsys):
    """The validators see faults in lists that the types check lazily, in
    unions and in values, not only unknown keys."""
    payload = _valid(impl, stream=True)
    assert schema_errors(payload) == []
    mutate(payload)
    assert schema_errors(payload)
    capsys.readouterr()


def test_allowance_is_narrow(impl):
    """Only an assistant message of output_text parts is let through: not one
    with another part type, another key or another role."""
    payload = impl.build_payload(HISTORIES["assistant-text-parts"], {})
    item = payload["input"][0]
    assert _is_assistant_output_text(item) and _difference(payload, True) is None
    # As it stands, the payload is refused there and nowhere else.
    assert _blamed(schema_errors(payload)) == ({0}, [])
    for bad in (dict(item, role="user"), dict(item, phase="final_answer", extra=1),
                dict(item, content=item["content"] + [{"type": "input_text", "text": "x"}]),
                dict(item, content=[dict(item["content"][0], annotations=[])])):
        assert not _is_assistant_output_text(bad)
        assert _difference(dict(payload, input=[bad]), True) is not None
    wrong_elsewhere = dict(payload, input=[item, {"role": "user", "content": "?", "x": 1}])
    assert _difference(wrong_elsewhere, True)
    assert _blamed(schema_errors(wrong_elsewhere)) == ({0, 1}, [])


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
    return [part["text"] for item in reply.get("output") or [] if item.get("type") == "reasoning"
            for part in item.get("summary") or [] if isinstance(part.get("text"), str) and part["text"]]


def _reasoning(reply):
    """Each reasoning item's summary texts, else its raw reasoning texts."""
    texts = []
    for item in reply.get("output") or []:
        if item.get("type") != "reasoning":
            continue
        summary = [p["text"] for p in item.get("summary") or [] if isinstance(p.get("text"), str) and p["text"]]
        raw = [p["text"] for p in item.get("content") or []
               if p.get("type") == "reasoning_text" and isinstance(p.get("text"), str) and p["text"]]
        texts += summary or raw
    return texts


def test_recordings_are_present():
    assert len(REPLIES) >= 9 + 29
    assert sum(bool(_summaries(r.values[0] or {})) for r in REPLIES) >= 6


@pytest.mark.parametrize("reply", REPLIES)
def test_normalized_reply_matches_the_chat_types(impl, reply):
    assert reply is not None, "recording without a terminal event"
    result = impl.normalize_response(reply)
    message = ChatCompletionMessage.model_validate_json(
        json.dumps(result["choices"][0]["message"]), strict=True)
    usage = CompletionUsage.model_validate_json(json.dumps(result["usage"]), strict=True)
    assert list(_extras(usage)) == []
    counts = reply.get("usage") or {}
    # Cached and reasoning tokens arrive under the Chat names, carried whole.
    for ours, theirs in (("prompt_tokens_details", "input_tokens_details"),
                         ("completion_tokens_details", "output_tokens_details")):
        carried = getattr(usage, ours)
        assert (carried.model_dump(exclude_unset=True) if carried else None) == (counts.get(theirs) or None)
    reasoning = _reasoning(reply)
    assert list(_extras(message)) == ([("reasoning_content",)] if reasoning else [])
    if reasoning:
        assert message.reasoning_content == "\n\n".join(reasoning)
    if "error" in reply and "output" not in reply:
        # An HTTP error body, not a reply: nothing in it may pass for an answer.
        assert (message.content, message.tool_calls, usage.total_tokens) == ("", None, 0)
        return
    assert (usage.prompt_tokens, usage.completion_tokens, usage.total_tokens) == (
        counts.get("input_tokens", 0), counts.get("output_tokens", 0), counts.get("total_tokens", 0))
    calls = [i for i in reply["output"] if i["type"] == "function_call"]
    assert [(c.id, c.function.name, c.function.arguments) for c in message.tool_calls or []] == [
        (i["call_id"], i["name"], i["arguments"]) for i in calls]


REASONING_CONFIGS = [
    {"model": "o4-mini", "reasoning_effort": effort, **({"reasoning_summary": summary} if summary else {})}
    for effort in ("low", "high") for summary in ("auto", None)
] + [{"model": "o4-mini", "reasoning_summary": "auto"}]


@pytest.mark.parametrize("config", REASONING_CONFIGS, ids=lambda c: "-".join(map(str, list(c.values())[1:])))
@pytest.mark.parametrize("stream", [False, True])
def test_payloads_with_reasoning_match_the_request_types(impl, config, stream):
    payload = impl.build_payload([{"role": "system", "content": "terse"}, {"role": "user", "content": "hi"}],
                                 config, tools=TOOLS, tool_choice="auto", stream=stream)
    assert "reasoning" in payload
    assert ("temperature" in payload) == ("reasoning_effort" not in config)
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
    final = [json.loads(line[5:]) for line in path.read_bytes().split(b"\n") if line.startswith(b"data:")
             and b'"usage"' in line]
    counts = (final[-1].get("response") or {}).get("usage") or {} if final else {}
    if last["_finish_reason"] != "error" or counts:
        assert (usage.prompt_tokens_details.model_dump(exclude_unset=True) if usage.prompt_tokens_details
                else None) == (counts.get("input_tokens_details") or None)
