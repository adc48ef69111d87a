#include "storage/engine/filter.h"

#include <cmath>
#include <string>

#include "common/bytes.h"

namespace norvex::storage::engine::filter {
namespace {

const Json* find_key(const PropertyMap& properties, std::string_view key) {
  const auto it = properties.find(std::string(key));
  return it == properties.end() ? nullptr : &it->second;
}

const Json* find_key(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// Walks the rest of a path below `value`: every further segment needs an object.
const Json* descend(const Json* value, std::string_view path) {
  for (;;) {
    if (value == nullptr) return nullptr;
    const std::size_t dot = path.find('.');
    if (dot == std::string_view::npos) return find_key(*value, path);
    value = find_key(*value, path.substr(0, dot));
    path.remove_prefix(dot + 1);
  }
}

template <typename Container>
const Json* resolve(const Container& root, std::string_view path) {
  const std::size_t dot = path.find('.');
  if (dot == std::string_view::npos) return find_key(root, path);
  const Json* head = find_key(root, path.substr(0, dot));
  if (head == nullptr || !head->is_object()) return nullptr;
  return descend(head, path.substr(dot + 1));
}

enum class Order { kGt, kGte, kLt, kLte };

template <typename T>
bool ordered(const T& a, const T& b, Order order) {
  switch (order) {
    case Order::kGt:
      return a > b;
    case Order::kGte:
      return a >= b;
    case Order::kLt:
      return a < b;
    case Order::kLte:
      return a <= b;
  }
  return false;
}

// v <op> operand for numbers (as doubles; NaN compares false) or strings (byte-wise).
bool compare(const Json* v, const Json& operand, Order order) {
  if (v == nullptr) return false;
  if (v->is_number() && operand.is_number()) {
    return ordered(v->get<double>(), operand.get<double>(), order);
  }
  if (v->is_string() && operand.is_string()) {
    // std::string compares through char_traits<char>, i.e. as unsigned bytes.
    const int c = v->get_ref<const std::string&>().compare(operand.get_ref<const std::string&>());
    return ordered(c, 0, order);
  }
  return false;
}

bool any_equal(const Json& array, const Json& v) {
  for (const Json& element : array) {
    if (json_equal(element, v)) return true;
  }
  return false;
}

bool operator_passes(std::string_view op, const Json& operand, const Json* v) {
  if (op == "$eq") return v != nullptr && json_equal(*v, operand);
  if (op == "$ne") return v == nullptr || !json_equal(*v, operand);
  if (op == "$gt") return compare(v, operand, Order::kGt);
  if (op == "$gte") return compare(v, operand, Order::kGte);
  if (op == "$lt") return compare(v, operand, Order::kLt);
  if (op == "$lte") return compare(v, operand, Order::kLte);
  if (op == "$in") return v != nullptr && operand.is_array() && any_equal(operand, *v);
  if (op == "$nin") return operand.is_array() && (v == nullptr || !any_equal(operand, *v));
  if (op == "$exists") return operand.is_boolean() && (v != nullptr) == operand.get<bool>();
  if (op == "$contains") {
    return operand.is_string() && v != nullptr && v->is_string() &&
           v->get_ref<const std::string&>().find(operand.get_ref<const std::string&>()) !=
               std::string::npos;
  }
  return false;  // an operator we do not know fails the filter
}

bool matches_object(const PropertyMap& properties, const Json& filter, std::size_t depth);

bool entry_passes(const PropertyMap& properties, std::string_view key, const Json& condition,
                  std::size_t depth) {
  if (key == "$and") {
    if (!condition.is_array()) return false;
    for (const Json& element : condition) {
      if (!element.is_object() || !matches_object(properties, element, depth + 1)) return false;
    }
    return true;
  }
  if (key == "$or") {
    if (!condition.is_array() || condition.empty()) return false;
    for (const Json& element : condition) {
      if (element.is_object() && matches_object(properties, element, depth + 1)) return true;
    }
    return false;
  }
  const Json* v = get_nested_field(properties, key);
  if (!condition.is_object()) return v != nullptr && json_equal(*v, condition);
  // Object keys iterate in ascending byte order, which is the evaluation order of operators.
  for (const auto& [op, operand] : condition.items()) {
    if (!operator_passes(op, operand, v)) return false;
  }
  return true;
}

bool matches_object(const PropertyMap& properties, const Json& filter, std::size_t depth) {
  if (depth > kMaxFilterDepth) return false;
  for (const auto& [key, condition] : filter.items()) {
    if (!entry_passes(properties, key, condition, depth)) return false;
  }
  return true;
}

}  // namespace

const Json* get_nested_field(const PropertyMap& properties, std::string_view path) {
  return resolve(properties, path);
}

const Json* get_nested_json_field(const Json& object, std::string_view path) {
  if (!object.is_object()) return nullptr;
  return resolve(object, path);
}

bool metadata_matches_filter(const PropertyMap& properties, const PropertyMap& filter) {
  for (const auto& [key, condition] : filter) {
    if (!entry_passes(properties, key, condition, 0)) return false;
  }
  return true;
}

double score_vectors_with_metric(DistanceMetric metric, std::span<const double> a,
                                 std::span<const double> b) {
  const std::size_t n = std::min(a.size(), b.size());
  switch (metric) {
    case DistanceMetric::kIp: {
      double dot = 0.0;
      for (std::size_t i = 0; i < n; ++i) dot += a[i] * b[i];
      return dot;
    }
    case DistanceMetric::kCosine: {
      double dot = 0.0, aa = 0.0, bb = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        dot += a[i] * b[i];
        aa += a[i] * a[i];
        bb += b[i] * b[i];
      }
      if (aa == 0.0 || bb == 0.0) return 0.0;
      return dot / (std::sqrt(aa) * std::sqrt(bb));
    }
    case DistanceMetric::kL2: {
      double sum = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        const double diff = a[i] - b[i];
        sum += diff * diff;
      }
      return -std::sqrt(sum);
    }
  }
  return 0.0;
}

void score_vectors_with_metric_many(DistanceMetric metric, std::span<const double> a,
                                    std::span<const std::span<const double>> bs,
                                    std::span<double> out) {
  std::size_t j = 0;
  for (; j + 4 <= bs.size(); j += 4) {
    const std::size_t n = std::min(a.size(), bs[j].size());
    if (bs[j + 1].size() != bs[j].size() || bs[j + 2].size() != bs[j].size() ||
        bs[j + 3].size() != bs[j].size()) {
      break;
    }
    const double* b0 = bs[j].data();
    const double* b1 = bs[j + 1].data();
    const double* b2 = bs[j + 2].data();
    const double* b3 = bs[j + 3].data();
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    switch (metric) {
      case DistanceMetric::kIp:
        for (std::size_t i = 0; i < n; ++i) {
          s0 += a[i] * b0[i];
          s1 += a[i] * b1[i];
          s2 += a[i] * b2[i];
          s3 += a[i] * b3[i];
        }
        out[j] = s0, out[j + 1] = s1, out[j + 2] = s2, out[j + 3] = s3;
        continue;
      case DistanceMetric::kL2:
        for (std::size_t i = 0; i < n; ++i) {
          const double d0 = a[i] - b0[i], d1 = a[i] - b1[i], d2 = a[i] - b2[i], d3 = a[i] - b3[i];
          s0 += d0 * d0;
          s1 += d1 * d1;
          s2 += d2 * d2;
          s3 += d3 * d3;
        }
        out[j] = -std::sqrt(s0), out[j + 1] = -std::sqrt(s1), out[j + 2] = -std::sqrt(s2),
        out[j + 3] = -std::sqrt(s3);
        continue;
      case DistanceMetric::kCosine:
        break;
    }
    // Cosine: each vector as score_vectors_with_metric computes it.
    for (std::size_t r = j; r < j + 4; ++r) out[r] = score_vectors_with_metric(metric, a, bs[r]);
  }
  for (; j < bs.size(); ++j) out[j] = score_vectors_with_metric(metric, a, bs[j]);
}

double l2_code_score(const quantizer::ProdQuantizer& quantizer, const std::uint8_t* record,
                     std::size_t packed_bytes, std::size_t qjl_bytes, std::span<const double> query,
                     std::span<double> scratch) {
  const ByteView bits(record + packed_bytes, qjl_bytes);
  const float gamma = load_le<float>(record + packed_bytes + qjl_bytes);
  const float norm = load_le<float>(record + packed_bytes + qjl_bytes + 4);
  quantizer.dequantize_packed_into(ByteView(record, packed_bytes), bits, gamma, scratch);
  for (double& v : scratch) v *= norm;
  return score_vectors_with_metric(DistanceMetric::kL2, query, scratch);
}

}  // namespace norvex::storage::engine::filter
