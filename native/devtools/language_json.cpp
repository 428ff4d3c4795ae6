#include "language_json.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

namespace tarn {
namespace {

// Just enough JSON for a language definition: a small tree of values.
struct JsonValue {
  enum class Type { NUL, BOOLEAN, NUMBER, STRING, ARRAY, OBJECT } type = Type::NUL;
  std::u32string str;
  std::vector<JsonValue> items;                              // ARRAY
  std::vector<std::pair<std::u32string, JsonValue>> members;  // OBJECT, in first-seen key order

  // Out of line: members' element type holds a JsonValue, which is complete
  // only after the closing brace (some standard libraries check that eagerly).
  JsonValue();
  JsonValue(JsonValue&&) noexcept;
  JsonValue& operator=(JsonValue&&) noexcept;
  ~JsonValue();

  const JsonValue* member(std::u32string_view key) const {
    for (const auto& [k, v] : members)
      if (k == key) return &v;
    return nullptr;
  }
};
JsonValue::JsonValue() = default;
JsonValue::JsonValue(JsonValue&&) noexcept = default;
JsonValue& JsonValue::operator=(JsonValue&&) noexcept = default;
JsonValue::~JsonValue() = default;

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(decode_utf8(text, &valid_utf8_)) {}

  bool document(JsonValue& out, std::string& error) {
    if (!valid_utf8_) return fail(error, "not valid UTF-8");
    skip_space();
    if (!value(out, 0, error)) return false;
    skip_space();
    return pos_ == text_.size() || fail(error, "extra data after the document");
  }

 private:
  static constexpr int kMaxDepth = 256;

  bool fail(std::string& error, const char* what) {
    error = std::string(what) + " at offset " + std::to_string(pos_);
    return false;
  }
  void skip_space() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r'))
      ++pos_;
  }
  bool literal(std::u32string_view word) {
    if (text_.compare(pos_, word.size(), word) != 0) return false;
    pos_ += word.size();
    return true;
  }

  bool value(JsonValue& out, int depth, std::string& error) {
    if (depth > kMaxDepth) return fail(error, "nesting too deep");
    if (pos_ >= text_.size()) return fail(error, "unexpected end");
    const char32_t c = text_[pos_];
    if (c == '{') return object(out, depth, error);
    if (c == '[') return array(out, depth, error);
    if (c == '"') {
      out.type = JsonValue::Type::STRING;
      return string(out.str, error);
    }
    if (literal(U"true") || literal(U"false")) return out.type = JsonValue::Type::BOOLEAN, true;
    if (literal(U"null")) return out.type = JsonValue::Type::NUL, true;
    if (c == '-' || (c >= '0' && c <= '9')) return number(out, error);
    return fail(error, "unexpected character");
  }

  // Numbers carry nothing the lexer needs: checked for shape, then skipped.
  bool number(JsonValue& out, std::string& error) {
    const size_t begin = pos_;
    auto digits = [&] {
      const size_t d = pos_;
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
      return pos_ > d;
    };
    if (text_[pos_] == '-') ++pos_;
    if (!digits()) return fail(error, "malformed number");
    if (pos_ < text_.size() && text_[pos_] == '.' && (++pos_, !digits())) return fail(error, "malformed number");
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      if (!digits()) return fail(error, "malformed number");
    }
    out.type = JsonValue::Type::NUMBER;
    return pos_ > begin;
  }

  bool hex4(char32_t& out) {
    if (pos_ + 4 > text_.size()) return false;
    out = 0;
    for (int k = 0; k < 4; ++k) {
      const char32_t h = text_[pos_++];
      out <<= 4;
      if (h >= '0' && h <= '9') out |= h - '0';
      else if (h >= 'a' && h <= 'f') out |= h - 'a' + 10;
      else if (h >= 'A' && h <= 'F') out |= h - 'A' + 10;
      else return false;
    }
    return true;
  }

  bool string(std::u32string& out, std::string& error) {
    ++pos_;  // opening quote
    out.clear();
    while (pos_ < text_.size()) {
      const char32_t c = text_[pos_++];
      if (c == '"') return true;
      if (c < 0x20) return fail(error, "control character in string");
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (pos_ >= text_.size()) break;
      const char32_t e = text_[pos_++];
      switch (e) {
        case '"': case '\\': case '/': out.push_back(e); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          char32_t u;
          if (!hex4(u)) return fail(error, "malformed \\u escape");
          // A high surrogate followed by an escaped low one is one code
          // point; any other surrogate stands for itself, as in the host.
          if (u >= 0xD800 && u <= 0xDBFF && text_.compare(pos_, 2, U"\\u") == 0) {
            const size_t save = pos_;
            pos_ += 2;
            char32_t low;
            if (hex4(low) && low >= 0xDC00 && low <= 0xDFFF) u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
            else pos_ = save;
          }
          out.push_back(u);
          break;
        }
        default: return fail(error, "unknown escape");
      }
    }
    return fail(error, "unterminated string");
  }

  bool array(JsonValue& out, int depth, std::string& error) {
    out.type = JsonValue::Type::ARRAY;
    ++pos_;
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == ']') return ++pos_, true;
    for (;;) {
      skip_space();
      out.items.emplace_back();
      if (!value(out.items.back(), depth + 1, error)) return false;
      skip_space();
      if (pos_ < text_.size() && text_[pos_] == ',') { ++pos_; continue; }
      if (pos_ < text_.size() && text_[pos_] == ']') return ++pos_, true;
      return fail(error, "expected ',' or ']'");
    }
  }

  bool object(JsonValue& out, int depth, std::string& error) {
    out.type = JsonValue::Type::OBJECT;
    std::map<std::u32string, size_t> index;
    ++pos_;
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == '}') return ++pos_, true;
    for (;;) {
      skip_space();
      if (pos_ >= text_.size() || text_[pos_] != '"') return fail(error, "expected a key");
      std::u32string key;
      if (!string(key, error)) return false;
      skip_space();
      if (pos_ >= text_.size() || text_[pos_] != ':') return fail(error, "expected ':'");
      ++pos_;
      skip_space();
      JsonValue v;
      if (!value(v, depth + 1, error)) return false;
      auto [it, fresh] = index.try_emplace(key, out.members.size());
      if (fresh) out.members.emplace_back(std::move(key), std::move(v));
      else out.members[it->second].second = std::move(v);
      skip_space();
      if (pos_ < text_.size() && text_[pos_] == ',') { ++pos_; continue; }
      if (pos_ < text_.size() && text_[pos_] == '}') return ++pos_, true;
      return fail(error, "expected ',' or '}'");
    }
  }

  bool valid_utf8_ = true;
  std::u32string text_;
  size_t pos_ = 0;
};

bool fill_keywords(const JsonValue& keywords, Language& lang, std::vector<std::string>& names, std::string& error) {
  if (keywords.type != JsonValue::Type::OBJECT) return error = "\"keywords\" is not an object", false;
  for (const auto& [name, entry] : keywords.members) {
    const JsonValue* forms = entry.type == JsonValue::Type::OBJECT ? entry.member(U"forms") : nullptr;
    if (!forms) return error = "keyword " + encode_utf8(name) + " has no \"forms\"", false;
    if (forms->type != JsonValue::Type::ARRAY) return error = "\"forms\" of " + encode_utf8(name) + " is not an array", false;
    const auto id = static_cast<int32_t>(names.size());
    names.push_back(encode_utf8(name));
    for (const JsonValue& form : forms->items)
      if (form.type == JsonValue::Type::STRING) lang.add_form(form.str, id);
  }
  return true;
}

bool fill_operators(const JsonValue& operators, Language& lang, std::string& error) {
  if (operators.type != JsonValue::Type::ARRAY) return error = "\"operators\" is not an array", false;
  if (operators.items.empty()) return error = "\"operators\" is empty", false;
  for (const JsonValue& op : operators.items) {
    if (op.type != JsonValue::Type::STRING) return error = "an operator is not a string", false;
    if (op.str.empty()) return error = "an operator is empty", false;
  }
  for (const JsonValue& op : operators.items) lang.add_operator(op.str);
  return true;
}

}  // namespace

bool read_language_json(std::string_view json, Language& lang, std::vector<std::string>& canonical_names,
                        std::string& error) {
  JsonValue doc;
  if (!JsonReader(json).document(doc, error)) return false;
  if (doc.type != JsonValue::Type::OBJECT) return error = "the definition is not an object", false;
  const JsonValue* keywords = doc.member(U"keywords");
  const JsonValue* operators = doc.member(U"operators");
  if (!keywords) return error = "missing \"keywords\"", false;
  if (!operators) return error = "missing \"operators\"", false;
  return fill_keywords(*keywords, lang, canonical_names, error) && fill_operators(*operators, lang, error);
}

bool read_language_file(const std::string& path, Language& lang, std::vector<std::string>& canonical_names,
                        std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return error = "cannot read " + path, false;
  std::ostringstream buf;
  buf << in.rdbuf();
  return read_language_json(buf.str(), lang, canonical_names, error);
}

std::u32string decode_utf8(std::string_view s, bool* ok) {
  std::u32string out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    int extra;
    char32_t cp, min;
    if ((b & 0xE0) == 0xC0) extra = 1, cp = b & 0x1F, min = 0x80;
    else if ((b & 0xF0) == 0xE0) extra = 2, cp = b & 0x0F, min = 0x800;
    else if ((b & 0xF8) == 0xF0) extra = 3, cp = b & 0x07, min = 0x10000;
    else extra = -1, cp = 0, min = 0;
    size_t k = 1;
    for (; extra > 0 && k <= static_cast<size_t>(extra) && i + k < n && (p[i + k] & 0xC0) == 0x80; ++k)
      cp = (cp << 6) | (p[i + k] & 0x3F);
    const bool complete = extra > 0 && k == static_cast<size_t>(extra) + 1;
    if (complete && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(cp);
      i += k;
    } else {
      out.push_back(0xFFFD);
      if (ok) *ok = false;
      i += complete ? k : std::max<size_t>(k, 1);
    }
  }
  return out;
}

std::string encode_utf8(std::u32string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char32_t c : s) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace tarn
