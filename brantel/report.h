#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "brantel/device.h"

namespace brantel {

// Layout of the code-versions payload, counted from the start of the response.
inline constexpr size_t kEntryCountOffset = 81;
inline constexpr size_t kFirstEntryOffset = 85;
// Bytes of the length field before the first entry: status, leading text, entry count.
inline constexpr uint32_t kCodeVersionsFixedLength = 73;
// VersionEntry: two CountedStrings, each a u16 length and a 20-byte character field.
inline constexpr size_t kVersionEntrySize = 44;
inline constexpr size_t kCountedStringSize = 22;
inline constexpr size_t kCountedStringChars = 20;
inline constexpr size_t kMaxVersionEntries = 50;

// The report's copy of the code-versions payload (the response from offset 16 on), zero where
// nothing was received. Accessors never read outside the record.
class CodeVersionsRecord {
 public:
  static constexpr size_t kSize = 2269;

  // Copies the first min(size, kSize) bytes of `payload`.
  void Fill(const uint8_t* payload, size_t size);
  // The entry count; only meaningful after a validated fill, where it is at most 50.
  uint32_t EntryCount() const;
  // Entry `index`'s label and version, each up to its first NUL within its 20-byte field.
  // `index` is below 50.
  std::string_view Label(size_t index) const;
  std::string_view Version(size_t index) const;

 private:
  std::string_view Chars(size_t offset) const;

  std::array<uint8_t, kSize> bytes_{};
};

// Whether the code-versions response passes the count check and every entry's checks.
// `response` is a zero-filled buffer of `size` bytes whose first `received` bytes arrived; a
// version's NUL may lie in the zero fill. More than 50 entries, an entry outside what arrived, or
// a NUL probe outside the buffer or the record, fails. Nothing past `size` is read.
bool ValidateCodeVersions(const uint8_t* response, size_t received, size_t size);

// The line for a provisioning state byte.
const char* ProvisioningStateLine(uint8_t state);
// The line when no state was received.
inline constexpr const char* kUnknownProvisioningStateLine = "Dravik provisioning state: unknown";

// The whole program: reads the command line, runs the report over `device`, prints the verdict
// on `out` and everything else on `err`. Returns the exit status: 1 on any error, a verdict that
// could not be written to `out` included.
int RunReport(int argc, const char* const* argv, DeviceInterface& device, FILE* out, FILE* err);

}  // namespace brantel
