"""Content of one chat message turned into Responses API content parts."""

import copy

import pytest

from helpers import typed, Boom, BadGet


class Sub(dict):
    pass


def T(text, tt="input_text"):
    return {"type": tt, "text": text}


def I(url, detail="auto"):
    return {"type": "input_image", "image_url": url, "detail": detail}


SCALARS = [
    ("", ""),
    (None, ""),
    (False, ""),
    (0, ""),
    (0.0, ""),
    ((), ""),
    ({}, ""),
    ((1, "a"), "(1, 'a')"),
    ({"a": 1}, "{'a': 1}"),
    (5, "5"),
    (True, "True"),
    (b"x", "b'x'"),
    (2.5, "2.5"),
    ([], []),
]


@pytest.mark.parametrize("content,expected", SCALARS)
def test_non_list_content(impl, content, expected):
    out = impl._normalize_content(content, "input_text")
    assert typed(out) == typed(expected)
    if isinstance(out, list):
        assert out is not content


@pytest.mark.parametrize("s", ["", "hello", "  padded  ", type("S", (str,), {})("sub")])
def test_str_is_returned_itself(impl, s):
    assert impl._normalize_content(s, "output_text") is s


PART_CASES = [
    (["hi"], [T("hi")]),
    ([""], [T("")]),
    ([{"type": "text"}], [T("")]),
    ([{"type": "text", "text": None}], [T(None)]),
    ([{"type": "text", "text": 7}], [T(7)]),
    ([{"type": "text", "text": ""}], [T("")]),
    ([{"type": "image_url", "image_url": {"url": "u1", "detail": "high"}}], [I("u1", "high")]),
    ([{"type": "input_image", "image_url": "u2"}], [I("u2")]),
    ([{"type": "output_image", "image_url": "u3"}], [I("u3")]),
    ([{"type": "image_url", "image_url": "", "image": "u4"}], [I("u4")]),
    ([{"type": "image_url", "image": {"url": "u5"}}], [I("u5")]),
    ([{"type": "input_image", "image_url": "first", "image": "second"}], [I("first")]),
    ([{"type": "image_url", "image_url": {}}], []),
    ([{"type": "image_url", "image_url": {"detail": "low"}}], []),
    ([{"type": "image_url", "image_url": {"url": ""}}], []),
    ([{"type": "image_url", "image_url": {"url": None}}], []),
    ([{"type": "image_url", "image_url": 42}], []),
    ([{"type": "image_url"}], []),
    ([{"type": "image_url", "image_url": ["u"]}], []),
    ([{"type": "image_url", "image_url": {"url": 3}}], [I(3)]),
    ([{"type": "input_text", "text": "x"}], [T("x")]),
    ([{"type": "weird", "output_text": "o"}], [T("o")]),
    ([{"text": "t", "output_text": "o"}], [T("t")]),
    ([{"type": "refusal", "refusal": "no"}], []),
    ([{"type": None, "text": ""}], []),
    ([{"type": "TEXT", "text": "x"}], [T("x")]),
    ([1, None, ["nested"], ("t",), 2.0, b"b", "keep", {"type": "text", "text": "k2"}], [T("keep"), T("k2")]),
    ([Sub(type="text", text="s"), Sub(type="image_url", image_url=Sub(url="su"))], [T("s"), I("su")]),
]


@pytest.mark.parametrize("content,expected", PART_CASES)
def test_list_content(impl, content, expected):
    snapshot = copy.deepcopy(content)
    out = impl._normalize_content(content, "input_text")
    assert typed(out) == typed(expected)
    assert out is not content
    assert typed(content) == typed(snapshot)


def test_text_type_passed_through_but_images_stay_input(impl):
    marker = object()
    content = ["a", {"type": "input_text", "text": "b"}, {"type": "input_image", "image_url": "u"}]
    out = impl._normalize_content(content, marker)
    assert [p["type"] for p in out] == [marker, marker, "input_image"]
    out = impl._normalize_content(content, "output_text")
    assert [p["type"] for p in out] == ["output_text", "output_text", "input_image"]


def test_leaves_are_shared_containers_new(impl):
    text, url, alt = "x" * 50, "data:image/png;base64," + "A" * 40, "o" * 30
    s = "plain" * 9
    img = {"url": url, "detail": "auto"}
    content = [
        s,
        {"type": "text", "text": text},
        {"type": "image_url", "image_url": img},
        {"type": "other", "output_text": alt},
    ]
    out = impl._normalize_content(content, "input_text")
    assert out[0]["text"] is s
    assert out[1]["text"] is text
    assert out[2]["image_url"] is url
    assert out[3]["text"] is alt
    assert all(p is not q for p in out for q in content)


def test_list_subclass_is_a_list(impl):
    class L(list):
        pass

    out = impl._normalize_content(L(["a"]), "input_text")
    assert type(out) is list and out == [T("a")]


class BadIter(list):
    def __iter__(self):
        raise Boom


class BadStr:
    def __str__(self):
        raise Boom


@pytest.mark.parametrize("content", [[BadGet(type="text")], BadIter(["a"]), BadStr()])
def test_errors_propagate(impl, content):
    with pytest.raises(Boom):
        impl._normalize_content(content, "input_text")


def test_overridden_get_is_used(impl):
    class Fake(dict):
        def get(self, key, default=None):
            return {"type": "image_url", "image": "from-get"}.get(key, default)

    out = impl._normalize_content([Fake(type="text", text="ignored")], "input_text")
    assert out == [I("from-get")]


class Text(str):
    pass


DETAILS = [  # image element -> the detail sent with it
    ({"type": "image_url", "image_url": {"url": "u", "detail": "low"}}, "low"),
    ({"type": "input_image", "image_url": "u", "detail": "high"}, "high"),
    ({"type": "image_url", "image_url": {"url": "u", "detail": "low"}, "detail": "high"}, "low"),
    ({"type": "image_url", "image_url": {"url": "u", "detail": ""}, "detail": "high"}, "high"),
    ({"type": "image_url", "image_url": {"url": "u", "detail": 5}, "detail": "high"}, "high"),
    ({"type": "image_url", "image_url": {"url": "u"}, "detail": "original"}, "original"),
    ({"type": "image_url", "image": {"url": "u", "detail": "low"}}, "low"),
    ({"type": "input_image", "image_url": "u", "detail": None}, "auto"),
    ({"type": "input_image", "image_url": "u", "detail": ["low"]}, "auto"),
    ({"type": "input_image", "image_url": "u", "detail": {"detail": "low"}}, "auto"),
    ({"type": "input_image", "image_url": "u", "detail": b"low"}, "auto"),
    ({"type": "input_image", "image_url": {"url": "u", "detail": ""}, "detail": ""}, "auto"),
    ({"type": "input_image", "image_url": "u", "detail": "not-a-level"}, "not-a-level"),  # carried, not validated
]


@pytest.mark.parametrize("part,detail", DETAILS)
def test_image_detail(impl, part, detail):
    assert impl._normalize_content([part], "input_text") == [I("u", detail)]


def test_image_detail_is_the_callers_object(impl):
    low, high = Text("low"), Text("high")
    (a, b) = impl._normalize_content(
        [
            {"type": "image_url", "image_url": {"url": "u", "detail": low}},
            {"type": "input_image", "image_url": "v", "detail": high},
        ],
        "input_text",
    )
    assert a["detail"] is low and b["detail"] is high and list(a) == ["type", "image_url", "detail"]


def test_image_without_url_is_dropped_whatever_its_detail(impl):
    parts = [
        {"type": "image_url", "image_url": {"detail": "low"}, "detail": "high"},
        {"type": "input_image", "image_url": "", "detail": "high"},
    ]
    assert impl._normalize_content(parts, "input_text") == []


def test_image_detail_read_through_overridden_get(impl):
    class Fake(dict):
        def get(self, key, default=None):
            return {"type": "input_image", "image_url": "u", "detail": "from-get"}.get(key, default)

    class FakeRef(dict):
        def get(self, key, default=None):
            return {"url": "r", "detail": "ref-get"}.get(key, default)

    assert impl._normalize_content([Fake(detail="own")], "input_text") == [I("u", "from-get")]
    assert impl._normalize_content([{"type": "image_url", "image_url": FakeRef(x=1)}], "input_text") == [
        I("r", "ref-get")
    ]


def test_image_detail_read_errors_propagate(impl):
    class BadDetail(dict):
        def get(self, key, default=None):
            if key == "detail":
                raise Boom
            return super().get(key, default)

    with pytest.raises(Boom):
        impl._normalize_content([BadDetail(type="input_image", image_url="u")], "input_text")
