"""Streams on several threads at once, and one generator advanced from two."""

import threading

import pytest

from sse_server import SSEServer, FakeOpener, FakeResponse1, completed, fin, sse, text

THREADS, STREAMS, EVENTS = 8, 4, 25


@pytest.fixture(scope="module")
def server():
    s = SSEServer().start()
    for t in range(THREADS):
        # several chunks per reply, so the streams really interleave
        pieces = [sse(*(text("t%d-%d " % (t, k)) for k in range(i, i + 5))) for i in range(0, EVENTS, 5)]
        s.route("/t%d" % t, *pieces, sse(completed(input_tokens=t, output_tokens=EVENTS)))
    yield s
    s.stop()


def test_many_threads_stream_concurrently(impl, server):
    server.requests.clear()
    results, errors = {}, []
    started = threading.Barrier(THREADS, timeout=20)

    def worker(t):
        try:
            for n in range(STREAMS):
                g = impl.stream_raw(server.url("/t%d" % t), {"X-Thread": str(t)}, {"thread": t, "n": n})
                first = next(g)
                if n == 0:
                    started.wait()  # every thread holds an open stream here
                results[t, n] = [first] + list(g)
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append((t, repr(e)))

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(60)
    assert errors == [] and not any(th.is_alive() for th in threads)
    for t in range(THREADS):
        want = [{"content": "t%d-%d " % (t, k)} for k in range(EVENTS)]
        want.append(fin(prompt_tokens=t, completion_tokens=EVENTS, total_tokens=t + EVENTS))
        for n in range(STREAMS):
            assert results[t, n] == want
    bodies = sorted(r.body for r in server.requests)
    assert bodies == sorted(b'{"thread":%d,"n":%d}' % (t, n) for t in range(THREADS) for n in range(STREAMS))


class Blocking(FakeResponse1):
    """Its second read tells `entered` and waits for `release`."""

    def __init__(self, pieces):
        super().__init__(pieces)
        self.entered, self.release = threading.Event(), threading.Event()

    def read1(self, n=-1):
        if len(self.reads) == 1:
            self.entered.set()
            assert self.release.wait(10)
        return super().read1(n)


@pytest.mark.parametrize("second", ["next", "send", "close", "throw"])
def test_generator_advanced_from_two_threads(impl, monkeypatch, second):
    resp = Blocking([sse(text("a")), sse(text("b")), sse(text("c"), completed(input_tokens=1))])
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(resp))
    g = impl.stream_raw("http://127.0.0.1:9/", {}, {})
    assert next(g) == {"content": "a"}
    got = []
    first = threading.Thread(target=lambda: got.append(next(g)))
    first.start()
    assert resp.entered.wait(10)  # the first thread is inside the read now
    assert g.gi_running
    calls = {
        "next": lambda: next(g),
        "send": lambda: g.send(None),
        "close": g.close,
        "throw": lambda: g.throw(KeyError("k")),
    }
    with pytest.raises(ValueError, match="^generator already executing$"):
        calls[second]()
    resp.release.set()
    first.join(10)
    assert got == [{"content": "b"}] and not g.gi_running
    assert list(g) == [{"content": "c"}, fin(prompt_tokens=1, total_tokens=1)]
    assert resp.closed and len(resp.exits) == 1 and resp.exits[0][1] is None
