// _PostRedirectHandlerLocal.redirect_request: POST and PUT keep their
// method, body and headers on 307/308; credentials never follow a redirect
// to another origin.
#include "api.hpp"

#include <strings.h>

namespace rapi {

namespace {

PyObject *g_handler_class = nullptr;  // strong, the class cell of the method

// Header names that carry credentials; compared case-insensitively.
constexpr const char *kCredentialHeaders[] = {"authorization", "proxy-authorization", "cookie", "api-key",
                                              "x-api-key"};

bool is_credential_header(PyObject *name) {
    if (!PyUnicode_Check(name)) return false;
    Py_ssize_t n = 0;
    const char *text = PyUnicode_AsUTF8AndSize(name, &n);
    if (!text) {
        PyErr_Clear();  // a name that cannot be encoded is no credential name
        return false;
    }
    for (const char *credential : kCredentialHeaders) {
        if (static_cast<size_t>(n) == std::strlen(credential) && strncasecmp(text, credential, n) == 0)
            return true;
    }
    return false;
}

// (scheme, host, port) of a URL, scheme and host lower-cased, the port
// defaulted by scheme; None when its port is not a valid number (such a URL
// counts as another origin). A URL the parser rejects raises.
Ref origin_of(PyObject *url) {
    Ref parse = Ref::steal(PyImport_ImportModule("urllib.parse"));
    Ref parts = Ref::steal(PyObject_CallMethod(parse, "urlsplit", "O", url));
    Ref scheme = Ref::steal(PyObject_GetAttrString(parts, "scheme"));
    scheme = Ref::steal(PyObject_CallMethod(scheme, "lower", nullptr));
    Ref port = Ref::steal_or_null(PyObject_GetAttrString(parts, "port"));
    if (!port) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) raise();
        PyErr_Clear();
        return Ref::borrow(Py_None);
    }
    if (port.get() == Py_None) {
        if (equals(scheme, S.scheme_http)) port = Ref::steal(PyLong_FromLong(80));
        else if (equals(scheme, S.scheme_https)) port = Ref::steal(PyLong_FromLong(443));
    }
    Ref host = Ref::steal(PyObject_GetAttrString(parts, "hostname"));
    if (!truthy(host)) host = Ref::borrow(S.empty);
    host = Ref::steal(PyObject_CallMethod(host, "lower", nullptr));
    return Ref::steal(PyTuple_Pack(3, scheme.get(), host.get(), port.get()));
}

bool same_origin(PyObject *req, PyObject *newurl) {
    Ref full_url = Ref::steal(PyObject_GetAttr(req, S.full_url));
    Ref a = origin_of(full_url);
    Ref b = origin_of(newurl);
    if (a.get() == Py_None || b.get() == Py_None) return false;
    return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

// A new dict holding the entries of `headers` that carry no credentials.
Ref without_credentials(PyObject *headers) {
    Ref out = new_dict();
    Ref items = Ref::steal(PyMapping_Items(headers));
    for_each(items, [&](PyObject *pair) {
        PyObject *key = PyTuple_GET_ITEM(pair, 0);
        if (!is_credential_header(key)) set_item(out, key, PyTuple_GET_ITEM(pair, 1));
    });
    return out;
}

void strip_credentials(PyObject *request) {
    for (PyObject *attr : {S.headers, S.unredirected_hdrs}) {
        PyObject *value = nullptr;
        check(PyObject_GetOptionalAttr(request, attr, &value));
        Ref held = Ref::steal_or_null(value);
        if (held && PyDict_Check(held)) check(PyObject_SetAttr(request, attr, without_credentials(held)));
    }
}

}  // namespace

void set_handler_class(PyObject *cls) {
    Py_XINCREF(cls);
    Py_XSETREF(g_handler_class, cls);
}

PyObject *redirect_request(PyObject *const *args) {
    PyObject *self = args[0], *req = args[1], *fp = args[2], *code = args[3], *msg = args[4],
             *headers = args[5], *newurl = args[6];

    Ref m = call_method(req, S.get_method);
    if ((equals(m, S.POST) || equals(m, S.PUT)) && (equals(code, C.code_307) || equals(code, C.code_308))) {
        Ref req_headers = same_origin(req, newurl) ? Ref::steal(PyObject_GetAttr(req, S.headers))
                                                   : without_credentials(Ref::steal(PyObject_GetAttr(req, S.headers)));
        Ref request_class = urllib_request(S.Request);
        Ref data = Ref::steal(PyObject_GetAttr(req, S.data));
        Ref origin_req_host = Ref::steal(PyObject_GetAttr(req, S.origin_req_host));
        PyObject *stack[] = {newurl, data.get(), req_headers.get(), m.get(), origin_req_host.get(), Py_True};
        return Ref::steal(PyObject_Vectorcall(request_class, stack, 1, C.kw_redirect)).release();
    }

    // super().redirect_request(req, fp, code, msg, headers, newurl)
    Ref super_type = builtin(S.super_name);
    Ref parent = call(super_type, g_handler_class, self);
    Ref result = call_method(parent, S.redirect_request, req, fp, code, msg, headers, newurl);
    if (result.get() != Py_None && !same_origin(req, newurl)) strip_credentials(result);
    return result.release();
}

}  // namespace rapi
