// Python values <-> the engine's JSON values and records. Every function
// needs the interpreter lock and throws PyErrorSet / PyFail on failure.
// Recursive conversions go through the interpreter's recursion guard and
// refuse nesting deeper than the engine stores, before building anything
// deeper.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "common/json_value.h"
#include "engine/velqor_engine.h"

namespace velq::py {

// A metadata dict: None (or nullptr) gives an empty map. Values: None, bool,
// integer (within i64), float (NaN and infinities become null), str, list and
// dict (str keys) convert; anything else becomes null. A dict that changes
// while it is read is a panic.
JsonObject parse_pydict(PyObject* dict);
// A filter argument: parsed, and when not empty checked by the filter
// validator (ValueError with its text). nullopt for None or an empty dict.
std::optional<JsonObject> parse_filter(PyObject* dict);

PyObject* json_to_py(const JsonValue& value);

// Stores `new_value` (a new reference, taken over) under `key`.
void set_item(PyObject* dict, const char* key, PyObject* new_value);
PyObject* json_object_to_py(const JsonObject& object);
// {"id", "metadata", "document"} in this order.
PyObject* get_result_to_py(const GetResult& result);

// The fields of a search hit to include.
struct HitFields {
  bool id = true;
  bool score = true;
  bool metadata = true;
  bool document = true;
};
PyObject* hits_to_py(const std::vector<SearchResult>& hits, const HitFields& fields);

// The per-row converters of batch writes: not a list means every row empty.
std::vector<JsonObject> parse_metadata_rows(PyObject* object, std::size_t rows);
std::vector<std::optional<std::string>> parse_document_rows(PyObject* object, std::size_t rows);

}  // namespace velq::py
