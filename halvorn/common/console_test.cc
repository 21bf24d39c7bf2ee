#include "halvorn/common/console.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "halvorn/testing/capture.h"
#include "halvorn/testing/state.h"

namespace halvorn {
namespace {

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::ResetProcessState(); }
};

TEST_F(ConsoleTest, InitializeConsolePointsAtStandardOutput) {
  ConsoleStream = nullptr;
  EXPECT_EQ(InitializeConsole(), AE_OK);
  EXPECT_EQ(ConsoleStream, stdout);
}

TEST_F(ConsoleTest, ReportersFrameTheMessage) {
  testing::OutputCapture capture;
  ReportError("utexcep", 192, "Unknown exception code: 0x%8.8X", 0x24u);
  ReportFirmwareWarning("tbprint", 338, "Incorrect checksum in table [%4.4s] - 0x%2.2X", "APIC",
                        0x10u);
  ReportInfo("%s %d", "FACP", 7);
  ReportError("utmath", 0, "%s", "");
  auto output = capture.Finish();
  EXPECT_EQ(output.out,
            "ACPI Error: Unknown exception code: 0x00000024 (20211217/utexcep-192)\n"
            "Firmware Warning (ACPI): Incorrect checksum in table [APIC] - 0x10"
            " (20211217/tbprint-338)\n"
            "ACPI: FACP 7\n"
            "ACPI Error:  (20211217/utmath-0)\n");
  EXPECT_EQ(output.err, "");
}

// Only the caller's message is cut to 511 characters; prefix and suffix stay whole.
TEST_F(ConsoleTest, LongMessageIsCutTo511Characters) {
  std::string message(600, 'x');
  for (size_t i = 0; i < message.size(); i += 50) message[i] = 'a' + i / 50;
  std::string cut = message.substr(0, 511);
  struct Case {
    void (*report)(const char* text);
    std::string expected;
  };
  const Case cases[] = {
      {[](const char* text) { ReportInfo("%s", text); }, "ACPI: " + cut + "\n"},
      {[](const char* text) { ReportError("utmath", 673, "%s", text); },
       "ACPI Error: " + cut + " (20211217/utmath-673)\n"},
      {[](const char* text) { ReportFirmwareWarning("tbprint", 338, "%s", text); },
       "Firmware Warning (ACPI): " + cut + " (20211217/tbprint-338)\n"},
  };
  for (const Case& c : cases) {
    testing::OutputCapture capture;
    c.report(message.c_str());
    EXPECT_EQ(capture.Finish().out, c.expected);
  }
}

TEST_F(ConsoleTest, MessageOf511CharactersIsKeptWhole) {
  std::string message(511, 'm');
  testing::OutputCapture capture;
  ReportInfo("%s", message.c_str());
  EXPECT_EQ(capture.Finish().out, "ACPI: " + message + "\n");
}

TEST_F(ConsoleTest, ConsolePrintHasNoLimit) {
  std::string message(2000, 'p');
  testing::OutputCapture capture;
  ConsolePrint("<%s>", message.c_str());
  EXPECT_EQ(capture.Finish().out, "<" + message + ">");
}

void PrintArgs(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintArgs(const char* format, ...) {
  va_list args;
  va_start(args, format);
  ConsolePrintArgs(format, args);
  va_end(args);
}

TEST_F(ConsoleTest, ConsolePrintArgsCutsAt511) {
  std::string message(700, 'q');
  testing::OutputCapture capture;
  PrintArgs("%s|", message.c_str());
  PrintArgs("%d-%s", 42, "end");
  EXPECT_EQ(capture.Finish().out, std::string(511, 'q') + "42-end");
}

// Reports share standard output's stream with the table output, so both keep program order;
// the table pieces carry no newline, so a separate stream would flush out of order.
TEST_F(ConsoleTest, ReportsInterleaveWithStandardOutputInOrder) {
  testing::OutputCapture capture;
  fputs("dump 1|", stdout);
  ReportInfo("summary %d", 1);
  printf("dump %d|", 2);
  ReportFirmwareWarning("tbprint", 338, "warning");
  fputs("dump 3|", stdout);
  ConsolePrint("tail");
  EXPECT_EQ(capture.Finish().out,
            "dump 1|ACPI: summary 1\n"
            "dump 2|Firmware Warning (ACPI): warning (20211217/tbprint-338)\n"
            "dump 3|tail");
}

}  // namespace
}  // namespace halvorn
