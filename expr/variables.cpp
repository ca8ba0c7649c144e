#include "expr/variables.h"

#include <cstring>

#include "runtime/status.h"
#include "runtime/string.h"

namespace {

VariableEntry* entry_at(Variables* v, uint64_t i) {
  return static_cast<VariableEntry*>(v->entries.data) + i;
}

VariableEntry* find(Variables* v, const String* name) {
  for (uint64_t i = 0; i < v->entries.count; ++i) {
    VariableEntry* e = entry_at(v, i);
    if (string_equals(&e->name, name->chars, name->length)) return e;
  }
  return nullptr;
}

// Stores `value` under the UTF-8 `name`, replacing an existing entry's value.
int set_value(Variables* v, const char* name, const ExprValue* value) {
  if (!name) return STATUS_BAD_ARGUMENT;
  String key;
  string_init(&key);
  if (!string_from_utf8(&key, name, std::strlen(name))) return STATUS_NO_MEMORY;
  VariableEntry* e = find(v, &key);
  int status = e ? value_assign(&e->value, value) : variables_add(v, &key, value);
  string_free(&key);
  return status;
}

}  // namespace

Resolver::~Resolver() = default;

int Resolver::lookup_cstr(ExprValue* result, const char*, uint64_t, const int64_t*) {
  if (result) value_set_null(result);
  return 0;
}

int Resolver::lookup(ExprValue* result, String* name, uint64_t count, const int64_t* indexes) {
  const char* utf8 = string_to_utf8(name);
  if (!utf8) return STATUS_NO_MEMORY;
  return lookup_cstr(result, utf8, count, indexes);
}

Variables::Variables() : parent(nullptr) {
  std::memset(&entries, 0, sizeof(entries));
  entries.elem_size = sizeof(VariableEntry);
}

Variables::~Variables() { variables_destroy(this); }

int Variables::lookup_cstr(ExprValue* result, const char* name, uint64_t count,
                           const int64_t* indexes) {
  if (!name) return STATUS_BAD_ARGUMENT;
  String s;
  string_init(&s);
  if (!string_from_utf8(&s, name, std::strlen(name))) return STATUS_NO_MEMORY;
  int status = lookup(result, &s, count, indexes);
  string_free(&s);
  return status;
}

int Variables::lookup(ExprValue* result, String* name, uint64_t count, const int64_t* indexes) {
  String effective;
  string_init(&effective);
  const String* key = name;
  if (count > 0) {
    bool ok = string_assign(&effective, name);
    for (uint64_t i = 0; ok && i < count; ++i)
      ok = string_append_format(&effective, "_%ld", static_cast<long>(indexes[i])) >= 0;
    if (!ok) {
      string_free(&effective);
      return STATUS_NO_MEMORY;
    }
    key = &effective;
  }
  int status = 0;
  if (VariableEntry* e = find(this, key)) {
    if (result) status = value_assign(result, &e->value);
  } else if (!parent) {
    status = STATUS_NOT_FOUND;
  } else {
    ExprValue found;
    value_init(&found);
    status = parent->lookup(&found, name, count, indexes);
    if (status == 0) status = variables_add(this, key, &found);
    if (status == 0 && result) status = value_assign(result, &found);
    value_clear(&found);
  }
  string_free(&effective);
  return status;
}

void variables_init(Variables* v) {
  variables_destroy(v);
  v->parent = nullptr;
}

void variables_clear(Variables* v) {
  for (uint64_t i = 0; i < v->entries.count; ++i) {
    VariableEntry* e = entry_at(v, i);
    string_free(&e->name);
    value_clear(&e->value);
  }
  v->entries.count = 0;
}

void variables_destroy(Variables* v) {
  variables_clear(v);
  dynarray_release(&v->entries);
  v->entries.elem_size = sizeof(VariableEntry);
}

int variables_set_int(Variables* v, const char* name, int64_t value) {
  ExprValue x;
  value_init(&x);
  value_set_int(&x, value);
  return set_value(v, name, &x);
}

int variables_set_string(Variables* v, const char* name, const String* value) {
  ExprValue x;
  value_init(&x);
  if (!value) {
    value_set_null(&x);
    return set_value(v, name, &x);
  }
  // The table copies the value itself; lend the String without a copy here.
  x.type = VALUE_STRING;
  x.string_value = const_cast<String*>(value);
  return set_value(v, name, &x);
}

int variables_add(Variables* v, const String* name, const ExprValue* value) {
  VariableEntry entry;
  string_init(&entry.name);
  value_init(&entry.value);
  if (!string_assign(&entry.name, name)) return STATUS_NO_MEMORY;
  if (value_assign(&entry.value, value) != 0 ||
      !dynarray_append(&v->entries, 1, &entry)) {
    string_free(&entry.name);
    value_clear(&entry.value);
    return STATUS_NO_MEMORY;
  }
  return 0;
}
