#include "storage/engine/filter.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <vector>

namespace norvex::storage::engine::filter {
namespace {

PropertyMap to_map(const char* json_text) {
  PropertyMap map;
  const Json object = parse_json(json_text);
  for (const auto& [key, value] : object.items()) map.emplace(key, value);
  return map;
}

TEST(MetadataFilter, Table) {
  struct Case {
    const char* filter;
    const char* properties;
    bool expected;
  };
  const Case cases[] = {
      // The empty filter accepts everything, the empty properties map included.
      {R"({})", R"({})", true},
      {R"({})", R"({"a":1})", true},
      // Ranges accept either number form; strings and missing fields fail.
      {R"({"year":{"$gte":2020,"$lt":2023}})", R"({"year":2020})", true},
      {R"({"year":{"$gte":2020,"$lt":2023}})", R"({"year":2022.5})", true},
      {R"({"year":{"$gte":2020,"$lt":2023}})", R"({"year":2023})", false},
      {R"({"year":{"$gte":2020,"$lt":2023}})", R"({})", false},
      {R"({"year":{"$gte":2020,"$lt":2023}})", R"({"year":"2021"})", false},
      // Equality keeps the number form; ordering does not.
      {R"({"year":2020})", R"({"year":2020.0})", false},
      {R"({"year":2020})", R"({"year":2020})", true},
      {R"({"year":{"$gte":2020,"$lte":2020}})", R"({"year":2020.0})", true},
      {R"({"n":-1})", R"({"n":-1})", true},
      {R"({"n":{"$eq":-1}})", R"({"n":-1.0})", false},
      // Dotted paths descend into objects; a dotted top-level key cannot be addressed.
      {R"({"a.b":1})", R"({"a":{"b":1}})", true},
      {R"({"a.b":1})", R"({"a.b":1})", false},
      {R"({"a.b.c":true})", R"({"a":{"b":{"c":true}}})", true},
      {R"({"a.b":1})", R"({"a":[1]})", false},
      {R"({"a.":1})", R"({"a":{"":1}})", true},
      {R"({"a.":1})", R"({"a":1})", false},
      // Absent fields and membership.
      {R"({"tag":{"$nin":["x"]}})", R"({})", true},
      {R"({"tag":{"$nin":["x"]}})", R"({"tag":"x"})", false},
      {R"({"tag":{"$nin":["x"]}})", R"({"tag":"y"})", true},
      {R"({"tag":{"$ne":"x"}})", R"({})", true},
      {R"({"tag":{"$ne":"x"}})", R"({"tag":"x"})", false},
      {R"({"tag":{"$in":[]}})", R"({"tag":"x"})", false},
      {R"({"tag":{"$in":[]}})", R"({})", false},
      {R"({"tag":{"$in":["x","y"]}})", R"({"tag":"y"})", true},
      {R"({"tag":{"$in":[1]}})", R"({"tag":1.0})", false},
      {R"({"tag":{"$in":["x"]}})", R"({})", false},
      // Combinators.
      {R"({"$or":[]})", R"({"k":1})", false},
      {R"({"$and":[]})", R"({})", true},
      {R"({"$or":[1,{"k":1}]})", R"({"k":1})", true},
      {R"({"$or":[1,{"k":1}]})", R"({"k":2})", false},
      {R"({"$or":[1,2]})", R"({"k":1})", false},
      {R"({"$and":[{"k":1},{"j":2}]})", R"({"k":1,"j":2})", true},
      {R"({"$and":[{"k":1},{"j":2}]})", R"({"k":1,"j":3})", false},
      {R"({"$and":[{"k":1},1]})", R"({"k":1})", false},
      {R"({"$and":{"k":1}})", R"({"k":1})", false},
      {R"({"$or":{"k":1}})", R"({"k":1})", false},
      {R"({"$or":[{"$and":[{"k":1}]},{"k":2}]})", R"({"k":1})", true},
      // Unknown operators fail whatever their operand, even beside passing ones.
      {R"({"k":{"$regex":"x"}})", R"({"k":"x"})", false},
      {R"({"k":{"$eq":1,"$bogus":null}})", R"({"k":1})", false},
      {R"({"k":{"eq":1}})", R"({"k":1})", false},
      // Substring tests.
      {R"({"name":{"$contains":""}})", R"({"name":"abc"})", true},
      {R"({"name":{"$contains":""}})", R"({"name":""})", true},
      {R"({"name":{"$contains":""}})", R"({})", false},
      {R"({"name":{"$contains":""}})", R"({"name":5})", false},
      {R"({"name":{"$contains":"bc"}})", R"({"name":"abcd"})", true},
      {R"({"name":{"$contains":"x"}})", R"({"name":"abcd"})", false},
      // An empty condition object accepts present and absent fields alike.
      {R"({"k":{}})", R"({})", true},
      {R"({"k":{}})", R"({"k":[1]})", true},
      // A plain condition needs a present, structurally equal value.
      {R"({"k":null})", R"({})", false},
      {R"({"k":null})", R"({"k":null})", true},
      {R"({"k":[1,2]})", R"({"k":[1,2]})", true},
      {R"({"k":{"$eq":{"a":1}}})", R"({"k":{"a":1}})", true},
      {R"({"k":{"$eq":null}})", R"({})", false},
      // Existence.
      {R"({"k":{"$exists":true}})", R"({"k":null})", true},
      {R"({"k":{"$exists":true}})", R"({})", false},
      {R"({"k":{"$exists":false}})", R"({})", true},
      {R"({"k":{"$exists":false}})", R"({"k":0})", false},
      // String ordering is byte-wise; a prefix sorts first.
      {R"({"s":{"$gt":"ab"}})", R"({"s":"abc"})", true},
      {R"({"s":{"$lt":"ab"}})", R"({"s":"a"})", true},
      {R"({"s":{"$gt":"z"}})", R"({"s":"\u00e9"})", true},
      {R"({"s":{"$lte":"b"}})", R"({"s":"b"})", true},
      {R"({"s":{"$gte":"b"}})", R"({"s":"a"})", false},
      // Large integers order as doubles.
      {R"({"n":{"$gt":-1}})", R"({"n":18446744073709551615})", true},
      {R"({"n":{"$lt":0.5}})", R"({"n":-3})", true},
      // Operand type mismatches, one per operator.
      {R"({"k":{"$gt":"1"}})", R"({"k":2})", false},
      {R"({"k":{"$gte":1}})", R"({"k":"2"})", false},
      {R"({"k":{"$lt":true}})", R"({"k":false})", false},
      {R"({"k":{"$lte":[3]}})", R"({"k":[2]})", false},
      {R"({"k":{"$gt":null}})", R"({"k":null})", false},
      {R"({"k":{"$in":"abc"}})", R"({"k":"a"})", false},
      {R"({"k":{"$in":{"a":1}}})", R"({"k":1})", false},
      {R"({"k":{"$nin":"abc"}})", R"({"k":"z"})", false},
      {R"({"k":{"$nin":"abc"}})", R"({})", false},
      {R"({"k":{"$exists":1}})", R"({"k":1})", false},
      {R"({"k":{"$exists":"true"}})", R"({"k":1})", false},
      {R"({"k":{"$contains":1}})", R"({"k":"1"})", false},
      {R"({"k":{"$contains":"a"}})", R"({"k":["a"]})", false},
      {R"({"k":{"$eq":"1"}})", R"({"k":1})", false},
      {R"({"k":{"$ne":"1"}})", R"({"k":1})", true},
      {R"({"k":{"$ne":1}})", R"({"k":1.0})", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(metadata_matches_filter(to_map(c.properties), to_map(c.filter)), c.expected)
        << "filter " << c.filter << " on " << c.properties;
  }
}

TEST(MetadataFilter, NanNeverOrders) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const PropertyMap properties{{"x", Json(nan)}};
  for (const char* op : {"$gt", "$gte", "$lt", "$lte"}) {
    EXPECT_FALSE(metadata_matches_filter(properties, {{"x", Json{{op, 1}}}})) << op;
    EXPECT_FALSE(metadata_matches_filter({{"x", Json(1)}}, {{"x", Json{{op, nan}}}})) << op;
  }
}

// A filter nested past the depth cap fails instead of recursing without bound.
TEST(MetadataFilter, DeeplyNestedCombinatorsFail) {
  auto nested = [](std::size_t depth) {
    Json inner = {{"k", 1}};
    for (std::size_t i = 0; i < depth; ++i) inner = Json{{"$and", Json::array({inner})}};
    PropertyMap filter;
    for (const auto& [key, value] : inner.items()) filter.emplace(key, value);
    return filter;
  };
  const PropertyMap properties{{"k", Json(1)}};
  EXPECT_TRUE(metadata_matches_filter(properties, nested(kMaxFilterDepth)));
  EXPECT_FALSE(metadata_matches_filter(properties, nested(kMaxFilterDepth + 1)));
  EXPECT_FALSE(metadata_matches_filter(properties, nested(300)));
}

TEST(NestedField, PathsResolveThroughObjectsOnly) {
  const Json object = parse_json(R"({"a":{"b":{"c":3}},"x":1,"a.b":7})");
  ASSERT_NE(get_nested_json_field(object, "a.b.c"), nullptr);
  EXPECT_EQ(*get_nested_json_field(object, "a.b.c"), 3);
  EXPECT_EQ(get_nested_json_field(object, "x.y"), nullptr);
  EXPECT_EQ(get_nested_json_field(object, "a.z"), nullptr);
  EXPECT_EQ(get_nested_json_field(Json::array({1}), "a"), nullptr);
  ASSERT_NE(get_nested_json_field(object, "a.b"), nullptr);
  EXPECT_TRUE(get_nested_json_field(object, "a.b")->is_object());
  const PropertyMap properties = to_map(R"({"a":{"b":{"c":3}},"a.b":7})");
  EXPECT_EQ(*get_nested_field(properties, "a.b.c"), 3);
  EXPECT_TRUE(get_nested_field(properties, "a.b")->is_object());
  EXPECT_EQ(get_nested_field(properties, "missing"), nullptr);
  EXPECT_EQ(get_nested_field(properties, ""), nullptr);
}

TEST(ScoreVectors, Table) {
  struct Case {
    DistanceMetric metric;
    std::vector<double> a;
    std::vector<double> b;
    double expected;
  };
  const Case cases[] = {
      {DistanceMetric::kIp, {1, 2, 3}, {4, 5, 6}, 32.0},
      {DistanceMetric::kIp, {1, 2, 3}, {4}, 4.0},  // shorter length wins
      {DistanceMetric::kIp, {}, {1}, 0.0},
      {DistanceMetric::kCosine, {1, 0}, {0, 1}, 0.0},
      {DistanceMetric::kCosine, {3, 4}, {6, 8}, 1.0},
      {DistanceMetric::kCosine, {1, 0}, {-2, 0}, -1.0},
      {DistanceMetric::kCosine, {0, 0}, {1, 1}, 0.0},
      {DistanceMetric::kCosine, {1, 1}, {}, 0.0},
      {DistanceMetric::kL2, {0, 0}, {3, 4}, -5.0},
      {DistanceMetric::kL2, {1, 2}, {1, 2}, 0.0},
      {DistanceMetric::kL2, {1, 2, 100}, {1, 2}, 0.0},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(score_vectors_with_metric(c.metric, c.a, c.b), c.expected)
        << metric_key(c.metric);
  }
}

TEST(ScoreVectors, ManyAtOnceGivesTheSameBitsAsOneAtATime) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> normal;
  const std::vector<double> a = [&] {
    std::vector<double> v(37);
    for (double& x : v) x = normal(rng);
    return v;
  }();
  std::vector<std::vector<double>> rows(9, std::vector<double>(37));
  for (auto& r : rows) {
    for (double& x : r) x = normal(rng);
  }
  rows[3].resize(20);       // a shorter vector: walked up to its length
  rows[5].assign(37, 0.0);  // cosine 0
  for (const DistanceMetric m :
       {DistanceMetric::kIp, DistanceMetric::kCosine, DistanceMetric::kL2}) {
    for (std::size_t count = 0; count <= rows.size(); ++count) {
      std::vector<std::span<const double>> bs(rows.begin(), rows.begin() + count);
      std::vector<double> out(count);
      score_vectors_with_metric_many(m, a, bs, out);
      for (std::size_t j = 0; j < count; ++j) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(out[j]),
                  std::bit_cast<std::uint64_t>(score_vectors_with_metric(m, a, rows[j])))
            << static_cast<int>(m) << " count " << count << " row " << j;
      }
    }
  }
}

}  // namespace
}  // namespace norvex::storage::engine::filter
