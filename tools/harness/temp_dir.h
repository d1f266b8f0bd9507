// TempDir: a fresh folder under the system's temporary folder, removed with
// everything in it when the object is destroyed.
#pragma once

#include <memory>
#include <string>

#include "base/result.h"

namespace harlo::harness {

class TempDir final {
 public:
  // Creates "<tmp>/<prefix>-XXXXXX". Unix socket paths must stay under 108
  // bytes, so the folder is made in /tmp when TMPDIR is long.
  static Result<std::unique_ptr<TempDir>, std::string> create(const std::string& prefix);

  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  explicit TempDir(std::string path) : path_(std::move(path)) {}

  std::string path_;
};

}  // namespace harlo::harness
