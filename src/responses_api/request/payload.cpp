// build_payload(...): the complete body of one Responses request. Pinned
// down by the twin's `build_payload` and tests/test_payload.py.
#include "request/request.hpp"

#include "callables.hpp"

namespace rapi {

namespace {

// `instructions, input_items = result`, with the unpacking errors of a
// two-name target.
void unpack_two(Borrowed result, Ref &first, Ref &second) {
    auto need_more = [](Py_ssize_t got) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
        raise();
    };
    auto too_many = [] {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
        raise();
    };
    PyObject *seq = result.get();
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
        if (n > 2) too_many();
        if (n < 2) need_more(n);
        first = Ref::retain(PySequence_Fast_GET_ITEM(seq, 0));
        second = Ref::retain(PySequence_Fast_GET_ITEM(seq, 1));
        return;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    Ref *targets[] = {&first, &second};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        *targets[i] = Ref::steal_or_null(PyIter_Next(it.get()));
        if (!*targets[i]) {
            if (PyErr_Occurred()) raise();
            need_more(i);
        }
    }
    if (Ref::steal_or_null(PyIter_Next(it.get()))) too_many();
    if (PyErr_Occurred()) raise();
}

// A forced function choice in the nested Chat Completions form
// {"type": "function", "function": {"name": N}} is sent flat, as the
// Responses endpoint requires: {"type": "function", "name": N}. Anything
// else is sent as given.
Ref responses_tool_choice(Borrowed tool_choice) {
    if (is_dict(tool_choice) && equals(get1(tool_choice, S.type), S.function) && !contains(tool_choice, S.name)) {
        Ref fn = get1(tool_choice, S.function);
        if (is_dict(fn)) {
            Ref name = get1(fn, S.name);
            if (truthy(name)) return make_dict(S.type, S.function, S.name, name);
        }
    }
    return tool_choice.retain();
}

}  // namespace

PyObject *build_payload(PyObject *const *args) {
    Borrowed api_messages = args[0];
    Borrowed llm_config = args[1];
    Borrowed tools = args[2];
    Borrowed tool_choice = args[3];
    Borrowed stream = args[4];
    Ref max_tokens = Ref::retain(args[5]);
    Ref temperature = Ref::retain(args[6]);
    Borrowed skip_tool_choice = args[7];

    Ref model = get2(llm_config, S.model, S.gpt_4o);
    Ref reasoning_effort = get2(llm_config, S.reasoning_effort, Py_None);
    Ref reasoning_summary = get2(llm_config, S.reasoning_summary, Py_None);
    Ref store = get2(llm_config, S.store, Py_None);
    const bool effort_on = !is_none(reasoning_effort) && differs(reasoning_effort, S.none_effort);
    if (is_none(temperature)) {
        // Reasoning models refuse a temperature unless reasoning is off: no
        // default is sent to them.
        temperature = get2(llm_config, S.temperature, effort_on ? Py_None : C.temperature);
    }
    if (is_none(max_tokens)) max_tokens = get2(llm_config, S.max_tokens, C.max_tokens);

    Ref converted = call(global(name_of(Entry::ConvertMessages)), api_messages);
    Ref instructions, input_items;
    unpack_two(converted, instructions, input_items);

    Ref payload = make_dict(S.model, model, S.input, input_items, S.max_output_tokens, max_tokens);
    if (truthy(instructions)) set_item(payload, S.instructions, instructions);
    if (!is_none(temperature)) set_item(payload, S.temperature, temperature);
    if (!is_none(reasoning_effort) || !is_none(reasoning_summary)) {
        Ref reasoning = new_dict();
        if (!is_none(reasoning_effort)) set_item(reasoning, S.effort, reasoning_effort);
        if (!is_none(reasoning_summary)) set_item(reasoning, S.summary, reasoning_summary);
        set_item(payload, S.reasoning, reasoning);
    }
    // The reasoning comes back encrypted, to be sent with the next turn: the
    // one way to carry it when nothing is stored.
    if (effort_on) {
        Ref include = new_list();
        append(include, S.include_encrypted);
        set_item(payload, S.include, include);
    }
    if (!is_none(store)) set_item(payload, S.store, store);
    // Only `stream` itself: the endpoint rejects `stream_options.include_usage`,
    // and usage arrives with the completion event anyway.
    if (truthy(stream)) set_item(payload, S.stream, Py_True);
    if (truthy(tools)) set_item(payload, S.tools, call(global(name_of(Entry::ConvertTools)), tools));
    if (!truthy(skip_tool_choice) && !is_none(tool_choice))
        set_item(payload, S.tool_choice, responses_tool_choice(tool_choice));
    return payload.release();
}

}  // namespace rapi
