// manifest.json (a database's fixed parameters and counters) and graph_ids.json (the slot list
// of the graph index).
//
// manifest.json is a JSON object, pretty-printed with two-space indentation and no trailing
// newline, keys in this order (on read: unknown keys ignored, a repeated key refused):
//
//   version           u32                 required; new databases write 2
//   d, b, seed        u64                 required
//   vector_count      u64                 required
//   storage_uri       string              required
//   quantizer         object              optional, never written (see Manifest::quantizer)
//   metric            "ip"|"cosine"|"l2"  default "ip"
//   index_state       IndexState or null  default null
//   fast_mode         bool                default false
//   rerank_enabled    bool                default true
//   rerank_precision  "disabled"|"f32"|"f16"  default "disabled"
//   normalize         bool                default false
//
// IndexState keys: max_degree, ef_construction (default 200), search_list_size, alpha (f64),
// indexed_nodes; all others required.
//
// graph_ids.json is a JSON array of u32 slot numbers, one per line with two-space indentation
// ("[]" when empty).
//
// Every file here is replaced atomically (temporary file in the same directory, then rename),
// so a killed process leaves the old or the new file, never a torn one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.h"
#include "storage/metric.h"

namespace norvex::storage {

class StorageBackend;

// Parameters of the graph index last built.
struct IndexState {
  std::uint64_t max_degree = 0;
  std::uint64_t ef_construction = 200;
  std::uint64_t search_list_size = 0;
  double alpha = 0.0;
  std::uint64_t indexed_nodes = 0;

  bool operator==(const IndexState&) const = default;
};

struct Manifest {
  std::uint32_t version = 2;
  std::uint64_t d = 0;
  std::uint64_t b = 0;
  std::uint64_t seed = 0;
  std::uint64_t vector_count = 0;
  std::string storage_uri;
  // The quantizer in JSON form, as older writers stored it. Kept as read (only checked to be
  // an object) and otherwise ignored: quantizer.bin is authoritative, and this key is never
  // written.
  std::optional<Json> quantizer;
  DistanceMetric metric = DistanceMetric::kIp;
  std::optional<IndexState> index_state;
  bool fast_mode = false;
  bool rerank_enabled = true;
  RerankPrecision rerank_precision = RerankPrecision::kDisabled;
  bool normalize = false;

  // Reads and decodes the file; the read error or the decode error ("missing field `seed`",
  // "duplicate field `d`", "unknown variant `dot`, ...", type errors) is thrown as Error.
  static Manifest load(const std::string& path);
  static Manifest decode(std::string_view text);

  // Pretty-printed JSON without the quantizer key.
  std::string encode() const;
  // Replaces `path` atomically with encode().
  void save(const std::string& path) const;
};

// Saves the manifest to local_dir/manifest.json, then mirrors the same bytes to the backend.
void persist_manifest(const Manifest& manifest, const std::string& local_dir,
                      StorageBackend& backend);

// The slot list in local_dir/graph_ids.json; empty when the file is missing. Read and decode
// errors are thrown as Error.
std::vector<std::uint32_t> load_index_ids(const std::string& local_dir);

// Decodes graph_ids.json text; throws Error on anything but an array of u32.
std::vector<std::uint32_t> decode_index_ids(std::string_view text);

// The graph_ids.json text of `ids`.
std::string serialize_index_ids(const std::vector<std::uint32_t>& ids);

// Replaces local_dir/graph_ids.json atomically, then mirrors it to the backend.
void save_index_ids(const std::vector<std::uint32_t>& ids, const std::string& local_dir,
                    StorageBackend& backend);

}  // namespace norvex::storage
