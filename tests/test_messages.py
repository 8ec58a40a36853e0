"""Chat Completions conversations turned into instructions and input items."""

import copy
import weakref

import pytest

from helpers import NEAR_MISSES, WHITESPACE, typed, Boom, BadGet


def U(content):
    return {"type": "message", "role": "user", "content": content}


def A(content, **extra):
    return {"type": "message", "role": "assistant", "content": content, **extra}


def T(text):
    return [{"type": "output_text", "text": text}]


def R(data, id_=None):
    return {"type": "reasoning", **({"id": id_} if id_ is not None else {}), "summary": [], "encrypted_content": data}


def ENC(data="enc", id_="rs_1", fmt="openai-responses-v1", **extra):
    return {"type": "reasoning.encrypted", "data": data, "id": id_, "format": fmt, "index": 0, **extra}


def FC(call_id, name, arguments):
    return {"type": "function_call", "call_id": call_id, "name": name, "arguments": arguments}


def OUT(call_id, output):
    return {"type": "function_call_output", "call_id": call_id, "output": output}


def tc(id_="c1", name="f", args="{}"):
    return {"id": id_, "type": "function", "function": {"name": name, "arguments": args}}


CASES = [
    ([], None, []),
    ([{"role": "system", "content": "S"}], "S", []),
    ([{"role": "system", "content": "  "}, {"role": "system", "content": ""}], None, []),
    ([{"role": "system", "content": " a "}, {"role": "developer", "content": "\tb\n"}], " a \n\n\tb\n", []),
    (
        [
            {
                "role": "system",
                "content": [
                    {"type": "text", "text": "t1"},
                    "plain",
                    {"type": "image_url", "image_url": {"url": "u"}},
                    {"output_text": "t2"},
                    {"text": "   "},
                ],
            }
        ],
        "t1\n\nt2\n\n   ",
        [],
    ),
    ([{"role": "system", "content": None}, {"role": "developer", "content": 5}], None, []),
    (
        [
            {"role": "user"},
            {"role": "user", "content": None},
            {"role": "user", "content": []},
            {"role": "user", "content": ""},
        ],
        None,
        [U(""), U(""), U([]), U("")],
    ),
    ([{"role": "user", "content": "q"}, {"role": "system", "content": "late"}], "late", [U("q")]),
    (
        [{"role": "assistant", "content": None, "tool_calls": [tc("a"), tc("b", "g", "{1}")]}],
        None,
        [FC("a", "f", "{}"), FC("b", "g", "{1}")],
    ),
    ([{"role": "assistant", "content": ""}, {"role": "assistant", "tool_calls": None}], None, []),
    ([{"role": "assistant", "content": [{"type": "refusal"}]}], None, [A([])]),
    (
        [{"role": "assistant", "content": "A", "tool_calls": [tc("x")]}, {"role": "user", "content": "next"}],
        None,
        [A(T("A")), FC("x", "f", "{}"), U("next")],
    ),
    ([{"role": "assistant", "content": [{"type": "input_text", "text": "p"}]}], None, [A(T("p"))]),
    (
        [
            {
                "role": "assistant",
                "tool_calls": [{"function": {}}, {"id": None, "function": {"name": None}}, {"id": 0}, {"id": "z"}],
            }
        ],
        None,
        [FC("", "", ""), FC("", "", ""), FC("", "", ""), FC("z", "", "")],
    ),
    (
        [{"role": "assistant", "tool_calls": ({"id": "t", "function": {"name": "n", "arguments": {"k": 1}}},)}],
        None,
        [FC("t", "n", {"k": 1})],
    ),
    (
        [
            {"role": "tool", "tool_call_id": "c", "content": "r"},
            {"role": "tool", "content": ""},
            {"role": "tool", "tool_call_id": None, "content": None},
        ],
        None,
        [OUT("c", "r"), OUT("", ""), OUT("", "null")],
    ),
    (
        [
            {"role": "tool", "tool_call_id": "d", "content": {"é": [1, 2.5, None, True]}},
            {"role": "tool", "tool_call_id": "l", "content": ["x", "ü"]},
            {"role": "tool", "content": 0},
        ],
        None,
        [OUT("d", '{"é": [1, 2.5, null, true]}'), OUT("l", '["x", "ü"]'), OUT("", "0")],
    ),
    (
        [
            {"role": "function", "content": "f"},
            {"role": "", "content": "e"},
            {"content": "n"},
            {"role": "System", "content": "s"},
            {"role": 1, "content": "i"},
            {"role": None},
        ],
        None,
        [],
    ),
]


class SubList(list):
    pass


class SubStr(str):
    pass


class SubDict(dict):
    pass


def ASST(content=None, **extra):
    return {"role": "assistant", "content": content, **extra}


# The model's own state carried back: encrypted reasoning before the message
# and calls it led to, the phase on the message item.
STATE_CASES = [
    ([ASST("hi", phase="commentary")], [A(T("hi"), phase="commentary")]),
    ([ASST("hi", phase=SubStr("final_answer"))], [A(T("hi"), phase=SubStr("final_answer"))]),
    (
        [ASST("hi", phase=""), ASST("ho", phase=None), ASST("hu", phase=5), ASST("he", phase=["commentary"])],
        [A(T("hi")), A(T("ho")), A(T("hu")), A(T("he"))],
    ),
    ([ASST([{"type": "text", "text": "p"}], phase="commentary")], [A(T("p"), phase="commentary")]),
    ([ASST("", phase="commentary"), ASST(None, phase="commentary")], []),
    ([ASST(SubStr("s"))], [A([{"type": "output_text", "text": SubStr("s")}])]),
    (
        [ASST("c", reasoning_details=[ENC()], tool_calls=[tc("x")], phase="commentary")],
        [R("enc", "rs_1"), A(T("c"), phase="commentary"), FC("x", "f", "{}")],
    ),
    (
        [ASST(None, reasoning_details=[ENC("a", "rs_a"), ENC("b", "rs_b")], tool_calls=[tc("x")])],
        [R("a", "rs_a"), R("b", "rs_b"), FC("x", "f", "{}")],
    ),
    ([ASST(None, reasoning_details=[ENC()])], [R("enc", "rs_1")]),
    (
        [ASST(None, reasoning_details=[ENC(id_=None), ENC(id_=""), ENC(id_=5), ENC(id_=SubStr("rs_s"))])],
        [R("enc"), R("enc"), R("enc"), R("enc", SubStr("rs_s"))],
    ),
    (
        [
            ASST(
                None,
                reasoning_details=[
                    ENC(fmt=None),
                    {"type": "reasoning.encrypted", "data": "d"},
                    ENC(fmt="anthropic-claude-v1"),
                    ENC(fmt=""),
                    ENC(fmt=SubStr("openai-responses-v1")),
                ],
            )
        ],
        [R("enc", "rs_1"), R("d"), R("enc", "rs_1")],
    ),
    (
        [
            ASST(
                None,
                reasoning_details=[
                    ENC(data=""),
                    ENC(data=None),
                    ENC(data=5),
                    ENC(data=SubStr("sd")),
                    {"type": "reasoning.summary", "summary": "s"},
                    {"type": "reasoning.text"},
                    {"data": "no type"},
                    dict(ENC(), type=SubStr("reasoning.encrypted")),
                ],
            )
        ],
        [R(SubStr("sd"), "rs_1"), R("enc", "rs_1")],
    ),
    (
        [
            ASST(None, reasoning_details=(ENC(),)),
            ASST(None, reasoning_details=ENC()),
            ASST(None, reasoning_details="enc"),
            ASST(None, reasoning_details=None),
        ],
        [],
    ),
    (
        [ASST(None, reasoning_details=SubList([ENC(), "x", None, 5, [ENC()], SubDict(ENC(data="sub"))]))],
        [R("enc", "rs_1"), R("sub", "rs_1")],
    ),
    (
        [
            {"role": "user", "content": "u", "reasoning_details": [ENC()], "phase": "commentary"},
            {"role": "tool", "content": "o", "reasoning_details": [ENC()], "phase": "commentary"},
        ],
        [U("u"), OUT("", "o")],
    ),
]


@pytest.mark.parametrize("messages,items", STATE_CASES)
def test_model_state_carried_back(impl, messages, items):
    snapshot = copy.deepcopy(messages)
    instructions, result = impl.convert_messages(messages)
    assert instructions is None
    assert typed(result) == typed(items)
    assert typed(messages) == typed(snapshot)


def test_carried_state_keeps_the_callers_objects(impl):
    data, id_, phase, text = "e" * 40, "rs_" + "i" * 30, SubStr("commentary"), SubStr("t" * 30)
    msg = ASST(text, reasoning_details=[{"type": "reasoning.encrypted", "data": data, "id": id_}], phase=phase)
    _, items = impl.convert_messages([msg])
    reasoning, message = items
    assert reasoning["encrypted_content"] is data and reasoning["id"] is id_
    assert message["content"][0]["text"] is text and message["phase"] is phase
    _, again = impl.convert_messages([msg])
    assert again[0]["summary"] is not reasoning["summary"]


def test_detail_reads_in_order(impl):
    log = []

    class Rec(dict):
        def get(self, *a):
            log.append(a)
            return super().get(*a)

    details = [
        Rec(type="reasoning.encrypted", data="d", format="openai-responses-v1", id="i"),
        Rec(type="other", data="d"),
        Rec(type="reasoning.encrypted", data=""),
        Rec(type="reasoning.encrypted", data="d", format="x"),
    ]
    impl.convert_messages([{"role": "assistant", "content": None, "reasoning_details": details}])
    assert log == [
        ("type",),
        ("data",),
        ("format",),
        ("id",),
        ("type",),
        ("type",),
        ("data",),
        ("type",),
        ("data",),
        ("format",),
    ]


@pytest.mark.parametrize(
    "returned,content",
    [
        ("n", T("n")),
        ("", None),
        ([], []),
        (5, 5),
        (None, None),
        (("t",), ("t",)),
    ],
)
def test_assistant_content_as_normalized(impl, monkeypatch, returned, content):
    """What _normalize_content returns is the item's content; only a non-empty
    text becomes one output_text part."""
    monkeypatch.setattr(impl, "_normalize_content", lambda c, t: returned)
    _, items = impl.convert_messages([ASST("x")])
    assert typed(items) == typed([A(returned if content is None else content)])


@pytest.mark.parametrize("messages,instructions,items", CASES)
def test_conversion(impl, capsys, messages, instructions, items):
    snapshot = copy.deepcopy(messages)
    result = impl.convert_messages(messages)
    assert type(result) is tuple and len(result) == 2
    assert typed(result[0]) == typed(instructions)
    assert typed(result[1]) == typed(items)
    assert typed(messages) == typed(snapshot)
    assert capsys.readouterr().out == ""


def test_shared_leaves_and_new_containers(impl):
    sys_text, user_text, args, out = "s" * 40, "u" * 40, {"a": [1]}, "o" * 40
    parts = [{"type": "text", "text": "t"}]
    msgs = [
        {"role": "system", "content": sys_text},
        U(user_text),
        U(parts),
        {"role": "assistant", "content": None, "tool_calls": [tc("i" * 30, "n" * 30, args)]},
        {"role": "tool", "tool_call_id": "c" * 30, "content": out},
    ]
    _, items = impl.convert_messages(msgs)
    assert items[0]["content"] is user_text
    assert items[1]["content"] is not parts and items[1]["content"][0] is not parts[0]
    fc = items[2]
    assert fc["arguments"] is args and fc["call_id"] is msgs[3]["tool_calls"][0]["id"]
    assert fc["name"] is msgs[3]["tool_calls"][0]["function"]["name"]
    assert items[3]["output"] is out and items[3]["call_id"] is msgs[4]["tool_call_id"]


def test_any_iterable_and_dict_subclasses(impl):
    class D(dict):
        pass

    gen = (m for m in [D(role="user", content="a"), D(role="system", content="S")])
    assert impl.convert_messages(gen) == ("S", [U("a")])


IMG = {"type": "image_url", "image_url": {"url": "u"}}


@pytest.mark.parametrize(
    "msgs,count",
    [
        (
            [
                U([IMG, "t", IMG]),
                {"role": "assistant", "content": [IMG, IMG]},
                U([{"type": "input_image", "image_url": ""}, {"type": "input_image", "image_url": "v"}]),
            ],
            3,
        ),
        ([U(["t", IMG])], 1),
        ([U(["t"]), {"role": "assistant", "content": [IMG]}], 0),
    ],
)
def test_image_count_line(impl, capsys, msgs, count):
    impl.convert_messages(msgs)
    assert capsys.readouterr().out == (
        f"[IMG] responses_api.convert_messages: {count} input_image part(s) in user messages\n" if count else ""
    )


IMG_USER = U([{"type": "input_image", "image_url": "u"}])
ERRORS = [
    (5, TypeError),
    (["user"], AttributeError),
    ([None], AttributeError),
    ([IMG_USER, {"role": "assistant", "tool_calls": 5}], TypeError),
    ([IMG_USER, {"role": "assistant", "tool_calls": [5]}], AttributeError),
    ([IMG_USER, {"role": "assistant", "tool_calls": [{"id": "x", "function": None}]}], AttributeError),
    ([IMG_USER, {"role": "system", "content": [{"text": 5}]}], TypeError),
    ([IMG_USER, {"role": "tool", "content": {1, 2}}], TypeError),
    ([IMG_USER, {"role": "tool", "content": b"raw"}], TypeError),
    ([IMG_USER, BadGet()], Boom),
    ([IMG_USER, {"role": "assistant", "tool_calls": [BadGet()]}], Boom),
]


@pytest.mark.parametrize("messages,exc", ERRORS)
def test_errors_propagate_without_output(impl, capsys, messages, exc):
    with pytest.raises(exc):
        impl.convert_messages(messages)
    assert capsys.readouterr().out == ""


def test_get_calls_in_order(impl):
    log = []

    class Rec(dict):
        def get(self, *a):
            log.append(a)
            return super().get(*a)

    msgs = [
        Rec(role="assistant", content="c", tool_calls=[Rec(id="i", function=Rec(name="n"))]),
        Rec(role="tool", content="o"),
        Rec(role="user"),
    ]
    impl.convert_messages(msgs)
    assert log == [
        ("role", ""),
        ("content", ""),
        ("tool_calls",),
        ("reasoning_details",),
        ("phase",),
        ("function", {}),
        ("id", ""),
        ("name", ""),
        ("arguments", ""),
        ("role", ""),
        ("content", ""),
        ("tool_call_id", ""),
        ("role", ""),
        ("content", ""),
    ]


def test_globals_looked_up_at_call_time(impl, monkeypatch, capsys):
    seen = []

    def fake_normalize(content, text_type):
        seen.append((content, text_type))
        return [{"type": "input_image"}, {"type": "input_image"}]

    monkeypatch.setattr(impl, "_normalize_content", fake_normalize)

    class FakeJson:
        @staticmethod
        def dumps(value, **kw):
            return ("dumped", value, kw)

    monkeypatch.setattr(impl, "json", FakeJson)
    _, items = impl.convert_messages([U("a"), {"role": "assistant", "content": "b"}, {"role": "tool", "content": [1]}])
    assert seen == [("a", "input_text"), ("b", "output_text")]
    assert items[2]["output"] == ("dumped", [1], {"ensure_ascii": False})
    assert "2 input_image" in capsys.readouterr().out


# --------------------------------- system text: whitespace, str subclasses


@pytest.mark.parametrize("role", ["system", "developer"])
def test_system_text_of_any_whitespace_gives_no_instructions(impl, role):
    for ws in WHITESPACE:
        for content in (ws, ws * 3, " " + ws + "\n"):
            assert impl.convert_messages([{"role": role, "content": content}]) == (None, []), repr(content)
    for kept in NEAR_MISSES:
        content = "\u3000" + kept + "\t"
        assert impl.convert_messages([{"role": role, "content": content}])[0] == content, repr(kept)


class Spaced(str):
    def strip(self, *args):
        return "" if self == "blank" else str(self)


@pytest.mark.parametrize("content,instructions", [(Spaced("blank"), None), (Spaced("  "), "  "), (Spaced("x"), "x")])
def test_system_text_subclass_is_stripped_by_its_own_method(impl, content, instructions):
    assert impl.convert_messages([{"role": "system", "content": content}])[0] == instructions


# ------------------------------------------ what a call holds and compares


class Dropping(dict):
    """A content part whose every read is logged; its first read drops it
    from the list being walked, leaving the walker's reference the last."""

    def get(self, key, default=None):
        self.log.append("get " + key)
        self.parent.clear()
        return dict.get(self, key, default)


@pytest.mark.parametrize("role, reads", [("system", ["get text"]), ("user", ["get type", "get text"])])
def test_a_part_dropped_from_its_list_while_read_stays_alive(impl, role, reads):
    """The part is freed after its last read, however many reads its
    message makes (an instruction reads its text; a user part its type, then
    its text)."""
    log = []
    part = Dropping(type="text", text="be brief")
    part.log, part.parent = log, [part]
    content = part.parent
    ref = weakref.ref(part, lambda _: log.append("freed"))
    del part
    instructions, items = impl.convert_messages([{"role": role, "content": content}])
    if role == "system":
        assert (instructions, items) == ("be brief", [])
    else:
        assert (instructions, items) == (
            None,
            [{"type": "message", "role": "user", "content": [{"type": "input_text", "text": "be brief"}]}],
        )
    assert content == [] and ref() is None and log == reads + ["freed"]


class Liar(str):
    """A role that also claims to equal "developer"."""

    def __eq__(self, other):
        return str.__eq__(self, other) or other == "developer"

    __hash__ = str.__hash__


def test_a_str_subclass_compares_with_its_own_eq(impl):
    assert impl.convert_messages([{"role": Liar("user"), "content": "be brief"}]) == ("be brief", [])


class AlwaysEqual(str):
    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return True

    __hash__ = str.__hash__


@pytest.mark.parametrize(
    "detail,kept",
    [
        ({"type": AlwaysEqual("x"), "data": "d"}, True),
        ({"type": "reasoning.encrypted", "data": "d", "format": AlwaysEqual("x")}, True),
    ],
)
def test_detail_type_and_format_compare_with_eq(impl, detail, kept):
    """The entry's type and format are tested with ==, as the literal's
    equality: an object whose == and != are not opposites goes by ==."""
    _, items = impl.convert_messages([ASST(None, reasoning_details=[detail])])
    assert (items == [R("d")]) == kept
