// ParseTableFileName over any name, checked against a plain reading of the naming rule.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/support.h"
#include "halvorn/source/sysfs.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceUtilityOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  const char* text = name.c_str();  // cut at its first NUL
  char signature[4] = {'?', '?', '?', '?'};
  uint32_t instance = 0xDEADBEEF;
  const halvorn::StatusCode status = halvorn::ParseTableFileName(text, signature, &instance);

  // "SIGN" is instance 0; "SIGN<digits>..." the digits' number, when it fits 32 bits.
  const size_t length = strlen(text);
  bool accepted = length == 4;
  uint64_t number = 0;
  if (length > 4 && text[4] >= '0' && text[4] <= '9') {
    accepted = true;
    for (const char* digit = text + 4; *digit >= '0' && *digit <= '9'; ++digit) {
      number = number * 10 + uint64_t(*digit - '0');
      if (number > UINT32_MAX) {
        accepted = false;
        break;
      }
    }
  }
  if (!accepted) {
    FUZZ_CHECK(status == halvorn::AE_BAD_SIGNATURE);
    return 0;
  }
  FUZZ_CHECK(status == halvorn::AE_OK);
  FUZZ_CHECK(memcmp(signature, text, 4) == 0);
  FUZZ_CHECK(instance == number);
  return 0;
}
