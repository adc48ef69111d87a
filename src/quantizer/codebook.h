// Lloyd-Max codebook for one coordinate of a uniformly random point on the unit sphere of
// dimension `dim`, computed on a numerical grid. 64-bit arithmetic without fused multiply-add
// (this unit is compiled with -ffp-contract=off), sums in grid order: the result is fixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace norvex::quantizer {

struct LloydMaxResult {
  std::vector<double> centroids;  // 2^b levels, ascending
  std::size_t passes = 0;         // Lloyd iterations made (at most 1000)
};

// 2^b centroids for the sphere of dimension `dim` on `grid_points` grid points. Callers must
// keep b small enough for 2^b doubles to be allocated (the quantizers refuse b > 16 first).
LloydMaxResult lloyd_max_with_passes(unsigned b, std::size_t dim, std::size_t grid_points);
std::vector<double> lloyd_max(unsigned b, std::size_t dim, std::size_t grid_points);

// A point of the integration grid: position x in [-1, 1] and its weight step * density(x).
struct GridPoint {
  double x;
  double w;
};

// The grid the fit integrates over: `grid_points` evenly spaced x from -1 to 1, keeping only
// points whose weight exceeds 1e-10, in increasing x. Empty for dim < 2.
std::vector<GridPoint> codebook_grid(std::size_t dim, std::size_t grid_points);

// Natural logarithm of the gamma function (Lanczos, g = 7, nine coefficients).
double log_gamma(double x);

}  // namespace norvex::quantizer
