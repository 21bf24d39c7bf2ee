#include "halvorn/app/cli.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "halvorn/testing/capture.h"
#include "halvorn/testing/state.h"

namespace halvorn {
namespace {

constexpr char kOptions[] = "?a:bc:f:hn:o:r:sv^xz";

// One ScanOption result: the character and the argument it carries ("" for none).
struct Step {
  int option;
  std::string argument;
  bool operator==(const Step&) const = default;
};

void PrintTo(const Step& step, std::ostream* os) {
  *os << "{" << step.option << " '" << char(step.option) << "', \"" << step.argument << "\"}";
}

struct ScanResult {
  std::vector<Step> steps;
  int index_at_end;
  std::string err;
};

ScanResult ScanAll(const std::vector<std::string>& args, const char* options = kOptions) {
  std::vector<std::string> storage = {"halvorn"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  testing::ResetProcessState();

  ScanResult result;
  testing::OutputCapture capture;
  for (int option; (option = ScanOption(int(storage.size()), argv.data(), options)) != -1;) {
    result.steps.push_back({option, OptionArgument ? OptionArgument : ""});
    if (result.steps.size() > 20) break;
  }
  result.index_at_end = ScanIndex;
  result.err = capture.Finish().err;
  return result;
}

TEST(ScanOption, ReadsOptionsAsTheOptionStringSays) {
  struct Case {
    std::vector<std::string> args;
    std::vector<Step> steps;
    int index_at_end;
    std::string err;
  } cases[] = {
      {{}, {}, 1, ""},
      {{"-b", "-s"}, {{'b', ""}, {'s', ""}}, 3, ""},
      {{"-bs"}, {{'b', ""}, {'s', ""}}, 2, ""},
      // A required argument: the rest of the argument, else the whole next one.
      {{"-afoo"}, {{'a', "foo"}}, 2, ""},
      {{"-a", "foo"}, {{'a', "foo"}}, 3, ""},
      {{"-bnDSDT"}, {{'b', ""}, {'n', "DSDT"}}, 2, ""},
      {{"-o", "-b"}, {{'o', "-b"}}, 3, ""},
      {{"-o"}, {{'?', ""}}, 2, "Option requires an argument: -o\n"},
      // The suboption of -v is the rest of the argument or "^"; the next one is never taken.
      {{"-v"}, {{'v', "^"}}, 2, ""},
      {{"-vd"}, {{'v', "d"}}, 2, ""},
      {{"-v", "d"}, {{'v', "^"}}, 2, ""},
      {{"-xx"}, {{'x', ""}, {'x', ""}}, 2, ""},
      // Illegal letters report, step on, and keep the previous argument.
      {{"-q"}, {{'?', ""}}, 2, "Illegal option: -q\n"},
      {{"-aX", "-qb"}, {{'a', "X"}, {'?', "X"}, {'b', ""}}, 3, "Illegal option: -q\n"},
      {{"-:"}, {{'?', ""}}, 2, "Illegal option: -:\n"},
      // '?' and '^' are looked up like letters.
      {{"-?"}, {{'?', ""}}, 2, ""},
      {{"-^"}, {{'^', ""}}, 2, ""},
      // The options end at "--" (consumed), at "-" and at a non-option (both left unread).
      {{"--", "-b"}, {}, 2, ""},
      {{"-", "-b"}, {}, 1, ""},
      {{"-b", "file", "-s"}, {{'b', ""}}, 2, ""},
  };
  for (const Case& c : cases) {
    std::string name;
    for (auto& a : c.args) name += a + " ";
    const ScanResult result = ScanAll(c.args);
    EXPECT_EQ(result.steps, c.steps) << name;
    EXPECT_EQ(result.index_at_end, c.index_at_end) << name;
    EXPECT_EQ(result.err, c.err) << name;
  }
}

TEST(ScanOption, OptionalAndSuboptionMarkers) {
  struct Case {
    std::vector<std::string> args;
    std::vector<Step> steps;
    std::string err;
  } cases[] = {
      {{"-pX"}, {{'p', "X"}}, ""},
      {{"-p", "next"}, {{'p', "next"}}, ""},
      {{"-p"}, {{'p', ""}}, ""},
      {{"-kX"}, {{'k', "X"}}, ""},
      {{"-k", "next"}, {{'?', ""}}, "Option requires a single-character suboption: -k\n"},
  };
  for (const Case& c : cases) {
    const ScanResult result = ScanAll(c.args, "p+k|");
    EXPECT_EQ(result.steps, c.steps) << c.args[0];
    EXPECT_EQ(result.err, c.err) << c.args[0];
  }
}

TEST(AppendAction, HoldsThirtyTwoActions) {
  testing::ResetProcessState();
  for (uint32_t i = 0; i < kMaxActions; ++i) ASSERT_EQ(AppendAction("DSDT", DumpBySignature), 0);
  testing::OutputCapture capture;
  EXPECT_EQ(AppendAction("FACP", DumpBySignature), -1);
  EXPECT_EQ(capture.Finish().err, "Too many table options (max 32)\n");
  EXPECT_EQ(ActionCount, kMaxActions);
  EXPECT_STREQ(ActionList[kMaxActions - 1].argument, "DSDT");
  testing::ResetProcessState();
}

}  // namespace
}  // namespace halvorn
