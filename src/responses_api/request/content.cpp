// _normalize_content(content, text_type): the content of one chat message
// as the content of a Responses message item. Pinned down by the twin's
// `_normalize_content` and tests/test_content.py.
#include "request/request.hpp"

#include "shapes.hpp"

namespace rapi {

namespace {

Ref text_part(Borrowed text_type, Borrowed text) { return make_dict(S.type, text_type, S.text, text); }

// The image reference of an element: "image_url" if truthy, else "image" if
// truthy; an empty Ref when neither is.
Ref image_ref_of(Borrowed part) {
    Ref img = get1(part, S.image_url);
    if (truthy(img)) return img;
    img = get1(part, S.image);
    return truthy(img) ? img : Ref();
}

// The URL of an image reference: a dict holds it under "url", a str is the
// URL itself; "" otherwise (a missing reference reads as a new {}).
Ref image_url_of(const Ref &img) {
    if (img && is_dict(img)) {
        Ref url = get1(img, S.url);
        return truthy(url) ? url : Ref::retain(S.empty);
    }
    if (img && is_str(img)) return img;
    return Ref::retain(S.empty);
}

// The endpoint requires a detail: the reference's own (Chat form), else the
// element's (Responses form), else "auto". Only a non-empty str counts.
Ref image_detail_of(const Ref &img, Borrowed part) {
    if (img && is_dict(img)) {
        Ref detail = get1(img, S.detail);
        if (is_nonempty_str(detail)) return detail;
    }
    Ref detail = get1(part, S.detail);
    if (is_nonempty_str(detail)) return detail;
    return Ref::retain(S.auto_detail);
}

}  // namespace

PyObject *normalize_content(PyObject *const *args) {
    Borrowed content = args[0];
    Borrowed text_type = args[1];

    if (is_str(content)) return content.retain().release();

    if (is_list(content)) {
        Ref parts = new_list();
        for_each(content, [&](Borrowed part) {
            if (is_str(part)) {
                append(parts, text_part(text_type, part));
                return;
            }
            if (!is_dict(part)) return;
            Ref type = get1(part, S.type);
            if (equals(type, S.text)) {
                append(parts, text_part(text_type, get2(part, S.text, S.empty)));
            } else if (equals(type, S.image_url) || equals(type, S.input_image) || equals(type, S.output_image)) {
                Ref img = image_ref_of(part);
                Ref url = image_url_of(img);
                if (truthy(url))
                    append(parts,
                           make_dict(S.type, S.input_image, S.image_url, url, S.detail, image_detail_of(img, part)));
            } else if (Ref text = part_text(part)) {
                append(parts, text_part(text_type, text));
            }
        });
        return parts.release();
    }

    if (truthy(content)) return Ref::steal(PyObject_Str(content.get())).release();
    return Ref::retain(S.empty).release();
}

}  // namespace rapi
