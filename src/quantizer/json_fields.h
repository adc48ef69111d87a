// Typed field access for the quantizers' JSON readers (internal to src/quantizer/).
//
// Every failure is a norvex::Error: "missing field `<name>`" for an absent key, "invalid type
// for field `<name>`: expected ..." for a value of the wrong kind. Unknown keys are ignored.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/error.h"

namespace norvex::quantizer::json_fields {

inline const nlohmann::json& require(const nlohmann::json& j, const char* name) {
  if (!j.is_object()) throw Error("invalid type: expected a JSON object");
  const auto it = j.find(name);
  if (it == j.end()) throw Error(std::string("missing field `") + name + "`");
  return *it;
}

[[noreturn]] inline void invalid_type(const char* name, const char* expected) {
  throw Error(std::string("invalid type for field `") + name + "`: expected " + expected);
}

inline std::uint64_t get_u64(const nlohmann::json& j, const char* name) {
  const nlohmann::json& v = require(j, name);
  if (v.is_number_unsigned()) return v.get<std::uint64_t>();
  if (v.is_number_integer() && v.get<std::int64_t>() >= 0) {
    return static_cast<std::uint64_t>(v.get<std::int64_t>());
  }
  invalid_type(name, "an unsigned integer");
}

inline bool get_bool(const nlohmann::json& v, const char* name) {
  if (!v.is_boolean()) invalid_type(name, "a boolean");
  return v.get<bool>();
}

// An array of numbers, each taken as the nearest 32-bit float.
inline std::vector<float> get_f32_array(const nlohmann::json& j, const char* name) {
  const nlohmann::json& v = require(j, name);
  if (!v.is_array()) invalid_type(name, "an array of numbers");
  std::vector<float> out;
  out.reserve(v.size());
  for (const auto& e : v) {
    if (!e.is_number()) invalid_type(name, "an array of numbers");
    out.push_back(static_cast<float>(e.get<double>()));
  }
  return out;
}

}  // namespace norvex::quantizer::json_fields
