"""The native module and its pure-Python twin agree on generated input.

Both are fed the same realistic and hostile values; they must give the same
result (types, key order, values, and the very same objects where a leaf is
taken over from the input), or raise the same exception type, print the
same text and read their input in the same order.
"""

import contextlib
import io
import math

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from twin import responses_api as twin

try:
    from routes import responses_api as native
except ImportError:
    native = None

pytestmark = pytest.mark.skipif(native is None, reason="native module not built")

SETTINGS = settings(max_examples=200, deadline=None, database=None, suppress_health_check=list(HealthCheck))

# Every read through an overridden lookup is logged, so that the two
# implementations can be compared on the order of their reads too.
LOG = []


class Sub(dict):
    pass


class Logged(dict):
    def get(self, *args):
        LOG.append(("get",) + tuple(repr(a) for a in args))
        return super().get(*args)

    def __contains__(self, key):
        LOG.append(("in", repr(key)))
        return super().__contains__(key)

    def __getitem__(self, key):
        LOG.append(("item", repr(key)))
        return super().__getitem__(key)


class SubList(list):
    pass


class SubStr(str):
    pass


def dicts(strategy):
    """A dict strategy, sometimes producing dict subclasses."""
    return st.one_of(strategy, strategy.map(Sub), strategy.map(Logged))


def one(strategy):
    """One branch, whatever its own alternatives, when combined with ``|``."""
    return strategy.map(lambda v: v)


def often(strategy, n):
    """``n`` distinct copies of one branch, to weigh it in a ``one_of``."""
    return [one(strategy) for _ in range(n)]


words = st.sampled_from(["", " ", "hi", "  padded\n", "é✓🌟", "function", "text", "null", "[DONE]"])
texts = one(words | st.text(max_size=12))
leaf = one(
    st.one_of(
        st.none(),
        st.booleans(),
        st.integers(-3, 10**20),
        st.floats(allow_nan=True),
        st.binary(max_size=3),
        texts,
        words.map(SubStr),
    )
)
hostile = st.recursive(
    leaf,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3),
        st.lists(inner, max_size=2).map(tuple),
        st.lists(inner, max_size=2).map(SubList),
        dicts(st.dictionaries(texts, inner, max_size=3)),
        st.dictionaries(st.integers(0, 3) | st.booleans(), inner, max_size=2),
    ),
    max_leaves=6,
)
anything = one(st.one_of(texts, leaf, hostile))


def opt(required=None, **optional):
    return dicts(st.fixed_dictionaries(required or {}, optional=optional))


url = st.sampled_from(["https://x/img.png", "data:image/png;base64,AAAA", ""]) | texts
detail = st.sampled_from(["auto", "high", "low", ""]) | leaf
image_part = st.one_of(
    opt(
        {"type": st.just("image_url")},
        image_url=opt(url=url | leaf, detail=detail) | leaf,
        image=url | leaf | opt(url=url, detail=detail),
        detail=detail,
    ),
    opt({"type": st.sampled_from(["input_image", "output_image"])}, image_url=url | leaf, image=url, detail=detail),
)
text_part = st.one_of(
    texts,
    opt(
        {"type": st.sampled_from(["text", "input_text", "output_text", "refusal", "TEXT"]) | leaf},
        text=texts | leaf,
        output_text=texts | leaf,
    ),
)
parts = st.lists(st.one_of(text_part, image_part, leaf, hostile), max_size=4)
content = st.one_of(texts, parts, parts.map(SubList), parts.map(tuple), anything)

good_call = opt(
    {
        "id": st.sampled_from(["call_1", "call_2"]) | texts,
        "type": st.just("function"),
        "function": opt(
            {"name": st.sampled_from(["read_file", "write"]) | texts},
            arguments=st.just('{"path": "a.txt"}') | texts | hostile,
        ),
    }
)
tool_call = st.one_of(
    opt(
        id=texts | leaf,
        type=st.just("function"),
        function=opt(name=texts | leaf, arguments=st.just('{"path": "a.txt"}') | texts | hostile) | leaf,
    ),
    leaf,
    hostile,
)
# Encrypted reasoning carried back on assistant messages: entries as a reply
# gives them, mostly, and of every wrong shape, type, format, data and id.
encrypted_data = st.one_of(*often(st.sampled_from(["gAAAAABpPDIV==", "rsn_5ZVr"]), 2), words.map(SubStr), leaf)
detail_id = st.sampled_from(["rs_1", "rs_2", ""]) | words.map(SubStr) | leaf
detail_format = one(
    st.sampled_from(["openai-responses-v1", "other-v1", "OPENAI-RESPONSES-V1", ""])
    | st.just("openai-responses-v1").map(SubStr)
    | leaf
)
detail_type = one(
    st.sampled_from(["reasoning.encrypted", "reasoning.text", "reasoning.summary", "reasoning"])
    | st.just("reasoning.encrypted").map(SubStr)
    | leaf
)
reasoning_detail = st.one_of(
    *often(
        opt(
            {"type": st.just("reasoning.encrypted"), "data": st.sampled_from(["gAAAAABpPDIV==", "enc"])},
            id=st.sampled_from(["rs_1", "rs_2"]),
            format=st.sampled_from(["openai-responses-v1", None]),
            index=st.integers(0, 2),
        ),
        3,
    ),
    opt(type=detail_type, data=encrypted_data, id=detail_id, format=detail_format, index=leaf),
    leaf,
    hostile,
)
reasoning_details = st.one_of(
    *often(st.lists(reasoning_detail, min_size=1, max_size=3), 3),
    st.lists(reasoning_detail, max_size=2).map(SubList),
    st.lists(reasoning_detail, max_size=2).map(tuple),
    reasoning_detail,
    leaf,
)
phase = st.one_of(
    *often(st.sampled_from(["commentary", "final_answer"]), 2),
    st.just(""),
    st.sampled_from(["commentary", ""]).map(SubStr),
    leaf,
    hostile,
)

message = st.one_of(
    opt(
        {"role": st.sampled_from(["system", "developer"])},
        content=texts | st.lists(text_part | image_part | leaf, max_size=3) | anything,
    ),
    opt({"role": st.just("user")}, content=content),
    opt(
        {"role": st.just("assistant")},
        content=content | st.none(),
        tool_calls=st.one_of(
            st.lists(good_call, max_size=3),
            st.lists(good_call, max_size=3),
            st.lists(good_call, max_size=2).map(tuple),
            st.lists(tool_call, max_size=2),
            leaf,
        ),
        reasoning_details=reasoning_details,
        phase=phase,
    ),
    # a reasoning model's turn: its encrypted reasoning, a preamble, calls
    opt(
        {
            "role": st.just("assistant"),
            "reasoning_details": st.lists(reasoning_detail, min_size=1, max_size=3),
            "content": texts | parts | st.none(),
        },
        tool_calls=st.lists(good_call, max_size=2),
        phase=phase,
    ),
    opt(
        {"role": st.just("tool")},
        tool_call_id=texts | leaf,
        content=texts | leaf | st.dictionaries(texts, texts | st.integers(), max_size=2) | hostile,
    ),
    opt(role=st.sampled_from(["function", "", "System", "USER"]) | leaf, content=content),
)
messages = st.one_of(
    *often(st.lists(message, min_size=1, max_size=6), 6),
    st.lists(message, max_size=3).map(tuple),
    st.lists(message | leaf, max_size=3),
    st.sampled_from([None, 0, 5, "u", b"", []]),
)

good_tool = dicts(
    st.fixed_dictionaries(
        {
            "type": st.just("function"),
            "function": opt(
                {"name": st.one_of(*often(st.sampled_from(["read_file", "run"]), 3), texts)},
                description=texts | leaf,
                parameters=st.just({"type": "object", "properties": {}}) | anything,
                strict=st.booleans(),
            ),
        }
    )
)
tool = st.one_of(
    *often(good_tool, 6),
    opt(
        {"type": st.just("function")},
        function=opt(name=texts | leaf, description=texts | leaf, parameters=anything, strict=st.booleans()),
    ),
    opt(type=st.sampled_from(["function", "web_search"]) | leaf, name=texts, function=leaf | hostile),
    leaf,
    hostile,
)
tools = st.one_of(
    *often(st.lists(tool, min_size=1, max_size=4), 4), st.lists(tool, max_size=3).map(tuple), st.just([]), leaf, hostile
)
tool_choice = st.one_of(
    st.sampled_from(["auto", "none", "required"]),
    leaf,
    opt(
        {"type": st.sampled_from(["function", "allowed_tools"]) | leaf},
        name=texts,
        function=opt(name=texts | leaf, description=texts) | leaf,
    ),
)
count = st.integers(0, 10**6) | leaf
effort = st.sampled_from(["low", "medium", "high", "none", "minimal", None]) | leaf
store = st.booleans() | leaf
config = st.one_of(
    *often(opt(model=texts | leaf, temperature=st.floats(0, 2) | leaf, max_tokens=count), 3),
    *often(
        opt(
            model=texts,
            reasoning_effort=effort,
            reasoning_summary=st.sampled_from(["auto", "detailed"]) | leaf,
            store=store,
            temperature=st.floats(0, 2) | leaf,
        ),
        2,
    ),
    opt({"reasoning_effort": effort}, store=store, model=texts),
    st.sampled_from([None, "cfg", 3, []]),
)

token_details = one(opt(cached_tokens=count, reasoning_tokens=count, cache_write_tokens=count)) | leaf
usage = (
    opt(
        input_tokens=count,
        output_tokens=count,
        total_tokens=count,
        prompt_tokens=count,
        completion_tokens=count,
        input_tokens_details=token_details,
        prompt_tokens_details=token_details,
        output_tokens_details=token_details,
        completion_tokens_details=token_details,
    )
    | leaf
)
reply_part = opt(
    {"type": st.just("output_text"), "text": st.sampled_from(["Hello", ", world"]) | texts}, annotations=st.just([])
)
output_item = st.one_of(
    opt(
        {"type": st.just("message"), "content": st.lists(reply_part, max_size=3)},
        role=st.just("assistant"),
        phase=phase,
    ),
    opt(
        {"type": st.just("message")},
        role=st.just("assistant"),
        content=st.lists(reply_part | text_part | leaf, max_size=3) | texts | leaf,
        phase=phase,
    ),
    # a reasoning model's reply: encrypted reasoning, a message with its phase
    *often(
        opt(
            {"type": st.just("reasoning"), "encrypted_content": encrypted_data},
            id=detail_id,
            summary=st.lists(text_part, max_size=1),
        ),
        2,
    ),
    opt({"type": st.just("message"), "phase": phase}, content=st.lists(reply_part, max_size=2)),
    opt(
        {"type": st.just("function_call")},
        id=texts | leaf,
        call_id=texts | leaf,
        name=texts | leaf,
        arguments=texts | leaf,
    ),
    opt(
        {"type": st.sampled_from(["reasoning", "web_search_call"]) | leaf},
        summary=st.lists(text_part, max_size=2),
        id=detail_id,
        encrypted_content=encrypted_data,
    ),
    opt(
        {"type": st.just("reasoning")},
        content=anything,
        encrypted_content=encrypted_data | hostile,
        summary=st.lists(text_part | opt(text=texts | leaf) | leaf, max_size=3) | texts | leaf | hostile,
    ),
    opt(
        {"type": st.just("reasoning")},
        summary=st.just([]) | st.lists(text_part, max_size=1),
        content=st.lists(opt({"type": st.just("reasoning_text") | leaf}, text=texts | leaf) | leaf, max_size=3)
        | st.lists(text_part, max_size=2).map(tuple)
        | anything,
    ),
    leaf,
    hostile,
)
status = st.sampled_from(["completed", "incomplete", "failed", "in_progress"]) | leaf
incomplete_details = opt(reason=st.sampled_from(["max_output_tokens", "content_filter"]) | leaf) | anything
reply = st.one_of(
    opt(
        id=texts | leaf,
        object=st.just("response"),
        model=texts | leaf,
        output=st.lists(output_item, max_size=4) | leaf | hostile,
        usage=usage,
        incomplete_details=anything,
    ),
    opt(
        {"output": st.lists(output_item, max_size=3), "status": status},
        model=texts,
        usage=usage,
        incomplete_details=incomplete_details,
    ),
    *often(opt({"output": st.lists(output_item, min_size=1, max_size=4)}, id=texts, model=texts, usage=usage), 3),
    opt({"output": st.lists(output_item, max_size=4)}, id=texts, usage=usage),
    one(opt({"choices": st.just([])}, output=st.lists(output_item, max_size=2))),
    anything,
)


def collect_ids(value, seen):
    """Ids of every object reachable from ``value``."""
    if id(value) in seen:
        return seen
    seen.add(id(value))
    if isinstance(value, dict):
        for k, v in value.items():
            collect_ids(k, seen)
            collect_ids(v, seen)
    elif isinstance(value, (list, tuple)):
        for v in value:
            collect_ids(v, seen)
    return seen


def assert_same(a, b, inputs, path="result"):
    """Same structure, types, key order and values; objects from the input
    must be the very same objects on both sides."""
    if a is b:
        return
    assert id(a) not in inputs and id(b) not in inputs, f"{path}: only one side reuses an input object"
    assert type(a) is type(b), f"{path}: {type(a).__name__} != {type(b).__name__}"
    if isinstance(a, dict):
        assert len(a) == len(b), f"{path}: keys {list(a)!r} != {list(b)!r}"
        for (ka, va), (kb, vb) in zip(a.items(), b.items()):
            assert_same(ka, kb, inputs, f"{path} key")
            assert_same(va, vb, inputs, f"{path}[{ka!r}]")
    elif isinstance(a, (list, tuple)):
        assert len(a) == len(b), f"{path}: length {len(a)} != {len(b)}"
        for i, (va, vb) in enumerate(zip(a, b)):
            assert_same(va, vb, inputs, f"{path}[{i}]")
    elif isinstance(a, float) and math.isnan(a):
        assert math.isnan(b), path
    else:
        assert a == b, f"{path}: {a!r} != {b!r}"


def run(fn, args, kwargs):
    LOG.clear()
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        try:
            result = ("ok", fn(*args, **kwargs))
        except Exception as e:  # compared by type below
            result = ("raised", type(e))
    return result, out.getvalue(), list(LOG)


def agree(name, *args, **kwargs):
    root = (args, kwargs)  # kept alive, so that no id is reused meanwhile
    inputs = collect_ids(root, set())
    before = repr(root)
    got_n, out_n, log_n = run(getattr(native, name), args, kwargs)
    got_t, out_t, log_t = run(getattr(twin, name), args, kwargs)
    assert got_n[0] == got_t[0], (got_n, got_t)
    if got_n[0] == "raised":
        assert got_n[1] is got_t[1]
    else:
        assert_same(got_n[1], got_t[1], inputs)
    assert out_n == out_t
    assert log_n == log_t
    assert repr(root) == before, "input modified"
    del root


@SETTINGS
@given(content, st.sampled_from(["input_text", "output_text"]) | leaf)
def test_normalize_content(value, text_type):
    agree("_normalize_content", value, text_type)


@SETTINGS
@given(messages)
def test_convert_messages(msgs):
    agree("convert_messages", msgs)


@SETTINGS
@given(tools)
def test_convert_tools(value):
    agree("convert_tools", value)


@SETTINGS
@given(
    messages,
    config,
    tools | st.none(),
    tool_choice | st.none(),
    st.sampled_from([False, True, 0, 1, "", "x", None]),
    count | st.none(),
    st.floats(0, 2) | leaf,
    st.booleans() | leaf,
    st.booleans(),
)
def test_build_payload(msgs, cfg, tls, choice, stream, max_tokens, temperature, skip, by_keyword):
    if by_keyword:
        agree(
            "build_payload",
            api_messages=msgs,
            llm_config=cfg,
            tools=tls,
            tool_choice=choice,
            stream=stream,
            max_tokens=max_tokens,
            temperature=temperature,
            skip_tool_choice=skip,
        )
    else:
        agree("build_payload", msgs, cfg, tls, choice, stream, max_tokens, temperature, skip)


@SETTINGS
@given(reply)
def test_normalize_response(resp):
    agree("normalize_response", resp)
