"""Small helpers shared by the behavioural tests."""

import sys

from sse_server import URL, FakeOpener

# Every character str.strip() removes (str.isspace() is its test), and some
# it keeps.
WHITESPACE = [chr(c) for c in range(sys.maxunicode + 1) if chr(c).isspace()]
# Not whitespace to strip(): every other ASCII control (those beside the
# whitespace ranges included), and the usual suspects beyond ASCII.
NEAR_MISSES = [chr(c) for c in [*range(0x20), 0x7F] if not chr(c).isspace()] + ["\u200b", "\ufeff", "\u180e"]


def typed(v):
    """A comparable view of ``v`` that keeps exact types and key order."""
    if isinstance(v, dict):
        return (type(v), [(k, typed(x)) for k, x in v.items()])
    if isinstance(v, (list, tuple)):
        return (type(v), [typed(x) for x in v])
    return (type(v), v)


class Boom(Exception):
    """Raised by the hostile inputs below; must reach the caller unchanged."""


class BadGet(dict):
    def get(self, *a):
        raise Boom


def result_of(f):
    """("value", f()), or for an Exception ("raise", its type, its text, the type of its context)."""
    try:
        return ("value", f())
    except Exception as e:  # noqa: BLE001 - compared
        return ("raise", type(e), str(e), type(e.__context__))


def stream_result(impl, monkeypatch, resp, logger=None):
    """The deltas a stream over `resp` yields, and result_of the whole stream."""
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(resp))
    deltas = []
    g = impl.stream_raw(URL, {}, {}, logger)
    return deltas, result_of(lambda: [deltas.append(d) for d in g])
