// Metadata filters: the input is a filter's JSON text and a properties JSON text, split at the
// first newline. Both are parsed as the engine parses stored JSON (text that does not parse is
// an Error); a filter object is then evaluated against the properties. Evaluation must never
// throw, and it must agree with how the language composes: a filter matches exactly when each
// of its entries does, and wrapping it in "$and" or "$or" changes nothing.
#include <string>
#include <string_view>

#include "common/json.h"
#include "fuzz_util.h"
#include "storage/engine/filter.h"

using namespace norvex;
using storage::engine::filter::get_nested_field;
using storage::engine::filter::get_nested_json_field;
using storage::engine::filter::kMaxFilterDepth;
using storage::engine::filter::metadata_matches_filter;

namespace {

PropertyMap to_map(const Json& object) {
  PropertyMap map;
  for (const auto& [key, value] : object.items()) map.emplace(key, value);
  return map;
}

bool matches(const PropertyMap& properties, const PropertyMap& filter) {
  try {
    return metadata_matches_filter(properties, filter);
  } catch (...) {
    fuzz::fail("filter evaluation threw");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzz::text_of(data, size);
  const std::size_t newline = input.find('\n');
  const std::string_view filter_text = input.substr(0, newline);
  const std::string_view properties_text =
      newline == std::string_view::npos ? std::string_view("{}") : input.substr(newline + 1);

  Json filter_json;
  Json properties_json;
  if (fuzz::refused([&] { filter_json = parse_json(filter_text); })) return 0;
  if (fuzz::refused([&] { properties_json = parse_json(properties_text); })) return 0;
  // Filters and properties are maps; anything else never reaches the evaluator.
  if (!filter_json.is_object() || !properties_json.is_object()) return 0;

  const PropertyMap filter = to_map(filter_json);
  const PropertyMap properties = to_map(properties_json);
  const bool result = matches(properties, filter);

  FUZZ_REQUIRE(matches(properties, {}));
  FUZZ_REQUIRE(matches({}, {}));
  matches({}, filter);

  bool all_entries = true;
  for (const auto& [key, condition] : filter) {
    all_entries = matches(properties, PropertyMap{{key, condition}}) && all_entries;
    // A path resolves the same from the map and from the object it came from.
    const Json* in_map = get_nested_field(properties, key);
    const Json* in_object = get_nested_json_field(properties_json, key);
    FUZZ_REQUIRE((in_map == nullptr) == (in_object == nullptr));
    FUZZ_REQUIRE(in_map == nullptr || json_equal(*in_map, *in_object));
  }
  FUZZ_REQUIRE(all_entries == result);

  // One more level of nesting is still evaluated while the filter stays within the depth limit.
  if (json_depth(filter_json) + 2 < kMaxFilterDepth) {
    FUZZ_REQUIRE(matches(properties, PropertyMap{{"$and", Json::array({filter_json})}}) == result);
    FUZZ_REQUIRE(matches(properties, PropertyMap{{"$or", Json::array({filter_json})}}) == result);
    FUZZ_REQUIRE(
        matches(properties, PropertyMap{{"$or", Json::array({1, "x", filter_json, nullptr})}}) ==
        result);
  }
  return 0;
}
