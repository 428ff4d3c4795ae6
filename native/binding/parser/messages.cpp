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

// Messages [from, to) as a catalogue: key -> {"ru": text, "en": text}.
PyObject* catalogue_of(State& st, int from, int to) {
  Ref catalogue = Ref::steal(PyDict_New());
  if (!catalogue) return nullptr;
  for (int i = from; i < to; ++i) {
    const Message& m = kMessages[i];
    st.message_keys[i] = Ref::steal(PyUnicode_InternFromString(m.key));
    if (!st.message_keys[i]) return nullptr;
    Ref texts = Ref::steal(Py_BuildValue("{s:s,s:s}", "ru", m.ru, "en", m.en));
    if (!texts || PyDict_SetItem(catalogue.get(), st.message_keys[i].get(), texts.get()) < 0) return nullptr;
  }
  return catalogue.release();
}

}  // namespace

bool add_messages(State& st, PyObject* module) {
  Ref catalogue = Ref::steal(catalogue_of(st, 0, kCatalogueCount));
  Ref own = Ref::steal(catalogue_of(st, kCatalogueCount, kMessageCount));
  if (!catalogue || !own) return false;
  if (PyModule_AddObjectRef(module, "MESSAGES", catalogue.get()) < 0) return false;
  Ref done = Ref::steal(PyObject_CallMethod(st.i18n.get(), "register", "O", catalogue.get()));
  if (!done) return false;
  // A translation service without the hook (a host's own) renders those
  // keys as it renders any key it does not know.
  Ref add_own = Ref::steal(PyObject_GetAttrString(st.i18n.get(), "_register_own"));
  if (!add_own) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  return static_cast<bool>(Ref::steal(PyObject_CallOneArg(add_own.get(), own.get())));
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
