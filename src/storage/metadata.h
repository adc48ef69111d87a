// The metadata of every live vector, keyed by slot, and its file metadata.bin.
//
// metadata.bin (integers little-endian):
//
//   offset 0   4 bytes   magic "M2S1"
//   offset 4   8 bytes   entry count C (u64)
//   offset 12  C entries, back to back:
//                slot (u32) | L (u32) | L bytes: compact JSON of the VectorMetadata
//
// Entries are written in no particular order; a slot appears once. On reading, a later entry
// for a slot replaces an earlier one.
//
// JSON of a VectorMetadata, compact, keys in this order:
//
//   {"properties":{...},"document":null}      or      ...,"document":"text"}
//
// The same text is what a log entry carries in metadata_json.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/json.h"

namespace norvex::storage {

// Deepest property value (json_depth) whose record JSON still reads back: the record adds two
// levels of nesting above it.
inline constexpr std::size_t kMaxPropertyDepth = kMaxJsonDepth - 2;

struct VectorMetadata {
  PropertyMap properties;
  std::optional<std::string> document;

  // Compact JSON, "properties" before "document"; property keys in ascending order. Throws
  // Error when a string is not valid UTF-8 or a value is nested deeper than
  // kMaxPropertyDepth, so that nothing is stored that could not be read back.
  std::string to_json() const;

  // Reads the JSON form. `properties` is required ("missing field `properties`") and must be an
  // object; a missing `document` reads as absent, otherwise it must be a string or null; a
  // repeated top-level key fails with "duplicate field `{key}`"; unknown keys are ignored.
  // Throws Error on any failure (including syntax, invalid UTF-8 and excessive nesting).
  static VectorMetadata from_json(std::string_view text);
};

// Structural equality (numbers compared by form, see json_equal).
bool operator==(const VectorMetadata& a, const VectorMetadata& b);

// In-memory map slot -> VectorMetadata, loaded whole on open and rewritten whole on flush. No
// locking: the engine serialises writers against readers.
class MetadataStore {
 public:
  using Entries = std::unordered_map<std::uint32_t, VectorMetadata>;

  // Creates the parent directory of `path` if needed and loads the file; a missing file gives
  // an empty, clean store (no file is created). Throws Error: "failed to fill whole buffer" for
  // a truncated file (including counts or lengths larger than the bytes that remain),
  // "invalid metadata magic in {path}: expected [77, 50, 83, 49], found [..]" for a wrong
  // magic, or the JSON decoding error of an entry.
  static MetadataStore open(const std::string& path);
  // The decoding step of open, on the bytes of a file; `path` only names it in messages.
  static Entries decode(const std::string& path, ByteView data);

  // A copy of the slot's metadata, or nothing when the slot has no entry.
  std::optional<VectorMetadata> get(std::uint32_t slot) const;
  // Copies of the listed slots that have an entry (a slot listed twice appears once).
  Entries get_many(std::span<const std::uint32_t> slots) const;

  // Inserts or replaces; marks the store dirty.
  void put(std::uint32_t slot, VectorMetadata metadata);
  void put_many(std::vector<std::pair<std::uint32_t, VectorMetadata>> pairs);
  // Drops the slot's entry; true when there was one (the store is then dirty).
  bool remove(std::uint32_t slot);
  // Renumbers slots after slot compaction: the entry of every slot in `old_to_new` moves to its
  // new slot, entries of slots not in the map are dropped. The map must be injective (a Fault
  // otherwise). Marks the store dirty when anything moved or was dropped.
  void rekey(const std::unordered_map<std::uint32_t, std::uint32_t>& old_to_new);

  // When dirty: writes the whole store to `path` with its extension replaced by "tmp" and
  // renames it over `path`, then marks the store clean. Throws Error, leaving the old file
  // intact and the store dirty. A clean store writes nothing.
  void flush();

  // Writes the whole store as a complete metadata.bin at `target` (created or truncated in
  // place), whatever the dirty flag says; the store is unchanged. For callers that stage the
  // file under another name and install it themselves. Throws Error.
  void write_to(const std::string& target) const;
  // Records that the file at path() now holds the entries (after installing a staged copy).
  void mark_clean() { dirty_ = false; }
  // Drops every entry.
  void clear();

  std::size_t size() const { return entries_.size(); }
  bool dirty() const { return dirty_; }
  const std::string& path() const { return path_; }
  // Every entry, in no particular order. Invalidated by any change to the store.
  const Entries& entries() const { return entries_; }

 private:
  explicit MetadataStore(std::string path) : path_(std::move(path)) {}

  std::string path_;
  Entries entries_;
  bool dirty_ = false;
};

// `path` with its file extension replaced by "tmp" (added when there is none).
std::string temp_path_for(const std::string& path);

}  // namespace norvex::storage
