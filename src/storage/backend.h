// Where a database's durable files are mirrored. Segment files live only here; manifest.json,
// quantizer.bin, graph_ids.json, live_ids.bin, graph.bin and the slot files are copied here
// after each local write. Only local directories are supported.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/bytes.h"

namespace norvex::storage {

// Six operations on files named relative to a root ("/" separates directories). Failures
// throw norvex::Error with the system's text.
class StorageProvider {
 public:
  virtual ~StorageProvider() = default;
  virtual Bytes read(const std::string& name) const = 0;
  // Replaces the whole file; a reader never sees a partly written file.
  virtual void write(const std::string& name, ByteView data) = 0;
  virtual std::vector<std::string> list(const std::string& prefix) const = 0;
  // Deleting a missing file succeeds.
  virtual void remove(const std::string& name) = 0;
  virtual bool exists(const std::string& name) const = 0;
  virtual std::uint64_t size(const std::string& name) const = 0;
};

class LocalProvider final : public StorageProvider {
 public:
  explicit LocalProvider(std::string root);

  Bytes read(const std::string& name) const override;
  void write(const std::string& name, ByteView data) override;
  // Empty prefix: the entries directly in the root. A prefix naming a directory below the
  // root: its entries, as names relative to the root. Any other prefix: the entries of its
  // parent directory starting with its last component. Non-UTF-8 bytes become U+FFFD.
  std::vector<std::string> list(const std::string& prefix) const override;
  void remove(const std::string& name) override;
  bool exists(const std::string& name) const override;
  std::uint64_t size(const std::string& name) const override;

  const std::string& root() const { return root_; }
  std::string path_of(const std::string& name) const;

 private:
  std::string root_;
};

class StorageBackend {
 public:
  // Resolves a storage URI: a local path, or file:// with no host or "localhost". gs://, az://
  // and s3:// are refused. Creates the root directory. Throws Error.
  static std::shared_ptr<StorageBackend> from_uri(const std::string& uri);

  StorageBackend(std::string uri, std::unique_ptr<StorageProvider> provider);

  const std::string& uri() const { return uri_; }
  StorageProvider& provider() const { return *provider_; }

  Bytes read(const std::string& name) const { return provider_->read(name); }
  void write(const std::string& name, ByteView data) { provider_->write(name, data); }
  std::vector<std::string> list(const std::string& prefix) const { return provider_->list(prefix); }
  void remove(const std::string& name) { provider_->remove(name); }
  bool exists(const std::string& name) const { return provider_->exists(name); }
  std::uint64_t size(const std::string& name) const { return provider_->size(name); }

  // False when the backend file `name` is the very file at `local_path` (the backend root is
  // the local directory): copying it onto itself would only risk destroying it.
  bool needs_mirror(const std::string& name, const std::string& local_path) const;

  // Copies a local file's bytes to `name` unless needs_mirror says it is the same file.
  void mirror(const std::string& name, const std::string& local_path, ByteView data);

 private:
  std::string uri_;
  std::unique_ptr<StorageProvider> provider_;
};

}  // namespace norvex::storage
