// Test helpers: capture of the standard streams, and scratch directories.
#pragma once

#include <string>

namespace halvorn::testing {

// Captures what is written to standard output (the diagnostic console included) and standard
// error from construction until Finish, at the descriptor level, so stdio and raw writes are
// both caught. Streams are flushed at both ends.
class OutputCapture {
 public:
  struct Result {
    std::string out;
    std::string err;
  };

  OutputCapture();
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  // Stops capturing and returns what was written.
  Result Finish();

 private:
  int saved_out_ = -1;
  int saved_err_ = -1;
  int out_file_ = -1;
  int err_file_ = -1;
};

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string Join(const std::string& name) const;
  // Writes `content` to path()/name, creating or truncating it; returns the full path.
  std::string WriteFile(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadFileContent(const std::string& path);

}  // namespace halvorn::testing
