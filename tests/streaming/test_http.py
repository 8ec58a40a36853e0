"""Streaming over a real local HTTP server, and the redirect handler."""

import email.message
import io
import json
import socket
import threading
import urllib.error
import urllib.request

import pytest

from sse_server import SSEServer, completed, fin, sse, text

C = lambda t: {"content": t}  # noqa: E731
PAYLOAD = {"model": "m", "input": "\u00e9\u2713", "stream": True}
BODY = json.dumps(PAYLOAD, ensure_ascii=False, separators=(",", ":")).encode()
SECRET = {"authorization", "proxy-authorization", "cookie", "api-key", "x-api-key"}
HEADERS = {
    "Authorization": "Bearer k",
    "Proxy-Authorization": "Basic p",
    "Cookie": "s=1",
    "api-KEY": "a",
    "X-Api-Key": "x",
    "X-Custom": "c",
    "Content-Type": "application/json",
}


@pytest.fixture
def server2():
    s = SSEServer().start()
    yield s
    s.stop()


@pytest.mark.parametrize("mode", ["chunked", "close"])
def test_body_framings(impl, server, mode):
    words = ["Hel", "lo, ", "w\u00f6rld ", "\u2713\U0001f31f", "!"]
    body = sse(*map(text, words), completed(input_tokens=4, output_tokens=6))
    url = server.route("/v1/responses", *[body[i : i + 7] for i in range(0, len(body), 7)], mode=mode)
    assert list(impl.stream_raw(url, {"Authorization": "Bearer k"}, PAYLOAD)) == [C(w) for w in words] + [
        fin(prompt_tokens=4, completion_tokens=6, total_tokens=10)
    ]
    (r,) = server.requests
    assert (r.method, r.path, r.body, r.headers["authorization"], r.headers["content-length"]) == (
        "POST",
        "/v1/responses",
        BODY,
        "Bearer k",
        str(len(BODY)),
    )


@pytest.mark.parametrize("mode", ["chunked", "close"])
def test_each_delta_arrives_before_the_pause_ends(impl, server, mode):
    go = [threading.Event(), threading.Event()]
    url = server.route(
        "/v1/responses",
        sse(text("one")),
        sse(text("two")) + b"event: x\n",
        sse(text("three"), completed()),
        mode=mode,
        waits={1: go[0], 2: go[1]},
    )
    g = impl.stream_raw(url, {}, PAYLOAD)
    assert next(g) == C("one")  # the server sends nothing more until go[0] is set
    go[0].set()
    assert next(g) == C("two")
    go[1].set()
    assert list(g) == [C("three"), fin()]
    assert server.timeouts == []


@pytest.mark.parametrize("status", [400, 401, 404, 429, 500, 503])
def test_http_error_status(impl, server, status):
    url = server.route("/v1/responses", b'{"error":{"message":"no"}}', status=status, mode="length")
    log = {"x": 0}
    g = impl.stream_raw(url, {}, PAYLOAD, log)
    with pytest.raises(urllib.error.HTTPError) as ei:
        next(g)
    with ei.value:
        assert ei.value.code == status and ei.value.read() == b'{"error":{"message":"no"}}'
    assert list(log) == ["x", "body", "payload", "size", "url", "timestamp"] and list(g) == []


def test_refused_connection(impl):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with pytest.raises(urllib.error.URLError):
        next(impl.stream_raw("http://127.0.0.1:%d/v1/responses" % port, {}, PAYLOAD))


STREAM = sse(text("hi"), completed(input_tokens=1, output_tokens=1))


@pytest.mark.parametrize("code", [307, 308, 301, 302, 303])
def test_redirect_same_origin(impl, server, code):
    server.route("/v1/responses", STREAM)
    url = server.redirect("/old", code, "/v1/responses")
    assert list(impl.stream_raw(url, HEADERS, PAYLOAD)) == [
        C("hi"),
        fin(prompt_tokens=1, completion_tokens=1, total_tokens=2),
    ]
    first, second = server.requests
    assert (first.method, first.path, first.body) == ("POST", "/old", BODY)
    if code in (307, 308):  # method, body and every header sent again
        assert (second.method, second.body) == ("POST", BODY)
        assert {k: second.headers[k] for k in (h.lower() for h in HEADERS)} == {
            k.lower(): v for k, v in HEADERS.items()
        }
    else:  # the library's own behaviour: a GET without body, same-origin headers kept
        assert (second.method, second.body, second.headers["authorization"]) == ("GET", b"", "Bearer k")
        assert "content-length" not in second.headers


@pytest.mark.parametrize("code", [307, 308, 302])
@pytest.mark.parametrize("target", ["localhost", "other-port"])
def test_redirect_to_another_origin_drops_credentials(impl, server, server2, code, target):
    dest = server2 if target == "other-port" else server
    new = dest.route("/v1/responses", STREAM)
    if target == "localhost":
        new = new.replace("127.0.0.1", "localhost")
    url = server.redirect("/old", code, new)
    assert list(impl.stream_raw(url, HEADERS, PAYLOAD))[0] == C("hi")
    second = dest.requests[-1]
    assert not SECRET & set(second.headers) and second.headers["x-custom"] == "c"
    assert (second.method, second.body) == (("POST", BODY) if code != 302 else ("GET", b""))


# redirect_request called directly


def request(url="http://h.example/a", method="POST", data=b"{}", raw_cookie=False):
    req = urllib.request.Request(url, data=data, headers=dict(HEADERS), method=method)
    if raw_cookie:
        req.headers["COOKIE"] = "raw-case"  # names compare case-insensitively
    req.add_unredirected_header("Authorization", "Bearer u")
    return req


def as_sent(headers):
    return urllib.request.Request("http://x/", headers=headers).headers


def redirect(handler, req, code, newurl):
    return handler.redirect_request(req, io.BytesIO(b""), code, "Moved", email.message.Message(), newurl)


def outcome(handler, req, code, newurl):
    try:
        new = redirect(handler, req, code, newurl)
    except urllib.error.HTTPError as e:
        return ("HTTPError", e.code)
    return (
        new.full_url,
        new.get_method(),
        new.data,
        new.headers,
        new.unredirected_hdrs,
        new.origin_req_host,
        new.unverifiable,
    )


@pytest.mark.parametrize(
    "method,code", [("POST", 307), ("POST", 308), ("PUT", 307), ("PUT", 308), (None, 307), (None, 308)]
)
def test_preserved_on_307_308(impl, method, code):
    req = request(method=method)
    new = redirect(impl._PostRedirectHandlerLocal(), req, code, "http://h.example:80/b")
    assert (
        new.full_url,
        new.get_method(),
        new.headers,
        new.origin_req_host,
        new.unverifiable,
        new.unredirected_hdrs,
    ) == ("http://h.example:80/b", method or "POST", req.headers, req.origin_req_host, True, {})
    assert new.data is req.data


@pytest.mark.parametrize(
    "method,code",
    [
        ("POST", 301),
        ("POST", 302),
        ("POST", 303),
        ("PUT", 302),
        ("GET", 307),
        ("GET", 308),
        ("HEAD", 307),
        ("GET", 301),
        ("DELETE", 307),
        ("post", 307),
        ("put", 308),
    ],
)
def test_other_cases_go_to_the_library(impl, method, code):
    new = "http://h.example/b"
    assert outcome(impl._PostRedirectHandlerLocal(), request(method=method), code, new) == outcome(
        urllib.request.HTTPRedirectHandler(), request(method=method), code, new
    )


# A str code meets the int codes 307 and 308 as `==` meets them: never
# equal, so the library decides (and refuses); the code is never read as
# text of the other's length (the sanitizer build sees any such read).
STR_CODES = [ch * n for ch in ("a", "\xe9", "\u20ac", "\U0001f600") for n in [*range(0, 20), 31, 32, 33, 64, 1000]] + [
    "307",
    "308",
    "abcdefgh",
]


@pytest.mark.parametrize("method", ["POST", "PUT"])
def test_a_str_code_compares_with_the_int_codes_as_equality_does(impl, method):
    handler, library = impl._PostRedirectHandlerLocal(), urllib.request.HTTPRedirectHandler()
    for code in STR_CODES:
        new = "http://h.example/b"
        assert (
            outcome(handler, request(method=method), code, new)
            == outcome(library, request(method=method), code, new)
            == ("HTTPError", code)
        ), repr(code)


ORIGINS = [
    ("http://h.example/a", "http://H.EXAMPLE:80/b", True),
    ("https://h.example/a", "https://h.example:443/b", True),
    ("http://h.example:8080/a", "http://h.example:8080/b?q", True),
    ("http://h.example/a", "http://other.example/b", False),
    ("http://h.example/a", "http://h.example:8080/b", False),
    ("https://h.example/a", "http://h.example/b", False),
    ("https://h.example/a", "https://h.example:80/b", False),
    ("http://127.0.0.1:5/a", "http://localhost:5/b", False),
    # a port that is not a number, or out of range, names no origin
    ("http://h.example/a", "http://h.example:abc/b", False),
    ("http://h.example/a", "http://h.example:99999/b", False),
    ("http://h.example:99999/a", "http://h.example:99999/b", False),
    ("http://h.example:abc/a", "http://h.example:abc/b", False),
    ("https://h.example/a", "https://h.example:-1/b", False),
]


@pytest.mark.parametrize("code", [307, 302])
@pytest.mark.parametrize("old,new,same", ORIGINS)
def test_credentials_stay_with_their_origin(impl, code, old, new, same):
    req = request(old, raw_cookie=True)
    got = redirect(impl._PostRedirectHandlerLocal(), req, code, new)
    expected = (
        req.headers
        if code == 307
        else redirect(urllib.request.HTTPRedirectHandler(), request(old, raw_cookie=True), 302, new).headers
    )
    if not same:
        expected = {k: v for k, v in expected.items() if k.lower() not in SECRET}
        assert "X-custom" in expected and "Cookie" not in expected
    assert got.headers == as_sent(expected) and got.unredirected_hdrs == {}


# names that only begin (or end) like a credential header's are no credentials
NEAR_CREDENTIALS = {
    "Auth": "1",
    "Authorizatio": "2",
    "Authorizations": "3",
    "Cook": "4",
    "Proxy-Auth": "5",
    "Api": "6",
    "X-Api": "7",
    "X-Api-Keys": "8",
}


@pytest.mark.parametrize("code", [307, 302])
def test_near_credential_names_follow_the_redirect(impl, code):
    req = urllib.request.Request(
        "http://h.example/a", data=b"{}", headers={**HEADERS, **NEAR_CREDENTIALS}, method="POST"
    )
    got = redirect(impl._PostRedirectHandlerLocal(), req, code, "http://other.example/b")
    assert {k.lower() for k in got.headers} >= {k.lower() for k in NEAR_CREDENTIALS}
    assert not SECRET & {k.lower() for k in got.headers}


def test_opener_uses_the_handler(impl):
    handlers = impl._urllib_opener_local.handlers
    assert any(isinstance(h, impl._PostRedirectHandlerLocal) for h in handlers)
    assert not any(type(h) is urllib.request.HTTPRedirectHandler for h in handlers)


# --------------------------- redirect: header names, unparseable addresses


@pytest.mark.parametrize("code", [307, 302])
def test_header_name_that_cannot_be_encoded_is_no_credential(impl, code):
    req = urllib.request.Request(
        "http://h.example/a", data=b"{}", method="POST", headers={"Authorization": "Bearer k", "X-\udc80": "v"}
    )
    new = impl._PostRedirectHandlerLocal().redirect_request(
        req, io.BytesIO(b""), code, "Moved", email.message.Message(), "http://other.example/b"
    )
    assert new.headers == {"X-\udc80": "v"}


@pytest.mark.parametrize("method, code", [("POST", 307), ("PUT", 308), ("GET", 302)])
@pytest.mark.parametrize("newurl", ["http://[bad/", "https://[::1/v1"])
def test_redirect_to_unparseable_address_raises(impl, method, code, newurl):
    # urlsplit rejects the target; the handler lets that error out rather
    # than treating the address as another origin.
    req = urllib.request.Request(
        "http://a.example/v1",
        data=b"{}" if method != "GET" else None,
        method=method,
        headers={"Authorization": "Bearer k"},
    )
    with pytest.raises(ValueError, match="Invalid IPv6 URL"):
        impl._PostRedirectHandlerLocal().redirect_request(req, None, code, "m", {}, newurl)
