// convert_tools(tools): nested Chat Completions tool definitions into the
// flat Responses shape. Pinned down by the twin's `convert_tools` and
// tests/test_tools.py.
#include "request/request.hpp"

namespace rapi {

namespace {

// {"type": "object", "properties": {}}: a new one for every tool that needs it.
Ref default_schema() { return make_dict(S.type, S.object, S.properties, new_dict()); }

// `fn.get("parameters", <a new default schema>)`: the schema is only made
// when it is needed.
Ref parameters_of(Borrowed fn) { return get_lazy(fn, S.parameters, default_schema); }

}  // namespace

PyObject *convert_tools(PyObject *const *args) {
    Borrowed tools = args[0];
    Ref out = new_list();
    if (!truthy(tools)) return out.release();

    for_each(tools, [&](Borrowed t) {
        if (!is_dict(t)) return;
        if (!equals(get1(t, S.type), S.function)) return;
        Ref fn = get_with_new_dict_default(t, S.function);
        if (!truthy(get1(fn, S.name))) return;

        Ref name = Ref::steal(PyObject_GetItem(fn.get(), S.name));
        Ref description = get2(fn, S.description, S.empty);
        Ref parameters = parameters_of(fn);
        append(out, make_dict(S.type, S.function, S.name, name, S.description, description, S.parameters, parameters,
                              S.strict, Py_False));
    });
    return out.release();
}

}  // namespace rapi
