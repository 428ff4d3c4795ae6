// The native keyword map and operator matcher, derived from the host's
// memoised tables and kept while those tables give the same objects: after a
// cache_clear() (and perhaps a substituted tarn.dataset.load_json), or when a
// host has replaced a table function in the module, the next call derives
// them again.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "ref.h"
#include "core/language.h"

namespace tarn::py {

// The result of calling the lexer module's table function `name`, looked up
// at each call as module-level code would find it (a host's replacement is
// followed). New reference; nullptr with the error set.
PyObject* call_table(PyObject* lexer_module, const char* name);

// One derivation: the native tables and the canonical-name object of each id.
class LanguageDefinition {
 public:
  const Language& language() const { return lang_; }
  // Code points in the longest operator.
  int64_t longest_operator() const { return longest_operator_; }
  int32_t canonical_count() const { return static_cast<int32_t>(canonical_.size()); }
  // The canonical-name object of `id` as the form map holds it (borrowed).
  PyObject* canonical_object(int32_t id) const { return canonical_[id].get(); }
  // The same, checked: a name that is not a str fails with the type error for
  // "str or None" (borrowed result; nullptr with the error set).
  PyObject* canonical(int32_t id) const;

 private:
  friend class LanguageCache;
  Language lang_;
  int64_t longest_operator_ = 0;
  std::vector<Ref> canonical_;
};

class LanguageCache {
 public:
  // `lexer_module` (borrowed: the cache lives in its state) is where
  // _keyword_forms, _operators and _operator_re are looked up at each call,
  // as module-level code would find them.
  explicit LanguageCache(PyObject* lexer_module) : module_(lexer_module) {}

  // Obtains the tables the way tokenize does (the operator pattern, then the
  // form map, which must be a dict) and returns the definition derived from
  // them; nullptr with the host's error set on failure.
  std::shared_ptr<const LanguageDefinition> current();

  int traverse(visitproc visit, void* arg);
  void clear();

 private:
  bool same_tables(PyObject* forms, PyObject* pattern) const;
  bool derive(PyObject* forms, PyObject* pattern);

  PyObject* module_;
  // What the current definition was derived from, held so the identities
  // stay meaningful.
  Ref forms_, pattern_;
  uint64_t forms_version_ = 0;
  std::shared_ptr<const LanguageDefinition> definition_;
};

}  // namespace tarn::py
