// _PostRedirectHandlerLocal.redirect_request: POST and PUT keep their
// method, body and headers on 307/308; credentials never follow a redirect
// to another origin. Pinned down by the twin's `_PostRedirectHandlerLocal`
// and tests/streaming/test_http.py.
#include "streaming/redirect.hpp"

#include <strings.h>
#include <cstring>

namespace rapi {

namespace {

// Header names that carry credentials; compared case-insensitively.
constexpr const char *kCredentialHeaders[] = {"authorization", "proxy-authorization", "cookie", "api-key", "x-api-key"};

bool is_credential_header(Borrowed name) {
    if (!is_str(name)) return false;
    Py_ssize_t n = 0;
    const char *text = PyUnicode_AsUTF8AndSize(name.get(), &n);
    if (!text) {
        // a name that cannot be encoded (a lone surrogate) is no credential name
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) raise();
        PyErr_Clear();
        return false;
    }
    for (const char *credential : kCredentialHeaders) {
        if (static_cast<size_t>(n) == std::strlen(credential) && strncasecmp(text, credential, n) == 0) return true;
    }
    return false;
}

// (scheme, host, port) of a URL, scheme and host lower-cased, the port
// defaulted by scheme; None when its port is not a valid number (such a URL
// counts as another origin). A URL the parser rejects raises.
Ref origin_of(Borrowed url) {
    Ref parts = call_method(attr(global(S.urllib), S.parse), S.urlsplit, url);  // urllib.parse.urlsplit(url)
    Ref scheme = call_method(attr(parts, S.scheme), S.lower);
    Ref port = Ref::steal_or_null(PyObject_GetAttr(parts.get(), S.port));
    if (!port) {
        // `.port` raises ValueError for a port that is not a number in range
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) raise();
        PyErr_Clear();
        return Ref::retain(Py_None);
    }
    if (is_none(port)) {
        if (equals(scheme, S.scheme_http)) port = new_int(80);
        else if (equals(scheme, S.scheme_https)) port = new_int(443);
    }
    Ref host = attr(parts, S.hostname);
    if (!truthy(host)) host = Ref::retain(S.empty);
    return make_tuple(scheme, call_method(host, S.lower), port);
}

bool same_origin(Borrowed req, Borrowed newurl) {
    Ref a = origin_of(attr(req, S.full_url));
    Ref b = origin_of(newurl);
    if (is_none(a) || is_none(b)) return false;
    return check(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ)) != 0;
}

// A new dict holding the entries of `headers` that carry no credentials.
Ref without_credentials(Borrowed headers) {
    Ref out = new_dict();
    for_each(Ref::steal(PyMapping_Items(headers.get())), [&](Borrowed pair) {
        Borrowed key = PyTuple_GET_ITEM(pair.get(), 0);  // lent by the pair
        if (!is_credential_header(key)) set_item(out, key, PyTuple_GET_ITEM(pair.get(), 1));
    });
    return out;
}

void strip_credentials(Borrowed request) {
    for (PyObject *name : {S.headers, S.unredirected_hdrs}) {
        PyObject *value = nullptr;
        check(PyObject_GetOptionalAttr(request.get(), name, &value));
        Ref held = Ref::steal_or_null(value);
        if (held && is_dict(held)) check(PyObject_SetAttr(request.get(), name, without_credentials(held).get()));
    }
}

}  // namespace

PyObject *redirect_request(PyObject *const *args) {
    Borrowed self = args[0], req = args[1], fp = args[2], code = args[3], msg = args[4], headers = args[5],
             newurl = args[6];

    Ref m = call_method(req, S.get_method);
    if ((equals(m, S.POST) || equals(m, S.PUT)) && (equals(code, C.code_307) || equals(code, C.code_308))) {
        Ref req_headers = same_origin(req, newurl) ? attr(req, S.headers) : without_credentials(attr(req, S.headers));
        // Read in the order the call's arguments are written: each read may run code.
        Ref request_class = urllib_request(S.Request);
        Ref data = attr(req, S.data);
        Ref origin_req_host = attr(req, S.origin_req_host);
        return call_kw(request_class, 1, C.kw_redirect, newurl, data, req_headers, m, origin_req_host, Py_True)
            .release();
    }

    // super().redirect_request(req, fp, code, msg, headers, newurl)
    Ref parent = call(global(S.super_name), state.handler_class, self);
    Ref result = call_method(parent, S.redirect_request, req, fp, code, msg, headers, newurl);
    if (!is_none(result) && !same_origin(req, newurl)) strip_credentials(result);
    return result.release();
}

}  // namespace rapi
