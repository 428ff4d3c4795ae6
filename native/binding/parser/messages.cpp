#include "messages.h"

#include "binding/common/translate.h"
#include "module_parts.h"

namespace tarn::py::parser {
namespace {

struct Message {
  const char* key;
  const char* ru;
  const char* en;
};

constexpr Message kMessages[] = {
#define MESSAGE(N, K, RU, EN) {K, RU, EN},
#include "core/messages.def"
#undef MESSAGE
};
static_assert(std::size(kMessages) == kMessageCount);

}  // namespace

// MESSAGES (key -> {"ru": text, "en": text}), handed to i18n.register.
bool add_messages(State& st, PyObject* module) {
  Ref catalogue = Ref::steal(PyDict_New());
  if (!catalogue) return false;
  for (int i = 0; i < kMessageCount; ++i) {
    const Message& m = kMessages[i];
    st.message_keys[i] = Ref::steal(PyUnicode_InternFromString(m.key));
    if (!st.message_keys[i]) return false;
    Ref texts = Ref::steal(Py_BuildValue("{s:s,s:s}", "ru", m.ru, "en", m.en));
    if (!texts || PyDict_SetItem(catalogue.get(), st.message_keys[i].get(), texts.get()) < 0) return false;
  }
  if (PyModule_AddObjectRef(module, "MESSAGES", catalogue.get()) < 0) return false;
  return static_cast<bool>(Ref::steal(PyObject_CallMethod(st.i18n.get(), "register", "O", catalogue.get())));
}

PyObject* translate(State& st, PyObject* key, PyObject* kw) {
  if (!st.i18n) {
    PyErr_SetString(PyExc_RuntimeError, "tarn.parser has been torn down");
    return nullptr;
  }
  return py::translate(st.i18n.get(), st.s_t.get(), st.s_kw.get(), key, kw);
}

bool message_of_key(const State& st, PyObject* key, parse::Msg* out) {
  for (int i = 0; i < kMessageCount; ++i) {
    const int r = PyUnicode_Compare(key, st.message_keys[i].get());
    if (r == 0) return *out = static_cast<parse::Msg>(i), true;
    if (r == -1 && PyErr_Occurred()) return false;
  }
  return false;
}

}  // namespace tarn::py::parser
