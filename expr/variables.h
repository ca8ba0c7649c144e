#pragma once

#include <cstdint>

#include "expr/value.h"
#include "runtime/dynarray.h"
#include "runtime/string.h"

// How evaluation finds the values of variables. The base class answers every
// name with null. `name` is a variable name, `count` indexes follow in
// `indexes` (null when count is 0); `result` may be null when the caller
// only asks whether the name exists. Returns a status: 6 for an unknown
// name, others as the implementation says.
class Resolver {
 public:
  virtual ~Resolver();
  // Name as NUL-terminated UTF-8.
  [[nodiscard]] virtual int lookup_cstr(ExprValue* result, const char* name, uint64_t count,
                                        const int64_t* indexes);
  // Name as a String; the base converts it to UTF-8 and calls lookup_cstr.
  [[nodiscard]] virtual int lookup(ExprValue* result, String* name, uint64_t count,
                                   const int64_t* indexes);
};

// One named value of a Variables table.
struct VariableEntry {
  String name;
  ExprValue value;
};

// A table of named values, searched in insertion order with exact
// (case-sensitive) names. A miss can be passed on to `parent`, whose answer
// is then cached in this table under the effective name.
class Variables : public Resolver {
 public:
  Variables();
  ~Variables() override;
  int lookup_cstr(ExprValue* result, const char* name, uint64_t count,
                  const int64_t* indexes) override;
  // With indexes the effective name is the name followed by "_<index>" for
  // each index (x with 1 and 2 is x_1_2). 5 memory, 6 not found here nor
  // in the parent, parent statuses pass through.
  int lookup(ExprValue* result, String* name, uint64_t count, const int64_t* indexes) override;

  Resolver* parent;   // consulted on a miss; not owned
  DynArray entries;   // VariableEntry, owned
};

// No parent, no entries.
void variables_init(Variables* v);
// Frees every entry; the table stays usable.
void variables_clear(Variables* v);
// Clears and releases the storage. Idempotent.
void variables_destroy(Variables* v);
// Set an integer / a copy of a String (null: the value null) under a UTF-8
// name, replacing the value of an existing entry. 13 for a null name, 5 when
// memory runs out (the table is then unchanged).
[[nodiscard]] int variables_set_int(Variables* v, const char* name, int64_t value);
[[nodiscard]] int variables_set_string(Variables* v, const char* name, const String* value);
// Appends an entry with copies of name and value; 5 (table unchanged) when
// memory runs out.
[[nodiscard]] int variables_add(Variables* v, const String* name, const ExprValue* value);
