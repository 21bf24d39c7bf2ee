#include "brantel/report.h"

#include <cstdarg>
#include <cstring>

#include "brantel/channel.h"

namespace brantel {
namespace {

// The record starts at this offset of the response.
constexpr size_t kPayloadOffset = kResponsePrefixSize;
// Within a VersionEntry.
constexpr size_t kLabelOffset = 0;
constexpr size_t kVersionOffset = kCountedStringSize;

struct StateLine {
  uint8_t state;
  const char* line;
};

constexpr StateLine kStateLines[] = {
    {0, "Dravik provisioning state: unprovisioned"},
    {1, "Dravik provisioning state: being provisioned"},
    {2, "Dravik provisioning state: provisioned"},
};

// Little-endian load of `width` bytes at `offset`; bytes at or past `limit` read as zero, as they
// would from the zero-filled response buffer.
uint32_t LoadBounded(const uint8_t* bytes, size_t limit, size_t offset, size_t width) {
  uint32_t value = 0;
  for (size_t i = 0; i < width; ++i) {
    if (offset + i < limit) value |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
  }
  return value;
}

// The per-entry checks: label length at most 20, a NUL at the index given by the version length,
// and no NUL before it. The probe must lie inside the buffer and inside the record; past what was
// received it reads the buffer's zero fill.
bool CheckEntry(const uint8_t* response, size_t received, size_t size, size_t entry) {
  if (entry + kVersionEntrySize > received) return false;
  if (LoadBounded(response, received, entry + kLabelOffset, 2) > kCountedStringChars) return false;
  size_t version_length = LoadBounded(response, received, entry + kVersionOffset, 2);
  size_t chars = entry + kVersionOffset + 2;
  size_t probe = chars + version_length;
  if (probe >= size) return false;
  if (probe - kPayloadOffset >= CodeVersionsRecord::kSize) return false;
  if (response[probe] != 0) return false;
  return memchr(response + chars, 0, version_length) == nullptr;
}

// One verdict line, flushed at once: with standard output and standard error on one file, a
// buffered verdict would otherwise land after the diagnostics that follow it.
__attribute__((format(printf, 2, 3))) void PrintVerdict(FILE* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(out, format, args);
  va_end(args);
  fflush(out);
}

// Closes the connection at the report's end. The run succeeded only if every verdict line
// reached `out`; a write error is sticky, so one look at the stream covers them all.
int FinishReport(DeviceConnection& connection, FILE* out, FILE* err) {
  CloseConnection(connection);
  if (fflush(out) != 0 || ferror(out)) {
    fputs("Could not write standard output\n", err);
    return 1;
  }
  return 0;
}

}  // namespace

void CodeVersionsRecord::Fill(const uint8_t* payload, size_t size) {
  bytes_.fill(0);
  memcpy(bytes_.data(), payload, size < kSize ? size : kSize);
}

uint32_t CodeVersionsRecord::EntryCount() const {
  return LoadBounded(bytes_.data(), kSize, kEntryCountOffset - kPayloadOffset, 4);
}

std::string_view CodeVersionsRecord::Chars(size_t offset) const {
  const char* chars = reinterpret_cast<const char*>(bytes_.data() + offset);
  return std::string_view(chars, strnlen(chars, kCountedStringChars));
}

std::string_view CodeVersionsRecord::Label(size_t index) const {
  return Chars(kFirstEntryOffset - kPayloadOffset + index * kVersionEntrySize + kLabelOffset + 2);
}

std::string_view CodeVersionsRecord::Version(size_t index) const {
  return Chars(kFirstEntryOffset - kPayloadOffset + index * kVersionEntrySize + kVersionOffset + 2);
}

bool ValidateCodeVersions(const uint8_t* response, size_t received, size_t size) {
  uint32_t length = LoadBounded(response, received, 8, 4);
  uint32_t count = LoadBounded(response, received, kEntryCountOffset, 4);
  // Unsigned 32-bit on purpose: a length below 73 wraps to a huge quotient that no count matches.
  if (count != (length - kCodeVersionsFixedLength) / kVersionEntrySize) return false;
  if (count > kMaxVersionEntries) return false;
  for (size_t j = 0; j < count; ++j) {
    if (!CheckEntry(response, received, size, kFirstEntryOffset + j * kVersionEntrySize)) {
      return false;
    }
  }
  return true;
}

const char* ProvisioningStateLine(uint8_t state) {
  for (const StateLine& row : kStateLines) {
    if (row.state == state) return row.line;
  }
  return kUnknownProvisioningStateLine;
}

int RunReport(int argc, const char* const* argv, DeviceInterface& device, FILE* out, FILE* err) {
  bool verbose = argc > 1 && strcmp(argv[1], "-v") == 0;
  HostInterfaceChannel channel;
  channel.connection.device = &device;
  channel.diagnostics = err;
  if (!OpenChannel(channel, verbose)) return 1;

  ResponseBuffer response;
  uint32_t result = Exchange(channel, CodeVersionsRequest,
                             CodeVersionsRequest.command | kResponseCommandBit, &response);
  if (result == ExchangeEmptyResponse) {
    PrintVerdict(out, "Dravik present: false\n");
    return FinishReport(channel.connection, out, err);
  }
  if (result != ExchangeOk) {
    fputs("An error has occurred\n", err);
    CloseConnection(channel.connection);
    return 1;
  }
  // A passing header says the length field plus 12 bytes were read, all inside the buffer.
  size_t received = DecodeMessageHeader(response.bytes.get()).length + kMessageHeaderSize;
  if (!ValidateCodeVersions(response.bytes.get(), received, response.size)) {
    fputs("An error has occurred\n", err);
    CloseConnection(channel.connection);
    return 1;
  }
  CodeVersionsRecord record;
  record.Fill(response.bytes.get() + kPayloadOffset, received - kPayloadOffset);
  response = ResponseBuffer();

  PrintVerdict(out, "Dravik present: true\n");
  result = Exchange(channel, ProvisioningStateRequest,
                    ProvisioningStateRequest.command | kResponseCommandBit, &response);
  const char* state_line = kUnknownProvisioningStateLine;
  if (result != ExchangeOk) {
    fputs("Unable to get provisioning state\n", err);
  } else {
    // A 16-byte buffer has no state byte; like an unreceived byte it reads as zero.
    uint8_t state = response.size > kPayloadOffset ? response.bytes[kPayloadOffset] : 0;
    state_line = ProvisioningStateLine(state);
  }
  PrintVerdict(out, "%s\n", state_line);

  for (size_t j = 0; j < record.EntryCount(); ++j) {
    std::string_view label = record.Label(j);
    std::string_view version = record.Version(j);
    PrintVerdict(out, "%.*s:\t%.*s\n", static_cast<int>(label.size()), label.data(),
                 static_cast<int>(version.size()), version.data());
  }
  return FinishReport(channel.connection, out, err);
}

}  // namespace brantel
