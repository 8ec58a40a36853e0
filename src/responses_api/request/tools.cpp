// convert_tools(tools): nested Chat Completions tool definitions into the
// flat Responses shape.
#include "api.hpp"

namespace rapi {

namespace {

// {"type": "object", "properties": {}}: a new one for every tool that needs it.
Ref default_schema() {
    Ref properties = new_dict();
    return make_dict(S.type, S.object, S.properties, properties.get());
}

Ref parameters_of(PyObject *fn) {
    if (PyDict_CheckExact(fn)) {
        PyObject *found = nullptr;
        check(PyDict_GetItemRef(fn, S.parameters, &found));
        return found ? Ref::steal_or_null(found) : default_schema();
    }
    Ref schema = default_schema();
    return get2(fn, S.parameters, schema);
}

}  // namespace

PyObject *convert_tools(PyObject *const *args) {
    PyObject *tools = args[0];
    Ref out = new_list();
    if (!truthy(tools)) return out.release();

    for_each(tools, [&](PyObject *t) {
        if (!is_dict(t)) return;
        if (!equals(get1(t, S.type), S.function)) return;
        Ref fn = get_with_new_dict_default(t, S.function);
        if (!truthy(get1(fn, S.name))) return;

        Ref name = Ref::steal(PyObject_GetItem(fn, S.name));
        Ref description = get2(fn, S.description, S.empty);
        Ref parameters = parameters_of(fn);
        append(out, make_dict(S.type, S.function, S.name, name.get(), S.description, description.get(),
                              S.parameters, parameters.get(), S.strict, Py_False));
    });
    return out.release();
}

}  // namespace rapi
