// The metadata filter language and the exact vector-to-vector score.
//
// A filter is a property map whose entries are conditions that must all hold: a field path
// mapped to a value (equality) or to an object of operators ("$eq", "$ne", "$gt", "$gte",
// "$lt", "$lte", "$in", "$nin", "$exists", "$contains"), or one of the combinators "$and"
// (array of filters, all must match) and "$or" (non-empty array, one object element must
// match). Evaluation is pure and never throws: a malformed condition just fails the match.
#pragma once

#include <span>
#include <string_view>

#include "common/json.h"
#include "quantizer/prod.h"
#include "storage/metric.h"

namespace norvex::storage::engine::filter {

// Deepest nesting of "$and" / "$or" that is evaluated; a deeper filter matches nothing.
inline constexpr std::size_t kMaxFilterDepth = kMaxJsonDepth;

// Resolves a dotted path in a property map: the part before the first dot is a key of
// `properties`; any rest (even empty, as in "a.") is resolved inside the value found, which
// must then be a JSON object. Returns nullptr when the path leads nowhere. The pointer is
// valid as long as `properties` is unchanged.
const Json* get_nested_field(const PropertyMap& properties, std::string_view path);

// The same walk starting in a JSON object; nullptr also when `object` is not an object.
const Json* get_nested_json_field(const Json& object, std::string_view path);

// True when `properties` satisfies every condition of `filter`; the empty filter matches
// everything. Number equality keeps the number's form (1 != 1.0); ordering operators compare
// numbers as doubles (NaN never passes) and strings byte-wise.
bool metadata_matches_filter(const PropertyMap& properties, const PropertyMap& filter);

// Exact score of two vectors, walked together up to the shorter length with 64-bit sums in
// index order: ip = dot product; cosine = dot / (|a| |b|), 0.0 when either sum of squares is 0;
// l2 = -(Euclidean distance). Higher is always better.
double score_vectors_with_metric(DistanceMetric metric, std::span<const double> a,
                                 std::span<const double> b);

// score_vectors_with_metric(metric, a, bs[j]) into out[j] for every j, the same bits: up to
// kScoreGroup vectors' sums run interleaved (each still in index order), which hides the
// latency of the additions.
inline constexpr std::size_t kScoreGroup = 4;
void score_vectors_with_metric_many(DistanceMetric metric, std::span<const double> a,
                                    std::span<const std::span<const double>> bs,
                                    std::span<double> out);

// The l2 code score of one slot record (packed indices, signs, gamma f32, norm f32): its code
// reconstructed (ProdQuantizer::dequantize), scaled by the stored norm and scored against
// `query` with score_vectors_with_metric(l2), without allocating. `scratch` holds d values.
double l2_code_score(const quantizer::ProdQuantizer& quantizer, const std::uint8_t* record,
                     std::size_t packed_bytes, std::size_t qjl_bytes, std::span<const double> query,
                     std::span<double> scratch);

}  // namespace norvex::storage::engine::filter
