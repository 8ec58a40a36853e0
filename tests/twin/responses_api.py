"""OpenAI Responses API support for Quillbox.

The OpenAI Responses API (POST /v1/responses) is a newer alternative to the
Chat Completions API. It uses a different request/response shape:

  - Request:  {model, instructions, input, tools, tool_choice, stream, max_output_tokens, ...}
              where `input` is a list of items (message | function_call | function_call_output)
              and `tools` use the flat shape {type:'function', name, parameters, description}
              (NOT the nested {type:'function', function:{...}} wrapper that Chat Completions uses).
              The system prompt goes into the top-level `instructions` field.

  - Response (non-streaming): {id, object:'response', model, output:[...], usage:{input_tokens, output_tokens, total_tokens}}
              where `output` is a list of items; assistant text is in
              `output[i].content[j].text` for items with `type:'message'`; function calls
              are items with `type:'function_call'` and have `name` + `arguments` (a JSON string)
              and `call_id`.

  - Streaming (SSE): two-line events
              event: response.output_text.delta
              data: {"type":"response.output_text.delta","delta":"hello"}

              event: response.function_call_arguments.delta
              data: {"type":"response.function_call_arguments.delta","item_id":"fc_abc","delta":"{"path""}

              event: response.output_item.done
              data: {"type":"response.output_item.done","item":{"type":"function_call","call_id":"call_abc","name":"write_file","arguments":"..."}}

              event: response.completed
              data: {"type":"response.completed","response":{"usage":{...}}}

This module provides:
  - convert_messages(api_messages) -> (instructions, input_items)
      Convert quillbox's internal Chat Completions messages to Responses API input.
  - convert_tools(tools) -> responses_tools
      Convert Chat Completions tool defs to Responses API flat shape.
  - build_payload(api_messages, llm_config, tools, tool_choice, stream, max_tokens, temperature) -> dict
      Build a Responses API request payload.
  - normalize_response(resp) -> dict
      Convert a non-streaming Responses API response to Chat Completions shape, so the
      rest of quillbox's agent loop (which reads response['choices'][0]['message']['content']
      and response['choices'][0]['message']['tool_calls']) works unchanged.
  - stream_raw(api_messages, llm_config, url, headers, tools, tool_choice, max_tokens, temperature) -> generator
      POST a streaming request and yield deltas in the same shape as
      routes.chat._call_llm_stream_raw (which yields dicts with keys like
      'content', 'tool_calls', 'reasoning_content', '_finish_reason', '_usage')."""

import json
import urllib.request
import urllib.error


def convert_messages(api_messages):
    """convert_messages(api_messages)

    Convert quillbox's Chat Completions messages list to Responses API input.

    Returns (instructions, input_items) where:
      - instructions: str or None — the concatenated system prompt(s)
      - input_items: list of items for the Responses API `input` field"""
    instructions_parts = []
    input_items = []
    _img_count = 0
    for msg in api_messages:
        role = msg.get("role", "")
        content = msg.get("content", "")
        if role == "system" or role == "developer":
            if isinstance(content, str):
                if content.strip():
                    instructions_parts.append(content)
            elif isinstance(content, list):
                for part in content:
                    if isinstance(part, dict):
                        text = part.get("text") or part.get("output_text") or ""
                        if text:
                            instructions_parts.append(text)
        elif role == "user":
            _norm = _normalize_content(content, "input_text")
            if isinstance(_norm, list):
                for _p in _norm:
                    if isinstance(_p, dict) and _p.get("type") == "input_image":
                        _img_count += 1
            input_items.append({"type": "message", "role": "user", "content": _norm})
        elif role == "assistant":
            tool_calls = msg.get("tool_calls") or []
            reasoning_details = msg.get("reasoning_details")
            phase = msg.get("phase")
            # The model's encrypted reasoning goes back before what it led to.
            if isinstance(reasoning_details, list):
                for detail in reasoning_details:
                    if isinstance(detail, dict):
                        reasoning_item = _reasoning_item(detail)
                        if reasoning_item is not None:
                            input_items.append(reasoning_item)
            if content:
                _norm = _normalize_content(content, "output_text")
                # Strict servers take assistant content only as output parts.
                if isinstance(_norm, str) and _norm:
                    _norm = [{"type": "output_text", "text": _norm}]
                message_item = {"type": "message", "role": "assistant", "content": _norm}
                if isinstance(phase, str) and phase:
                    message_item["phase"] = phase
                input_items.append(message_item)
            for tc in tool_calls:
                fn = tc.get("function", {}) if isinstance(tc, dict) else {}
                input_items.append(
                    {
                        "type": "function_call",
                        "call_id": tc.get("id", "") or "",
                        "name": fn.get("name", "") or "",
                        "arguments": fn.get("arguments", "") or "",
                    }
                )
        elif role == "tool":
            input_items.append(
                {
                    "type": "function_call_output",
                    "call_id": msg.get("tool_call_id", "") or "",
                    "output": content if isinstance(content, str) else json.dumps(content, ensure_ascii=False),
                }
            )
    instructions = "\n\n".join(instructions_parts) if instructions_parts else None
    if _img_count > 0:
        print(f"[IMG] responses_api.convert_messages: {_img_count} input_image part(s) in user messages")
    return instructions, input_items


def _reasoning_item(detail):
    """The reasoning input item of one `reasoning_details` entry, or None
    when it is not encrypted reasoning of this endpoint's format."""
    if not detail.get("type") == "reasoning.encrypted":
        return None
    data = detail.get("data")
    if not (isinstance(data, str) and data):
        return None
    fmt = detail.get("format")
    if fmt is not None and not fmt == "openai-responses-v1":
        return None
    detail_id = detail.get("id")
    reasoning_item = {"type": "reasoning"}
    if isinstance(detail_id, str) and detail_id:
        reasoning_item["id"] = detail_id
    reasoning_item["summary"] = []
    reasoning_item["encrypted_content"] = data
    return reasoning_item


def _encrypted_detail(item, index):
    """The `reasoning_details` entry of a reasoning item's encrypted content,
    or None when it has none."""
    data = item.get("encrypted_content")
    if not (isinstance(data, str) and data):
        return None
    return {
        "type": "reasoning.encrypted",
        "data": data,
        "id": item.get("id"),
        "format": "openai-responses-v1",
        "index": index,
    }


def _normalize_content(content, text_type):
    """_normalize_content(content, text_type)

    Ensure content is in the format the Responses API expects.

    - Plain string content is kept as a string (Responses API accepts both
      string and array-of-parts for content).
    - List content (multimodal) is converted to Responses API content parts:
      input_text / output_text for text, input_image for images."""
    if isinstance(content, str):
        return content
    if isinstance(content, list):
        parts = []
        for part in content:
            if isinstance(part, str):
                parts.append({"type": text_type, "text": part})
            elif isinstance(part, dict):
                ptype = part.get("type")
                if ptype == "text":
                    parts.append({"type": text_type, "text": part.get("text", "")})
                elif ptype == "image_url" or ptype == "input_image" or ptype == "output_image":
                    url = ""
                    img = part.get("image_url") or part.get("image") or {}
                    if isinstance(img, dict):
                        url = img.get("url") or ""
                    elif isinstance(img, str):
                        url = img
                    if url:
                        # The endpoint requires a detail; the caller's own
                        # (Chat form first, then Responses form) is kept.
                        detail = img.get("detail") if isinstance(img, dict) else None
                        if not (isinstance(detail, str) and detail):
                            detail = part.get("detail")
                            if not (isinstance(detail, str) and detail):
                                detail = "auto"
                        parts.append({"type": "input_image", "image_url": url, "detail": detail})
                else:
                    text = part.get("text") or part.get("output_text") or ""
                    if text:
                        parts.append({"type": text_type, "text": text})
        return parts
    return str(content) if content else ""


def convert_tools(tools):
    """convert_tools(tools)

    Convert Chat Completions tool defs to Responses API flat shape.

    Chat Completions:
        {'type':'function', 'function':{'name':..., 'description':..., 'parameters':...}}

    Responses API:
        {'type':'function', 'name':..., 'description':..., 'parameters':..., 'strict': False}"""
    if not tools:
        return []
    out = []
    for t in tools:
        if not isinstance(t, dict):
            continue
        if not t.get("type") == "function":
            continue
        fn = t.get("function", {})
        if not fn.get("name"):
            continue
        item = {
            "type": "function",
            "name": fn["name"],
            "description": fn.get("description", ""),
            "parameters": fn.get("parameters", {"type": "object", "properties": {}}),
            "strict": False,
        }
        out.append(item)
    return out


def build_payload(
    api_messages,
    llm_config,
    tools=None,
    tool_choice=None,
    stream=False,
    max_tokens=None,
    temperature=None,
    skip_tool_choice=False,
):
    """build_payload(api_messages, llm_config, tools=None, tool_choice=None, stream=False, max_tokens=None, temperature=None, skip_tool_choice=False)

    Build a Responses API request payload.

    Returns a dict ready to be JSON-encoded as the request body."""
    model = llm_config.get("model", "gpt-4o")
    reasoning_effort = llm_config.get("reasoning_effort", None)
    reasoning_summary = llm_config.get("reasoning_summary", None)
    store = llm_config.get("store", None)
    effort_on = False
    if reasoning_effort is not None:
        effort_on = bool(reasoning_effort != "none")
    if temperature is None:
        # Reasoning models refuse a temperature unless reasoning is off: no
        # default is sent to them.
        temperature = llm_config.get("temperature", None if effort_on else 0.7)
    if max_tokens is None:
        max_tokens = llm_config.get("max_tokens", 50000)
    # Unpack exactly two values; the error messages are the module's own.
    _converted = iter(convert_messages(api_messages))
    _values = []
    for _value in _converted:
        _values.append(_value)
        if len(_values) == 2:
            break
    if len(_values) < 2:
        raise ValueError("need more than %d value%s to unpack" % (len(_values), "" if len(_values) == 1 else "s"))
    for _value in _converted:
        raise ValueError("too many values to unpack (expected 2)")
    instructions, input_items = _values
    payload = {"model": model, "input": input_items, "max_output_tokens": max_tokens}
    if instructions:
        payload["instructions"] = instructions
    if temperature is not None:
        payload["temperature"] = temperature
    if reasoning_effort is not None or reasoning_summary is not None:
        reasoning = {}
        if reasoning_effort is not None:
            reasoning["effort"] = reasoning_effort
        if reasoning_summary is not None:
            reasoning["summary"] = reasoning_summary
        payload["reasoning"] = reasoning
    if effort_on:
        # The reasoning comes back encrypted, to be sent with the next turn.
        payload["include"] = ["reasoning.encrypted_content"]
    if store is not None:
        payload["store"] = store
    if stream:
        payload["stream"] = True
    if tools:
        payload["tools"] = convert_tools(tools)
    if not skip_tool_choice and tool_choice is not None:
        # A nested {"type": "function", "function": {"name": ...}} choice is
        # flattened to the shape the endpoint accepts; anything else is sent
        # as the caller's own object.
        if isinstance(tool_choice, dict) and tool_choice.get("type") == "function" and "name" not in tool_choice:
            fn = tool_choice.get("function")
            if isinstance(fn, dict):
                fn_name = fn.get("name")
                if fn_name:
                    tool_choice = {"type": "function", "name": fn_name}
        payload["tool_choice"] = tool_choice
    return payload


def normalize_response(resp):
    """normalize_response(resp)

    Convert a non-streaming Responses API response to Chat Completions shape.

    Input (Responses API):
        {id, object:'response', model, output:[...], usage:{input_tokens, output_tokens, total_tokens}}

    Output (Chat Completions shape):
        {model, choices:[{index:0, message:{role:'assistant', content:str, tool_calls:[...]}, finish_reason:'stop'}],
         usage:{prompt_tokens, completion_tokens, total_tokens}}"""
    if not isinstance(resp, dict):
        return resp
    if "choices" in resp:
        return resp
    output_items = resp.get("output", []) or []
    text_parts = []
    tool_calls = []
    reasoning_parts = []
    reasoning_details = []
    phase = None
    for item in output_items:
        if not isinstance(item, dict):
            continue
        item_type = item.get("type", "")
        if item_type == "message":
            content_arr = item.get("content", []) or []
            for part in content_arr:
                if not isinstance(part, dict):
                    continue
                text = part.get("text") or part.get("output_text") or ""
                if text:
                    text_parts.append(text)
            item_phase = item.get("phase")
            if isinstance(item_phase, str) and item_phase:
                phase = item_phase
        elif item_type == "function_call":
            tool_calls.append(
                {
                    "id": item.get("call_id") or item.get("id", "") or "",
                    "type": "function",
                    "function": {
                        "name": item.get("name", "") or "",
                        "arguments": item.get("arguments", "") or "",
                    },
                }
            )
        elif item_type == "reasoning":
            # The summary, else the raw reasoning text.
            reasoning_parts.extend(_texts(item, "summary") or _texts(item, "content", "reasoning_text"))
            detail = _encrypted_detail(item, len(reasoning_details))
            if detail is not None:
                reasoning_details.append(detail)
    content = "".join(text_parts) if text_parts else ""
    usage_in = resp.get("usage", {}) or {}
    normalized_usage = _usage_of(usage_in)
    message = {"role": "assistant", "content": content}
    if reasoning_parts:
        message["reasoning_content"] = "\n\n".join(reasoning_parts)
    if reasoning_details:
        message["reasoning_details"] = reasoning_details
    if tool_calls:
        message["tool_calls"] = tool_calls
    if phase is not None:
        message["phase"] = phase
    resp_id = resp.get("id", "")
    model = resp.get("model", "")
    # A reply that did not complete must not read as a complete answer.
    status = resp.get("status")
    if status == "incomplete":
        details = resp.get("incomplete_details")
        reason = details.get("reason") if isinstance(details, dict) else None
        finish_reason = "content_filter" if reason == "content_filter" else "length"
    elif status == "failed":
        finish_reason = "error"
    else:
        finish_reason = "tool_calls" if tool_calls else "stop"
    return {
        "id": resp_id,
        "object": "chat.completion",
        "model": model,
        "choices": [
            {
                "index": 0,
                "message": message,
                "finish_reason": finish_reason,
            }
        ],
        "usage": normalized_usage,
    }


def _texts(item, key, only_type=None):
    """The non-empty str "text" of every dict in the list item.get(key), in
    order; with only_type, only of the dicts whose "type" equals it."""
    texts = []
    parts = item.get(key)
    if isinstance(parts, list):
        for part in parts:
            if isinstance(part, dict) and (only_type is None or part.get("type") == only_type):
                text = part.get("text")
                if isinstance(text, str) and text:
                    texts.append(text)
    return texts


def _usage_of(usage):
    in_tok = usage.get("input_tokens", 0) or usage.get("prompt_tokens", 0) or 0
    out_tok = usage.get("output_tokens", 0) or usage.get("completion_tokens", 0) or 0
    tot_tok = usage.get("total_tokens", 0) or (in_tok + out_tok)
    normalized = {
        "prompt_tokens": in_tok,
        "completion_tokens": out_tok,
        "total_tokens": tot_tok,
    }
    # Cached and reasoning token counts, under the Chat Completions names.
    details = usage.get("input_tokens_details") or usage.get("prompt_tokens_details")
    if isinstance(details, dict) and details:
        normalized["prompt_tokens_details"] = dict(details)
    details = usage.get("output_tokens_details") or usage.get("completion_tokens_details")
    if isinstance(details, dict) and details:
        normalized["completion_tokens_details"] = dict(details)
    return normalized


def _output_index(data):
    """The event's output position: an int (not a bool), else None."""
    output_index = data.get("output_index")
    if isinstance(output_index, int) and not isinstance(output_index, bool):
        return output_index
    return None


def _remember_call(fc_records, calls_by_id, calls_by_index, st):
    fc_records.append(st)
    calls_by_id[st["item_id"]] = st
    if st["output_index"] is not None:
        calls_by_index[st["output_index"]] = st


def _same(a, b):
    """Dict-key equality: identity, else ==."""
    return a is b or bool(a == b)


def _find_call(calls_by_id, calls_by_index, item_id, output_index, added=False):
    """The function-call record an event names, by its item id and its
    output position together: one server renames the item on every event
    (only the position holds), another gives every open call position 0
    (only the item id holds). Item added looks no further than the first
    two rules."""
    by_id = calls_by_id.get(item_id)
    at_index = calls_by_index.get(output_index) if output_index is not None else None
    if by_id is not None and (
        output_index is None or (by_id["output_index"] is not None and _same(by_id["output_index"], output_index))
    ):
        return by_id
    if at_index is not None and _same(at_index["item_id"], item_id):
        return at_index
    if added:
        return None
    if by_id is not None:
        return by_id
    return at_index


def stream_raw(url, headers, payload, debug_logger=None):
    """stream_raw(url, headers, payload, debug_logger=None)

    POST a streaming Responses API request and yield deltas.

    Yields dicts with the same keys as routes.chat._call_llm_stream_raw:
      - {'content': str}                     — assistant text delta
      - {'tool_calls': [{index, id, function:{name, arguments}}]}  — tool call delta
      - {'reasoning_content': str}           — reasoning text delta (if model emits)
      - {'_finish_reason': str}              — 'stop' or 'tool_calls' on completion
      - {'_usage': {...}}                    — usage dict (prompt_tokens, completion_tokens, total_tokens)

    The consumer (routes.chat.run_agent_loop_stream) reads these deltas and
    assembles the final assistant message + tool_calls list exactly as it
    does for Chat Completions streams.

    The Responses API SSE format:
      event: <event_type>
      data: {json with 'type' field matching event_type}

    We rely on the `data.type` field for dispatch (the `event:` line is
    redundant — both carry the same type string)."""
    body_bytes = json.dumps(payload, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
    if debug_logger:
        try:
            debug_logger["body"] = body_bytes
            debug_logger["payload"] = payload
            debug_logger["size"] = len(body_bytes)
            debug_logger["url"] = url
            import time

            debug_logger["timestamp"] = time.time()
        except Exception:
            pass
    req = urllib.request.Request(url, body_bytes, headers=headers, method="POST")
    # Function-call records {"index", "name", "call_id", "args_sent",
    # "item_id", "output_index"}, in order of creation ("args_sent" tells
    # whether a delta with non-empty arguments has been yielded for the
    # call; "item_id" and "output_index" are those of the event that made
    # it); the record made last with each item id and at each output index.
    fc_records = []
    calls_by_id = {}
    calls_by_index = {}
    # Whether a text delta has yielded content: a message item that arrives
    # only whole is sent at its done event otherwise.
    text_sent = False
    raw_sse_lines = []
    # Reasoning: whether any reasoning text went out, the (output_index,
    # summary_index) of the last summary delta, and the output indices that
    # streamed summary deltas (their whole summary at item done is not sent
    # again).
    reasoning_sent = False
    summary_key = None
    summary_indices = []
    # The model's own state, handed back with the finish delta: the
    # encrypted reasoning of each reasoning item, and the phase of the last
    # message item that named one.
    reasoning_details = []
    phase = None
    with _urllib_opener_local.open(req, timeout=300) as resp:
        byte_buffer = b""
        current_event = None
        has_read1 = hasattr(resp, "read1")
        while True:
            chunk = resp.read1(4096) if has_read1 else resp.read(4096)
            if not chunk:
                break
            byte_buffer += chunk
            while b"\n" in byte_buffer:
                line_bytes, byte_buffer = byte_buffer.split(b"\n", 1)
                try:
                    line = line_bytes.decode("utf-8").strip()
                except UnicodeDecodeError:
                    continue
                if not line:
                    current_event = None
                    continue
                if line.startswith("event:"):
                    current_event = line[6:].strip()
                    continue
                if not line.startswith("data:"):
                    continue
                data_str = line[5:].lstrip()
                if data_str == "[DONE]":
                    if debug_logger is not None:
                        debug_logger["raw_sse_count"] = len(raw_sse_lines)
                    return
                try:
                    data = json.loads(data_str)
                except (json.JSONDecodeError, ValueError):
                    continue
                raw_sse_lines.append(data_str[:500])
                if len(raw_sse_lines) > 10:
                    raw_sse_lines = raw_sse_lines[-10:]

                # Translate one event into deltas.
                evt_type = data.get("type", "") or current_event or ""
                if evt_type == "response.output_text.delta":
                    delta_text = data.get("delta", "")
                    if delta_text:
                        text_sent = True
                        yield {"content": delta_text}
                elif evt_type == "response.reasoning_text.delta" or evt_type == "response.reasoning.delta":
                    delta_text = data.get("delta", "")
                    if delta_text:
                        reasoning_sent = True
                        yield {"reasoning_content": delta_text}
                elif evt_type == "response.reasoning_summary_text.delta":
                    delta_text = data.get("delta", "")
                    if delta_text:
                        output_index = data.get("output_index")
                        key = (output_index, data.get("summary_index"))
                        # A new summary part is set off from the reasoning
                        # before it by a blank line.
                        if (
                            (summary_key is None or key != summary_key)
                            and reasoning_sent
                            and isinstance(delta_text, str)
                        ):
                            delta_text = "\n\n" + delta_text
                        summary_key = key
                        if output_index not in summary_indices:
                            summary_indices.append(output_index)
                        reasoning_sent = True
                        yield {"reasoning_content": delta_text}
                elif evt_type == "response.output_item.added":
                    item = data.get("item", {}) or {}
                    item_type = item.get("type")
                    if item_type == "message":
                        item_phase = item.get("phase")
                        if isinstance(item_phase, str) and item_phase:
                            phase = item_phase
                    elif item_type == "function_call":
                        item_id = item.get("id", "") or ""
                        if item_id:
                            output_index = _output_index(data)
                            st = _find_call(calls_by_id, calls_by_index, item_id, output_index, added=True)
                        if item_id and st is None:
                            idx = len(fc_records)
                            st = {
                                "index": idx,
                                "name": item.get("name", "") or "",
                                "call_id": item.get("call_id", "") or "",
                                "args_sent": False,
                                "item_id": item_id,
                                "output_index": output_index,
                            }
                            _remember_call(fc_records, calls_by_id, calls_by_index, st)
                            yield {
                                "tool_calls": [
                                    {
                                        "index": idx,
                                        "id": st["call_id"] or item_id,
                                        "function": {"name": st["name"], "arguments": ""},
                                    }
                                ]
                            }
                elif evt_type == "response.function_call_arguments.delta":
                    item_id = data.get("item_id", "") or ""
                    delta_args = data.get("delta", "") or ""
                    if item_id and delta_args:
                        output_index = _output_index(data)
                        st = _find_call(calls_by_id, calls_by_index, item_id, output_index)
                        if st is None:
                            idx = len(fc_records)
                            st = {
                                "index": idx,
                                "name": "",
                                "call_id": "",
                                "args_sent": False,
                                "item_id": item_id,
                                "output_index": output_index,
                            }
                            _remember_call(fc_records, calls_by_id, calls_by_index, st)
                            yield {
                                "tool_calls": [
                                    {
                                        "index": idx,
                                        "id": item_id,
                                        "function": {"name": "", "arguments": ""},
                                    }
                                ]
                            }
                        st["args_sent"] = True
                        yield {
                            "tool_calls": [
                                {
                                    "index": st["index"],
                                    "id": st["call_id"] or item_id,
                                    "function": {"name": "", "arguments": delta_args},
                                }
                            ]
                        }
                elif evt_type == "response.function_call_arguments.done":
                    pass
                elif evt_type == "response.output_item.done":
                    item = data.get("item", {}) or {}
                    item_type = item.get("type")
                    if item_type == "function_call":
                        item_id = item.get("id", "") or ""
                        call_id = item.get("call_id", "") or ""
                        name = item.get("name", "") or ""
                        arguments = item.get("arguments", "") or ""
                        if item_id:
                            output_index = _output_index(data)
                            st = _find_call(calls_by_id, calls_by_index, item_id, output_index)
                            if st is None:
                                idx = len(fc_records)
                                _remember_call(
                                    fc_records,
                                    calls_by_id,
                                    calls_by_index,
                                    {
                                        "index": idx,
                                        "name": name,
                                        "call_id": call_id,
                                        "args_sent": bool(arguments),
                                        "item_id": item_id,
                                        "output_index": output_index,
                                    },
                                )
                                yield {
                                    "tool_calls": [
                                        {
                                            "index": idx,
                                            "id": call_id or item_id,
                                            "function": {"name": name, "arguments": arguments},
                                        }
                                    ]
                                }
                            else:
                                if call_id and not st["call_id"]:
                                    st["call_id"] = call_id
                                if name != st["name"] or (call_id and call_id != st["call_id"]):
                                    if name:
                                        st["name"] = name
                                    yield {
                                        "tool_calls": [
                                            {
                                                "index": st["index"],
                                                "id": call_id or st["call_id"] or item_id,
                                                "function": {"name": name, "arguments": ""},
                                            }
                                        ]
                                    }
                                # Arguments that arrived only whole, never
                                # as fragments, are forwarded here.
                                if not st["args_sent"] and arguments:
                                    st["args_sent"] = True
                                    yield {
                                        "tool_calls": [
                                            {
                                                "index": st["index"],
                                                "id": call_id or st["call_id"] or item_id,
                                                "function": {"name": "", "arguments": arguments},
                                            }
                                        ]
                                    }
                    elif item_type == "reasoning":
                        # A summary sent only whole, never as deltas.
                        if data.get("output_index") not in summary_indices:
                            texts = _texts(item, "summary")
                            if texts:
                                summary_text = "\n\n".join(texts)
                                if reasoning_sent:
                                    summary_text = "\n\n" + summary_text
                                reasoning_sent = True
                                yield {"reasoning_content": summary_text}
                        # Only the done event's encrypted content is whole.
                        detail = _encrypted_detail(item, len(reasoning_details))
                        if detail is not None:
                            reasoning_details.append(detail)
                    elif item_type == "message":
                        # A message sent only whole, with no text deltas.
                        if not text_sent:
                            texts = _texts(item, "content")
                            if texts:
                                yield {"content": "".join(texts)}
                        item_phase = item.get("phase")
                        if isinstance(item_phase, str) and item_phase:
                            phase = item_phase
                elif evt_type == "response.completed":
                    response_obj = data.get("response", {}) or {}
                    usage = response_obj.get("usage", {}) or {}
                    normalized_usage = _usage_of(usage)
                    if debug_logger is not None:
                        debug_logger["usage"] = normalized_usage
                        debug_logger["raw_sse_count"] = len(raw_sse_lines)
                        debug_logger["raw_sse_tail"] = raw_sse_lines[-5:]
                    finish_reason = "tool_calls" if fc_records else "stop"
                    finish = {"_finish_reason": finish_reason, "_usage": normalized_usage}
                    if reasoning_details:
                        finish["_reasoning_details"] = reasoning_details
                    if phase is not None:
                        finish["_phase"] = phase
                    yield finish
                    return
                elif evt_type == "response.failed" or evt_type == "response.incomplete":
                    err = data.get("error", {}) or {}
                    err_msg = err.get("message", "") if isinstance(err, dict) else str(err)
                    detail = err_msg or data.get("incomplete_details", "")
                    if not detail:
                        # Real events carry the failure inside "response".
                        response_obj = data.get("response")
                        if isinstance(response_obj, dict):
                            err = response_obj.get("error", {}) or {}
                            err_msg = err.get("message", "") if isinstance(err, dict) else str(err)
                            detail = err_msg or response_obj.get("incomplete_details", "")
                    # What was billed before the failure is reported.
                    normalized_usage = {"prompt_tokens": 0, "completion_tokens": 0, "total_tokens": 0}
                    response_obj = data.get("response")
                    if isinstance(response_obj, dict):
                        usage = response_obj.get("usage")
                        if isinstance(usage, dict) and usage:
                            normalized_usage = _usage_of(usage)
                    yield {
                        "_finish_reason": "error",
                        "_usage": normalized_usage,
                        "_error": f"Responses API {evt_type}: {detail}",
                    }
                    return
                elif evt_type == "error":
                    detail = data.get("message", "") or ""
                    if not detail:
                        err = data.get("error", {}) or {}
                        err_msg = err.get("message", "") if isinstance(err, dict) else str(err)
                        detail = err_msg or data.get("code", "") or ""
                    yield {
                        "_finish_reason": "error",
                        "_usage": {"prompt_tokens": 0, "completion_tokens": 0, "total_tokens": 0},
                        "_error": f"Responses API error: {detail}",
                    }
                    return
        if debug_logger is not None:
            debug_logger["raw_sse_count"] = len(raw_sse_lines)
        # The body ended with no terminal event: the reply was cut off.
        yield {
            "_finish_reason": "error",
            "_usage": {"prompt_tokens": 0, "completion_tokens": 0, "total_tokens": 0},
            "_error": "Responses API stream ended before a terminal event",
        }
        return


class _PostRedirectHandlerLocal(urllib.request.HTTPRedirectHandler):
    """Preserve POST method + body on 307/308 redirects (default urllib converts to GET)."""

    def redirect_request(self, req, fp, code, msg, headers, newurl):
        """_PostRedirectHandlerLocal.redirect_request(self, req, fp, code, msg, headers, newurl)"""
        # Credentials are never carried to another origin.
        secret = ("authorization", "proxy-authorization", "cookie", "api-key", "x-api-key")

        def origin(u):
            parts = urllib.parse.urlsplit(u)
            scheme = parts.scheme.lower()
            try:
                port = parts.port
            except ValueError:
                return None
            if port is None:
                port = 80 if scheme == "http" else 443 if scheme == "https" else None
            return (scheme, (parts.hostname or "").lower(), port)

        def same_origin():
            a = origin(req.full_url)
            b = origin(newurl)
            return a is not None and a == b

        m = req.get_method()
        if (m == "POST" or m == "PUT") and (code == 307 or code == 308):
            if same_origin():
                new_headers = req.headers
            else:
                new_headers = {k: v for k, v in req.headers.items() if k.lower() not in secret}
            return urllib.request.Request(
                newurl,
                data=req.data,
                headers=new_headers,
                method=m,
                origin_req_host=req.origin_req_host,
                unverifiable=True,
            )
        new = super().redirect_request(req, fp, code, msg, headers, newurl)
        if new is not None and not same_origin():
            for hdrs in (new.headers, new.unredirected_hdrs):
                for k in [k for k in hdrs if k.lower() in secret]:
                    del hdrs[k]
        return new


_urllib_opener_local = urllib.request.build_opener(_PostRedirectHandlerLocal)

__test__ = {}
