// Initialisation of tarn.lexer: the module object, its state and its names.
#include <cstring>
#include <new>
#include <vector>

#include "core/lexer.h"

#include "lexer_module.h"

namespace tarn::py::lexer {
namespace {

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
  return type && PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

// Positional patterns (`case Token(kind, value)`) follow the field order.
bool add_match_args(PyTypeObject* type) {
  Ref names = Ref::steal(PyTuple_New(kTokenFields));
  if (!names) return false;
  for (int f = 0; f < kTokenFields; ++f) {
    PyObject* name = PyUnicode_InternFromString(kTokenFieldNames[f]);
    if (!name) return false;
    PyTuple_SET_ITEM(names.get(), f, name);
  }
  if (PyDict_SetItemString(type->tp_dict, "__match_args__", names.get()) < 0) return false;
  PyType_Modified(type);
  return true;
}

// The tokenizer's digits and upper-case letters are the host's str.isdigit
// and str.isupper, whose Unicode database grows from version to version.
// Asking about every code point costs milliseconds, so only a host whose
// database is not the one of the built-in tables is asked.
bool install_host_classes(LexerState& st) {
  Ref unicodedata = Ref::steal(PyImport_ImportModule("unicodedata"));
  Ref version = unicodedata ? Ref::steal(PyObject_GetAttrString(unicodedata.get(), "unidata_version")) : Ref();
  if (!version) return false;
  const char* text = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
  if (!text) PyErr_Clear();
  if (text && std::strcmp(text, tarn::builtin_unicode_version()) == 0) return true;
  std::vector<tarn::CodeRange> digits, upper;
  auto add = [](std::vector<tarn::CodeRange>& into, char32_t c) {
    if (!into.empty() && into.back().hi + 1 == c) into.back().hi = c;
    else into.push_back({c, c});
  };
  for (char32_t c = 0; c < 0x110000; ++c) {
    if (Py_UNICODE_ISDIGIT(static_cast<Py_UCS4>(c))) add(digits, c);
    if (Py_UNICODE_ISUPPER(static_cast<Py_UCS4>(c))) add(upper, c);
  }
  st.host_classes = true;
  st.host_digits = digits;
  st.host_upper = upper;
  tarn::set_host_classes(std::move(digits), std::move(upper));
  return true;
}

bool fill_module(PyObject* module, LexerState& st) {
  if (!install_host_classes(st)) return false;
  if (PyModule_AddStringConstant(module, "__package__", "tarn") < 0) return false;
  Ref dataset = Ref::steal(PyImport_ImportModule("tarn.dataset"));
  if (!dataset || PyModule_AddObjectRef(module, "dataset", dataset.get()) < 0) return false;
  if (!(st.re = PyImport_ImportModule("re"))) return false;
  if (!add_language_tables(module, &st)) return false;
  st.language = new (std::nothrow) LanguageCache(module);
  if (!st.language) return PyErr_NoMemory(), false;
  PyTypeObject* token_type = make_token_type(module);
  if (!token_type) return false;
  const bool token_ok =
      add_match_args(token_type) && st.tokens.init(token_type) && add_type(module, "Token", token_type);
  Py_DECREF(token_type);
  if (!token_ok) return false;
  st.linemap_type = make_linemap_type(module);
  return add_type(module, "_LineMap", st.linemap_type);
}

}  // namespace

PyModuleDef module_def = module_definition<LexerState>("tarn.lexer", module_functions);

LexerState* state_of_module(PyObject* module) {
  LexerState* st = ModuleState<LexerState>::of(module);
  if (!st || !st->tokens.type) {
    PyErr_SetString(PyExc_RuntimeError, "tarn.lexer has been torn down");
    return nullptr;
  }
  return st;
}

LexerState* state_of_type(PyTypeObject* type) {
  PyObject* module = PyType_GetModuleByDef(type, &module_def);
  return module ? state_of_module(module) : nullptr;
}

}  // namespace tarn::py::lexer

namespace tarn::py {

int LexerState::traverse(visitproc visit, void* arg) {
  if (int r = tokens.traverse(visit, arg)) return r;
  Py_VISIT(linemap_type);
  Py_VISIT(re);
  return language ? language->traverse(visit, arg) : 0;
}

void LexerState::clear() {
  tokens.clear();
  Py_CLEAR(linemap_type);
  Py_CLEAR(re);
  if (language) language->clear();
}

}  // namespace tarn::py

PyMODINIT_FUNC PyInit_lexer() {
  return tarn::py::init_module(tarn::py::lexer::module_def, tarn::py::lexer::fill_module);
}
