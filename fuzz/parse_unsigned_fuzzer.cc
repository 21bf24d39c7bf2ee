// ParseUnsigned64 over any text, checked against the C library's own conversion.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/support.h"
#include "halvorn/common/number.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceUtilityOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // cut at its first NUL
  const uint8_t width = halvorn::IntegerWidth;
  uint64_t value = 12345;
  const halvorn::StatusCode status = halvorn::ParseUnsigned64(text.c_str(), &value);
  FUZZ_CHECK(halvorn::IntegerWidth == width);
  FUZZ_CHECK(status == halvorn::AE_OK || status == halvorn::AE_HEX_OVERFLOW ||
             status == halvorn::AE_DECIMAL_OVERFLOW || status == halvorn::AE_OCTAL_OVERFLOW);

  // Without a sign (which the utility does not know), strtoull reads the same number in the
  // POSIX locale: white space, then 0x hex, 0 octal or decimal, up to the first non-digit.
  const char* start = text.c_str() + strspn(text.c_str(), " \t\n\v\f\r");
  if (*start == '+' || *start == '-') return 0;
  errno = 0;
  const unsigned long long expected = strtoull(text.c_str(), nullptr, 0);
  if (errno == ERANGE) {
    FUZZ_CHECK(status != halvorn::AE_OK);
  } else {
    FUZZ_CHECK(status == halvorn::AE_OK && value == expected);
  }
  return 0;
}
