// The state of the tarn.lexer module. The parser module reaches it through
// the lexer module object, so both use one Token class, one set of kind
// strings and one language cache.
#pragma once
#include <cstring>
#include <vector>

#include "core/lexer.h"

#include "language_cache.h"
#include "module.h"
#include "token_object.h"

namespace tarn::py {

struct LexerState {
  TokenClass tokens;
  PyTypeObject* linemap_type = nullptr;
  PyObject* re = nullptr;  // the host's regular-expression module
  LanguageCache* language = nullptr;
  // The host's digits and upper-case letters when its Unicode database is not
  // the one of the built-in tables (host_classes); see share_host_classes.
  bool host_classes = false;
  std::vector<CodeRange> host_digits, host_upper;

  int traverse(visitproc visit, void* arg);
  void clear();
  ~LexerState() { delete language; }
};

// The state of the module object `lexer` (as found in sys.modules under
// "tarn.lexer"); nullptr with TypeError when it is some other module.
inline LexerState* lexer_state(PyObject* lexer) {
  PyModuleDef* def = PyModule_Check(lexer) ? PyModule_GetDef(lexer) : nullptr;
  LexerState* st = nullptr;
  if (def && std::strcmp(def->m_name, "tarn.lexer") == 0 && def->m_size == sizeof(LexerState*))
    st = ModuleState<LexerState>::of(lexer);
  if (!st) PyErr_SetString(PyExc_TypeError, "not the native tarn.lexer module");
  return st;
}

// Every extension module links its own copy of the core, and with it its own
// character classes: a module that lexes (parse_text, the checker, the
// formatter) takes the host's from tarn.lexer, so that it reads digits and
// capitals exactly as tokenize does.
inline void share_host_classes(const LexerState& st) {
  if (st.host_classes) set_host_classes(st.host_digits, st.host_upper);
}

}  // namespace tarn::py
