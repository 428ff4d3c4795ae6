// What tarn.parser keeps for its life: the record classes, the services it
// calls and the lexer objects it reads tokens with.
#pragma once
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "binding/common/lexer_state.h"
#include "binding/common/ref.h"
#include "core/parse/parser.h"
#include "records.h"

namespace tarn::py::parser {

using parse::kMessageCount;

struct State {
  PyObject* module = nullptr;  // borrowed: the state lives as long as the module
  Ref i18n;                    // the translation service, called through the module object
  Ref printer;                 // tarn.tree.dump, the records' printable form (on first use)
  Ref lexer_module;            // keeps `lexer` alive
  LexerState* lexer = nullptr; // its Token class and language cache
  Ref lexer_tokens;            // tarn.lexer.tokens as the lexer defined it
  std::vector<std::unique_ptr<RecordClass>> records;  // by syntax::NodeKind; ParseError included
  std::unique_ptr<RecordClass> parser;                // _Parser
  Ref message_keys[kMessageCount];
  Ref name_keywords, capitalised_name_keywords;  // frozen copies of the sets at_name consults
  std::unordered_map<std::string_view, parse::Kw> keyword_of_name;
  std::unordered_map<const char*, Ref> static_texts;  // StrRef::STATIC texts, made once
  Ref empty_str;
  // Interned names the binding looks up.
  Ref s_t, s_kw, s_get, s_cache, s_ast, s_start, s_tokenize, s_colons;
  // Token kinds the cursor compares with.
  Ref s_eof, s_keyword, s_op, s_ident;

  PyTypeObject* record_type(syntax::NodeKind k) const {
    const auto i = static_cast<size_t>(k);
    return i < records.size() && records[i] ? records[i]->tp() : nullptr;
  }
  bool is_record(PyObject* o, syntax::NodeKind k) const {
    PyTypeObject* t = record_type(k);
    return t && PyObject_TypeCheck(o, t);
  }
  bool is_token(PyObject* o) const { return lexer && lexer->tokens.type && tarn::py::is_token(lexer->tokens, o); }

  int traverse(visitproc visit, void* arg);
  void clear();
};

State* state_of_module(PyObject* module);
inline State& state_of(PyObject* record) { return *record_class_of(Py_TYPE(record))->state; }

}  // namespace tarn::py::parser
