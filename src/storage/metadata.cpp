#include "storage/metadata.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <unordered_set>

#include "common/buffered_file.h"
#include "common/bytes.h"
#include "common/error.h"
#include "common/file_util.h"
#include "common/thread_pool.h"

namespace norvex::storage {
namespace {

constexpr std::uint8_t kMagic[4] = {'M', '2', 'S', '1'};
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kEntryHeaderSize = 8;  // slot + length
constexpr const char* kShortFile = "failed to fill whole buffer";

std::string byte_list(const std::uint8_t* p, std::size_t n) {
  std::string out = "[";
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(p[i]);
  }
  return out + "]";
}

std::string parent_dir(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string VectorMetadata::to_json() const {
  // nlohmann objects sort their keys, so the two outer keys are joined by hand to keep
  // "properties" first.
  Json props = Json::object();
  for (const auto& [key, value] : properties) {
    if (json_depth(value) > kMaxPropertyDepth) {
      throw Error("metadata value of `" + key + "` is nested deeper than " +
                  std::to_string(kMaxPropertyDepth) + " levels");
    }
    props[key] = value;
  }
  std::string out = "{\"properties\":";
  out += dump_compact(props);
  out += ",\"document\":";
  out += document ? dump_compact(Json(*document)) : "null";
  out += '}';
  return out;
}

VectorMetadata VectorMetadata::from_json(std::string_view text) {
  const Json j =
      parse_json(text, [](const std::vector<std::string>& path) { return path.empty(); });
  if (!j.is_object()) throw Error("invalid metadata JSON: expected an object");
  const Json& props = require_field(j, "properties");
  if (!props.is_object()) throw Error("invalid metadata JSON: `properties` must be an object");
  VectorMetadata md;
  md.properties.reserve(props.size());
  for (auto it = props.begin(); it != props.end(); ++it) md.properties.emplace(it.key(), *it);
  const auto doc = j.find("document");
  if (doc != j.end() && !doc->is_null()) {
    if (!doc->is_string()) {
      throw Error("invalid metadata JSON: `document` must be a string or null");
    }
    md.document = doc->get<std::string>();
  }
  return md;
}

bool operator==(const VectorMetadata& a, const VectorMetadata& b) {
  if (a.document != b.document || a.properties.size() != b.properties.size()) return false;
  for (const auto& [key, value] : a.properties) {
    const auto it = b.properties.find(key);
    if (it == b.properties.end() || !json_equal(value, it->second)) return false;
  }
  return true;
}

std::string temp_path_for(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = path.find_last_of('.');
  // A leading dot starts a hidden name, not an extension.
  if (dot == std::string::npos || dot <= name_at) return path + ".tmp";
  return path.substr(0, dot) + ".tmp";
}

MetadataStore MetadataStore::open(const std::string& path) {
  const std::string parent = parent_dir(path);
  if (!parent.empty()) create_dirs(parent);
  MetadataStore store(path);
  if (!path_exists(path)) return store;

  store.entries_ = decode(path, read_file(path));
  return store;
}

MetadataStore::Entries MetadataStore::decode(const std::string& path, ByteView data) {
  Entries entries;
  if (data.size() < sizeof(kMagic)) throw Error(kShortFile);
  if (std::memcmp(data.data(), kMagic, sizeof(kMagic)) != 0) {
    throw Error("invalid metadata magic in " + path + ": expected " +
                byte_list(kMagic, sizeof(kMagic)) + ", found " +
                byte_list(data.data(), sizeof(kMagic)));
  }
  if (data.size() < kHeaderSize) throw Error(kShortFile);
  const std::uint64_t count = load_le<std::uint64_t>(data.data() + 4);
  std::size_t pos = kHeaderSize;
  // Every entry takes at least its 8-byte header, which bounds a believable count.
  if (count > (data.size() - pos) / kEntryHeaderSize) throw Error(kShortFile);
  // Find every entry first (cheap), then parse the JSON texts on the worker pool, which is
  // what dominates opening a large database. The outcome, including which error is reported,
  // is the sequential one: the first entry whose JSON fails, else a truncation after the
  // readable entries.
  std::vector<std::pair<std::uint32_t, std::string_view>> found;
  found.reserve(static_cast<std::size_t>(count));
  bool truncated = false;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (data.size() - pos < kEntryHeaderSize) {
      truncated = true;
      break;
    }
    const std::uint32_t slot = load_le<std::uint32_t>(data.data() + pos);
    const std::uint32_t len = load_le<std::uint32_t>(data.data() + pos + 4);
    pos += kEntryHeaderSize;
    if (data.size() - pos < len) {
      truncated = true;
      break;
    }
    found.emplace_back(slot, as_chars(ByteView(data.data() + pos, len)));
    pos += len;
  }
  constexpr std::size_t kParseGrain = 2048;
  std::vector<VectorMetadata> parsed(found.size());
  parallel_for(found.size(), kParseGrain,
               [&](std::size_t i) { parsed[i] = VectorMetadata::from_json(found[i].second); });
  if (truncated) throw Error(kShortFile);
  entries.reserve(found.size());
  for (std::size_t i = 0; i < found.size(); ++i) {
    entries.insert_or_assign(found[i].first, std::move(parsed[i]));
  }
  return entries;
}

std::optional<VectorMetadata> MetadataStore::get(std::uint32_t slot) const {
  const auto it = entries_.find(slot);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

MetadataStore::Entries MetadataStore::get_many(std::span<const std::uint32_t> slots) const {
  Entries out;
  out.reserve(slots.size());
  for (const std::uint32_t slot : slots) {
    const auto it = entries_.find(slot);
    if (it != entries_.end()) out.try_emplace(slot, it->second);
  }
  return out;
}

void MetadataStore::put(std::uint32_t slot, VectorMetadata metadata) {
  entries_.insert_or_assign(slot, std::move(metadata));
  dirty_ = true;
}

void MetadataStore::put_many(std::vector<std::pair<std::uint32_t, VectorMetadata>> pairs) {
  for (auto& [slot, metadata] : pairs) put(slot, std::move(metadata));
}

bool MetadataStore::remove(std::uint32_t slot) {
  if (entries_.erase(slot) == 0) return false;
  dirty_ = true;
  return true;
}

void MetadataStore::rekey(const std::unordered_map<std::uint32_t, std::uint32_t>& old_to_new) {
  Entries moved;
  moved.reserve(std::min(entries_.size(), old_to_new.size()));
  std::unordered_set<std::uint32_t> targets;
  targets.reserve(old_to_new.size());
  for (const auto& [from, to] : old_to_new) {
    NVX_CHECK(targets.insert(to).second,
              "metadata rekey maps two slots onto slot " + std::to_string(to));
  }
  bool changed = false;
  for (auto& [slot, metadata] : entries_) {
    const auto it = old_to_new.find(slot);
    if (it == old_to_new.end()) {
      changed = true;
      continue;
    }
    changed = changed || it->second != slot;
    moved.emplace(it->second, std::move(metadata));
  }
  entries_ = std::move(moved);
  dirty_ = dirty_ || changed;
}

void MetadataStore::write_to(const std::string& target) const {
  BufferedFile out = BufferedFile::open(target, O_WRONLY | O_CREAT | O_TRUNC);
  Bytes header(kMagic, kMagic + sizeof(kMagic));
  append_le<std::uint64_t>(header, entries_.size());
  out.write(header);
  for (const auto& [slot, metadata] : entries_) {
    const std::string json = metadata.to_json();
    if (json.size() > std::numeric_limits<std::uint32_t>::max()) {
      throw Error("metadata of slot " + std::to_string(slot) + " is too large to store");
    }
    std::uint8_t entry_header[kEntryHeaderSize];
    store_le<std::uint32_t>(entry_header, slot);
    store_le<std::uint32_t>(entry_header + 4, static_cast<std::uint32_t>(json.size()));
    out.write(ByteView(entry_header, kEntryHeaderSize));
    out.write(as_bytes(json));
  }
  out.flush();
  out.close();
}

void MetadataStore::flush() {
  if (!dirty_) return;
  const std::string tmp = temp_path_for(path_);
  try {
    write_to(tmp);
    rename_file(tmp, path_);
  } catch (const Error&) {
    try {
      remove_file(tmp);
    } catch (const Error&) {
      // The next flush overwrites a leftover temporary file.
    }
    throw;
  }
  dirty_ = false;
}

void MetadataStore::clear() {
  if (entries_.empty()) return;
  entries_.clear();
  dirty_ = true;
}

}  // namespace norvex::storage
