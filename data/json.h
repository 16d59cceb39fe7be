// KaJson, the editable JSON document with a cursor. RapidJSON stays inside
// data/json.cpp: this header is all the composition root sees.
#ifndef KA_DATA_JSON_H
#define KA_DATA_JSON_H

#include "ka/data.h"

namespace ka {

// Root slot 24: a new, reset document with one reference in *out; false for
// a null out (or no memory), leaving *out untouched.
bool CreateJson(KaJson** out);

}  // namespace ka

#endif
