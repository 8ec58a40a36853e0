"""Translation between Chat Completions shapes and the Responses API, and a
streaming Responses client whose deltas match a Chat Completions stream."""

import urllib.request
from collections.abc import Generator, Iterable, Mapping, MutableMapping
from typing import Any

import json as json
import urllib as urllib

__test__: dict[str, Any]

def convert_messages(api_messages: Iterable[Mapping[str, Any]]) -> tuple[str | None, list[dict[str, Any]]]: ...
def _normalize_content(content: Any, text_type: Any) -> str | list[dict[str, Any]]: ...
def convert_tools(tools: Any) -> list[dict[str, Any]]: ...
def build_payload(
    api_messages: Iterable[Mapping[str, Any]],
    llm_config: Mapping[str, Any],
    tools: Any = None,
    tool_choice: Any = None,
    stream: Any = False,
    max_tokens: Any = None,
    temperature: Any = None,
    skip_tool_choice: Any = False,
) -> dict[str, Any]: ...
def normalize_response(resp: Any) -> Any: ...
def stream_raw(
    url: str,
    headers: Mapping[str, str],
    payload: Any,
    debug_logger: MutableMapping[str, Any] | None = None,
) -> Generator[dict[str, Any], None, None]: ...

class _PostRedirectHandlerLocal(urllib.request.HTTPRedirectHandler):
    """Preserve POST method + body on 307/308 redirects (default urllib converts to GET)."""

    def redirect_request(
        self,
        req: urllib.request.Request,
        fp: Any,
        code: int,
        msg: str,
        headers: Any,
        newurl: str,
    ) -> urllib.request.Request | None: ...

_urllib_opener_local: urllib.request.OpenerDirector
