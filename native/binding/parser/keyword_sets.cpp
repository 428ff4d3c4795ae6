// The grammar's keyword sets (sets of canonical names) and operator tuples,
// from the same tables the native rules read.
#include "core/parse/keyword_sets.h"

#include "module_parts.h"

namespace tarn::py::parser {

bool add_keyword_sets(State& st, PyObject* module) {
  for (const parse::KeywordSet& set : parse::kKeywordSets) {
    Ref names = Ref::steal(PySet_New(nullptr));
    if (!names) return false;
    for (size_t i = 0; i < set.size; ++i) {
      Ref name = Ref::steal(PyUnicode_InternFromString(parse::keyword_name(set.items[i])));
      if (!name || PySet_Add(names.get(), name.get()) < 0) return false;
    }
    if (PyModule_AddObjectRef(module, set.host_name, names.get()) < 0) return false;
    // at_name reads frozen copies: a host that changes the module's sets
    // changes no rule, native or not.
    Ref frozen = Ref::steal(PyFrozenSet_New(names.get()));
    if (!frozen) return false;
    if (set.items == parse::kNameKeywords.items) st.name_keywords = frozen;
    if (set.items == parse::kCapitalisedNameKeywords.items) st.capitalised_name_keywords = frozen;
  }
  for (const parse::OperatorTuple& ops : parse::kOperatorTuples) {
    Ref texts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(ops.size)));
    if (!texts) return false;
    for (size_t i = 0; i < ops.size; ++i) {
      PyObject* text = PyUnicode_InternFromString(parse::operator_text(ops.items[i]));
      if (!text) return false;
      PyTuple_SET_ITEM(texts.get(), static_cast<Py_ssize_t>(i), text);
    }
    if (PyModule_AddObjectRef(module, ops.host_name, texts.get()) < 0) return false;
  }
  return true;
}

}  // namespace tarn::py::parser
