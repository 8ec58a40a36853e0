// Documentation strings of the module and its callables, word for word;
// compared with the twin's in tests/test_surface.py.
#pragma once

namespace rapi::docs {

inline constexpr const char *module_doc = R"DOC(OpenAI Responses API support for Quillbox.

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
      'content', 'tool_calls', 'reasoning_content', '_finish_reason', '_usage').)DOC";

inline constexpr const char *convert_messages_doc = R"DOC(convert_messages(api_messages)

Convert quillbox's Chat Completions messages list to Responses API input.

Returns (instructions, input_items) where:
  - instructions: str or None — the concatenated system prompt(s)
  - input_items: list of items for the Responses API `input` field)DOC";

inline constexpr const char *normalize_content_doc = R"DOC(_normalize_content(content, text_type)

Ensure content is in the format the Responses API expects.

- Plain string content is kept as a string (Responses API accepts both
  string and array-of-parts for content).
- List content (multimodal) is converted to Responses API content parts:
  input_text / output_text for text, input_image for images.)DOC";

inline constexpr const char *convert_tools_doc = R"DOC(convert_tools(tools)

Convert Chat Completions tool defs to Responses API flat shape.

Chat Completions:
    {'type':'function', 'function':{'name':..., 'description':..., 'parameters':...}}

Responses API:
    {'type':'function', 'name':..., 'description':..., 'parameters':..., 'strict': False})DOC";

inline constexpr const char *build_payload_doc =
    R"DOC(build_payload(api_messages, llm_config, tools=None, tool_choice=None, stream=False, max_tokens=None, temperature=None, skip_tool_choice=False)

Build a Responses API request payload.

Returns a dict ready to be JSON-encoded as the request body.)DOC";

inline constexpr const char *normalize_response_doc = R"DOC(normalize_response(resp)

Convert a non-streaming Responses API response to Chat Completions shape.

Input (Responses API):
    {id, object:'response', model, output:[...], usage:{input_tokens, output_tokens, total_tokens}}

Output (Chat Completions shape):
    {model, choices:[{index:0, message:{role:'assistant', content:str, tool_calls:[...]}, finish_reason:'stop'}],
     usage:{prompt_tokens, completion_tokens, total_tokens}})DOC";

inline constexpr const char *stream_raw_doc = R"DOC(stream_raw(url, headers, payload, debug_logger=None)

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
redundant — both carry the same type string).)DOC";

inline constexpr const char *redirect_request_doc =
    "_PostRedirectHandlerLocal.redirect_request(self, req, fp, code, msg, headers, newurl)";

inline constexpr const char *handler_class_doc =
    "Preserve POST method + body on 307/308 redirects (default urllib converts to GET).";

}  // namespace rapi::docs
