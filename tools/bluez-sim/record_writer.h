// RecordWriter: rewrites the record file (record_file.h) from what each part
// of the simulator has registered. Each part adds a source that fills in its
// sections and calls write() after every change, before replying to the call
// that caused it. Without a path it writes nothing.
//
// Single-threaded: runs on the thread of the sd-event loop. Each source must
// stay valid while the writer is used.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "record_file.h"

namespace harlo::bluez_sim {

class RecordWriter final {
 public:
  using Source = std::function<void(RecordFile&)>;

  explicit RecordWriter(std::optional<std::string> path) : path_(std::move(path)) {}

  void addSource(Source source) { sources_.push_back(std::move(source)); }

  // Writes the file from every source, atomically; a failure is logged.
  void write() const;

 private:
  std::optional<std::string> path_;
  std::vector<Source> sources_;
};

}  // namespace harlo::bluez_sim
