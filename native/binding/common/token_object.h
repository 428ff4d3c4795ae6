// The instance layout of tarn.lexer.Token, the native accessors the parser
// module reads tokens with, and the one place where native tokens become
// host Token objects.
#pragma once
#include <memory>
#include <vector>

#include "ref.h"
#include "core/token.h"

namespace tarn::py {

class LanguageDefinition;

// Field order: construction by position, equality, __getstate__.
enum TokenField : int { KIND, VALUE, START, END, LINE, COL, END_LINE, END_COL, CANONICAL, SUBKIND, FLAGS };
inline constexpr int kTokenFields = 11;
inline constexpr int kTokenInts = 6;  // START .. END_COL
inline constexpr const char* kTokenFieldNames[kTokenFields] = {
    "kind", "value", "start", "end", "line", "col", "end_line", "end_col", "canonical", "subkind", "flags"};

// flags is a distinct dict per token, but most tokens never have theirs
// looked at: the dict is made on first read, from what the state says.
enum class FlagsState : uint8_t { UNSET, EMPTY, UNTERMINATED, DICT };

struct TokenObject {
  PyObject_HEAD
  PyObject* kind;   // nullptr: never set
  PyObject* value;
  // Unboxed unless the field's bit in `ints_boxed` is set: then `big` holds an
  // exact int outside int64.
  union IntSlot { int64_t v; PyObject* big; } ints[kTokenInts];
  PyObject* canonical;  // nullptr: never set; else a str or None
  PyObject* subkind;
  PyObject* flags;      // the dict when flags_state is DICT
  uint8_t ints_set;     // bit k: ints[k] holds a value
  uint8_t ints_boxed;
  FlagsState flags_state;
};

// What building and recognising tokens needs: the class and the shared kind
// and comment-style strings. Owned by the lexer module's state.
struct TokenClass {
  PyTypeObject* type = nullptr;
  PyObject* kinds[10] = {};   // TokKind order, "BOM" .. "EOF"
  PyObject* styles[4] = {};   // CommentStyle order; [NONE] is None
  bool init(PyTypeObject* token_type);
  int traverse(visitproc visit, void* arg);
  void clear();
};

inline bool is_token(const TokenClass& cls, PyObject* o) { return Py_IS_TYPE(o, cls.type); }

// ---- reading fields natively (o must be a Token) ---------------------------

// A new reference to the field's value, exactly as attribute access gives it
// (AttributeError when never set; flags materialised).
PyObject* token_get(PyObject* o, TokenField f);
// START .. END_COL as int64: 0 on success; -1 with AttributeError when never
// set, or OverflowError when the value does not fit.
int token_int64(PyObject* o, TokenField f, int64_t* out);
// The kind as a TokKind (OTHER for a string the tokenizer never makes): 0 on
// success, -1 with AttributeError when never set.
int token_kind(const TokenClass& cls, PyObject* o, TokKind* out);
// Truth of flags.get("unterminated") without materialising the dict: 1, 0, or
// -1 with an error set.
int token_unterminated(PyObject* o);

// Whether the field holds a value (was ever set).
bool token_has(PyObject* o, TokenField f);
// Field-by-field equality in field order; a never-set field equals only a
// never-set field. 1, 0, or -1 with an error set.
int token_equal(PyObject* a, PyObject* b);

// ---- writing fields --------------------------------------------------------

// Assignment with the field's type check; deletion (value nullptr) refused.
int token_set(PyObject* o, TokenField f, PyObject* value);
// flags becomes a new empty dict (made when first read).
void token_set_empty_flags(PyObject* o);

// ---- building --------------------------------------------------------------

// A token with every field unset, outside the cycle collector (it holds
// nothing yet). `type` must be the Token class.
PyObject* token_new_blank(PyTypeObject* type);

// (line, col) of offsets computed by the host's own rules, for line maps whose
// starts are not plain int64 values.
class HostPositions {
 public:
  virtual ~HostPositions() = default;
  // New references to line and col; false with an error set.
  virtual bool at(int64_t offset, Ref& line, Ref& col) = 0;
};

// Turns native tokens into Token objects of one list, a batch at a time.
// Repeated short values (identifiers, keywords, operators, numbers) share one
// str object within the list. Canonical names come from `lang`: the first
// keyword whose canonical name is not a str fails with the type error for "str
// or None". Checks for signals every few thousand tokens.
class TokenListBuilder {
 public:
  // `text` is a ready str; positions come from the native tokens unless
  // `host_positions` is given.
  TokenListBuilder(const TokenClass& cls, PyObject* text, const LanguageDefinition& lang,
                   HostPositions* host_positions);
  ~TokenListBuilder();
  TokenListBuilder(const TokenListBuilder&) = delete;
  TokenListBuilder& operator=(const TokenListBuilder&) = delete;

  // Appends toks[0, count), whose offsets are absolute. false with an error set.
  bool add(const tarn::Token* toks, size_t count);
  // The list (a new reference), or nullptr with an error set.
  PyObject* finish();

 private:
  class SharedValues;
  bool add_one(const tarn::Token& nt);

  const TokenClass& cls_;
  PyObject* text_;
  const LanguageDefinition& lang_;
  HostPositions* host_;
  Ref list_;
  std::unique_ptr<SharedValues> values_;
  size_t count_ = 0;
};

// The whole list at once, for tokens of all of `text`.
PyObject* make_token_list(const TokenClass& cls, PyObject* text, const std::vector<tarn::Token>& toks,
                          const LanguageDefinition& lang, HostPositions* host_positions);

}  // namespace tarn::py
