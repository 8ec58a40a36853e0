// _normalize_content(content, text_type): the content of one chat message
// as the content of a Responses message item.
#include "api.hpp"

namespace rapi {

namespace {

Ref text_part(PyObject *text_type, PyObject *text) {
    return make_dict(S.type, text_type, S.text, text);
}

// The URL of an image element: "image_url" if truthy, else "image" if
// truthy; a dict there holds the URL under "url", a str is the URL itself.
Ref image_url_of(PyObject *part) {
    Ref img = get1(part, S.image_url);
    if (!truthy(img)) {
        img = get1(part, S.image);
        if (!truthy(img)) return Ref::borrow(S.empty);  // a new {} would yield "" too
    }
    if (is_dict(img)) {
        Ref url = get1(img, S.url);
        return truthy(url) ? url : Ref::borrow(S.empty);
    }
    if (is_str(img)) return img;
    return Ref::borrow(S.empty);
}

}  // namespace

PyObject *normalize_content(PyObject *const *args) {
    PyObject *content = args[0];
    PyObject *text_type = args[1];

    if (is_str(content)) return Py_NewRef(content);

    if (is_list(content)) {
        Ref parts = new_list();
        for_each(content, [&](PyObject *part) {
            if (is_str(part)) {
                append(parts, text_part(text_type, part));
                return;
            }
            if (!is_dict(part)) return;
            Ref type = get1(part, S.type);
            if (equals(type, S.text)) {
                append(parts, text_part(text_type, get2(part, S.text, S.empty)));
            } else if (equals(type, S.image_url) || equals(type, S.input_image) ||
                       equals(type, S.output_image)) {
                Ref url = image_url_of(part);
                if (truthy(url)) append(parts, make_dict(S.type, S.input_image, S.image_url, url.get()));
            } else {
                Ref text = get1(part, S.text);
                if (!truthy(text)) {
                    text = get1(part, S.output_text);
                    if (!truthy(text)) return;
                }
                append(parts, text_part(text_type, text));
            }
        });
        return parts.release();
    }

    if (truthy(content)) return Ref::steal(PyObject_Str(content)).release();
    return Py_NewRef(S.empty);
}

}  // namespace rapi
