// The two per-database enums stored in the manifest.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace norvex::storage {

// How scores are computed; higher is always better.
enum class DistanceMetric : std::uint8_t { kIp = 0, kCosine = 1, kL2 = 2 };

// Whether raw vectors are kept for exact reranking, and in which precision.
enum class RerankPrecision : std::uint8_t { kDisabled = 0, kF32 = 1, kF16 = 2 };

// JSON / canonical names: "ip", "cosine", "l2".
inline const char* metric_key(DistanceMetric m) {
  switch (m) {
    case DistanceMetric::kIp:
      return "ip";
    case DistanceMetric::kCosine:
      return "cosine";
    case DistanceMetric::kL2:
      return "l2";
  }
  return "ip";
}

// Names used in messages: "Ip", "Cosine", "L2".
inline const char* metric_display(DistanceMetric m) {
  switch (m) {
    case DistanceMetric::kIp:
      return "Ip";
    case DistanceMetric::kCosine:
      return "Cosine";
    case DistanceMetric::kL2:
      return "L2";
  }
  return "Ip";
}

inline std::optional<DistanceMetric> metric_from_key(std::string_view key) {
  if (key == "ip") return DistanceMetric::kIp;
  if (key == "cosine") return DistanceMetric::kCosine;
  if (key == "l2") return DistanceMetric::kL2;
  return std::nullopt;
}

// JSON names: "disabled", "f32", "f16".
inline const char* precision_key(RerankPrecision p) {
  switch (p) {
    case RerankPrecision::kDisabled:
      return "disabled";
    case RerankPrecision::kF32:
      return "f32";
    case RerankPrecision::kF16:
      return "f16";
  }
  return "disabled";
}

inline std::optional<RerankPrecision> precision_from_key(std::string_view key) {
  if (key == "disabled") return RerankPrecision::kDisabled;
  if (key == "f32") return RerankPrecision::kF32;
  if (key == "f16") return RerankPrecision::kF16;
  return std::nullopt;
}

}  // namespace norvex::storage
