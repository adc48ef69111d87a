// Names and small helpers shared by the engine's implementation files (not part of the
// engine's interface).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

namespace norvex::storage::engine::internal {

// Files in the local directory.
inline constexpr const char* kManifestFile = "manifest.json";
inline constexpr const char* kQuantizerFile = "quantizer.bin";
inline constexpr const char* kWalFile = "wal.log";
inline constexpr const char* kMetadataFile = "metadata.bin";
inline constexpr const char* kCodesFile = "live_codes.bin";
inline constexpr const char* kRawFile = "live_vectors.bin";
inline constexpr const char* kIdsFile = "live_ids.bin";
inline constexpr const char* kGraphIdsFile = "graph_ids.json";
inline constexpr const char* kGraphFile = "graph.bin";

// A flush stages the next durable state under these names and installs it only after the log
// was reset (the commit point). Open rolls a committed flush forward, or drops an
// uncommitted one. The id table is staged last and installed last: while live_ids.bin.next
// exists, the other staged files are complete.
inline constexpr const char* kCodesStaged = "live_codes.bin.tmp";
inline constexpr const char* kRawStaged = "live_vectors.bin.tmp";
inline constexpr const char* kMetadataStaged = "metadata.bin.next";
inline constexpr const char* kIdsStaged = "live_ids.bin.next";

inline constexpr std::uint64_t kDefaultFlushThreshold = 5000;
// Items encoded together (one parallel encode, one log append, one metadata put) in a batch.
inline constexpr std::size_t kBatchChunk = 5000;
// Rows per task when a batch is validated, encoded and written on the worker pool.
inline constexpr std::size_t kEncodeGrain = 32;
// Exhaustive scans above this many slots run on the worker pool, in chunks of kScanChunk.
inline constexpr std::size_t kParallelScanThreshold = 20000;
inline constexpr std::size_t kScanChunk = 512;
// A vector whose norm is at most this is stored and encoded as given.
inline constexpr float kMinNorm = 1e-10f;

inline std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return a * b;
}

}  // namespace norvex::storage::engine::internal
