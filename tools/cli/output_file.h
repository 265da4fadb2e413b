#pragma once
// Output files that appear whole or not at all: bytes go to a hidden
// temporary file in the target's directory, which is renamed over the target
// only once everything was written and flushed to disk.

#include <cstdio>
#include <string>

#include "cli/status.h"

namespace tarncli {

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // removes the temporary file unless committed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file next to `path`. kNotWritable when it cannot.
  Status Create(const std::string& path);
  FILE* stream() const { return stream_; }
  // Flushes, syncs and renames onto the target path.
  Status Commit();
  // Removes the temporary file.
  void Discard();

 private:
  std::string path_;
  std::string tempPath_;
  FILE* stream_ = nullptr;
};

// Checks before any exposure that `path` can be created: its directory
// exists and takes new files, and the path itself is not a directory.
Status CheckWritable(const std::string& path);

}  // namespace tarncli
