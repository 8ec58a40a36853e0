"""Recorded real streams (tests/data/recorded/streams) replayed through the
local server: the deltas, assembled as the host assembles them, must tell what
the stream's own events tell. The expectation is read from the recording's
events alone, never through the module."""

import json
import pathlib

import pytest

RECORDED = pathlib.Path(__file__).resolve().parents[1] / "data" / "recorded"
STREAMS = sorted((RECORDED / "streams").glob("*.sse"))
TERMINAL = ("response.completed", "response.failed", "response.incomplete")
ZERO = {"prompt_tokens": 0, "completion_tokens": 0, "total_tokens": 0}


def error_event_message(events):
    return next(e["error"]["message"] for e in events if e["type"] == "error")


def without_custom_calls(want, events):
    custom = {
        e["item"]["call_id"]
        for e in events
        if e["type"] == "response.output_item.done" and e["item"]["type"] == "custom_tool_call"
    }
    want["calls"] = [c for c in want["calls"] if c["id"] not in custom]
    want["finish"] = "tool_calls" if want["calls"] else "stop"


# Where the deltas knowingly tell less than the recording, by recording number:
# what differs, and how the expectation read from the events is adjusted.
KNOWN = {
    "10": (
        "refusal text (response.refusal.delta) is not forwarded: the reply reads as an empty \"stop\"",
        lambda want, events: want.update(refusal=""),
    ),
    "12": (
        "the top-level \"error\" event that precedes response.failed ends the stream first: the error "
        "text names that event and carries its message; usage is zero (that event has none)",
        lambda want, events: want.update(error="Responses API error: " + error_event_message(events), usage=ZERO),
    ),
    "19": (
        "a custom (freeform) tool call is not a function call: no tool-call delta, finish \"stop\"",
        without_custom_calls,
    ),
    "26": (
        "the \"[DONE]\" line after response.completed is never read, the stream having ended at the "
        "completion: nothing the host sees differs",
        lambda want, events: None,
    ),
}


def decoded_events(raw):
    return [
        json.loads(line[5:])
        for line in map(bytes.strip, raw.split(b"\n"))
        if line.startswith(b"data:") and line[5:].strip() != b"[DONE]"
    ]


def assemble(deltas):
    """What the host's loop makes of the deltas."""
    out = {
        "content": "",
        "reasoning": "",
        "refusal": "",
        "calls": {},
        "finish": None,
        "usage": None,
        "error": None,
        "reasoning_details": None,
        "phase": None,
    }
    for d in deltas:
        assert out["finish"] is None, "a delta after the finish delta"
        out["content"] += d.get("content", "")
        out["reasoning"] += d.get("reasoning_content", "")
        out["refusal"] += d.get("refusal", "")
        for t in d.get("tool_calls", []):
            call = out["calls"].setdefault(t["index"], {"name": "", "id": "", "arguments": ""})
            call["name"] = t["function"]["name"] or call["name"]
            call["id"] = t["id"] or call["id"]
            call["arguments"] += t["function"]["arguments"]
        if "_finish_reason" in d:
            out.update(
                finish=d["_finish_reason"],
                usage=d["_usage"],
                error=d.get("_error"),
                reasoning_details=d.get("_reasoning_details"),
                phase=d.get("_phase"),
            )
    out["calls"] = [out["calls"][i] for i in sorted(out["calls"])]
    return out


def told(events):
    """What the recorded events say, up to the terminal response event: the
    text and refusal fragments; the reasoning, each summary part (keyed by
    output and summary index) and each reasoning text as its done event gives
    it, a summary part after earlier reasoning set apart by a blank line; every
    call the host is asked to run (function and custom tool calls) as its item
    done event gives it; the finish, the usage of the terminal response and
    its error or incomplete details, and the usage's cached and reasoning
    token details; on completion, the encrypted reasoning of each reasoning
    item as its done event gives it (the added event's may be cut short), and
    the last phase a message item's added or done event names. Also the
    number of events read."""
    out = {
        "content": "",
        "reasoning": "",
        "refusal": "",
        "calls": [],
        "finish": None,
        "usage": None,
        "error": None,
        "reasoning_details": None,
        "phase": None,
    }
    parts, calls, details, phase = {}, {}, [], None
    for n, e in enumerate(events, 1):  # noqa: B007 - n counts the events, read after the loop
        t = e["type"]
        if t == "response.output_text.delta":
            out["content"] += e["delta"]
        elif t == "response.refusal.delta":
            out["refusal"] += e["delta"]
        elif t.startswith("response.reasoning_summary_"):
            parts.setdefault(("summary", e["output_index"], e["summary_index"]), "")
            if t == "response.reasoning_summary_text.done":
                parts["summary", e["output_index"], e["summary_index"]] = e["text"]
        elif t.startswith("response.reasoning_text."):
            parts.setdefault(("text", e["output_index"], e["content_index"]), "")
            if t == "response.reasoning_text.done":
                parts["text", e["output_index"], e["content_index"]] = e["text"]
        elif t == "response.output_item.done" and e["item"]["type"] in ("function_call", "custom_tool_call"):
            item = e["item"]
            calls[e["output_index"]] = {
                "name": item["name"],
                "id": item["call_id"],
                "arguments": item.get("arguments", item.get("input")),
            }
        elif (
            t == "response.output_item.done" and e["item"]["type"] == "reasoning" and e["item"].get("encrypted_content")
        ):
            details.append(
                {
                    "type": "reasoning.encrypted",
                    "data": e["item"]["encrypted_content"],
                    "id": e["item"]["id"],
                    "format": "openai-responses-v1",
                    "index": len(details),
                }
            )
        elif t in ("response.output_item.added", "response.output_item.done") and e["item"].get("phase"):
            phase = e["item"]["phase"]
        elif t in TERMINAL:
            break
    for (kind, *_), text in parts.items():
        if text:
            out["reasoning"] += ("\n\n" if kind == "summary" and out["reasoning"] else "") + text
    out["calls"] = list(calls.values())
    r = e["response"]
    u = r["usage"]
    out["usage"] = (
        {"prompt_tokens": u["input_tokens"], "completion_tokens": u["output_tokens"], "total_tokens": u["total_tokens"]}
        if u
        else ZERO
    )
    for ours, theirs in (
        ("prompt_tokens_details", "input_tokens_details"),
        ("completion_tokens_details", "output_tokens_details"),
    ):
        if u and u.get(theirs):
            out["usage"][ours] = u[theirs]
    if t == "response.completed":
        out["finish"] = "tool_calls" if out["calls"] else "stop"
        out.update(reasoning_details=details or None, phase=phase)
    else:
        detail = r["error"]["message"] if r["error"] else r["incomplete_details"]
        out.update(finish="error", error="Responses API %s: %s" % (t, detail))
    return out, n


@pytest.mark.parametrize("path", STREAMS, ids=[p.stem[:2] for p in STREAMS])
def test_recorded_stream(impl, server, path):
    raw = path.read_bytes()
    url = server.route("/v1/responses", *[raw[i : i + 8000] for i in range(0, len(raw), 8000)])
    log = {"url": None}
    got = assemble(impl.stream_raw(url, {"Authorization": "Bearer k"}, {"stream": True}, log))
    events = decoded_events(raw)
    want, n = told(events)
    if path.stem[:2] in KNOWN:
        KNOWN[path.stem[:2]][1](want, events)
    assert got == want
    assert log.get("raw_sse_count") == (min(n, 10) if want["finish"] != "error" else None)


def test_every_recording_is_replayed():
    """The replay covers all the recordings, and the known differences name
    only recordings that exist."""
    assert len(STREAMS) == 29 and set(KNOWN) <= {p.stem[:2] for p in STREAMS}


def test_recordings_carry_the_model_state():
    """The recordings that carry encrypted reasoning and phase, told apart:
    the expectation is never vacuous, and in all but one the content at the
    added event differs from the whole one at done."""
    told_by = {p.stem[:2]: told(decoded_events(p.read_bytes()))[0] for p in STREAMS}
    assert {n for n, w in told_by.items() if w["reasoning_details"]} == {"08", "09", "16", "17", "24", "27"}
    assert {n: w["phase"] for n, w in told_by.items() if w["phase"]} == {
        "09": "final_answer",
        "24": "commentary",
        "28": "final_answer",
        "29": "final_answer",
    }
    assert sum(len(w["reasoning_details"] or []) for w in told_by.values()) == 7
    cut_short = [
        p.stem[:2]
        for p in STREAMS
        if any(
            e["type"] == "response.output_item.added"
            and e["item"].get("encrypted_content")
            not in (None, *[d["data"] for d in told_by[p.stem[:2]]["reasoning_details"] or []])
            for e in decoded_events(p.read_bytes())
        )
    ]
    assert cut_short == ["08", "09", "16", "17", "24"]


@pytest.mark.parametrize("tty", [False, True], ids=["pipe", "tty"])
def test_demo_replays_an_agent_loop(impl, monkeypatch, capsys, tty):
    """Turn 1: a reasoning summary, then a call, whose output goes back with
    the second request; turn 2: a reasoning summary, then the answer. Reasoning
    lines are always prefixed, and dimmed on a terminal only."""
    import importlib.util
    import sys

    spec = importlib.util.spec_from_file_location(
        "demo", pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"
    )
    demo = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(demo)
    monkeypatch.setattr(demo, "load_module", lambda twin: impl)
    monkeypatch.setattr(sys.stdout, "isatty", lambda: tty)
    assert demo.main(["--local", "--pause", "0"]) == 0
    captured = capsys.readouterr()
    out = captured.out
    dim, reset = ("\033[2m", "\033[0m") if tty else ("", "")
    assert (
        dim + "thinking: **Calculating step-by-step using calculator**\nthinking:\nthinking: I'll compute 12 plus "
        "7, then multiply the result by 3, and finally multiply that by 10, reporting the final product."
        + reset
        + '\ntool call 0: calculator({"a":12,"b":7,"op":"add"})  id=call_AB6AaRZ1FYZB2RwS6A5vbdqn\n'
        "finish reason: tool_calls\n"
    ) in out
    assert "tool output for call_AB6AaRZ1FYZB2RwS6A5vbdqn: 19\n" in out
    # The model's encrypted reasoning is carried to the next request, and the
    # answer's phase is shown.
    assert (
        "finish reason: tool_calls\nusage: " in out
        and "\ncarried reasoning 0: rs_01830d662ab3856501693c321405c88190be3ab04d5782d5f9, 1060 characters encrypted\n"
    ) in out
    assert out.count("carried reasoning") == 1 and "\nphase: final_answer\n" in out
    assert (
        dim
        + "thinking: **Counting character occurrences**"
        + reset
        + "\nThere are **3** letter **“r”**s in **“strawberry.”**\n\n"
    ) in out
    assert "positions **3, 8, and 9**.\nfinish reason: stop\n" in out
    assert ("\033" in out) == tty
    # The second request carries the call and its output.
    assert [line.split("input: ")[1] for line in captured.err.splitlines()] == [
        "user",
        "user, reasoning, function_call, function_call_output",
    ]
