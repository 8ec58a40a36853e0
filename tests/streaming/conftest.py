import pytest

from sse_server import SSEServer, FakeOpener, FakeResponse, FakeResponse1, URL


@pytest.fixture
def server():
    s = SSEServer().start()
    yield s
    s.stop()


@pytest.fixture
def fake(impl, monkeypatch):
    """fake(pieces, read1=False, exit_result=None) installs a fake opener
    replying with `pieces` and returns its response."""

    def install(pieces, read1=False, exit_result=None):
        resp = (FakeResponse1 if read1 else FakeResponse)(pieces, exit_result)
        install.opener = FakeOpener(resp)
        monkeypatch.setattr(impl, "_urllib_opener_local", install.opener)
        return resp

    return install


@pytest.fixture
def run(impl, fake):
    """run(pieces, debug_logger=None, **fake_kw) -> (deltas, response)."""

    def go(pieces, debug_logger=None, payload=None, **kw):
        resp = fake([pieces] if isinstance(pieces, bytes) else pieces, **kw)
        return list(impl.stream_raw(URL, {}, payload if payload is not None else {}, debug_logger)), resp

    return go
