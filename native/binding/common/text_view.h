// The host string's own storage seen as a tarn::Text: no copy, no re-encoding.
#pragma once
#include "ref.h"
#include "core/text.h"

namespace tarn::py {

// `s` must be a str (subclasses included) that is ready (PyUnicode_READY).
inline Text text_view(PyObject* s) {
  return Text{PyUnicode_DATA(s), static_cast<int64_t>(PyUnicode_GET_LENGTH(s)),
              static_cast<uint8_t>(PyUnicode_KIND(s))};
}

}  // namespace tarn::py
