"""A host's agent loop over a real 127.0.0.1 server that plays a reasoning
model for three requests: a call, its output and a second call, then the
final answer. The model's own state (its encrypted reasoning and the phase of
its messages) must go back with every next request, streamed or not.
"""

import json
import urllib.request

import pytest

from sse_server import sse

TOOLS = [
    {
        "type": "function",
        "function": {
            "name": "get_weather",
            "description": "Current weather for a city.",
            "parameters": {"type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"]},
        },
    }
]
CONFIG = {"model": "gpt-5.4-mini", "reasoning_effort": "medium", "reasoning_summary": "auto", "store": False}
CONVERSATION = [{"role": "system", "content": "Be brief."}, {"role": "user", "content": "Weather in Paris, then Rome?"}]
USAGE = {
    "input_tokens": 40,
    "input_tokens_details": {"cached_tokens": 0},
    "output_tokens": 30,
    "output_tokens_details": {"reasoning_tokens": 20},
    "total_tokens": 70,
}


def reasoning(n, summary):
    return {
        "type": "reasoning",
        "id": "rs_%d" % n,
        "summary": [{"type": "summary_text", "text": summary}],
        "encrypted_content": "gAAAAB-encrypted-%d" % n,
    }


def message(text, phase):
    return {
        "type": "message",
        "id": "msg_%d" % len(text),
        "status": "completed",
        "role": "assistant",
        "phase": phase,
        "content": [{"type": "output_text", "text": text, "annotations": []}],
    }


def call(n, city):
    return {
        "type": "function_call",
        "id": "fc_%d" % n,
        "call_id": "call_%d" % n,
        "name": "get_weather",
        "arguments": json.dumps({"city": city}),
        "status": "completed",
    }


# What the model answers to each request.
REPLIES = [
    [reasoning(1, "Start with Paris."), message("Checking Paris first.", "commentary"), call(1, "Paris")],
    [reasoning(2, "Now Rome.") | {"summary": []}, call(2, "Rome")],
    [reasoning(3, "Both known."), message("Paris 18 °C, Rome 24 °C.", "final_answer")],
]


def response(n, output):
    return {
        "id": "resp_%d" % n,
        "object": "response",
        "status": "completed",
        "model": CONFIG["model"],
        "output": output,
        "usage": USAGE,
    }


def stream_of(n, output):
    """The events a server streams for a reply: each item added (its
    encrypted content not yet whole), its pieces, then done."""
    events = [{"type": "response.created", "response": {"id": "resp_%d" % n, "status": "in_progress"}}]
    for i, item in enumerate(output):
        added = (
            dict(item, encrypted_content="gAAAAB-part")
            if item["type"] == "reasoning"
            else dict(item, content=[])
            if item["type"] == "message"
            else dict(item, arguments="")
        )
        events.append({"type": "response.output_item.added", "output_index": i, "item": added})
        if item["type"] == "reasoning":
            for k, part in enumerate(item["summary"]):
                events.append(
                    {
                        "type": "response.reasoning_summary_text.delta",
                        "item_id": item["id"],
                        "output_index": i,
                        "summary_index": k,
                        "delta": part["text"],
                    }
                )
        elif item["type"] == "message":
            events.append(
                {
                    "type": "response.output_text.delta",
                    "item_id": item["id"],
                    "output_index": i,
                    "content_index": 0,
                    "delta": item["content"][0]["text"],
                }
            )
        else:
            events.append(
                {
                    "type": "response.function_call_arguments.delta",
                    "item_id": item["id"],
                    "output_index": i,
                    "delta": item["arguments"],
                }
            )
        events.append({"type": "response.output_item.done", "output_index": i, "item": item})
    events.append({"type": "response.completed", "response": response(n, output)})
    return sse(*events)


def run_tool(name, arguments):
    return {"Paris": "18 °C", "Rome": "24 °C"}[json.loads(arguments)["city"]]


def streamed_turn(impl, url, messages):
    """One streamed request; the assistant message assembled from its deltas
    as the host does, the model's state stored on it."""
    payload = impl.build_payload(messages, CONFIG, tools=TOOLS, tool_choice="auto", stream=True)
    content, calls, finish = "", {}, None
    for delta in impl.stream_raw(url, {"Content-Type": "application/json"}, payload):
        content += delta.get("content", "")
        for fragment in delta.get("tool_calls", []):
            c = calls.setdefault(
                fragment["index"], {"id": "", "type": "function", "function": {"name": "", "arguments": ""}}
            )
            c["id"] = fragment["id"] or c["id"]
            c["function"]["name"] = fragment["function"]["name"] or c["function"]["name"]
            c["function"]["arguments"] += fragment["function"]["arguments"]
        if "_finish_reason" in delta:
            finish = delta
    assistant = {"role": "assistant", "content": content or None}
    if calls:
        assistant["tool_calls"] = [calls[i] for i in sorted(calls)]
    if "_reasoning_details" in finish:
        assistant["reasoning_details"] = finish["_reasoning_details"]
    if "_phase" in finish:
        assistant["phase"] = finish["_phase"]
    return assistant, finish["_finish_reason"]


def plain_turn(impl, url, messages):
    """One non-streaming request, sent by the host itself; the normalized
    reply's message goes into the conversation as it is."""
    payload = impl.build_payload(messages, CONFIG, tools=TOOLS, tool_choice="auto")
    req = urllib.request.Request(url, json.dumps(payload).encode(), {"Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=10) as resp:
        choice = impl.normalize_response(json.loads(resp.read()))["choices"][0]
    return choice["message"], choice["finish_reason"]


def agent_loop(impl, server, turn, reply_of):
    messages = list(CONVERSATION)
    for n, output in enumerate(REPLIES, 1):
        url = server.route(
            "/v1/responses",
            reply_of(n, output),
            **({} if turn is streamed_turn else {"mode": "length", "headers": {"Content-Type": "application/json"}}),
        )
        assistant, finish = turn(impl, url, messages)
        messages.append(assistant)
        if finish != "tool_calls":
            break
        for c in assistant["tool_calls"]:
            messages.append(
                {
                    "role": "tool",
                    "tool_call_id": c["id"],
                    "content": run_tool(c["function"]["name"], c["function"]["arguments"]),
                }
            )
    return messages, [json.loads(r.body) for r in server.requests]


def R(n):
    return {"type": "reasoning", "id": "rs_%d" % n, "summary": [], "encrypted_content": "gAAAAB-encrypted-%d" % n}


def FC(n, city):
    return {
        "type": "function_call",
        "call_id": "call_%d" % n,
        "name": "get_weather",
        "arguments": json.dumps({"city": city}),
    }


def OUT(n, text):
    return {"type": "function_call_output", "call_id": "call_%d" % n, "output": text}


USER = {"type": "message", "role": "user", "content": "Weather in Paris, then Rome?"}
COMMENTARY = {
    "type": "message",
    "role": "assistant",
    "content": [{"type": "output_text", "text": "Checking Paris first."}],
    "phase": "commentary",
}
# The input of each request: every reasoning item right before what it led to.
INPUTS = [
    [USER],
    [USER, R(1), COMMENTARY, FC(1, "Paris"), OUT(1, "18 °C")],
    [USER, R(1), COMMENTARY, FC(1, "Paris"), OUT(1, "18 °C"), R(2), FC(2, "Rome"), OUT(2, "24 °C")],
]


@pytest.mark.parametrize(
    "turn,reply_of",
    [(streamed_turn, stream_of), (plain_turn, lambda n, output: json.dumps(response(n, output)).encode())],
    ids=["streamed", "not-streamed"],
)
def test_the_model_state_goes_back_with_every_request(impl, server, turn, reply_of):
    messages, requests = agent_loop(impl, server, turn, reply_of)
    assert len(requests) == 3
    assert [r["input"] for r in requests] == INPUTS
    streamed = turn is streamed_turn
    for r in requests:
        assert list(r) == ["model", "input", "max_output_tokens", "instructions", "reasoning", "include", "store"] + (
            ["stream"] if streamed else []
        ) + ["tools", "tool_choice"]
        assert r["include"] == ["reasoning.encrypted_content"] and r["store"] is False
    final = messages[-1]
    assert final["content"] == "Paris 18 °C, Rome 24 °C." and final["phase"] == "final_answer"
    assert final["reasoning_details"] == [
        {
            "type": "reasoning.encrypted",
            "data": "gAAAAB-encrypted-3",
            "id": "rs_3",
            "format": "openai-responses-v1",
            "index": 0,
        }
    ]
