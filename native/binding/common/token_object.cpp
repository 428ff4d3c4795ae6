#include "token_object.h"

#include <algorithm>

#include "errors.h"
#include "language_cache.h"
#include "record.h"
#include "text_view.h"

namespace tarn::py {
namespace {

TokenObject* as_token(PyObject* o) { return reinterpret_cast<TokenObject*>(o); }
uint8_t int_bit(TokenField f) { return static_cast<uint8_t>(1u << (f - START)); }
bool is_int_field(TokenField f) { return f >= START && f <= END_COL; }

// Values that can hold no references: a token made only of these can never be
// part of a cycle, so it stays out of the collector's lists.
bool holds_no_references(PyObject* v) { return v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v); }

void ensure_tracked(TokenObject* t) {
  if (!PyObject_GC_IsTracked(reinterpret_cast<PyObject*>(t))) PyObject_GC_Track(t);
}

PyObject** object_slot(TokenObject* t, TokenField f) {
  switch (f) {
    case KIND: return &t->kind;
    case VALUE: return &t->value;
    case CANONICAL: return &t->canonical;
    case SUBKIND: return &t->subkind;
    default: return nullptr;
  }
}

const char* expected_type(TokenField f) {
  switch (f) {
    case KIND: case VALUE: return "str";
    case CANONICAL: case SUBKIND: return "str or None";
    case FLAGS: return "dict";
    default: return "int";
  }
}

bool accepts(TokenField f, PyObject* v) {
  switch (f) {
    case KIND: case VALUE: return PyUnicode_Check(v);
    case CANONICAL: case SUBKIND: return v == Py_None || PyUnicode_Check(v);
    case FLAGS: return PyDict_Check(v);
    default: return PyLong_Check(v);
  }
}

// The dict a lazily described flags field stands for (borrowed; nullptr with
// an error set).
PyObject* materialise_flags(TokenObject* t) {
  if (t->flags_state == FlagsState::DICT) return t->flags;
  if (t->flags_state == FlagsState::UNSET) return field_undefined(reinterpret_cast<PyObject*>(t), "flags");
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  if (t->flags_state == FlagsState::UNTERMINATED && PyDict_SetItemString(d.get(), "unterminated", Py_True) < 0)
    return nullptr;
  t->flags = d.release();
  t->flags_state = FlagsState::DICT;
  ensure_tracked(t);
  return t->flags;
}

int set_int(TokenObject* t, TokenField f, PyObject* v) {
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (x == -1 && PyErr_Occurred()) return -1;
  TokenObject::IntSlot& slot = t->ints[f - START];
  PyObject* old = (t->ints_boxed & int_bit(f)) ? slot.big : nullptr;
  if (overflow) {
    // An exact int, whatever int subclass was given (True stores 1).
    PyObject* exact = PyLong_Type.tp_as_number->nb_int(v);
    if (!exact) return -1;
    slot.big = exact;
    t->ints_boxed |= int_bit(f);
  } else {
    slot.v = x;
    t->ints_boxed &= static_cast<uint8_t>(~int_bit(f));
  }
  t->ints_set |= int_bit(f);
  Py_XDECREF(old);
  return 0;
}

}  // namespace

bool TokenClass::init(PyTypeObject* token_type) {
  type = reinterpret_cast<PyTypeObject*>(Py_NewRef(token_type));
  for (int k = 0; k < 10; ++k)
    if (!(kinds[k] = PyUnicode_InternFromString(kTokKindNames[k]))) return false;
  styles[0] = Py_NewRef(Py_None);
  for (int k = 1; k < 4; ++k)
    if (!(styles[k] = PyUnicode_InternFromString(kCommentStyleNames[k]))) return false;
  return true;
}

int TokenClass::traverse(visitproc visit, void* arg) {
  Py_VISIT(type);
  return 0;
}

void TokenClass::clear() {
  Py_CLEAR(type);
  for (PyObject*& k : kinds) Py_CLEAR(k);
  for (PyObject*& s : styles) Py_CLEAR(s);
}

PyObject* token_get(PyObject* o, TokenField f) {
  TokenObject* t = as_token(o);
  if (f == FLAGS) return Py_XNewRef(materialise_flags(t));
  if (is_int_field(f)) {
    if (!(t->ints_set & int_bit(f))) return field_undefined(o, kTokenFieldNames[f]);
    const TokenObject::IntSlot& slot = t->ints[f - START];
    return (t->ints_boxed & int_bit(f)) ? Py_NewRef(slot.big) : PyLong_FromLongLong(slot.v);
  }
  PyObject* v = *object_slot(t, f);
  if (!v) return field_undefined(o, kTokenFieldNames[f]);
  return Py_NewRef(v);
}

int token_int64(PyObject* o, TokenField f, int64_t* out) {
  TokenObject* t = as_token(o);
  if (!(t->ints_set & int_bit(f))) return field_undefined(o, kTokenFieldNames[f]), -1;
  if (t->ints_boxed & int_bit(f)) {
    PyErr_Format(PyExc_OverflowError, "the token's %s does not fit a 64-bit integer", kTokenFieldNames[f]);
    return -1;
  }
  *out = t->ints[f - START].v;
  return 0;
}

int token_kind(const TokenClass& cls, PyObject* o, TokKind* out) {
  PyObject* kind = as_token(o)->kind;
  if (!kind) return field_undefined(o, "kind"), -1;
  for (int k = 0; k < 10; ++k)
    if (kind == cls.kinds[k]) return *out = static_cast<TokKind>(k), 0;
  // A host-made token: compare the text.
  for (int k = 0; k < 10; ++k)
    if (PyUnicode_Compare(kind, cls.kinds[k]) == 0) return *out = static_cast<TokKind>(k), 0;
  if (PyErr_Occurred()) return -1;
  *out = TokKind::OTHER;
  return 0;
}

int token_unterminated(PyObject* o) {
  TokenObject* t = as_token(o);
  switch (t->flags_state) {
    case FlagsState::UNSET: return field_undefined(o, "flags"), -1;
    case FlagsState::EMPTY: return 0;
    case FlagsState::UNTERMINATED: return 1;
    case FlagsState::DICT: break;
  }
  Ref key = Ref::steal(PyUnicode_InternFromString("unterminated"));
  if (!key) return -1;
  PyObject* v = PyDict_GetItemWithError(t->flags, key.get());
  if (!v) return PyErr_Occurred() ? -1 : 0;
  Ref hold = Ref::borrow(v);
  return PyObject_IsTrue(v);
}

int token_set(PyObject* o, TokenField f, PyObject* value) {
  if (!value) return field_not_deletable(o, kTokenFieldNames[f]);
  if (!accepts(f, value)) return type_error(expected_type(f), value), -1;
  TokenObject* t = as_token(o);
  if (is_int_field(f)) return set_int(t, f, value);
  if (f == FLAGS) {
    PyObject* old = t->flags;
    t->flags = Py_NewRef(value);
    t->flags_state = FlagsState::DICT;
    ensure_tracked(t);
    Py_XDECREF(old);
    return 0;
  }
  PyObject** slot = object_slot(t, f);
  PyObject* old = *slot;
  *slot = Py_NewRef(value);
  if (!holds_no_references(value)) ensure_tracked(t);
  Py_XDECREF(old);
  return 0;
}

void token_set_empty_flags(PyObject* o) {
  TokenObject* t = as_token(o);
  PyObject* old = t->flags;
  t->flags = nullptr;
  t->flags_state = FlagsState::EMPTY;
  Py_XDECREF(old);
}

bool token_has(PyObject* o, TokenField f) {
  TokenObject* t = as_token(o);
  if (f == FLAGS) return t->flags_state != FlagsState::UNSET;
  if (is_int_field(f)) return t->ints_set & int_bit(f);
  return *object_slot(t, f) != nullptr;
}

namespace {

// 1, 0 or -1; objects are held while compared, since __eq__ may reassign.
int equal_objects(PyObject* a, PyObject* b) {
  if (!a || !b) return a == b;
  Ref ha = Ref::borrow(a), hb = Ref::borrow(b);
  return PyObject_RichCompareBool(a, b, Py_EQ);
}

int equal_field(PyObject* a, PyObject* b, TokenField f) {
  TokenObject *x = as_token(a), *y = as_token(b);
  if (f == FLAGS) {
    const bool lazy_x = x->flags_state != FlagsState::DICT, lazy_y = y->flags_state != FlagsState::DICT;
    if (lazy_x && lazy_y) return x->flags_state == y->flags_state;
    if (x->flags_state == FlagsState::UNSET || y->flags_state == FlagsState::UNSET) return 0;
    if (!materialise_flags(x) || !materialise_flags(y)) return -1;
    return equal_objects(x->flags, y->flags);
  }
  if (!is_int_field(f)) return equal_objects(*object_slot(x, f), *object_slot(y, f));
  const bool set_x = x->ints_set & int_bit(f), set_y = y->ints_set & int_bit(f);
  if (!set_x || !set_y) return set_x == set_y;
  if (!((x->ints_boxed | y->ints_boxed) & int_bit(f))) return x->ints[f - START].v == y->ints[f - START].v;
  Ref vx = Ref::steal(token_get(a, f)), vy = Ref::steal(token_get(b, f));
  if (!vx || !vy) return -1;
  return PyObject_RichCompareBool(vx.get(), vy.get(), Py_EQ);
}

}  // namespace

int token_equal(PyObject* a, PyObject* b) {
  for (int f = 0; f < kTokenFields; ++f) {
    const int r = equal_field(a, b, static_cast<TokenField>(f));
    if (r <= 0) return r;
  }
  return 1;
}

PyObject* token_new_blank(PyTypeObject* type) {
  TokenObject* t = PyObject_GC_New(TokenObject, type);
  if (!t) return nullptr;
  t->kind = t->value = t->canonical = t->subkind = t->flags = nullptr;
  for (auto& slot : t->ints) slot.v = 0;
  t->ints_set = t->ints_boxed = 0;
  t->flags_state = FlagsState::UNSET;
  return reinterpret_cast<PyObject*>(t);
}

// One str object per spelling of the short values that repeat within one
// token list.
class TokenListBuilder::SharedValues {
 public:
  static constexpr int64_t kMaxShared = 32;

  SharedValues(PyObject* text) : text_(text), view_(text_view(text)), slots_(1024) {}
  ~SharedValues() {
    for (Slot& e : slots_) Py_XDECREF(e.str);
  }

  // A new reference to the str of text[start, end).
  PyObject* get(int64_t start, int64_t end) {
    return visit_text(view_, [&](const auto* s) { return get_in(s, start, end); });
  }

 private:
  struct Slot {
    PyObject* str = nullptr;
    int64_t start = 0, len = 0;
    uint64_t hash = 0;
  };

  template <class U>
  PyObject* get_in(const U* s, int64_t start, int64_t end) {
    const int64_t len = end - start;
    // One code point below U+0100 is already a cached str in the host.
    if (len > kMaxShared || (len == 1 && s[start] < 256)) return PyUnicode_Substring(text_, start, end);
    uint64_t h = 0xcbf29ce484222325ull;
    for (int64_t i = start; i < end; ++i) h = (h ^ s[i]) * 0x100000001b3ull;
    const size_t mask = slots_.size() - 1;
    size_t k = static_cast<size_t>(h ^ (h >> 31)) & mask;
    for (; slots_[k].str; k = (k + 1) & mask) {
      const Slot& e = slots_[k];
      if (e.hash == h && e.len == len && std::equal(s + start, s + end, s + e.start)) return Py_NewRef(e.str);
    }
    PyObject* str = PyUnicode_Substring(text_, start, end);
    if (!str) return nullptr;
    slots_[k] = Slot{Py_NewRef(str), start, len, h};
    if (++used_ * 2 > slots_.size()) grow();
    return str;
  }

  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const Slot& e : old) {
      if (!e.str) continue;
      size_t k = static_cast<size_t>(e.hash ^ (e.hash >> 31)) & mask;
      while (slots_[k].str) k = (k + 1) & mask;
      slots_[k] = e;
    }
  }

  PyObject* text_;
  Text view_;
  std::vector<Slot> slots_;
  size_t used_ = 0;
};

namespace {

bool shares_value(TokKind k) {
  return k != TokKind::COMMENT && k != TokKind::STRING && k != TokKind::PATTERN && k != TokKind::EOF_;
}

// Line and column from the host's own line map: assigned through the checked
// path, in field order, as the constructor would.
bool set_host_positions(PyObject* tok, const tarn::Token& nt, HostPositions& host) {
  Ref line, col, end_line, end_col;
  if (!host.at(nt.start, line, col) || !host.at(nt.end, end_line, end_col)) return false;
  return token_set(tok, LINE, line.get()) == 0 && token_set(tok, COL, col.get()) == 0 &&
         token_set(tok, END_LINE, end_line.get()) == 0 && token_set(tok, END_COL, end_col.get()) == 0;
}

constexpr size_t kSignalCheckInterval = 4096;

}  // namespace

TokenListBuilder::TokenListBuilder(const TokenClass& cls, PyObject* text, const LanguageDefinition& lang,
                                   HostPositions* host_positions)
    : cls_(cls), text_(text), lang_(lang), host_(host_positions), list_(Ref::steal(PyList_New(0))) {
  // Half-built, the list stays out of the collector's reach.
  if (list_) PyObject_GC_UnTrack(list_.get());
}

TokenListBuilder::~TokenListBuilder() {
  if (list_) PyObject_GC_Track(list_.get());
}

bool TokenListBuilder::add(const tarn::Token* toks, size_t count) {
  if (!list_) return false;
  if (!values_) values_ = std::make_unique<SharedValues>(text_);
  for (size_t i = 0; i < count; ++i)
    if (!add_one(toks[i])) return false;
  return true;
}

bool TokenListBuilder::add_one(const tarn::Token& nt) {
  if (++count_ % kSignalCheckInterval == 0 && PyErr_CheckSignals() < 0) return false;
  PyObject* o = token_new_blank(cls_.type);
  if (!o) return false;
  const int appended = PyList_Append(list_.get(), o);
  Py_DECREF(o);
  if (appended < 0) return false;
  TokenObject* t = as_token(o);
  const int kind = std::min(static_cast<int>(nt.kind), 9);
  t->kind = Py_NewRef(cls_.kinds[kind]);
  t->value = shares_value(nt.kind) ? values_->get(nt.start, nt.end) : PyUnicode_Substring(text_, nt.start, nt.end);
  if (!t->value) return false;
  t->ints[START - START].v = nt.start;
  t->ints[END - START].v = nt.end;
  t->ints_set = int_bit(START) | int_bit(END);
  if (host_) {
    if (!set_host_positions(o, nt, *host_)) return false;
  } else {
    t->ints[LINE - START].v = nt.line;
    t->ints[COL - START].v = nt.col;
    t->ints[END_LINE - START].v = nt.end_line;
    t->ints[END_COL - START].v = nt.end_col;
    t->ints_set = 0x3F;
  }
  if (nt.canonical >= 0) {
    PyObject* name = lang_.canonical(nt.canonical);
    if (!name) return false;
    t->canonical = Py_NewRef(name);
    if (!PyUnicode_CheckExact(name)) ensure_tracked(t);
  } else {
    t->canonical = Py_NewRef(Py_None);
  }
  t->subkind = Py_NewRef(cls_.styles[static_cast<int>(nt.style) & 3]);
  t->flags_state = nt.unterminated ? FlagsState::UNTERMINATED : FlagsState::EMPTY;
  return true;
}

PyObject* TokenListBuilder::finish() {
  if (!list_) return nullptr;
  PyObject_GC_Track(list_.get());
  return list_.release();
}

PyObject* make_token_list(const TokenClass& cls, PyObject* text, const std::vector<tarn::Token>& toks,
                          const LanguageDefinition& lang, HostPositions* host_positions) {
  TokenListBuilder builder(cls, text, lang, host_positions);
  if (!builder.add(toks.data(), toks.size())) return nullptr;
  return builder.finish();
}

}  // namespace tarn::py
