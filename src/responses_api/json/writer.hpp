// The writer of json.dumps text, for dumps_text (json.hpp), which calls it
// once the identity checks have shown the standard encoder in place.
#pragma once

#include "refs.hpp"

namespace rapi {

// The text json.dumps(obj, ensure_ascii=False) gives with the standard
// encoder, written directly when obj is made of exact dicts (str keys),
// lists, tuples, str, int, float, bool and None nested not too deep; an
// empty Ref when it is not, or when writing it failed with an Exception
// (the real call then reports it itself).
Ref write_json(Borrowed obj);

}  // namespace rapi
