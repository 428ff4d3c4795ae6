#include "dump.h"

#include <cstdio>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tarn::syntax {

namespace {

// ---------------------------------------------------------------- strings

// Decodes one UTF-8 sequence at s[i] (advancing i); malformed bytes come out
// as U+FFFD one at a time.
char32_t next_code_point(std::string_view s, size_t& i) {
  const auto b = static_cast<unsigned char>(s[i]);
  int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t c = len == 1 ? b : b & (0x7F >> len);
  for (int k = 1; k < len; ++k) {
    const auto cont = static_cast<unsigned char>(s[i + k]);
    if ((cont >> 6) != 2) {
      ++i;
      return 0xFFFD;
    }
    c = (c << 6) | (cont & 0x3F);
  }
  i += len;
  return c;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Code points the host escapes in a repr: controls, separators other than
// the space, common format characters, surrogates and private use. (The host
// also escapes unassigned code points; a tool does not need that.)
bool escaped_in_repr(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0xAD) return true;
  if (c == 0x1680 || (c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F)) return true;
  if ((c >= 0x205F && c <= 0x206F) || c == 0x3000 || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB)) return true;
  if (c == 0x061C || c == 0x180E || (c >= 0x0600 && c <= 0x0605) || c == 0x06DD || c == 0x070F) return true;
  if ((c >= 0xD800 && c <= 0xF8FF) || c == 0xFFFE || c == 0xFFFF || c >= 0xF0000) return true;
  return false;
}

void append_escape(std::string& out, char32_t c) {
  char buf[16];
  if (c < 0x100)
    std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(c));
  else if (c < 0x10000)
    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
  else
    std::snprintf(buf, sizeof buf, "\\U%08x", static_cast<unsigned>(c));
  out += buf;
}

// ---------------------------------------------------------------- fields

template <class N>
const N* as_record(const Node* n) {
  if constexpr (std::is_base_of_v<Node, N>)
    return static_cast<const N*>(n);
  else
    return nullptr;  // ParseError is no Node; never reached
}

// Records below Node inherit exactly start and end (Stmt and Expr add none).
template <class N, class F>
void visit_inherited(const N* r, F& f) {
  if constexpr (std::is_base_of_v<Node, N> && !std::is_same_v<N, Node>) {
    f("start", r->start);
    f("end", r->end);
  }
}

// Calls f(field name, field value) for every field of n in field order.
template <class F>
void visit_fields(const Node* n, F&& f) {
  switch (n->kind) {
#define RECORD(N, B)                    \
  case NodeKind::N: {                   \
    [[maybe_unused]] const N* r = as_record<N>(n); \
    visit_inherited(r, f);
#define FIELD(R, F, S, D, K) f(#F, r->F);
#define END(N) \
  break;       \
  }
#include "core/syntax/nodes.inc"
#undef RECORD
#undef FIELD
#undef END
    default: break;
  }
}

// ---------------------------------------------------------------- printer

// One pending piece of output: literal text, a record, or a list element.
struct Work {
  enum Kind : uint8_t { TEXT, NODE, VALUE } kind = TEXT;
  std::string text;
  const Node* node = nullptr;
  Value value;
  static Work of_text(std::string s) { Work w; w.text = std::move(s); return w; }
  static Work of_node(const Node* n) { Work w; w.kind = NODE; w.node = n; return w; }
  static Work of_value(const Value& v) { Work w; w.kind = VALUE; w.value = v; return w; }
};

class Printer {
 public:
  explicit Printer(const StrResolver& resolve) : resolve_(resolve) {}

  std::string run(Work first) {
    stack_.push_back(std::move(first));
    while (!stack_.empty()) {
      Work w = std::move(stack_.back());
      stack_.pop_back();
      switch (w.kind) {
        case Work::TEXT: out_ += w.text; break;
        case Work::NODE: expand_node(w.node); break;
        case Work::VALUE: expand_value(w.value); break;
      }
    }
    return std::move(out_);
  }

 private:
  std::string str(const StrRef& s) { return s.is_none() ? "None" : quote(resolve_(s)); }
  Work field_work(int64_t v) { return Work::of_text(std::to_string(v)); }
  Work field_work(bool v) { return Work::of_text(v ? "True" : "False"); }
  Work field_work(const StrRef& s) { return Work::of_text(str(s)); }
  Work field_work(List* l) { return l ? Work::of_value(Value::of_list(l)) : Work::of_text("None"); }
  Work field_work(Node* n) { return n ? Work::of_node(n) : Work::of_text("None"); }

  void expand_node(const Node* n) {
    if (n->kind == NodeKind::HostRef) {
      out_ += "<host object>";
      return;
    }
    std::vector<Work> parts;
    parts.push_back(Work::of_text(std::string(record_name(n->kind)) + "("));
    bool first = true;
    visit_fields(n, [&](const char* name, const auto& value) {
      std::string label = first ? "" : ", ";
      std::string_view nm = name;
      if (!nm.empty() && nm.back() == '_') nm.remove_suffix(1);  // default_ is "default"
      label.append(nm).append("=");
      parts.push_back(Work::of_text(std::move(label)));
      parts.push_back(field_work(value));
      first = false;
    });
    parts.push_back(Work::of_text(")"));
    push_reversed(parts);
  }

  void expand_value(const Value& v) {
    switch (v.tag) {
      case Value::NONE: out_ += "None"; return;
      case Value::NODE: stack_.push_back(Work::of_node(v.node)); return;
      case Value::STR: out_ += str(v.str); return;
      case Value::LIST:
      case Value::TUPLE: break;
    }
    const List* l = v.list;
    if (l->host) {
      out_ += "<host list>";
      return;
    }
    const bool tuple = v.tag == Value::TUPLE;
    std::vector<Work> parts;
    parts.push_back(Work::of_text(tuple ? "(" : "["));
    for (uint32_t i = 0; i < l->size; ++i) {
      if (i) parts.push_back(Work::of_text(", "));
      parts.push_back(Work::of_value(l->items[i]));
    }
    if (tuple && l->size == 1) parts.push_back(Work::of_text(","));
    parts.push_back(Work::of_text(tuple ? ")" : "]"));
    push_reversed(parts);
  }

  void push_reversed(std::vector<Work>& parts) {
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) stack_.push_back(std::move(*it));
  }

  const StrResolver& resolve_;
  std::vector<Work> stack_;
  std::string out_;
};

}  // namespace

std::string quote(const std::string& utf8) {
  const bool has_single = utf8.find('\'') != std::string::npos;
  const bool has_double = utf8.find('"') != std::string::npos;
  const char q = has_single && !has_double ? '"' : '\'';
  std::string out(1, q);
  for (size_t i = 0; i < utf8.size();) {
    const char32_t c = next_code_point(utf8, i);
    if (c == '\\' || c == static_cast<char32_t>(q)) {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (escaped_in_repr(c)) {
      append_escape(out, c);
    } else {
      append_utf8(out, c);
    }
  }
  out += q;
  return out;
}

std::string dump(const Node* node, const StrResolver& resolve) {
  if (!node) return "None";
  return Printer(resolve).run(Work::of_node(node));
}

std::string dump(const Value& value, const StrResolver& resolve) { return Printer(resolve).run(Work::of_value(value)); }

}  // namespace tarn::syntax
