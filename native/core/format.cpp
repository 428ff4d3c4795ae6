#include "format.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <type_traits>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "linemap.h"
#include "parse/keyword_sets.h"

namespace tarn::format {
namespace {

using parse::Kw;
using parse::Op;
using namespace syntax;

constexpr int64_t kIndentWidth = 4;
constexpr int64_t kTabWidth = 4;  // for measuring old indentation written with tabs
constexpr int64_t kMaxBlanksInBody = 1;
constexpr int64_t kMaxBlanksBetweenMembers = 2;
constexpr int64_t kNone = INT64_MIN;

NodeKind kind_of(const Node* n) { return static_cast<const Root*>(n)->kind; }

bool is_opener(Op o) { return o == Op::LPAREN || o == Op::LBRACKET || o == Op::LBRACE; }
bool is_closer(Op o) { return o == Op::RPAREN || o == Op::RBRACKET || o == Op::RBRACE; }

// One space on both sides, always; "+", "-", "<" and ">" are decided per token.
bool always_spaced(Op o) {
  switch (o) {
    case Op::ASSIGN: case Op::PLUS_ASSIGN: case Op::MINUS_ASSIGN: case Op::STAR_ASSIGN: case Op::SLASH_ASSIGN:
    case Op::EQ: case Op::NE: case Op::LE: case Op::GE: case Op::ARROW: case Op::COALESCE: case Op::PIPE:
    case Op::STAR: case Op::SLASH: case Op::PERCENT: case Op::POWER:
      return true;
    default:
      return false;
  }
}
bool glued_after(Op o) {
  return o == Op::DOT || o == Op::SAFE_DOT || o == Op::COLONCOLON || o == Op::AT || o == Op::AMP || o == Op::HASH;
}
bool glued_before(Op o) { return o == Op::DOT || o == Op::SAFE_DOT || o == Op::COLONCOLON || o == Op::BANG; }
// What a type can end with before its nullable "?".
bool ends_type(Op o) { return o == Op::RPAREN || o == Op::RBRACKET || o == Op::GT || o == Op::QUESTION; }
bool is_branch(Kw k) { return k == Kw::ELSE || k == Kw::CATCH || k == Kw::FINALLY; }

struct Tok {
  int64_t start = 0, end = 0, line = 0, end_line = 0;
  TokKind kind = TokKind::OTHER;
  Op op = Op::NONE;
  Kw kw = Kw::NONE;
  bool upper = false;

  bool code() const { return kind != TokKind::COMMENT && kind != TokKind::BOM; }
  bool word() const { return kind == TokKind::IDENT || kind == TokKind::KEYWORD || kind == TokKind::NUMBER; }
  bool is(Op o) const { return kind == TokKind::OP && op == o; }
  // A name written right before "{" makes a resolvable literal.
  bool may_touch_brace() const {
    if (kind == TokKind::IDENT) return true;
    return kind == TokKind::KEYWORD &&
           (parse::kNameKeywords.contains(kw) || (upper && parse::kCapitalisedNameKeywords.contains(kw)));
  }
};

// What the tree says about a token, beyond its kind and text.
enum Role : uint8_t { kSign = 1, kTernary = 2, kCompare = 4, kTight = 8, kTyped = 16 };
enum Flag : uint8_t { kForced = 1, kAtItemLevel = 2, kBranch = 4, kLambda = 8, kImportEnd = 16, kItem = 32 };

// A statement, member, enumeration item or "when" arm: it starts a line at a
// level of its own. placement >= 0: levels below the enclosing item; placement < 0:
// one level below the line of token -1 - placement (a block lambda's start).
struct Item {
  int64_t first, last, placement;
  bool in_body, is_import;
};

// ---------------------------------------------------------------- list access

struct ListView {
  const List* l;
  int64_t size() const { return l && !l->host ? l->size : 0; }
  const Value& operator[](int64_t i) const { return l->items[i]; }
  const Node* node(int64_t i) const { return l->items[i].tag == Value::NODE ? l->items[i].node : nullptr; }
};

// Calls f(node) for every record held by a field or list, at any list depth.
template <class F>
void each_record(const List* l, F&& f) {
  if (!l || l->host) return;
  std::vector<const List*> todo{l};
  while (!todo.empty()) {
    const List* cur = todo.back();
    todo.pop_back();
    for (uint32_t i = 0; i < cur->size; ++i) {
      const Value& v = cur->items[i];
      if (v.tag == Value::NODE && v.node) f(v.node);
      else if ((v.tag == Value::LIST || v.tag == Value::TUPLE) && v.list && !v.list->host) todo.push_back(v.list);
    }
  }
}

template <class F> void child(const StrRef&, F&) {}
template <class F> void child(int64_t, F&) {}
template <class F> void child(bool, F&) {}
template <class F> void child(Node* n, F& f) { if (n) f(n); }
template <class F> void child(List* l, F& f) { each_record(l, f); }

template <class N>
const N* record_of(const Node* n) {
  if constexpr (std::is_base_of_v<Node, N>) return static_cast<const N*>(n);
  else return nullptr;
}

// Calls f(child) for every record directly below n.
template <class F>
void each_child(const Node* n, F&& f) {
  switch (kind_of(n)) {
#define RECORD(N, B)                       \
  case NodeKind::N: {                      \
    [[maybe_unused]] const N* r = record_of<N>(n); \
    if (!r) break;
#define FIELD(R, F, S, D, K) child(r->F, f);
#define END(N) \
  break;       \
  }
#include "syntax/nodes.inc"
#undef RECORD
#undef FIELD
#undef END
    default:
      break;
  }
}

template <class T>
const T* as(const Node* n) { return static_cast<const T*>(n); }

// ---------------------------------------------------------------- the plan

class Plan {
 public:
  std::vector<Tok> t;
  std::vector<int64_t> starts;
  std::vector<uint8_t> role, flag;
  std::vector<Item> items;        // sorted by first token, enclosing items first
  std::vector<int64_t> closer;    // kNone; -1: its item's level; >= 0: the line of that lambda token
  std::vector<int64_t> block_end; // last token of the embedded block a "{" opens, or -1

  explicit Plan(const Source& src) {
    const auto& toks = *src.toks;
    const auto& ptoks = *src.ptoks;
    const size_t n = toks.size();
    t.resize(n);
    starts.resize(n);
    size_t p = 0;
    for (size_t i = 0; i < n; ++i) {
      const Token& k = toks[i];
      Tok& d = t[i];
      d.start = k.start, d.end = k.end, d.line = k.line, d.end_line = k.end_line, d.kind = k.kind;
      if (d.code() && p < ptoks.size()) {
        d.op = ptoks[p].op, d.kw = ptoks[p].kw, d.upper = ptoks[p].upper_first;
        ++p;
      }
      starts[i] = k.start;
    }
    role.assign(n, 0);
    flag.assign(n, 0);
    closer.assign(n, kNone);
    block_end.assign(n, -1);
    walk(src.module);
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
      return a.first != b.first ? a.first < b.first : a.last > b.last;
    });
  }

 private:
  int64_t at(int64_t offset) const {
    return std::lower_bound(starts.begin(), starts.end(), offset) - starts.begin();
  }
  int64_t last_of(const Node* node) const { return at(node->end) - 1; }
  int64_t code_from(int64_t offset, Op skip = Op::NONE) const {
    int64_t i = at(offset);
    while (!t[i].code() || (skip != Op::NONE && t[i].is(skip))) ++i;
    return i;
  }
  int64_t code_before(int64_t offset, Op skip) const {
    int64_t i = at(offset) - 1;
    while (i > 0 && (!t[i].code() || t[i].is(skip))) --i;
    return std::max<int64_t>(i, 0);
  }

  void add_item(const Node* node, int64_t placement, bool forced = true, bool in_body = true, bool is_import = false) {
    int64_t start = node->start;
    // A constructor's span is its keyword alone, without its annotations.
    if (kind_of(node) == NodeKind::Constructor) {
      ListView a{as<Constructor>(node)->annotations};
      if (a.size() && a.node(0)) start = a.node(0)->start;
    }
    int64_t first = at(start), last = last_of(node);
    // Parentheses do not widen a span: a statement that starts with "("
    // starts before its record, and may end after it.
    int64_t opened = 0;
    for (;;) {
      int64_t k = first - 1;
      while (k >= 0 && !t[k].code()) --k;
      if (k < 0 || !t[k].is(Op::LPAREN)) break;
      first = k, ++opened;
    }
    while (opened) {
      int64_t k = last + 1;
      while (!t[k].code()) ++k;
      if (!t[k].is(Op::RPAREN)) break;
      last = k, --opened;
    }
    items.push_back({first, last, placement, in_body, is_import});
    flag[first] |= kItem;
    if (forced) flag[first] |= kForced;
  }

  void add_statements(const List* body, int64_t placement = 1) {
    each_record(body, [&](const Node* s) { add_item(s, placement); });
  }

  void add_closer(const Node* node, int64_t placement = -1) {
    const int64_t i = last_of(node);
    if (t[i].is(Op::SEMICOLON)) {
      closer[i] = placement;
      flag[i] |= kForced;
    }
  }

  void annotated(const List* annotations) {
    ListView a{annotations};
    if (!a.size()) return;
    const Node* last = nullptr;
    for (int64_t k = 0; k < a.size(); ++k)
      if (const Node* n = a.node(k)) {
        flag[at(n->start)] |= kAtItemLevel;
        last = n;
      }
    if (last) flag[code_from(last->end)] |= kAtItemLevel;
  }

  void branches(const Node* node, std::vector<std::pair<int64_t, int64_t>> spans) {
    // Keywords ELSE, CATCH and FINALLY of `node` itself: outside its parts.
    std::sort(spans.begin(), spans.end());
    size_t k = 0;
    const int64_t last = last_of(node);
    for (int64_t i = at(node->start); i <= last;) {
      const int64_t s = t[i].start;
      while (k < spans.size() && spans[k].second <= s) ++k;
      if (k < spans.size() && spans[k].first <= s) {
        i = at(spans[k].second);
        continue;
      }
      if (t[i].kind == TokKind::KEYWORD && is_branch(t[i].kw)) flag[i] |= kAtItemLevel | kBranch | kForced;
      ++i;
    }
  }

  static void span_of(const Node* n, std::vector<std::pair<int64_t, int64_t>>& out) {
    if (n) out.emplace_back(n->start, n->end);
  }
  static void spans_of(const List* l, std::vector<std::pair<int64_t, int64_t>>& out) {
    each_record(l, [&](const Node* n) { out.emplace_back(n->start, n->end); });
  }

  void handle(const Node* node) {
    switch (kind_of(node)) {
      case NodeKind::Method: {
        const Method* m = as<Method>(node);
        annotated(m->annotations);
        ListView a{m->annotations};
        int64_t i = code_from(a.size() && a.node(a.size() - 1) ? a.node(a.size() - 1)->end : m->start);
        while (!t[i].is(Op::LPAREN) && t[i].kind != TokKind::EOF_) ++i;
        role[i] |= kTight;
        if (!m->is_abstract) add_closer(m);
        add_statements(m->body);
        break;
      }
      case NodeKind::Structure: {
        const Structure* s = as<Structure>(node);
        annotated(s->annotations);
        each_record(s->members, [&](const Node* m) { add_item(m, 1, true, kind_of(m) == NodeKind::Method); });
        add_closer(s);
        break;
      }
      case NodeKind::Enum: {
        const Enum* e = as<Enum>(node);
        annotated(e->annotations);
        bool first = true;
        each_record(e->items, [&](const Node* it) {
          add_item(it, 1, first, false);
          first = false;
        });
        add_statements(e->methods);
        add_closer(e);
        break;
      }
      case NodeKind::ObjectField: annotated(as<ObjectField>(node)->annotations); break;
      case NodeKind::Constructor: annotated(as<Constructor>(node)->annotations); break;
      case NodeKind::If: {
        const If* f = as<If>(node);
        std::vector<std::pair<int64_t, int64_t>> spans;
        ListView b{f->branches};
        for (int64_t k = 0; k < b.size(); ++k) {
          if (b[k].tag != Value::TUPLE || !b[k].list || b[k].list->size < 2) continue;
          const List* pair = b[k].list;
          if (pair->items[0].tag == Value::NODE) span_of(pair->items[0].node, spans);
          if (pair->items[1].tag == Value::LIST) {
            spans_of(pair->items[1].list, spans);
            add_statements(pair->items[1].list);
          }
        }
        spans_of(f->else_body, spans);
        add_statements(f->else_body);
        branches(f, std::move(spans));
        add_closer(f);
        break;
      }
      case NodeKind::Case: {
        const Case* c = as<Case>(node);
        std::vector<std::pair<int64_t, int64_t>> spans;
        span_of(c->subject, spans);
        each_record(c->whens, [&](const Node* w) {
          add_item(w, 0);
          add_statements(as<CaseWhen>(w)->body);
          span_of(w, spans);
        });
        spans_of(c->else_body, spans);
        add_statements(c->else_body);
        branches(c, std::move(spans));
        add_closer(c);
        break;
      }
      case NodeKind::Try: {
        const Try* y = as<Try>(node);
        std::vector<std::pair<int64_t, int64_t>> spans;
        spans_of(y->body, spans);
        add_statements(y->body);
        ListView c{y->catches};
        for (int64_t k = 0; k < c.size(); ++k) {
          if (c[k].tag != Value::TUPLE || !c[k].list || c[k].list->size < 3) continue;
          const List* triple = c[k].list;
          if (triple->items[1].tag == Value::NODE) span_of(triple->items[1].node, spans);
          if (triple->items[2].tag == Value::LIST) {
            spans_of(triple->items[2].list, spans);
            add_statements(triple->items[2].list);
          }
        }
        spans_of(y->finally_body, spans);
        add_statements(y->finally_body);
        branches(y, std::move(spans));
        add_closer(y);
        break;
      }
      case NodeKind::While: add_statements(as<While>(node)->body), add_closer(node); break;
      case NodeKind::ForEach: add_statements(as<ForEach>(node)->body), add_closer(node); break;
      case NodeKind::ForTo: add_statements(as<ForTo>(node)->body), add_closer(node); break;
      case NodeKind::Scope: add_statements(as<Scope>(node)->body), add_closer(node); break;
      case NodeKind::Unary: {
        const int64_t i = at(node->start);
        if (t[i].is(Op::PLUS) || t[i].is(Op::MINUS)) role[i] |= kSign;
        break;
      }
      case NodeKind::Ternary: {
        const Ternary* y = as<Ternary>(node);
        role[code_before(y->then->start, Op::LPAREN)] |= kTernary;
        if (y->otherwise) role[code_from(y->then->end, Op::RPAREN)] |= kTernary;
        break;
      }
      case NodeKind::Compare: {
        const Compare* c = as<Compare>(node);
        int64_t end = c->first->end;
        ListView rest{c->rest};
        for (int64_t k = 0; k < rest.size(); ++k) {
          const int64_t i = code_from(end, Op::RPAREN);
          role[i] |= kCompare;
          const List* pair = rest[k].tag == Value::TUPLE ? rest[k].list : nullptr;
          const Node* operand = pair && pair->size > 1 && pair->items[1].tag == Value::NODE ? pair->items[1].node : nullptr;
          end = operand ? operand->end : t[i].end;
        }
        break;
      }
      case NodeKind::Call: {
        const Call* c = as<Call>(node);
        ListView ta{c->type_args};
        const Node* last = ta.size() ? ta.node(ta.size() - 1) : nullptr;
        role[code_from(last ? last->end : c->callee->end)] |= kTight;
        break;
      }
      case NodeKind::New: {
        const New* w = as<New>(node);
        if (w->args) role[code_from(w->type->end)] |= kTight;
        break;
      }
      case NodeKind::Index: role[code_from(as<Index>(node)->obj->end, Op::RPAREN)] |= kTight; break;
      case NodeKind::MethodRef:
        for (int64_t i = at(node->start), last = last_of(node); i <= last; ++i)
          if (t[i].is(Op::LPAREN)) role[i] |= kTight;
        break;
      case NodeKind::Annotation: {
        const int64_t first = at(node->start), last = last_of(node);
        int64_t i = first + 1;
        while (i <= last && !t[i].is(Op::LPAREN)) ++i;
        if (i <= last && t[i].line == t[first].line) role[i] |= kTight;
        break;
      }
      case NodeKind::Lambda: {
        const Lambda* l = as<Lambda>(node);
        if (!l->body_stmts) break;
        const int64_t first = at(node->start);
        flag[first] |= kLambda;
        role[code_from(t[first].start + 1)] |= kTight;
        add_statements(l->body_stmts, -1 - first);
        add_closer(node, first);
        break;
      }
      case NodeKind::Literal: {
        const StrRef& k = as<Literal>(node)->kind;
        if (k.tag == StrRef::STATIC && k.text &&
            (std::strcmp(k.text, "QUERY") == 0 || std::strcmp(k.text, "RESOLVABLE") == 0)) {
          const int64_t brace = code_from(node->start + 1);
          if (t[brace].is(Op::LBRACE)) block_end[brace] = last_of(node);
        }
        break;
      }
      case NodeKind::ArrayLit:
        if (ListView{as<ArrayLit>(node)->type_args}.size()) role[at(node->start)] |= kTyped;
        break;
      case NodeKind::MapLit:
        if (ListView{as<MapLit>(node)->type_args}.size()) role[at(node->start)] |= kTyped;
        break;
      default:
        break;
    }
  }

  static bool leaf(NodeKind k) {
    switch (k) {
      case NodeKind::Name: case NodeKind::TypeRef: case NodeKind::This: case NodeKind::GlobalAccess:
      case NodeKind::Break: case NodeKind::Continue: case NodeKind::Import: case NodeKind::EnumItem:
        return true;
      default:
        return false;
    }
  }

  void walk(const Module* module) {
    each_record(module->imports, [&](const Node* imp) {
      add_item(imp, 0, true, false, true);
      flag[last_of(imp)] |= kImportEnd;
    });
    std::vector<const Node*> stack;
    each_record(module->members, [&](const Node* m) {
      add_item(m, 0, true, kind_of(m) == NodeKind::Method);
      stack.push_back(m);
    });
    while (!stack.empty()) {
      const Node* node = stack.back();
      stack.pop_back();
      handle(node);
      each_child(node, [&](const Node* c) {
        if (!leaf(kind_of(c))) stack.push_back(c);
      });
    }
  }
};

// ---------------------------------------------------------------- rendering

void put_spaces(std::u32string& s, int64_t n) { s.append(static_cast<size_t>(std::max<int64_t>(n, 0)), U' '); }

int64_t tab_width(const std::u32string& blanks) {
  int64_t col = 0;
  for (char32_t c : blanks) col = c == U'\t' ? (col / kTabWidth + 1) * kTabWidth : col + 1;
  return col;
}

bool is_blank(char32_t c) { return c == U' ' || c == U'\t'; }

// `text` (a multi-line comment or embedded block) with every line after the
// first moved `delta` columns (tabs in its indentation expanded) and trailing
// blanks dropped; not moved at all when some line would have to lose more
// indentation than it has. Line breaks inside the spans `keep` (string
// literals) are left exactly as they are.
std::u32string shifted(const std::u32string& text, int64_t delta, const std::vector<std::pair<int64_t, int64_t>>& keep) {
  struct Line { size_t begin, end, brk_end; };
  std::vector<Line> lines;
  size_t begin = 0;
  for (size_t p = 0; p < text.size();) {
    const char32_t c = text[p];
    if (c != U'\r' && c != U'\n') {
      ++p;
      continue;
    }
    const size_t stop = p + (c == U'\r' && p + 1 < text.size() && text[p + 1] == U'\n' ? 2 : 1);
    const bool kept = std::any_of(keep.begin(), keep.end(), [&](const auto& s) {
      return s.first < static_cast<int64_t>(p) && static_cast<int64_t>(p) < s.second;
    });
    if (!kept) {
      lines.push_back({begin, p, stop});
      begin = stop;
    }
    p = stop;
  }
  if (lines.empty()) return text;
  lines.push_back({begin, text.size(), text.size()});
  auto indent_of = [&](const Line& l, size_t& body) {
    body = l.begin;
    while (body < l.end && is_blank(text[body])) ++body;
    return tab_width(text.substr(l.begin, body - l.begin));
  };
  for (size_t k = 1; k < lines.size(); ++k) {
    size_t body;
    const int64_t w = indent_of(lines[k], body);
    if (body < lines[k].end && w + delta < 0) delta = 0;
  }
  std::u32string out;
  out.reserve(text.size() + 16);
  for (size_t k = 0; k < lines.size(); ++k) {
    const Line& l = lines[k];
    std::u32string line;
    if (k == 0) {
      line = text.substr(l.begin, l.end - l.begin);
    } else {
      size_t body;
      const int64_t w = indent_of(l, body);
      if (body < l.end) {
        put_spaces(line, w + delta);
        line.append(text, body, l.end - body);
      }
    }
    const bool has_break = l.brk_end > l.end;
    if (has_break)
      while (!line.empty() && is_blank(line.back())) line.pop_back();
    out += line;
    out.append(text, l.end, l.brk_end - l.end);
  }
  return out;
}

struct Context {
  const Item* item;
  int64_t level;
  std::vector<int64_t> open;  // per bracket opened in the item and not yet closed: the level of its line
};

class Layout {
 public:
  explicit Layout(const Source& src) : src_(src), text_(src.text), plan_(src), t_(plan_.t) {
    line_starts_ = line_starts(text_);
    newline_ = newline_of();
  }

  std::u32string render();

 private:
  const Source& src_;
  const Text text_;
  Plan plan_;
  const std::vector<Tok>& t_;
  std::vector<int64_t> line_starts_;
  std::u32string newline_;

  std::vector<std::u32string> out_;                                  // output lines
  std::vector<std::pair<size_t, std::vector<int64_t>>> pending_;     // comment-only lines laid out later
  std::u32string line_;
  int64_t level_ = 0, block_level_ = 0, last_code_ = -1;
  std::vector<Context> stack_;
  size_t next_item_ = 0;
  std::unordered_map<int64_t, int64_t> lambda_levels_;

  void append_text(std::u32string& s, int64_t start, int64_t end) const {
    for (int64_t k = start; k < end; ++k) s.push_back(text_.at(k));
  }
  std::u32string slice(int64_t start, int64_t end) const {
    std::u32string s;
    append_text(s, start, end);
    return s;
  }

  std::u32string newline_of() const {
    int64_t prev = 0;
    for (const Tok& k : t_) {
      for (int64_t p = prev; p < k.start; ++p) {
        const char32_t c = text_.at(p);
        if (c == U'\n') return U"\n";
        if (c == U'\r') return p + 1 < k.start && text_.at(p + 1) == U'\n' ? U"\r\n" : U"\r";
      }
      prev = k.end;
    }
    return U"\n";
  }

  bool gap(int64_t a, int64_t b) const;
  bool glued_gap(int64_t a, int64_t b) const;

  void pop_ended(int64_t i) {
    while (!stack_.empty() && stack_.back().item->last < i) stack_.pop_back();
  }
  void advance_context(int64_t i) {
    pop_ended(i);
    const auto& items = plan_.items;
    while (next_item_ < items.size() && items[next_item_].first <= i) {
      const Item& it = items[next_item_++];
      if (it.first != i) continue;
      int64_t level = 0;
      if (it.placement < 0) level = lambda_levels_[-1 - it.placement] + 1;
      else if (!stack_.empty()) level = stack_.back().level + it.placement;
      stack_.push_back({&it, level, {}});
    }
  }
  bool directive(int64_t i) {
    if (!t_[i].is(Op::HASH)) return false;
    pop_ended(i);
    return stack_.empty();
  }
  int64_t max_blanks(int64_t prev, int64_t i) {
    pop_ended(i);
    if (!stack_.empty()) return stack_.back().item->in_body ? kMaxBlanksInBody : kMaxBlanksBetweenMembers;
    if (plan_.flag[prev] & kImportEnd)
      for (size_t k = next_item_; k < plan_.items.size() && plan_.items[k].first == i; ++k)
        if (plan_.items[k].is_import) return 0;  // a run of imports stays together
    return kMaxBlanksBetweenMembers;
  }
  int64_t anchor_after_comments(int64_t i) const {
    int64_t j = i;
    while (!t_[j].code()) {
      if (t_[j + 1].line > t_[j].end_line) return -1;
      ++j;
    }
    return t_[j].kind == TokKind::EOF_ ? -1 : j;
  }
  // The level of the line whose first code token is i, and the level of the
  // item it belongs to.
  std::pair<int64_t, int64_t> level_of(int64_t i) {
    advance_context(i);
    if (stack_.empty()) return {0, 0};
    const int64_t top = stack_.back().level;
    const int64_t placement = plan_.closer[i];
    if (placement != kNone) return {placement < 0 ? top : lambda_levels_[placement], top};
    if (plan_.flag[i] & (kItem | kAtItemLevel)) return {top, top};
    return {continuation(i, stack_.back()), top};
  }
  // A line inside an item that starts nothing: one deeper than the line that
  // opened the innermost bracket still open (that line's own level when the
  // line starts by closing it), one more when it continues an expression
  // rather than starting a list element; outside brackets one deeper than
  // the item.
  int64_t continuation(int64_t i, const Context& ctx) const {
    if (t_[i].kind == TokKind::OP && is_closer(t_[i].op)) return ctx.open.empty() ? ctx.level : ctx.open.back();
    if (ctx.open.empty()) return ctx.level + 1;
    const bool after_opener = last_code_ >= 0 && t_[last_code_].kind == TokKind::OP &&
                              (is_opener(t_[last_code_].op) || t_[last_code_].op == Op::COMMA);
    return ctx.open.back() + (after_opener ? 1 : 2);
  }
  void end_line(bool comment_line) {
    if (comment_line) {
      pending_.back().first = out_.size();
      out_.emplace_back();
    } else {
      out_.push_back(std::move(line_));
    }
    line_.clear();
  }
  void flush_pending(int64_t anchor, int64_t level);
  std::pair<int64_t, int64_t> old_indent(int64_t offset) const;
  int64_t col() const {
    const size_t brk = line_.find_last_of(U"\r\n");
    return static_cast<int64_t>(brk == std::u32string::npos ? line_.size() : line_.size() - brk - 1);
  }
  void put_comment(int64_t i);
  void put_block(int64_t first, int64_t last);
};

bool Layout::glued_gap(int64_t a, int64_t b) const {
  const Tok& A = t_[a];
  const Tok& B = t_[b];
  const auto& role = plan_.role;
  if (A.kind == TokKind::OP &&
      (is_opener(A.op) || glued_after(A.op) || (role[a] & kSign) || (A.op == Op::LT && !(role[a] & kCompare))))
    return false;
  if (B.kind == TokKind::OP) {
    const Op o = B.op;
    if (o == Op::COMMA || is_closer(o) || glued_before(o)) return false;
    if (always_spaced(o) || (role[b] & (kTernary | kCompare))) return true;
    if (o == Op::COLON || o == Op::GT) return false;
    if (o == Op::LT) return !((A.kind == TokKind::IDENT || A.kind == TokKind::KEYWORD) && !(role[b] & kTyped));
    if (o == Op::QUESTION) return !(A.word() || (A.kind == TokKind::OP && ends_type(A.op)));
    if (is_opener(o)) {
      if (role[b] & kTight) return false;
      if (o == Op::LBRACE && A.may_touch_brace()) return B.start != A.end;
      if (A.is(Op::GT) && !(role[a] & kCompare)) return false;  // <T>[...] and <K, V>{...}
      return true;
    }
  }
  return true;
}

bool Layout::gap(int64_t a, int64_t b) const {
  const Tok& A = t_[a];
  const Tok& B = t_[b];
  if (!B.code()) return !(A.kind == TokKind::OP && is_opener(A.op));
  if (!A.code()) return !(B.kind == TokKind::OP && (is_closer(B.op) || B.op == Op::COMMA));
  const bool space = glued_gap(a, b);
  if (space || A.kind != TokKind::OP || B.kind != TokKind::OP) return space;
  // Two operators written together must not read as a longer one, nor as
  // the start of a comment.
  char32_t buf[32];
  const int64_t len = A.end - A.start, total = len + (B.end - B.start);
  if (len <= 0 || total > static_cast<int64_t>(std::size(buf))) return true;
  for (int64_t k = 0; k < len; ++k) buf[k] = text_.at(A.start + k);
  for (int64_t k = len; k < total; ++k) buf[k] = text_.at(B.start + k - len);
  if (src_.language && src_.language->match_operator(text_of(buf, total), 0) > len) return true;
  return buf[len - 1] == U'/' && (buf[len] == U'/' || buf[len] == U'*');
}

std::pair<int64_t, int64_t> Layout::old_indent(int64_t offset) const {
  int64_t begin = *(std::upper_bound(line_starts_.begin(), line_starts_.end(), offset) - 1);
  if (begin == 0 && text_.length && text_.at(0) == 0xFEFF) begin = 1;  // the BOM is no column of the output
  std::u32string before = slice(begin, offset);
  size_t body = 0;
  while (body < before.size() && is_blank(before[body])) ++body;
  return {tab_width(before.substr(0, body)), tab_width(before)};
}

void Layout::put_comment(int64_t i) {
  const Tok& k = t_[i];
  if (k.line == k.end_line) {
    append_text(line_, k.start, k.end);
    return;
  }
  const int64_t delta = col() - old_indent(k.start).second;
  line_ += shifted(slice(k.start, k.end), delta, {});
}

void Layout::put_block(int64_t first, int64_t last) {
  const int64_t start = t_[first].start;
  std::vector<std::pair<int64_t, int64_t>> keep;
  for (int64_t k = first; k <= last; ++k)
    if ((t_[k].kind == TokKind::STRING || t_[k].kind == TokKind::PATTERN) && t_[k].line != t_[k].end_line)
      keep.emplace_back(t_[k].start - start, t_[k].end - start);
  const int64_t delta = kIndentWidth * level_ - old_indent(start).first;
  line_ += shifted(slice(start, t_[last].end), delta, keep);
}

void Layout::flush_pending(int64_t anchor, int64_t level) {
  if (pending_.empty()) return;
  if (anchor < 0) {
    level = 0;
  } else if (plan_.closer[anchor] != kNone || (plan_.flag[anchor] & kBranch) ||
             (t_[anchor].kind == TokKind::OP && is_closer(t_[anchor].op))) {
    level += 1;  // a comment there still belongs to the body above
  }
  level = std::max(level, block_level_);
  std::u32string saved = std::move(line_);
  for (auto& [index, group] : pending_) {
    line_.assign(static_cast<size_t>(kIndentWidth * level), U' ');
    for (size_t n = 0; n < group.size(); ++n) {
      if (n && gap(group[n - 1], group[n])) line_ += U' ';
      put_comment(group[n]);
    }
    out_[index] = std::move(line_);
  }
  pending_.clear();
  line_ = std::move(saved);
}

std::u32string Layout::render() {
  const int64_t count = static_cast<int64_t>(t_.size()) - 1;  // without EOF
  int64_t i = 0;
  std::u32string prefix;
  if (count > 0 && t_[0].kind == TokKind::BOM && t_[0].start == 0) {
    prefix = slice(0, t_[0].end);
    i = 1;
  }
  if (i >= count) return prefix;
  bool comment_line = false, line_has_code = false;
  int64_t prev = -1;
  const auto& flag = plan_.flag;
  while (i < count) {
    const Tok& k = t_[i];
    bool brk;
    if (prev < 0 || k.line > t_[prev].end_line) brk = true;
    else if (line_has_code && (flag[i] & kForced)) brk = true;
    else brk = line_has_code && directive(i);
    if (brk) {
      if (prev >= 0) {
        end_line(comment_line);
        const int64_t blanks = k.line - t_[prev].end_line - 1;
        if (blanks > 0) out_.insert(out_.end(), static_cast<size_t>(std::min(blanks, max_blanks(prev, i))), std::u32string());
      }
      const int64_t anchor = k.code() ? i : anchor_after_comments(i);
      if (anchor < 0) {
        comment_line = true, line_has_code = false;
        pending_.push_back({0, {i}});
        prev = i++;
        continue;
      }
      comment_line = line_has_code = false;
      const auto [level, block_level] = level_of(anchor);
      flush_pending(anchor, level);
      level_ = level, block_level_ = block_level;
      line_.assign(static_cast<size_t>(kIndentWidth * level), U' ');
    } else if (comment_line) {
      pending_.back().second.push_back(i);
      prev = i++;
      continue;
    } else if (gap(prev, i)) {
      line_ += U' ';
    }
    if (!k.code()) {
      put_comment(i);
      prev = i++;
      continue;
    }
    const bool bracket = k.kind == TokKind::OP && (is_opener(k.op) || is_closer(k.op));
    if (bracket || (flag[i] & kItem)) advance_context(i);
    if (flag[i] & kLambda) lambda_levels_[i] = level_;
    if (plan_.block_end[i] >= 0) {
      const int64_t last = plan_.block_end[i];
      put_block(i, last);
      last_code_ = prev = last;
      line_has_code = true;
      i = last + 1;
      continue;
    }
    if (bracket) {
      if (!stack_.empty()) {
        if (is_opener(k.op)) stack_.back().open.push_back(level_);
        else if (!stack_.back().open.empty()) stack_.back().open.pop_back();
      }
    } else if (k.is(Op::HASH) && directive(i)) {
      // A directive line: the parser skips everything on it.
      int64_t last = i;
      while (last + 1 < count && t_[last + 1].line == k.line) ++last;
      std::u32string rest = slice(k.start, t_[last].end);
      while (!rest.empty() && is_blank(rest.back())) rest.pop_back();
      line_ += rest;
      last_code_ = prev = last;
      line_has_code = true;
      i = last + 1;
      continue;
    }
    append_text(line_, k.start, k.end);
    last_code_ = prev = i++;
    line_has_code = true;
  }
  end_line(comment_line);
  flush_pending(-1, 0);
  while (!out_.empty() && out_.back().empty()) out_.pop_back();
  std::u32string result = std::move(prefix);
  for (size_t n = 0; n < out_.size(); ++n) {
    if (n) result += newline_;
    result += out_[n];
  }
  result += newline_;
  return result;
}

}  // namespace

std::u32string layout(const Source& src) {
  Layout l(src);
  return l.render();
}

}  // namespace tarn::format

// ---------------------------------------------------------------- sameness

namespace tarn::format {
namespace {

// The lines of text[start, end) without the blanks around each.
std::vector<std::u32string> squeezed(const Text& text, int64_t start, int64_t end) {
  std::vector<std::u32string> lines(1);
  for (int64_t k = start; k < end; ++k) {
    const char32_t c = text.at(k);
    if (c == U'\r' || c == U'\n') {
      if (c == U'\r' && k + 1 < end && text.at(k + 1) == U'\n') ++k;
      lines.emplace_back();
    } else {
      lines.back().push_back(c);
    }
  }
  for (auto& l : lines) {
    size_t b = 0, e = l.size();
    while (b < e && is_blank(l[b])) ++b;
    while (e > b && is_blank(l[e - 1])) --e;
    l = l.substr(b, e - b);
  }
  return lines;
}

bool same_text(const Text& a, int64_t as, int64_t ae, const Text& b, int64_t bs, int64_t be) {
  if (ae - as != be - bs) return false;
  for (int64_t k = 0; k < ae - as; ++k)
    if (a.at(as + k) != b.at(bs + k)) return false;
  return true;
}

void append_utf8(std::u32string& out, const char* s) {
  for (size_t i = 0; s[i];) {
    const auto c0 = static_cast<unsigned char>(s[i]);
    const int len = c0 < 0x80 ? 1 : (c0 >> 5) == 6 ? 2 : (c0 >> 4) == 14 ? 3 : 4;
    char32_t c = len == 1 ? c0 : c0 & (0x7F >> len);
    for (int k = 1; k < len && s[i + k]; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out.push_back(c);
    i += len;
  }
}

// A string field as text: token texts joined as the binding joins them.
std::u32string resolve(const Source& src, const StrRef& s) {
  std::u32string out;
  const auto& p = *src.ptoks;
  auto token = [&](uint32_t i) {
    if (i < p.size())
      for (int64_t k = p[i].start; k < p[i].end; ++k) out.push_back(src.text.at(k));
  };
  switch (s.tag) {
    case StrRef::NONE: break;
    case StrRef::STATIC: if (s.text) append_utf8(out, s.text); break;
    case StrRef::TOKEN: token(s.a); break;
    case StrRef::CONCAT:
      for (uint32_t i = s.a; i < s.b; ++i) token(i);
      if (s.drop_last && !out.empty()) out.pop_back();
      break;
    case StrRef::JOIN_COLONS:
      for (uint32_t k = 0; k < s.a; ++k) {
        if (k) out += U"::";
        token(s.parts[k]);
      }
      break;
  }
  return out;
}

struct Pair {
  const Node* a;
  const Node* b;
};

// Fields of two records of one kind, in order: false at the first scalar that
// differs; records and lists go on `todo`.
class TreeCompare {
 public:
  TreeCompare(const Source& a, const Source& b) : a_(a), b_(b) {}

  Difference run() {
    todo_.push_back({a_.module, b_.module});
    while (!todo_.empty()) {
      const Pair p = todo_.back();
      todo_.pop_back();
      if (!p.a || !p.b) {
        if (p.a != p.b) return {Difference::TREE, (p.a ? p.a : p.b)->start};
        continue;
      }
      if (kind_of(p.a) != kind_of(p.b) || !fields(p.a, p.b)) return {Difference::TREE, p.a->start};
      if (kind_of(p.a) == NodeKind::Literal && !same_block(as<Literal>(p.a), as<Literal>(p.b)))
        return {Difference::BLOCK, p.a->start};
    }
    return {};
  }

 private:
  const Source& a_;
  const Source& b_;
  std::vector<Pair> todo_;

  bool same(int64_t, int64_t) { return true; }  // start and end: positions
  bool same(bool x, bool y) { return x == y; }
  bool same(const StrRef& x, const StrRef& y) { return x.is_none() == y.is_none() && resolve(a_, x) == resolve(b_, y); }
  bool same(Node* x, Node* y) {
    todo_.push_back({x, y});
    return true;
  }
  bool same(List* x, List* y) { return same_value(Value::of_list(x), Value::of_list(y)); }
  bool same_value(const Value& x, const Value& y) {
    if (x.tag != y.tag) return false;
    switch (x.tag) {
      case Value::NONE: return true;
      case Value::NODE: todo_.push_back({x.node, y.node}); return true;
      case Value::STR: return resolve(a_, x.str) == resolve(b_, y.str);
      case Value::LIST:
      case Value::TUPLE: {
        if (!x.list || !y.list) return x.list == y.list;
        if (x.list->host || y.list->host || x.list->size != y.list->size) return false;
        for (uint32_t k = 0; k < x.list->size; ++k)
          if (!same_value(x.list->items[k], y.list->items[k])) return false;
        return true;
      }
    }
    return false;
  }

  bool fields(const Node* x, const Node* y) {
    switch (kind_of(x)) {
#define RECORD(N, B)                                \
  case NodeKind::N: {                               \
    [[maybe_unused]] const N* r = record_of<N>(x);  \
    [[maybe_unused]] const N* s = record_of<N>(y);  \
    if (!r || !s) return false;
#define FIELD(R, F, S, D, K) \
  if (!same(r->F, s->F)) return false;
#define END(N) \
  return true; \
  }
#include "syntax/nodes.inc"
#undef RECORD
#undef FIELD
#undef END
      default:
        return false;
    }
  }

  // The embedded block of a query or resolvable literal: from its "{" to its end.
  int64_t brace(const Source& src, const Node* lit) const {
    const auto& t = *src.toks;
    auto it = std::upper_bound(t.begin(), t.end(), lit->start, [](int64_t off, const Token& k) { return off < k.start; });
    while (it != t.end() && (it->kind == TokKind::COMMENT || it->kind == TokKind::BOM)) ++it;
    return it == t.end() ? lit->end : it->start;
  }
  bool same_block(const Literal* x, const Literal* y) {
    if (x->kind.tag != StrRef::STATIC || !x->kind.text) return true;
    if (std::strcmp(x->kind.text, "QUERY") != 0 && std::strcmp(x->kind.text, "RESOLVABLE") != 0) return true;
    return squeezed(a_.text, brace(a_, x), x->end) == squeezed(b_.text, brace(b_, y), y->end);
  }
};

}  // namespace

Difference compare(const Source& a, const Source& b) {
  const auto& ta = *a.toks;
  const auto& tb = *b.toks;
  for (size_t i = 0; i < ta.size() && i < tb.size(); ++i) {
    const Token& x = ta[i];
    const Token& y = tb[i];
    if (x.kind != y.kind) return {Difference::TOKENS, x.start};
    if (!same_text(a.text, x.start, x.end, b.text, y.start, y.end) &&
        (x.kind != TokKind::COMMENT || squeezed(a.text, x.start, x.end) != squeezed(b.text, y.start, y.end)))
      return {Difference::TOKENS, x.start};
  }
  if (ta.size() != tb.size()) return {Difference::TOKENS, ta.empty() ? 0 : ta[std::min(ta.size(), tb.size()) - 1].start};
  return TreeCompare(a, b).run();
}

}  // namespace tarn::format
