#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "brantel/device.h"

namespace brantel {

// How the fake answers one exchange, in the order Exchange makes its calls. By default the buffer
// is granted, the whole request is written, the descriptor becomes readable and the read returns
// no bytes.
struct FakeExchange {
  FakeExchange& RefuseBuffer();
  // The write returns `result`, with errno `error` when it is negative.
  FakeExchange& WriteReturns(ssize_t result, int error = 0);
  // The wait returns `result` with the descriptor readable or not, errno `error` when negative.
  FakeExchange& WaitReturns(int result, bool readable, int error = 0);
  // The read returns these bytes, cut to the caller's buffer.
  FakeExchange& Answer(std::vector<uint8_t> bytes);
  // The read fails with `error`.
  FakeExchange& ReadFails(int error);
  // The read copies the answer as usual but returns `count`, as a faulty driver might.
  FakeExchange& ReadReports(ssize_t count);

  static constexpr ssize_t kWholeWrite = -1000;
  static constexpr ssize_t kBytesCopied = -1000;

  bool refuse_buffer = false;
  ssize_t write_result = kWholeWrite;
  int write_errno = 0;
  int wait_result = 1;
  bool readable = true;
  int wait_errno = 0;
  std::vector<uint8_t> response;
  int read_errno = 0;
  ssize_t read_result = kBytesCopied;
};

// A controller device in memory. Each exchange (one buffer allocation, then write, wait, read)
// takes the next FakeExchange; once they run out, the device stays silent. Every call is logged.
class FakeDevice : public DeviceInterface {
 public:
  static constexpr int kDescriptor = 7;

  // Paths not listed open as kDescriptor.
  std::map<std::string, int> open_errno;
  int ioctl_result = 0;
  uint32_t max_message_length = 4096;
  uint8_t protocol_version = 1;
  std::vector<FakeExchange> exchanges;

  std::vector<std::string> opened;
  std::vector<uint8_t> connect_argument;
  unsigned long connect_request = 0;
  std::vector<std::vector<uint8_t>> written;
  std::vector<timeval> wait_limits;
  std::vector<size_t> read_sizes;
  std::vector<int> closed;

  int Open(const char* path, int flags) override;
  int Ioctl(int fd, unsigned long request, void* arg) override;
  ssize_t Write(int fd, const void* data, size_t size) override;
  int WaitReadable(int fd, timeval* timeout, bool* readable) override;
  ssize_t Read(int fd, void* data, size_t size) override;
  int Close(int fd) override;
  HeapBytes AllocateCleared(size_t size) override;

 private:
  const FakeExchange& Current() const;

  size_t started_ = 0;
};

// Builds responses byte by byte, little-endian.
class ResponseBuilder {
 public:
  // A header with command `command`, version 1.1, the length field fixed up by Bytes(), and a
  // zero status.
  explicit ResponseBuilder(uint32_t command);

  ResponseBuilder& U8(uint8_t value);
  ResponseBuilder& U16(uint16_t value);
  ResponseBuilder& U32(uint32_t value);
  ResponseBuilder& Text(const std::string& text, size_t field_size);
  // Overwrites `width` bytes at `offset`. Once the length field (offset 8) is written this way,
  // Bytes() leaves it alone.
  ResponseBuilder& Set(size_t offset, uint32_t value, size_t width);
  // The response; the length field is the size less 12 unless Set() wrote it.
  std::vector<uint8_t> Bytes() const;

 private:
  std::vector<uint8_t> bytes_;
  bool length_set_ = false;
};

// A FILE* whose output a test reads back with Text().
class MemoryStream {
 public:
  MemoryStream();
  ~MemoryStream();
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;

  FILE* file() const { return file_; }
  std::string Text();

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  FILE* file_ = nullptr;
};

// A well-formed code-versions response with these entries, each {label, version}.
std::vector<uint8_t> CodeVersionsResponse(
    const std::vector<std::pair<std::string, std::string>>& entries);
// A well-formed provisioning-state response.
std::vector<uint8_t> ProvisioningStateResponse(uint8_t state);

}  // namespace brantel
