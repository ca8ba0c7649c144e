#include "tests/report/doc_check.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

const JsonValue kNull;

struct JsonParser {
  const std::string& s;
  size_t i = 0;
  std::string error;

  bool fail(const char* why) {
    if (error.empty()) error = std::to_string(i) + ": " + why;
    return false;
  }
  void ws() {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  }
  bool literal(const char* word) {
    size_t n = strlen(word);
    if (s.compare(i, n, word) != 0) return fail("bad literal");
    i += n;
    return true;
  }
  static void put_utf8(std::string* out, unsigned c) {
    if (c < 0x80) {
      *out += static_cast<char>(c);
    } else if (c < 0x800) {
      *out += static_cast<char>(0xC0 | (c >> 6));
      *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *out += static_cast<char>(0xE0 | (c >> 12));
      *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | (c >> 18));
      *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  bool hex4(unsigned* v) {
    if (i + 4 > s.size()) return fail("short \\u");
    *v = 0;
    for (int k = 0; k < 4; ++k) {
      char c = s[i++];
      *v <<= 4;
      if (c >= '0' && c <= '9') *v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') *v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') *v |= static_cast<unsigned>(c - 'A' + 10);
      else return fail("bad hex digit");
    }
    return true;
  }
  bool string(std::string* out) {
    if (s[i] != '"') return fail("expected string");
    ++i;
    while (true) {
      if (i >= s.size()) return fail("unterminated string");
      unsigned char c = static_cast<unsigned char>(s[i]);
      if (c == '"') {
        ++i;
        return true;
      }
      if (c < 0x20) return fail("raw control character in string");
      if (c != '\\') {
        *out += static_cast<char>(c);
        ++i;
        continue;
      }
      ++i;
      if (i >= s.size()) return fail("unterminated escape");
      char e = s[i++];
      switch (e) {
        case '"': *out += '"'; break;
        case '\\': *out += '\\'; break;
        case '/': *out += '/'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': {
          unsigned v = 0;
          if (!hex4(&v)) return false;
          if (v >= 0xD800 && v < 0xDC00) {
            unsigned lo = 0;
            if (s.compare(i, 2, "\\u") != 0) return fail("lone surrogate");
            i += 2;
            if (!hex4(&lo) || lo < 0xDC00 || lo > 0xDFFF) return fail("bad surrogate pair");
            v = 0x10000 + ((v - 0xD800) << 10) + (lo - 0xDC00);
          }
          put_utf8(out, v);
          break;
        }
        default: return fail("bad escape");
      }
    }
  }
  bool number(double* out) {
    size_t start = i;
    if (s[i] == '-') ++i;
    if (i >= s.size() || !isdigit(static_cast<unsigned char>(s[i]))) return fail("bad number");
    if (s[i] == '0') ++i;
    else while (i < s.size() && isdigit(static_cast<unsigned char>(s[i]))) ++i;
    if (i < s.size() && s[i] == '.') {
      ++i;
      if (i >= s.size() || !isdigit(static_cast<unsigned char>(s[i]))) return fail("bad fraction");
      while (i < s.size() && isdigit(static_cast<unsigned char>(s[i]))) ++i;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
      ++i;
      if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
      if (i >= s.size() || !isdigit(static_cast<unsigned char>(s[i]))) return fail("bad exponent");
      while (i < s.size() && isdigit(static_cast<unsigned char>(s[i]))) ++i;
    }
    *out = strtod(s.substr(start, i - start).c_str(), nullptr);
    return true;
  }
  bool value(JsonValue* v, int depth) {
    if (depth > 64) return fail("too deep");
    ws();
    if (i >= s.size()) return fail("unexpected end");
    char c = s[i];
    if (c == '{') {
      v->kind = JsonValue::OBJECT;
      ++i;
      ws();
      if (i < s.size() && s[i] == '}') return ++i, true;
      while (true) {
        ws();
        std::string key;
        if (i >= s.size() || !string(&key)) return fail("expected key");
        ws();
        if (i >= s.size() || s[i] != ':') return fail("expected ':'");
        ++i;
        JsonValue member;
        if (!value(&member, depth + 1)) return false;
        v->members.emplace_back(key, std::move(member));
        ws();
        if (i < s.size() && s[i] == ',') { ++i; continue; }
        if (i < s.size() && s[i] == '}') return ++i, true;
        return fail("expected ',' or '}'");
      }
    }
    if (c == '[') {
      v->kind = JsonValue::ARRAY;
      ++i;
      ws();
      if (i < s.size() && s[i] == ']') return ++i, true;
      while (true) {
        JsonValue item;
        if (!value(&item, depth + 1)) return false;
        v->items.push_back(std::move(item));
        ws();
        if (i < s.size() && s[i] == ',') { ++i; continue; }
        if (i < s.size() && s[i] == ']') return ++i, true;
        return fail("expected ',' or ']'");
      }
    }
    if (c == '"') {
      v->kind = JsonValue::STRING;
      return string(&v->text);
    }
    if (c == 't') { v->kind = JsonValue::BOOL; v->flag = true; return literal("true"); }
    if (c == 'f') { v->kind = JsonValue::BOOL; return literal("false"); }
    if (c == 'n') { v->kind = JsonValue::NUL; return literal("null"); }
    v->kind = JsonValue::NUMBER;
    return number(&v->number);
  }
};

bool valid_utf8(const std::string& s, std::string* error) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (n < 0 || i + n >= s.size() + (n ? 0 : 1)) {
      *error = "invalid UTF-8 at " + std::to_string(i);
      return false;
    }
    for (int k = 1; k <= n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
        *error = "invalid UTF-8 at " + std::to_string(i);
        return false;
      }
    }
    i += static_cast<size_t>(n) + 1;
  }
  return true;
}

bool name_char(char c, bool first) {
  return isalpha(static_cast<unsigned char>(c)) || c == '_' || c == ':' ||
         (!first && (isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '.'));
}

// Decodes character data; false for '<' or a bad entity.
bool decode_chars(const std::string& raw, std::string* out, std::string* error) {
  for (size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '<') return *error = "'<' in character data", false;
    if (c != '&') {
      *out += c;
      continue;
    }
    size_t end = raw.find(';', i);
    if (end == std::string::npos) return *error = "unterminated entity", false;
    std::string name = raw.substr(i + 1, end - i - 1);
    if (name == "amp") *out += '&';
    else if (name == "lt") *out += '<';
    else if (name == "gt") *out += '>';
    else if (name == "quot") *out += '"';
    else if (name == "apos") *out += '\'';
    else if (name.size() > 1 && name[0] == '#') {
      unsigned long v = name[1] == 'x' ? strtoul(name.c_str() + 2, nullptr, 16)
                                       : strtoul(name.c_str() + 1, nullptr, 10);
      if (!v) return *error = "bad character reference", false;
      JsonParser::put_utf8(out, static_cast<unsigned>(v));
    } else {
      return *error = "unknown entity &" + name + ";", false;
    }
    i = end;
  }
  return true;
}

}  // namespace

const JsonValue& JsonValue::operator[](const std::string& key) const {
  for (const auto& m : members)
    if (m.first == key) return m.second;
  return kNull;
}

const JsonValue& JsonValue::operator[](size_t i) const { return i < items.size() ? items[i] : kNull; }

bool JsonValue::has(const std::string& key) const {
  for (const auto& m : members)
    if (m.first == key) return true;
  return false;
}

bool json_parse(const std::string& text, JsonValue* out, std::string* error) {
  if (!valid_utf8(text, error)) return false;
  JsonParser p{text, 0, {}};
  *out = JsonValue{};
  if (!p.value(out, 0)) {
    *error = p.error;
    return false;
  }
  p.ws();
  if (p.i != text.size()) {
    *error = "trailing data at " + std::to_string(p.i);
    return false;
  }
  return true;
}

bool xml_check(const std::string& s, std::vector<XmlElement>* elements, std::string* error) {
  if (!valid_utf8(s, error)) return false;
  std::vector<std::string> open;
  std::vector<size_t> open_index;
  size_t i = 0;
  bool root_seen = false;
  if (s.compare(0, 5, "<?xml") == 0) {
    i = s.find("?>");
    if (i == std::string::npos) return *error = "unterminated declaration", false;
    i += 2;
  }
  while (i < s.size()) {
    size_t lt = s.find('<', i);
    std::string chars = s.substr(i, (lt == std::string::npos ? s.size() : lt) - i);
    std::string decoded;
    if (!decode_chars(chars, &decoded, error)) return false;
    if (open.empty()) {
      if (decoded.find_first_not_of(" \t\r\n") != std::string::npos)
        return *error = "text outside the root element", false;
    } else {
      (*elements)[open_index.back()].text += decoded;
    }
    if (lt == std::string::npos) break;
    i = lt + 1;
    if (s.compare(i, 3, "!--") == 0) {
      size_t end = s.find("-->", i);
      if (end == std::string::npos) return *error = "unterminated comment", false;
      i = end + 3;
      continue;
    }
    bool closing = i < s.size() && s[i] == '/';
    if (closing) ++i;
    size_t start = i;
    while (i < s.size() && name_char(s[i], i == start)) ++i;
    std::string name = s.substr(start, i - start);
    if (name.empty()) return *error = "bad tag name at " + std::to_string(start), false;
    if (closing) {
      while (i < s.size() && isspace(static_cast<unsigned char>(s[i]))) ++i;
      if (i >= s.size() || s[i] != '>') return *error = "bad closing tag", false;
      ++i;
      if (open.empty() || open.back() != name)
        return *error = "mismatched </" + name + ">", false;
      open.pop_back();
      open_index.pop_back();
      continue;
    }
    if (open.empty() && root_seen) return *error = "second root element", false;
    root_seen = true;
    XmlElement element;
    element.name = name;
    bool self_closing = false;
    while (true) {
      size_t before = i;
      while (i < s.size() && isspace(static_cast<unsigned char>(s[i]))) ++i;
      if (i >= s.size()) return *error = "unterminated tag", false;
      if (s[i] == '>') { ++i; break; }
      if (s.compare(i, 2, "/>") == 0) { i += 2; self_closing = true; break; }
      if (i == before) return *error = "attributes must be separated by space in <" + name + ">", false;
      size_t a = i;
      while (i < s.size() && name_char(s[i], i == a)) ++i;
      std::string attr = s.substr(a, i - a);
      if (attr.empty() || i >= s.size() || s[i] != '=') return *error = "bad attribute in <" + name + ">", false;
      ++i;
      if (i >= s.size() || (s[i] != '"' && s[i] != '\'')) return *error = "unquoted attribute", false;
      char q = s[i++];
      size_t end = s.find(q, i);
      if (end == std::string::npos) return *error = "unterminated attribute", false;
      std::string value;
      if (!decode_chars(s.substr(i, end - i), &value, error)) return false;
      if (element.attributes.count(attr)) return *error = "duplicate attribute " + attr, false;
      element.attributes[attr] = value;
      i = end + 1;
    }
    elements->push_back(element);
    if (!self_closing) {
      open.push_back(name);
      open_index.push_back(elements->size() - 1);
    }
  }
  if (!open.empty()) return *error = "unclosed <" + open.back() + ">", false;
  if (!root_seen) return *error = "no root element", false;
  return true;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}
