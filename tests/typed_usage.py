"""A host's code as mypy checks it against the installed stub (strict, with
unused ignores reported): each ignored line is an error only the stub's
types can find, so a module seen as `Any` fails the check too. Checked by
scripts/check-typing.sh, not collected by pytest."""

from typing import Any

from routes import responses_api as rapi

messages: list[dict[str, Any]] = [{"role": "user", "content": "hi"}]
system, items = rapi.convert_messages(messages)
first: dict[str, Any] | None = items[0] if items else None
tools: list[dict[str, Any]] = rapi.convert_tools([])
payload: dict[str, Any] = rapi.build_payload(messages, {"model": "m"}, tools=tools, stream=True)
reply: Any = rapi.normalize_response({"output": []})


def deltas(url: str, key: str) -> list[dict[str, Any]]:
    record: dict[str, Any] = {}
    return list(rapi.stream_raw(url, {"Authorization": "Bearer " + key}, payload, record))


opener = rapi._urllib_opener_local
handler = rapi._PostRedirectHandlerLocal()

count: int = system  # type: ignore[assignment]
rapi.build_payload(messages)  # type: ignore[call-arg]
rapi.stream_raw(1, {}, payload)  # type: ignore[arg-type]
rapi.convert_messages(messages, None)  # type: ignore[call-arg]
for delta in rapi.stream_raw("http://h/v1/responses", {}, payload):
    delta.upper()  # type: ignore[attr-defined]
rapi.no_such_function()  # type: ignore[attr-defined]
