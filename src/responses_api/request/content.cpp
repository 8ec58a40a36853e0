// _normalize_content(content, text_type): the content of one chat message
// as the content of a Responses message item.
#include "api.hpp"

namespace rapi {

namespace {

Ref text_part(PyObject *text_type, PyObject *text) {
    return make_dict(S.type, text_type, S.text, text);
}

// The image reference of an element: "image_url" if truthy, else "image" if
// truthy; null when neither is.
Ref image_ref_of(PyObject *part) {
    Ref img = get1(part, S.image_url);
    if (truthy(img)) return img;
    img = get1(part, S.image);
    return truthy(img) ? img : Ref();
}

// The URL of an image reference: a dict holds it under "url", a str is the
// URL itself.
Ref image_url_of(PyObject *img) {
    if (!img) return Ref::borrow(S.empty);  // a new {} would yield "" too
    if (is_dict(img)) {
        Ref url = get1(img, S.url);
        return truthy(url) ? url : Ref::borrow(S.empty);
    }
    if (is_str(img)) return Ref::borrow(img);
    return Ref::borrow(S.empty);
}

// The endpoint requires a detail: the reference's own (Chat form), else the
// element's (Responses form), else "auto". Only a non-empty str counts.
Ref image_detail_of(PyObject *img, PyObject *part) {
    if (img && is_dict(img)) {
        Ref detail = get1(img, S.detail);
        if (is_nonempty_str(detail)) return detail;
    }
    Ref detail = get1(part, S.detail);
    if (is_nonempty_str(detail)) return detail;
    return Ref::borrow(S.auto_detail);
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
                Ref img = image_ref_of(part);
                Ref url = image_url_of(img);
                if (truthy(url)) {
                    Ref detail = image_detail_of(img, part);
                    append(parts, make_dict(S.type, S.input_image, S.image_url, url.get(), S.detail, detail.get()));
                }
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
