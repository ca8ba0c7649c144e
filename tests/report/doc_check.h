#pragma once

// Small strict checkers for the documents the report writers produce: a
// JSON parser into a tree (RFC 8259, no extensions) and an XML
// well-formedness checker. Test code only.

#include <map>
#include <memory>
#include <string>
#include <vector>

struct JsonValue {
  enum Kind { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
  bool flag = false;
  double number = 0;
  std::string text;  // STRING: decoded UTF-8
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;  // in document order

  // Member by key (null value for a missing key or a non-object).
  const JsonValue& operator[](const std::string& key) const;
  const JsonValue& operator[](size_t i) const;
  bool has(const std::string& key) const;
};

// Parses a whole document; on error returns false and sets *error to the
// byte offset and reason.
bool json_parse(const std::string& text, JsonValue* out, std::string* error);

struct XmlElement {
  std::string name;
  std::map<std::string, std::string> attributes;  // values with entities decoded
  std::string text;                               // character data directly inside, decoded
};

// Checks that `text` is one well-formed XML document (optional declaration,
// one root element, balanced and properly nested tags, quoted attributes
// without duplicates, only the five predefined entities and character
// references, valid UTF-8). Collects every element in document order.
bool xml_check(const std::string& text, std::vector<XmlElement>* elements, std::string* error);

std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
