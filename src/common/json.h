// The metadata value model: nlohmann::json (objects keep their keys sorted; numbers come in
// three forms: non-negative integer, negative integer, float) and the property map that
// metadata, filters and updates travel in.
#pragma once

#include <cstddef>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace norvex {

using Json = nlohmann::json;
using PropertyMap = std::unordered_map<std::string, Json>;

// Deepest nesting accepted from stored JSON and from Python objects; the recursive walks over
// values (comparison, conversion, printing) rely on it.
inline constexpr std::size_t kMaxJsonDepth = 128;

// Which form a number takes. Integers >= 0 always count as non-negative integers, whatever
// nlohmann type holds them, so equality is by form and value.
enum class NumberForm { kNonNegative, kNegative, kFloat };
NumberForm number_form(const Json& number);

// Structural JSON equality: same type; numbers of the same form and value; strings
// byte-equal; arrays element-wise; objects with the same keys and equal values. Unlike
// nlohmann's operator==, the integer 1 and the float 1.0 differ.
bool json_equal(const Json& a, const Json& b);

// Nesting depth of a value: 0 for a scalar, 1 for a flat array or object.
std::size_t json_depth(const Json& value);

// Decides whether an object whose position is `path` (the keys leading to it; "[]" for an
// array element) is a record with fixed fields, where a repeated key is refused with
// "duplicate field `key`". Other objects (free-form maps) keep the last value of a key.
using StrictObjectPredicate = std::function<bool(const std::vector<std::string>& path)>;

// Parses JSON text. Syntax errors, invalid UTF-8 and nesting deeper than kMaxJsonDepth throw
// norvex::Error with a readable message. Integers that fit are kept exact.
Json parse_json(std::string_view text, const StrictObjectPredicate& strict = nullptr);

// Compact text (no spaces or newlines).
std::string dump_compact(const Json& value);

// Throws Error "missing field `name`" unless `object` has the key; returns the value.
const Json& require_field(const Json& object, const char* name);

}  // namespace norvex
