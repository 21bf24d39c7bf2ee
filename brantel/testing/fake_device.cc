#include "brantel/testing/fake_device.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "brantel/channel.h"

namespace brantel {

FakeExchange& FakeExchange::RefuseBuffer() {
  refuse_buffer = true;
  return *this;
}

FakeExchange& FakeExchange::WriteReturns(ssize_t result, int error) {
  write_result = result;
  write_errno = error;
  return *this;
}

FakeExchange& FakeExchange::WaitReturns(int result, bool ready, int error) {
  wait_result = result;
  readable = ready;
  wait_errno = error;
  return *this;
}

FakeExchange& FakeExchange::Answer(std::vector<uint8_t> bytes) {
  response = std::move(bytes);
  return *this;
}

FakeExchange& FakeExchange::ReadFails(int error) {
  read_errno = error;
  return *this;
}

FakeExchange& FakeExchange::ReadReports(ssize_t count) {
  read_result = count;
  return *this;
}

const FakeExchange& FakeDevice::Current() const {
  static const FakeExchange kSilent = FakeExchange().WaitReturns(0, false);
  if (started_ == 0 || started_ > exchanges.size()) return kSilent;
  return exchanges[started_ - 1];
}

int FakeDevice::Open(const char* path, int /*flags*/) {
  opened.push_back(path);
  auto it = open_errno.find(path);
  if (it == open_errno.end()) return kDescriptor;
  errno = it->second;
  return -1;
}

int FakeDevice::Ioctl(int /*fd*/, unsigned long request, void* arg) {
  connect_request = request;
  auto* bytes = static_cast<uint8_t*>(arg);
  connect_argument.assign(bytes, bytes + 16);
  if (ioctl_result != 0) {
    errno = EINVAL;
    return ioctl_result;
  }
  memset(bytes, 0xEE, 16);  // the bytes after the protocol version are not to be read
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(max_message_length >> (8 * i));
  bytes[4] = protocol_version;
  return 0;
}

ssize_t FakeDevice::Write(int /*fd*/, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  written.emplace_back(bytes, bytes + size);
  const FakeExchange& exchange = Current();
  if (exchange.write_result == FakeExchange::kWholeWrite) return static_cast<ssize_t>(size);
  if (exchange.write_result < 0) errno = exchange.write_errno;
  return exchange.write_result;
}

int FakeDevice::WaitReadable(int /*fd*/, timeval* timeout, bool* readable) {
  wait_limits.push_back(*timeout);
  const FakeExchange& exchange = Current();
  *readable = exchange.readable;
  if (exchange.wait_result < 0) errno = exchange.wait_errno;
  return exchange.wait_result;
}

ssize_t FakeDevice::Read(int /*fd*/, void* data, size_t size) {
  read_sizes.push_back(size);
  const FakeExchange& exchange = Current();
  if (exchange.read_errno != 0) {
    errno = exchange.read_errno;
    return -1;
  }
  size_t count = exchange.response.size() < size ? exchange.response.size() : size;
  if (count != 0) memcpy(data, exchange.response.data(), count);
  if (exchange.read_result != FakeExchange::kBytesCopied) return exchange.read_result;
  return static_cast<ssize_t>(count);
}

int FakeDevice::Close(int fd) {
  closed.push_back(fd);
  return 0;
}

HeapBytes FakeDevice::AllocateCleared(size_t size) {
  ++started_;
  if (Current().refuse_buffer) return nullptr;
  return DeviceInterface::AllocateCleared(size);
}

ResponseBuilder::ResponseBuilder(uint32_t command) {
  U8(1).U8(1).U16(0).U32(command).U32(0).U32(0);
}

ResponseBuilder& ResponseBuilder::U8(uint8_t value) {
  bytes_.push_back(value);
  return *this;
}

ResponseBuilder& ResponseBuilder::U16(uint16_t value) {
  return U8(static_cast<uint8_t>(value)).U8(static_cast<uint8_t>(value >> 8));
}

ResponseBuilder& ResponseBuilder::U32(uint32_t value) {
  return U16(static_cast<uint16_t>(value)).U16(static_cast<uint16_t>(value >> 16));
}

ResponseBuilder& ResponseBuilder::Text(const std::string& text, size_t field_size) {
  for (size_t i = 0; i < field_size; ++i) U8(i < text.size() ? text[i] : 0);
  return *this;
}

ResponseBuilder& ResponseBuilder::Set(size_t offset, uint32_t value, size_t width) {
  if (offset == 8) length_set_ = true;
  for (size_t i = 0; i < width; ++i) bytes_.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
  return *this;
}

std::vector<uint8_t> ResponseBuilder::Bytes() const {
  std::vector<uint8_t> bytes = bytes_;
  if (length_set_) return bytes;
  uint32_t length = static_cast<uint32_t>(bytes.size() - kMessageHeaderSize);
  for (int i = 0; i < 4; ++i) bytes[8 + i] = static_cast<uint8_t>(length >> (8 * i));
  return bytes;
}

MemoryStream::MemoryStream() : file_(open_memstream(&buffer_, &size_)) {}

MemoryStream::~MemoryStream() {
  fclose(file_);
  free(buffer_);
}

std::string MemoryStream::Text() {
  fflush(file_);
  return std::string(buffer_, size_);
}

std::vector<uint8_t> CodeVersionsResponse(
    const std::vector<std::pair<std::string, std::string>>& entries) {
  ResponseBuilder response(CodeVersionsRequest.command | kResponseCommandBit);
  response.Text("leading text", 65).U32(static_cast<uint32_t>(entries.size()));
  for (const auto& [label, version] : entries) {
    response.U16(static_cast<uint16_t>(label.size())).Text(label, 20);
    response.U16(static_cast<uint16_t>(version.size())).Text(version, 20);
  }
  return response.Bytes();
}

std::vector<uint8_t> ProvisioningStateResponse(uint8_t state) {
  return ResponseBuilder(ProvisioningStateRequest.command | kResponseCommandBit).U8(state).Bytes();
}

}  // namespace brantel
