// Name segments and upper-casing, in the POSIX locale.
#pragma once

#include <cstdint>

namespace halvorn {

// True when the four bytes are 'A'-'Z', '0'-'9' or '_', except that '!' may stand fourth.
bool IsValidNameSegment(const uint8_t* segment);

// Upper-cases 'a'-'z' in place up to the terminating NUL; null or empty text is left alone.
void UppercaseString(char* text);

}  // namespace halvorn
