#include "halvorn/testing/capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace halvorn::testing {
namespace {

int TempFile() {
  char name[] = "/tmp/halvorn-capture-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  unlink(name);
  return fd;
}

std::string Drain(int fd) {
  std::string text;
  char chunk[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, n);
  return text;
}

}  // namespace

OutputCapture::OutputCapture() {
  fflush(stdout);
  fflush(stderr);
  saved_out_ = dup(1);
  saved_err_ = dup(2);
  out_file_ = TempFile();
  err_file_ = TempFile();
  dup2(out_file_, 1);
  dup2(err_file_, 2);
}

OutputCapture::~OutputCapture() {
  if (saved_out_ >= 0) Finish();
}

OutputCapture::Result OutputCapture::Finish() {
  fflush(stdout);
  fflush(stderr);
  dup2(saved_out_, 1);
  dup2(saved_err_, 2);
  close(saved_out_);
  close(saved_err_);
  saved_out_ = saved_err_ = -1;
  Result result{Drain(out_file_), Drain(err_file_)};
  close(out_file_);
  close(err_file_);
  return result;
}

ScratchDir::ScratchDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/halvorn-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::Join(const std::string& name) const { return path_ + "/" + name; }

std::string ScratchDir::WriteFile(const std::string& name, const std::string& content) const {
  std::string full = Join(name);
  std::ofstream(full, std::ios::binary | std::ios::trunc) << content;
  return full;
}

std::string ReadFileContent(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace halvorn::testing
