#include "common/json.h"

#include <set>

#include "common/error.h"

namespace norvex {

NumberForm number_form(const Json& number) {
  if (number.is_number_float()) return NumberForm::kFloat;
  if (number.is_number_unsigned()) return NumberForm::kNonNegative;
  return number.get<std::int64_t>() < 0 ? NumberForm::kNegative : NumberForm::kNonNegative;
}

bool json_equal(const Json& a, const Json& b) {
  if (a.is_number() && b.is_number()) {
    const NumberForm fa = number_form(a);
    if (fa != number_form(b)) return false;
    switch (fa) {
      case NumberForm::kFloat:
        return a.get<double>() == b.get<double>();
      case NumberForm::kNonNegative:
        return a.get<std::uint64_t>() == b.get<std::uint64_t>();
      case NumberForm::kNegative:
        return a.get<std::int64_t>() == b.get<std::int64_t>();
    }
  }
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Json::value_t::null:
      return true;
    case Json::value_t::boolean:
      return a.get<bool>() == b.get<bool>();
    case Json::value_t::string:
      return a.get_ref<const std::string&>() == b.get_ref<const std::string&>();
    case Json::value_t::array: {
      if (a.size() != b.size()) return false;
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (!json_equal(a[i], b[i])) return false;
      }
      return true;
    }
    case Json::value_t::object: {
      if (a.size() != b.size()) return false;
      auto ia = a.begin();
      auto ib = b.begin();
      for (; ia != a.end(); ++ia, ++ib) {
        if (ia.key() != ib.key() || !json_equal(ia.value(), ib.value())) return false;
      }
      return true;
    }
    default:
      return false;  // binary and discarded values never occur in metadata
  }
}

std::size_t json_depth(const Json& value) {
  if (!value.is_structured()) return 0;
  std::size_t deepest = 0;
  for (const auto& child : value) deepest = std::max(deepest, json_depth(child));
  return deepest + 1;
}

namespace {

struct Frame {
  bool is_object = false;
  bool strict = false;
  std::set<std::string> keys;
};

std::string strip_exception_prefix(const char* what) {
  // nlohmann prefixes its messages with "[json.exception.<kind>.<id>] ".
  std::string_view text(what);
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find("] ");
    if (close != std::string_view::npos) text.remove_prefix(close + 2);
  }
  return std::string(text);
}

}  // namespace

Json parse_json(std::string_view text, const StrictObjectPredicate& strict) {
  std::vector<Frame> frames;
  std::vector<std::string> path;
  std::string last_key;
  auto callback = [&](int depth, Json::parse_event_t event, Json& parsed) -> bool {
    switch (event) {
      case Json::parse_event_t::object_start:
      case Json::parse_event_t::array_start: {
        if (static_cast<std::size_t>(depth) >= kMaxJsonDepth) {
          throw Error("JSON nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels");
        }
        if (!frames.empty()) path.push_back(frames.back().is_object ? last_key : "[]");
        Frame frame;
        frame.is_object = event == Json::parse_event_t::object_start;
        frame.strict = frame.is_object && strict && strict(path);
        frames.push_back(std::move(frame));
        break;
      }
      case Json::parse_event_t::object_end:
      case Json::parse_event_t::array_end:
        frames.pop_back();
        if (!path.empty()) path.pop_back();
        break;
      case Json::parse_event_t::key: {
        last_key = parsed.get<std::string>();
        Frame& frame = frames.back();
        if (frame.strict && !frame.keys.insert(last_key).second) {
          throw Error("duplicate field `" + last_key + "`");
        }
        break;
      }
      case Json::parse_event_t::value:
        break;
    }
    return true;
  };
  try {
    return Json::parse(text.begin(), text.end(), callback);
  } catch (const Json::exception& e) {
    throw Error(strip_exception_prefix(e.what()));
  }
}

std::string dump_compact(const Json& value) {
  try {
    return value.dump();
  } catch (const Json::exception& e) {
    throw Error(strip_exception_prefix(e.what()));
  }
}

const Json& require_field(const Json& object, const char* name) {
  if (!object.is_object()) throw Error(std::string("invalid type: expected a JSON object"));
  const auto it = object.find(name);
  if (it == object.end()) throw Error(std::string("missing field `") + name + "`");
  return *it;
}

}  // namespace norvex
