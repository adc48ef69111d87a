// A set of node numbers that empties in constant time, for walks that are repeated many times
// over the same nodes (kept per thread and reused from call to call).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace norvex::storage {

// Each node's tag is the round in which it was last marked; starting a new round empties the
// set. Only when the round counter wraps are the tags cleared.
class NodeMarks {
 public:
  // Empties the set, for node numbers below n.
  void start(std::size_t n) {
    if (tags_.size() < n || ++round_ == 0) {
      tags_.assign(std::max(tags_.size(), n), 0);
      round_ = 1;
    }
  }
  // Marks `node`; true when it was not marked yet in this round.
  bool mark(std::uint32_t node) {
    if (tags_[node] == round_) return false;
    tags_[node] = round_;
    return true;
  }

 private:
  std::vector<std::uint16_t> tags_;
  std::uint16_t round_ = 0;
};

}  // namespace norvex::storage
