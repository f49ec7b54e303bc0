// A private scratch directory on a memory file system when there is one.
// The daemon replaces "status.json" by rename every pass; on ext4 a rename
// over an existing file waits for the new file's data to be flushed, which
// makes a simulated day of passes take minutes instead of a second.
#pragma once

#include <string>

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};
