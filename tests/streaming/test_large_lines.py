"""Lines of megabytes (a completion carrying a long output) are framed like
any other: split across thousands of reads, surrounded by small lines."""
import json

import pytest

from sse_server import FakeOpener, FakeResponse, URL


def event(obj):
    return b"data: " + json.dumps(obj, ensure_ascii=False).encode() + b"\r\n\r\n"


@pytest.mark.parametrize("piece", [4096, 4093])
def test_megabyte_lines_between_small_ones(impl, monkeypatch, piece):
    long_text = ("é mot—" * 400_000)[:2_100_000]
    body = (event({"type": "response.output_text.delta", "delta": "a"})
            + event({"type": "response.output_text.delta", "delta": long_text})
            + event({"type": "response.output_text.delta", "delta": "b"}) * 3
            + event({"type": "response.completed", "response": {"usage": {"input_tokens": 1}}}))
    pieces = [body[i:i + piece] for i in range(0, len(body), piece)]
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(FakeResponse(pieces)))
    log = {}
    deltas = list(impl.stream_raw(URL, {}, {}, log))
    assert [d.get("content") for d in deltas[:-1]] == ["a", long_text, "b", "b", "b"]
    assert deltas[-1]["_usage"] == {"prompt_tokens": 1, "completion_tokens": 0, "total_tokens": 1}
    assert log["raw_sse_count"] == 6 and len(log["raw_sse_tail"][0]) == 500
