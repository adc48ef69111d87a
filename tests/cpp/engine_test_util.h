// Helpers shared by the engine tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/file_util.h"
#include "storage/engine/engine.h"
#include "test_util.h"

namespace norvex::testing {

using storage::DistanceMetric;
using storage::RerankPrecision;
using storage::engine::NorvaneEngine;
using storage::engine::OpenOptions;

inline OpenOptions options_for(const std::string& dir, std::uint64_t d) {
  OpenOptions o;
  o.uri = dir;
  o.local_dir = dir;
  o.d = d;
  return o;
}

inline std::unique_ptr<NorvaneEngine> open_engine(const OpenOptions& o) {
  return NorvaneEngine::open_with_options(o);
}

// Uniform components in [-1, 1).
inline std::vector<double> random_vector(std::mt19937_64& rng, std::size_t d) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> v(d);
  for (double& x : v) x = static_cast<float>(u(rng));  // exactly representable as f32
  return v;
}

inline std::vector<double> unit_vector(std::mt19937_64& rng, std::size_t d) {
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<double> v(d);
  double s = 0.0;
  for (double& x : v) {
    x = g(rng);
    s += x * x;
  }
  for (double& x : v) x = static_cast<float>(x / std::sqrt(s));
  return v;
}

inline std::vector<float> to_f32(const std::vector<double>& v) {
  return std::vector<float>(v.begin(), v.end());
}

inline std::uint64_t size_of(const std::string& path) { return std::filesystem::file_size(path); }

inline std::string id_of(std::size_t i) { return "id" + std::to_string(i); }

}  // namespace norvex::testing
