// The message catalogue and the one way diagnostics get their texts.
#pragma once
#include "state.h"

namespace tarn::py::parser {

// i18n.t(key), or i18n.t(key, kw=kw) when kw is given, looked up on the
// module at every call; the result must be a str. New reference.
PyObject* translate(State& st, PyObject* key, PyObject* kw = nullptr);
inline PyObject* translate(State& st, parse::Msg m, PyObject* kw = nullptr) {
  return translate(st, st.message_keys[static_cast<int>(m)].get(), kw);
}

// The catalogue message whose key is `key`; false when there is none.
bool message_of_key(const State& st, PyObject* key, parse::Msg* out);

}  // namespace tarn::py::parser
