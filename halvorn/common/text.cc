#include "halvorn/common/text.h"

#include <cstddef>

namespace halvorn {
namespace {

// 'A'-'Z', '0'-'9' and '_', by plain byte comparison (the POSIX locale's classes).
bool IsNameCharacter(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

bool IsValidNameSegment(const uint8_t* segment) {
  for (size_t i = 0; i < 4; ++i) {
    if (IsNameCharacter(segment[i])) continue;
    return segment[i] == '!' && i == 3;
  }
  return true;
}

void UppercaseString(char* text) {
  if (text == nullptr) return;
  for (char* c = text; *c != '\0'; ++c) {
    if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 'a' + 'A');
  }
}

}  // namespace halvorn
