"""The in-memory stand-ins for the module's opener and the responses it
opens, shared by the tests, the fuzz harness and the benchmarks.

`FakeResponse` plays a reply from byte pieces and records every enter, read
and exit; `FakeResponse1` also offers `read1`; `FakeOpener` hands out a
response (or a fresh in-memory one per open for a bytes body) and records
every request.
"""

import io


class FakeResponse:
    """In-memory reply: `pieces` are returned by successive reads (each cut to
    the size asked for); an Exception instance among them is raised by that read."""

    def __init__(self, pieces, exit_result=None):
        self.pieces = list(pieces)
        self.exit_result = exit_result
        self.calls = []  # ("enter",), ("read", n), ("exit", type, value, tb)
        self.closed = False

    def __enter__(self):
        self.calls.append(("enter",))
        return self

    def __exit__(self, *exc):
        self.calls.append(("exit",) + exc)
        self.closed = True
        return self.exit_result

    def _next(self, kind, n):
        self.calls.append((kind, n))
        if self.closed:
            raise ValueError("read of closed response")
        if not self.pieces:
            return b""
        piece = self.pieces.pop(0)
        if isinstance(piece, BaseException):
            raise piece
        if 0 <= n < len(piece):
            self.pieces.insert(0, piece[n:])
            piece = piece[:n]
        return piece

    def read(self, n=-1):
        return self._next("read", n)

    @property
    def reads(self):
        return [c for c in self.calls if c[0] in ("read", "read1")]

    @property
    def exits(self):
        return [c for c in self.calls if c[0] == "exit"]


class FakeResponse1(FakeResponse):
    """The same, also offering `read1` (as the library's HTTP responses do)."""

    def read1(self, n=-1):
        return self._next("read1", n)


class FakeOpener:
    """Stands in for a module's opener (`_urllib_opener_local`). Each open is
    recorded as (request, timeout) in `opened`, unless record=False (a timing
    loop opens without end), and answered with `response`: raised when it is
    an exception; when it is bytes, a new io.BytesIO over them at every open
    (one body served any number of times, read in C, so that a benchmark
    times the reader and not the fake); else returned as it is."""

    def __init__(self, response, record=True):
        self.response = response
        self.opened = [] if record else None

    def open(self, req, timeout=None):
        if self.opened is not None:
            self.opened.append((req, timeout))
        if isinstance(self.response, BaseException):
            raise self.response
        if isinstance(self.response, bytes):
            return io.BytesIO(self.response)
        return self.response
