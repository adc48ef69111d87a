#include "storage/manifest.h"

#include <limits>

#include "common/bytes.h"
#include "common/error.h"
#include "common/file_util.h"
#include "storage/backend.h"

namespace norvex::storage {
namespace {

using OrderedJson = nlohmann::ordered_json;

constexpr const char* kManifestName = "manifest.json";
constexpr const char* kIndexIdsName = "graph_ids.json";

std::string describe(const Json& v) {
  switch (v.type()) {
    case Json::value_t::string:
      return "string \"" + v.get_ref<const std::string&>() + "\"";
    case Json::value_t::number_float:
      return "floating point `" + v.dump() + "`";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return "integer `" + v.dump() + "`";
    default:
      return v.type_name();
  }
}

[[noreturn]] void invalid_type(const char* key, const Json& v, const char* expected) {
  throw Error(std::string("invalid type for field `") + key + "`: " + describe(v) + ", expected " +
              expected);
}

std::uint64_t as_u64(const Json& v, const char* key) {
  if (v.is_number_unsigned()) return v.get<std::uint64_t>();
  if (v.is_number_integer()) {
    throw Error(std::string("invalid value for field `") + key + "`: integer `" + v.dump() +
                "`, expected u64");
  }
  invalid_type(key, v, "u64");
}

double as_f64(const Json& v, const char* key) {
  if (!v.is_number()) invalid_type(key, v, "f64");
  return v.get<double>();
}

bool as_bool(const Json& v, const char* key) {
  if (!v.is_boolean()) invalid_type(key, v, "a boolean");
  return v.get<bool>();
}

const std::string& as_string(const Json& v, const char* key) {
  if (!v.is_string()) invalid_type(key, v, "a string");
  return v.get_ref<const std::string&>();
}

const Json* find(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

IndexState decode_index_state(const Json& v) {
  if (!v.is_object()) invalid_type("index_state", v, "an index state object or null");
  IndexState s;
  s.max_degree = as_u64(require_field(v, "max_degree"), "max_degree");
  if (const Json* ef = find(v, "ef_construction"))
    s.ef_construction = as_u64(*ef, "ef_construction");
  s.search_list_size = as_u64(require_field(v, "search_list_size"), "search_list_size");
  s.alpha = as_f64(require_field(v, "alpha"), "alpha");
  s.indexed_nodes = as_u64(require_field(v, "indexed_nodes"), "indexed_nodes");
  return s;
}

// The manifest object and its index_state are records: a key given twice is refused there.
bool strict_object(const std::vector<std::string>& path) {
  return path.empty() || (path.size() == 1 && path[0] == "index_state");
}

std::string dump_pretty(const OrderedJson& value) {
  try {
    return value.dump(2);
  } catch (const nlohmann::json::exception& e) {
    throw Error(std::string("failed to encode JSON: ") + e.what());
  }
}

void write_and_mirror(const std::string& local_dir, const char* name, std::string_view text,
                      StorageBackend& backend) {
  const std::string path = join_path(local_dir, name);
  write_file_atomic(path, as_bytes(text));
  backend.mirror(name, path, as_bytes(text));
}

}  // namespace

Manifest Manifest::decode(std::string_view text) {
  const Json j = parse_json(text, strict_object);
  if (!j.is_object()) throw Error("invalid type: " + describe(j) + ", expected a manifest object");
  Manifest m;
  const std::uint64_t version = as_u64(require_field(j, "version"), "version");
  if (version > std::numeric_limits<std::uint32_t>::max()) {
    throw Error("invalid value for field `version`: integer `" + std::to_string(version) +
                "`, expected u32");
  }
  m.version = static_cast<std::uint32_t>(version);
  m.d = as_u64(require_field(j, "d"), "d");
  m.b = as_u64(require_field(j, "b"), "b");
  m.seed = as_u64(require_field(j, "seed"), "seed");
  m.vector_count = as_u64(require_field(j, "vector_count"), "vector_count");
  m.storage_uri = as_string(require_field(j, "storage_uri"), "storage_uri");
  if (const Json* q = find(j, "quantizer"); q != nullptr && !q->is_null()) {
    if (!q->is_object()) invalid_type("quantizer", *q, "a quantizer object");
    m.quantizer = *q;
  }
  if (const Json* v = find(j, "metric")) {
    const auto metric = metric_from_key(as_string(*v, "metric"));
    if (!metric) {
      throw Error("unknown variant `" + v->get<std::string>() +
                  "`, expected one of `ip`, `cosine`, `l2`");
    }
    m.metric = *metric;
  }
  if (const Json* v = find(j, "index_state"); v != nullptr && !v->is_null()) {
    m.index_state = decode_index_state(*v);
  }
  if (const Json* v = find(j, "fast_mode")) m.fast_mode = as_bool(*v, "fast_mode");
  if (const Json* v = find(j, "rerank_enabled")) m.rerank_enabled = as_bool(*v, "rerank_enabled");
  if (const Json* v = find(j, "rerank_precision")) {
    const auto precision = precision_from_key(as_string(*v, "rerank_precision"));
    if (!precision) {
      throw Error("unknown variant `" + v->get<std::string>() +
                  "`, expected one of `disabled`, `f32`, `f16`");
    }
    m.rerank_precision = *precision;
  }
  if (const Json* v = find(j, "normalize")) m.normalize = as_bool(*v, "normalize");
  return m;
}

Manifest Manifest::load(const std::string& path) {
  const Bytes data = read_file(path);
  return decode(as_chars(data));
}

std::string Manifest::encode() const {
  OrderedJson j = OrderedJson::object();
  j["version"] = version;
  j["d"] = d;
  j["b"] = b;
  j["seed"] = seed;
  j["vector_count"] = vector_count;
  j["storage_uri"] = storage_uri;
  j["metric"] = metric_key(metric);
  if (index_state) {
    OrderedJson s = OrderedJson::object();
    s["max_degree"] = index_state->max_degree;
    s["ef_construction"] = index_state->ef_construction;
    s["search_list_size"] = index_state->search_list_size;
    s["alpha"] = index_state->alpha;
    s["indexed_nodes"] = index_state->indexed_nodes;
    j["index_state"] = std::move(s);
  } else {
    j["index_state"] = nullptr;
  }
  j["fast_mode"] = fast_mode;
  j["rerank_enabled"] = rerank_enabled;
  j["rerank_precision"] = precision_key(rerank_precision);
  j["normalize"] = normalize;
  return dump_pretty(j);
}

void Manifest::save(const std::string& path) const { write_file_atomic(path, as_bytes(encode())); }

void persist_manifest(const Manifest& manifest, const std::string& local_dir,
                      StorageBackend& backend) {
  write_and_mirror(local_dir, kManifestName, manifest.encode(), backend);
}

std::vector<std::uint32_t> load_index_ids(const std::string& local_dir) {
  const std::string path = join_path(local_dir, kIndexIdsName);
  if (!path_exists(path)) return {};
  const Bytes data = read_file(path);
  return decode_index_ids(as_chars(data));
}

std::vector<std::uint32_t> decode_index_ids(std::string_view text) {
  const Json j = parse_json(text);
  if (!j.is_array()) throw Error("invalid type: " + describe(j) + ", expected a sequence");
  std::vector<std::uint32_t> ids;
  ids.reserve(j.size());
  for (const Json& v : j) {
    if (!v.is_number_integer()) {
      throw Error("invalid type: " + describe(v) + ", expected u32");
    }
    if (!v.is_number_unsigned() || v.get<std::uint64_t>() > 0xFFFFFFFFull) {
      throw Error("invalid value: integer `" + v.dump() + "`, expected u32");
    }
    ids.push_back(static_cast<std::uint32_t>(v.get<std::uint64_t>()));
  }
  return ids;
}

std::string serialize_index_ids(const std::vector<std::uint32_t>& ids) {
  if (ids.empty()) return "[]";
  std::string out = "[";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    out += i == 0 ? "\n  " : ",\n  ";
    out += std::to_string(ids[i]);
  }
  out += "\n]";
  return out;
}

void save_index_ids(const std::vector<std::uint32_t>& ids, const std::string& local_dir,
                    StorageBackend& backend) {
  write_and_mirror(local_dir, kIndexIdsName, serialize_index_ids(ids), backend);
}

}  // namespace norvex::storage
