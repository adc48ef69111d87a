#include "common/json.h"

#include <gtest/gtest.h>

#include "common/error.h"

namespace norvex {
namespace {

TEST(Json, EqualityDistinguishesNumberForms) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  };
  const Case cases[] = {
      {"1", "1", true},
      {"1", "1.0", false},
      {"-1", "-1", true},
      {"-1", "-1.0", false},
      {"2.5", "2.5", true},
      {"null", "null", true},
      {"[1,2]", "[1,2]", true},
      {"[1,2]", "[2,1]", false},
      {"{\"a\":1}", "{\"a\":1}", true},
      {"{\"a\":1}", "{\"a\":1.0}", false},
      {"\"x\"", "\"x\"", true},
      {"true", "1", false},
      {"{}", "[]", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json_equal(parse_json(c.a), parse_json(c.b)), c.equal) << c.a << " vs " << c.b;
  }
  // A non-negative integer held as a signed value is the same form as one parsed from text.
  EXPECT_TRUE(json_equal(Json(std::int64_t{5}), parse_json("5")));
  EXPECT_EQ(number_form(Json(std::int64_t{-5})), NumberForm::kNegative);
}

TEST(Json, StrictObjectsRefuseDuplicateKeys) {
  auto top_only = [](const std::vector<std::string>& path) { return path.empty(); };
  try {
    parse_json(R"({"a":1,"a":2})", top_only);
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "duplicate field `a`");
  }
  // A free-form nested map keeps the last value.
  const Json j = parse_json(R"({"p":{"k":1,"k":2}})", top_only);
  EXPECT_EQ(j["p"]["k"], 2);
  // Without a predicate nothing is strict.
  EXPECT_EQ(parse_json(R"({"a":1,"a":2})")["a"], 2);
}

TEST(Json, RefusesDeepNestingAndBadText) {
  std::string deep(kMaxJsonDepth + 1, '[');
  deep += std::string(kMaxJsonDepth + 1, ']');
  EXPECT_THROW(parse_json(deep), Error);
  std::string ok(kMaxJsonDepth - 1, '[');
  ok += std::string(kMaxJsonDepth - 1, ']');
  EXPECT_EQ(json_depth(parse_json(ok)), kMaxJsonDepth - 1);
  EXPECT_THROW(parse_json("{"), Error);
  EXPECT_THROW(parse_json("\"\xC3\x28\""), Error);  // ill-formed UTF-8
}

TEST(Json, RequireFieldNamesTheMissingKey) {
  try {
    require_field(parse_json(R"({"a":1})"), "seed");
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "missing field `seed`");
  }
}

}  // namespace
}  // namespace norvex
