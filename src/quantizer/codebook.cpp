#include "quantizer/codebook.h"

#include <algorithm>
#include <cmath>

#include "common/error.h"

namespace norvex::quantizer {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kLnSqrtPi = 0.5723649429247001;
constexpr double kHalfLnTwoPi = 0.9189385332046727;
constexpr double kMinWeight = 1e-10;
constexpr double kTolerance = 1e-7;
constexpr std::size_t kMaxPasses = 1000;

// Density of one coordinate of a uniform point on the unit sphere of dimension `dim`:
// Gamma(dim/2) / (sqrt(pi) Gamma((dim-1)/2)) * (1 - x^2)^((dim-3)/2).
double sphere_coordinate_density(double x, double dim, double log_norm) {
  if (std::fabs(x) >= 1.0) return 0.0;
  const double one_minus_sq = std::max(1.0 - x * x, 0.0);
  if (one_minus_sq == 0.0) return 0.0;
  return std::exp((dim - 3.0) / 2.0 * std::log(one_minus_sq) + log_norm);
}

// Cell of every grid point: the number of boundaries strictly below x. The grid is sorted, so
// when the boundaries are too (they are whenever the centroids are) one merge walk finds them
// all; otherwise each point counts its boundaries directly.
void assign_cells(const std::vector<GridPoint>& grid, const std::vector<double>& boundaries,
                  std::vector<std::size_t>& cells) {
  if (std::is_sorted(boundaries.begin(), boundaries.end())) {
    std::size_t cell = 0;
    for (std::size_t p = 0; p < grid.size(); ++p) {
      while (cell < boundaries.size() && boundaries[cell] < grid[p].x) ++cell;
      cells[p] = cell;
    }
    return;
  }
  for (std::size_t p = 0; p < grid.size(); ++p) {
    cells[p] = static_cast<std::size_t>(std::count_if(boundaries.begin(), boundaries.end(),
                                                      [&](double t) { return t < grid[p].x; }));
  }
}

}  // namespace

double log_gamma(double x) {
  if (x < 0.5) return std::log(kPi / std::sin(kPi * x)) - log_gamma(1.0 - x);
  double a = 0.9999999999998099;
  a += 676.5203681218851 / x;
  a -= 1259.1392167224028 / (x + 1.0);
  a += 771.3234287776531 / (x + 2.0);
  a -= 176.6150291621406 / (x + 3.0);
  a += 12.507343278686905 / (x + 4.0);
  a -= 0.13857109526572012 / (x + 5.0);
  a += 9.984369578019572e-6 / (x + 6.0);
  a += 1.5056327351493116e-7 / (x + 7.0);
  const double t = x + 6.5;
  return (x - 0.5) * std::log(t) + kHalfLnTwoPi - t + std::log(a);
}

std::vector<GridPoint> codebook_grid(std::size_t dim, std::size_t grid_points) {
  NVX_CHECK(grid_points >= 2, "codebook grid needs at least 2 points");
  std::vector<GridPoint> grid;
  if (dim < 2) return grid;
  const double fdim = static_cast<double>(dim);
  const double log_norm = log_gamma(fdim / 2.0) + (-kLnSqrtPi) - log_gamma((fdim - 1.0) / 2.0);
  const double step = 2.0 / (static_cast<double>(grid_points) - 1.0);
  grid.reserve(grid_points);
  for (std::size_t i = 0; i < grid_points; ++i) {
    const double x = step * static_cast<double>(i) - 1.0;
    const double w = step * sphere_coordinate_density(x, fdim, log_norm);
    if (w > kMinWeight) grid.push_back({x, w});
  }
  return grid;
}

LloydMaxResult lloyd_max_with_passes(unsigned b, std::size_t dim, std::size_t grid_points) {
  NVX_CHECK(b <= 30, "codebook bit width too large");
  const std::size_t k = std::size_t{1} << b;
  const double fk = static_cast<double>(k);
  const std::vector<GridPoint> grid = codebook_grid(dim, grid_points);

  LloydMaxResult result;
  std::vector<double>& c = result.centroids;
  c.resize(k);
  const double r = std::min(3.0 / std::sqrt(static_cast<double>(dim)), 0.99);
  for (std::size_t j = 0; j < k; ++j) c[j] = (2.0 * r) * (static_cast<double>(j) + 0.5) / fk - r;

  std::vector<double> boundaries(k - 1);
  std::vector<double> sums(k);
  std::vector<double> masses(k);
  std::vector<std::size_t> cells(grid.size());
  for (;;) {
    for (std::size_t j = 0; j + 1 < k; ++j) boundaries[j] = (c[j] + c[j + 1]) * 0.5;
    assign_cells(grid, boundaries, cells);
    std::fill(sums.begin(), sums.end(), 0.0);
    std::fill(masses.begin(), masses.end(), 0.0);
    for (std::size_t p = 0; p < grid.size(); ++p) {
      sums[cells[p]] += grid[p].x * grid[p].w;
      masses[cells[p]] += grid[p].w;
    }
    ++result.passes;
    double max_change = 0.0;
    for (std::size_t j = 0; j < k; ++j) {
      if (!(masses[j] > 0.0)) continue;
      const double updated = sums[j] / masses[j];
      max_change = std::max(max_change, std::fabs(updated - c[j]));
      c[j] = updated;
    }
    if (max_change < kTolerance || result.passes >= kMaxPasses) break;
  }
  return result;
}

std::vector<double> lloyd_max(unsigned b, std::size_t dim, std::size_t grid_points) {
  return lloyd_max_with_passes(b, dim, grid_points).centroids;
}

}  // namespace norvex::quantizer
