#include "halvorn/common/text.h"

#include <gtest/gtest.h>

#include <string>

namespace halvorn {
namespace {

TEST(IsValidNameSegment, AcceptsNameCharactersAndATrailingBang) {
  struct Case {
    const char bytes[4];
    bool valid;
  };
  const Case cases[] = {
      {{'D', 'S', 'D', 'T'}, true},   {{'F', 'A', 'C', 'P'}, true},
      {{'S', 'S', 'D', 'T'}, true},   {{'_', '0', '9', 'Z'}, true},
      {{'A', 'B', 'C', '!'}, true},   {{'_', '_', '_', '!'}, true},
      {{'d', 'S', 'D', 'T'}, false},  {{'D', 'S', 'D', 't'}, false},
      {{'D', ' ', 'D', 'T'}, false},  {{'D', 'S', 'D', ' '}, false},
      {{'!', 'B', 'C', 'D'}, false},  {{'A', '!', 'C', 'D'}, false},
      {{'A', 'B', '!', 'D'}, false},  {{'A', 'B', '!', '!'}, false},
      {{'A', 'B', 'C', '\0'}, false}, {{'\0', 'B', 'C', 'D'}, false},
      {{'A', 'B', 'C', '-'}, false},  {{'A', 'B', 'C', '\xC4'}, false},
      {{'@', 'B', 'C', 'D'}, false},  {{'[', 'B', 'C', 'D'}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsValidNameSegment(reinterpret_cast<const uint8_t*>(c.bytes)), c.valid)
        << std::string(c.bytes, 4);
  }
}

TEST(UppercaseString, ChangesOnlyLowercaseLetters) {
  struct Case {
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"", ""},
      {"dsdt", "DSDT"},
      {"sSdT", "SSDT"},
      {"az09_!{`@[ -~", "AZ09_!{`@[ -~"},
      {"a\xE4\xFF"
       "b",
       "A\xE4\xFF"
       "B"},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    UppercaseString(text.data());
    EXPECT_EQ(text, c.expected);
  }
  UppercaseString(nullptr);
}

}  // namespace
}  // namespace halvorn
