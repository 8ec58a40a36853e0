"""Small helpers shared by the behavioural tests."""


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
