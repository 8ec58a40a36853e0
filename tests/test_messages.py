"""Chat Completions conversations turned into instructions and input items."""
import copy

import pytest

from helpers import typed, Boom, BadGet


def U(content):
    return {"role": "user", "content": content}


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
    ([{"role": "system", "content": [{"type": "text", "text": "t1"}, "plain",
                                     {"type": "image_url", "image_url": {"url": "u"}},
                                     {"output_text": "t2"}, {"text": "   "}]}],
     "t1\n\nt2\n\n   ", []),
    ([{"role": "system", "content": None}, {"role": "developer", "content": 5}], None, []),
    ([{"role": "user"}, U(None), U([]), U("")], None, [U(""), U(""), U([]), U("")]),
    ([U("q"), {"role": "system", "content": "late"}], "late", [U("q")]),
    ([{"role": "assistant", "content": None, "tool_calls": [tc("a"), tc("b", "g", "{1}")]}],
     None, [FC("a", "f", "{}"), FC("b", "g", "{1}")]),
    ([{"role": "assistant", "content": ""}, {"role": "assistant", "tool_calls": None}], None, []),
    ([{"role": "assistant", "content": [{"type": "refusal"}]}], None, [{"role": "assistant", "content": []}]),
    ([{"role": "assistant", "content": "A", "tool_calls": [tc("x")]}, U("next")],
     None, [{"role": "assistant", "content": "A"}, FC("x", "f", "{}"), U("next")]),
    ([{"role": "assistant", "content": [{"type": "input_text", "text": "p"}]}],
     None, [{"role": "assistant", "content": [{"type": "output_text", "text": "p"}]}]),
    ([{"role": "assistant", "tool_calls": [{"function": {}}, {"id": None, "function": {"name": None}},
                                           {"id": 0}, {"id": "z"}]}],
     None, [FC("", "", ""), FC("", "", ""), FC("", "", ""), FC("z", "", "")]),
    ([{"role": "assistant", "tool_calls": ({"id": "t", "function": {"name": "n", "arguments": {"k": 1}}},)}],
     None, [FC("t", "n", {"k": 1})]),
    ([{"role": "tool", "tool_call_id": "c", "content": "r"}, {"role": "tool", "content": ""},
      {"role": "tool", "tool_call_id": None, "content": None}],
     None, [OUT("c", "r"), OUT("", ""), OUT("", "null")]),
    ([{"role": "tool", "tool_call_id": "d", "content": {"é": [1, 2.5, None, True]}},
      {"role": "tool", "tool_call_id": "l", "content": ["x", "ü"]}, {"role": "tool", "content": 0}],
     None, [OUT("d", '{"é": [1, 2.5, null, true]}'), OUT("l", '["x", "ü"]'), OUT("", "0")]),
    ([{"role": "function", "content": "f"}, {"role": "", "content": "e"}, {"content": "n"},
      {"role": "System", "content": "s"}, {"role": 1, "content": "i"}, {"role": None}], None, []),
]


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
    msgs = [{"role": "system", "content": sys_text}, U(user_text), U(parts),
            {"role": "assistant", "content": None, "tool_calls": [tc("i" * 30, "n" * 30, args)]},
            {"role": "tool", "tool_call_id": "c" * 30, "content": out}]
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


@pytest.mark.parametrize("msgs,count", [
    ([U([IMG, "t", IMG]), {"role": "assistant", "content": [IMG, IMG]},
      U([{"type": "input_image", "image_url": ""}, {"type": "input_image", "image_url": "v"}])], 3),
    ([U(["t", IMG])], 1),
    ([U(["t"]), {"role": "assistant", "content": [IMG]}], 0),
])
def test_image_count_line(impl, capsys, msgs, count):
    impl.convert_messages(msgs)
    assert capsys.readouterr().out == (
        f"[IMG] responses_api.convert_messages: {count} input_image part(s) in user messages\n" if count else "")


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
    msgs = [Rec(role="assistant", content="c", tool_calls=[Rec(id="i", function=Rec(name="n"))]),
            Rec(role="tool", content="o"), Rec(role="user")]
    impl.convert_messages(msgs)
    assert log == [("role", ""), ("content", ""), ("tool_calls",),
                   ("function", {}), ("id", ""), ("name", ""), ("arguments", ""),
                   ("role", ""), ("content", ""), ("tool_call_id", ""),
                   ("role", ""), ("content", "")]


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
    _, items = impl.convert_messages([U("a"), {"role": "assistant", "content": "b"},
                                      {"role": "tool", "content": [1]}])
    assert seen == [("a", "input_text"), ("b", "output_text")]
    assert items[2]["output"] == ("dumped", [1], {"ensure_ascii": False})
    assert "2 input_image" in capsys.readouterr().out
