"""Recorded real streams replayed through the local server: the deltas,
assembled as the host assembles them, must tell what the stream's own events
tell."""
import json
import pathlib

import pytest

REAL = pathlib.Path(__file__).resolve().parents[3] / "shared" / "fixtures" / "real"
STREAMS = sorted((REAL / "streams").glob("*.sse")) if (REAL / "streams").is_dir() else []
TERMINAL = ("response.completed", "response.failed", "response.incomplete", "error")


def assemble(deltas):
    """What the host's loop makes of the deltas."""
    out = {"content": "", "reasoning": "", "calls": {}, "finish": None, "usage": None, "error": None}
    for d in deltas:
        out["content"] += d.get("content", "")
        out["reasoning"] += d.get("reasoning_content", "")
        for t in d.get("tool_calls", []):
            call = out["calls"].setdefault(t["index"], {"name": "", "id": "", "arguments": ""})
            call["name"] = t["function"]["name"] or call["name"]
            call["id"] = t["id"]
            call["arguments"] += t["function"]["arguments"]
        if "_finish_reason" in d:
            out.update(finish=d["_finish_reason"], usage=d["_usage"], error=d.get("_error"))
    out["calls"] = [out["calls"][i] for i in sorted(out["calls"])]
    return out


def told(raw):
    """The same, read straight from the recorded events up to the terminal one."""
    events = [json.loads(l[5:]) for l in map(bytes.strip, raw.split(b"\n"))
              if l.startswith(b"data:") and l[5:].strip() != b"[DONE]"]
    out = {"content": "", "reasoning": "", "calls": [], "finish": "stop", "usage": dict.fromkeys(("prompt_tokens", "completion_tokens", "total_tokens"), 0), "error": None}
    for n, e in enumerate(events, 1):
        t = e["type"]
        out["content"] += e["delta"] if t == "response.output_text.delta" else ""
        out["reasoning"] += e["delta"] if t == "response.reasoning_text.delta" else ""
        if t in TERMINAL:
            break
    r = e.get("response") or {}
    out["calls"] = [{"name": i["name"], "id": i["call_id"], "arguments": i["arguments"]}
                    for i in r.get("output", []) if i["type"] == "function_call"]
    if t == "response.completed":
        u = r["usage"]
        out["usage"] = {"prompt_tokens": u["input_tokens"], "completion_tokens": u["output_tokens"], "total_tokens": u["total_tokens"]}
        out["finish"] = "tool_calls" if out["calls"] else "stop"
    else:
        detail = e.get("message") or e["error"]["message"] if t == "error" else \
            (r["error"] or {}).get("message") or str(r["incomplete_details"])
        out.update(finish="error", error="Responses API %s: %s" % (t, detail))
    return out, n


@pytest.mark.skipif(not STREAMS, reason="recorded streams not present")
@pytest.mark.parametrize("path", STREAMS, ids=[p.stem[:2] for p in STREAMS])
def test_recorded_stream(impl, server, path):
    raw = path.read_bytes()
    url = server.route("/v1/responses", *[raw[i:i + 8000] for i in range(0, len(raw), 8000)])
    log = {"url": None}
    got = assemble(impl.stream_raw(url, {"Authorization": "Bearer k"}, {"stream": True}, log))
    want, n = told(raw)
    assert got == want
    assert log.get("raw_sse_count") == (min(n, 10) if want["finish"] != "error" else None)


def test_demo_replays_its_recording(impl, monkeypatch, capsys):
    import importlib.util
    spec = importlib.util.spec_from_file_location("demo", pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py")
    demo = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(demo)
    monkeypatch.setattr(demo, "load_module", lambda twin: impl)
    assert demo.main(["--local", "--pause", "0"]) == 0
    out = capsys.readouterr().out
    assert '"publication_year":2006}' in out and "finish reason: tool_calls" in out
    assert 'tool call 0: get_book_info({"isbn":"0-7653-1178-X"})  id=call_gLsRpyrJp2V40WOFb5Cbbey0' in out
