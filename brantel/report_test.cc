#include "brantel/report.h"

#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "brantel/channel.h"
#include "brantel/testing/fake_device.h"
#include "gtest/gtest.h"

namespace brantel {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

constexpr uint32_t kCodeVersionsCommand = 0x0480001A;
constexpr size_t kEntry0 = 85;

const Entries kTwoEntries = {{"Firmware", "1.2.3"}, {"Recovery", "0.9"}};
const std::string kTwoLines = "Firmware:\t1.2.3\nRecovery:\t0.9\n";
const std::string kNoInterface =
    "Unable to find a Varnhold interface - run sudo modprobe ostelcore and retry.\n"
    "If you receive the same error, this system does not have Dravik\n";

std::vector<uint8_t> Patched(std::vector<uint8_t> bytes, size_t offset, uint32_t value,
                             size_t width) {
  for (size_t i = 0; i < width; ++i) bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

// `bytes` followed by `extra`, with the length field covering both.
std::vector<uint8_t> Extended(std::vector<uint8_t> bytes, const std::vector<uint8_t>& extra) {
  bytes.insert(bytes.end(), extra.begin(), extra.end());
  return Patched(bytes, 8, static_cast<uint32_t>(bytes.size() - 12), 4);
}

Entries ManyEntries(size_t count) { return Entries(count, {"L", "V"}); }

std::string Lines(const Entries& entries) {
  std::string text;
  for (const auto& [label, version] : entries) text += label + ":\t" + version + "\n";
  return text;
}

FakeExchange Answer(std::vector<uint8_t> bytes) { return FakeExchange().Answer(std::move(bytes)); }

struct RunResult {
  std::string out;
  std::string err;
  int status;
};

RunResult RunWith(FakeDevice& device, std::vector<const char*> argv = {"brantel"}) {
  MemoryStream out;
  MemoryStream err;
  int status =
      RunReport(static_cast<int>(argv.size()), argv.data(), device, out.file(), err.file());
  return RunResult{out.Text(), err.Text(), status};
}

struct Case {
  const char* name;
  std::vector<FakeExchange> exchanges;
  std::string out;
  std::string err;
  int status;
};

void Check(const Case& c, uint32_t max_message_length = 4096) {
  SCOPED_TRACE(c.name);
  FakeDevice device;
  device.max_message_length = max_message_length;
  device.exchanges = c.exchanges;
  RunResult run = RunWith(device);
  EXPECT_EQ(run.out, c.out);
  EXPECT_EQ(run.err, c.err);
  EXPECT_EQ(run.status, c.status);
  // Whatever happened, the descriptor is closed exactly once.
  EXPECT_EQ(device.closed, std::vector<int>{FakeDevice::kDescriptor});
}

TEST(Report, Present) {
  const std::string kProvisioned = "Dravik present: true\nDravik provisioning state: provisioned\n";
  const Case cases[] = {
      {"two entries",
       {Answer(CodeVersionsResponse(kTwoEntries)), Answer(ProvisioningStateResponse(2))},
       kProvisioned + kTwoLines,
       "",
       0},
      {"count 0, length 73",
       {Answer(CodeVersionsResponse({})), Answer(ProvisioningStateResponse(2))},
       kProvisioned,
       "",
       0},
      {"43 trailing bytes",
       {Answer(Extended(CodeVersionsResponse(kTwoEntries), std::vector<uint8_t>(43, 'x'))),
        Answer(ProvisioningStateResponse(2))},
       kProvisioned + kTwoLines,
       "",
       0},
      {"50 entries",
       {Answer(CodeVersionsResponse(ManyEntries(50))), Answer(ProvisioningStateResponse(2))},
       kProvisioned + Lines(ManyEntries(50)),
       "",
       0},
      {"empty version",
       {Answer(CodeVersionsResponse({{"Boot", ""}})), Answer(ProvisioningStateResponse(2))},
       kProvisioned + "Boot:\t\n",
       "",
       0},
      // Full 20-character label: the print stops at the field's end, not at the version length.
      {"20-character label",
       {Answer(CodeVersionsResponse({{"ABCDEFGHIJKLMNOPQRST", "1"}})),
        Answer(ProvisioningStateResponse(2))},
       kProvisioned + "ABCDEFGHIJKLMNOPQRST:\t1\n",
       "",
       0},
      // Label printed up to its first NUL, whatever its length says.
      {"label shorter than its length",
       {Answer(Patched(CodeVersionsResponse({{"Boot", "7"}}), kEntry0, 9, 2)),
        Answer(ProvisioningStateResponse(2))},
       kProvisioned + "Boot:\t7\n",
       "",
       0},
      // A version of length 22 whose NUL lies in the trailing bytes: valid, but printed only to the
      // end of its 20-byte field.
      {"version running past its field",
       {Answer(Patched(
            Extended(CodeVersionsResponse({{"Boot", "ABCDEFGHIJKLMNOPQRST"}}), {'u', 'v', 0}),
            kEntry0 + 22, 22, 2)),
        Answer(ProvisioningStateResponse(2))},
       kProvisioned + "Boot:\tABCDEFGHIJKLMNOPQRST\n",
       "",
       0},
      // The last version fills its field: its NUL is the buffer's first byte past the response.
      {"last version of 20 characters",
       {Answer(CodeVersionsResponse({{"A", "ABCDEFGHIJKLMNOPQRST"}})),
        Answer(ProvisioningStateResponse(2))},
       kProvisioned + "A:\tABCDEFGHIJKLMNOPQRST\n",
       "",
       0},
  };
  for (const Case& c : cases) Check(c);
}

TEST(Report, ProvisioningStates) {
  const struct {
    uint8_t state;
    const char* line;
  } states[] = {
      {0, "Dravik provisioning state: unprovisioned"},
      {1, "Dravik provisioning state: being provisioned"},
      {2, "Dravik provisioning state: provisioned"},
      {3, "Dravik provisioning state: unknown"},
      {255, "Dravik provisioning state: unknown"},
  };
  for (const auto& s : states) {
    Check({s.line,
           {Answer(CodeVersionsResponse(kTwoEntries)), Answer(ProvisioningStateResponse(s.state))},
           "Dravik present: true\n" + std::string(s.line) + "\n" + kTwoLines,
           "",
           0});
  }
}

TEST(Report, ProvisioningExchangeFails) {
  const std::string kOut = "Dravik present: true\nDravik provisioning state: unknown\n" + kTwoLines;
  const std::string kUnable = "Unable to get provisioning state\n";
  const FakeExchange kVersions = Answer(CodeVersionsResponse(kTwoEntries));
  const Case cases[] = {
      {"controller status",
       {kVersions, Answer(Patched(ProvisioningStateResponse(2), 12, 0x22, 4))},
       kOut,
       kUnable,
       0},
      {"malformed",
       {kVersions, Answer(Patched(ProvisioningStateResponse(2), 4, kCodeVersionsCommand, 4))},
       kOut,
       kUnable,
       0},
      {"empty", {kVersions, FakeExchange()}, kOut, kUnable, 0},
      {"no buffer", {kVersions, FakeExchange().RefuseBuffer()}, kOut, kUnable, 0},
      {"silent", {kVersions}, kOut, "Error: write failed on timeout with status\n" + kUnable, 0},
      {"read error",
       {kVersions, FakeExchange().ReadFails(EIO)},
       kOut,
       "Error: read failed with status -1 Input/output error\n" + kUnable,
       0},
  };
  for (const Case& c : cases) Check(c);
}

TEST(Report, NotPresent) {
  const Case cases[] = {
      {"empty response", {FakeExchange()}, "Dravik present: false\n", "", 0},
      {"status 0x4000",
       {Answer(Patched(CodeVersionsResponse(kTwoEntries), 12, 0x4000, 4))},
       "Dravik present: false\n",
       "",
       0},
  };
  for (const Case& c : cases) Check(c);
}

TEST(Report, CodeVersionsExchangeFails) {
  const std::string kError = "An error has occurred\n";
  const std::vector<uint8_t> kGood = CodeVersionsResponse(kTwoEntries);
  const Case cases[] = {
      {"controller status", {Answer(Patched(kGood, 12, 0x22, 4))}, "", kError, 1},
      {"minor version 0", {Answer(Patched(kGood, 1, 0, 1))}, "", kError, 1},
      {"wrong command", {Answer(Patched(kGood, 4, 0x04800011, 4))}, "", kError, 1},
      {"length mismatch", {Answer(Patched(kGood, 8, 200, 4))}, "", kError, 1},
      {"no buffer", {FakeExchange().RefuseBuffer()}, "", kError, 1},
      {"silent", {}, "", "Error: write failed on timeout with status\n" + kError, 1},
      {"write error",
       {FakeExchange().WriteReturns(-1, EPIPE)},
       "",
       "Error: write failed with status -1 Broken pipe\n" + kError,
       1},
      {"wait error",
       {FakeExchange().WaitReturns(-1, false, EINTR)},
       "",
       "Error: write failed on select with status -1\n" + kError,
       1},
      {"short write", {FakeExchange().WriteReturns(6).Answer(kGood)}, "", kError, 1},
  };
  for (const Case& c : cases) Check(c);
  // A buffer that holds the response exactly, and a read that claims one byte more, with a
  // header and count that agree with the claim: trusting it would copy past the buffer.
  Check({"read claims more than the buffer",
         {Answer(Patched(kGood, 8, static_cast<uint32_t>(kGood.size() + 1 - 12), 4))
              .ReadReports(static_cast<ssize_t>(kGood.size() + 1))},
         "",
         kError,
         1},
        static_cast<uint32_t>(kGood.size()));
}

// Payload validation: every failure ends the run before anything reaches standard output.
TEST(Report, InvalidCodeVersions) {
  const std::string kError = "An error has occurred\n";
  const std::vector<uint8_t> kGood = CodeVersionsResponse(kTwoEntries);
  std::vector<uint8_t> fifty_long = CodeVersionsResponse(ManyEntries(50));
  fifty_long = Patched(fifty_long, kEntry0 + 49 * 44 + 22, 20, 2);
  for (size_t i = 0; i < 20; ++i) fifty_long[kEntry0 + 49 * 44 + 24 + i] = 'A';
  const std::vector<std::pair<const char*, std::vector<uint8_t>>> responses = {
      {"label length 21", Patched(kGood, kEntry0, 21, 2)},
      {"second label length 21", Patched(kGood, kEntry0 + 44, 21, 2)},
      {"version of 6 characters, length 5",
       Patched(CodeVersionsResponse({{"A", "1.2.3x"}}), kEntry0 + 22, 5, 2)},
      {"NUL before the version length", Patched(kGood, kEntry0 + 22, 7, 2)},
      {"count above the entries", Patched(kGood, 81, 3, 4)},
      {"count below the entries", Patched(kGood, 81, 1, 4)},
      {"44 trailing bytes", Extended(kGood, std::vector<uint8_t>(44, 'x'))},
      {"length below 73", ResponseBuilder(kCodeVersionsCommand).U32(0).Bytes()},
      {"length 72", Patched(CodeVersionsResponse({}), 8, 72, 4)},
      {"51 entries", CodeVersionsResponse(ManyEntries(51))},
      {"NUL probe past the record", Extended(fifty_long, {0})},
  };
  for (const auto& [name, bytes] : responses) {
    Check({name, {Answer(bytes)}, "", kError, 1});
    EXPECT_FALSE(ValidateCodeVersions(bytes.data(), bytes.size(), bytes.size())) << name;
  }
}

// A last version of 20 characters has its NUL probe just past the response: it passes where the
// buffer has room for that byte and is refused where the buffer ends with the response.
TEST(Report, NulProbeBoundedByTheBuffer) {
  const std::vector<uint8_t> kFull = CodeVersionsResponse({{"A", "ABCDEFGHIJKLMNOPQRST"}});
  const std::string kOut =
      "Dravik present: true\nDravik provisioning state: provisioned\nA:\tABCDEFGHIJKLMNOPQRST\n";
  const struct {
    size_t buffer;
    bool valid;
  } cases[] = {{4096, true}, {kFull.size() + 1, true}, {kFull.size(), false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.buffer);
    // An exact-size heap buffer, so that AddressSanitizer sees a probe past it.
    std::vector<uint8_t> buffer = kFull;
    buffer.resize(c.buffer);
    EXPECT_EQ(ValidateCodeVersions(buffer.data(), kFull.size(), buffer.size()), c.valid);
    Check({"report",
           {Answer(kFull), Answer(ProvisioningStateResponse(2))},
           c.valid ? kOut : "",
           c.valid ? "" : "An error has occurred\n",
           c.valid ? 0 : 1},
          static_cast<uint32_t>(c.buffer));
  }
}

// A report that cannot be written is an error, however it ended; the message follows whatever
// the run printed on standard error.
TEST(Report, UnwritableOutput) {
  const FakeExchange kVersions = Answer(CodeVersionsResponse(kTwoEntries));
  const std::string kLost = "Could not write standard output\n";
  const Case cases[] = {
      {"present", {kVersions, Answer(ProvisioningStateResponse(2))}, "", kLost, 1},
      {"present, no state",
       {kVersions},
       "",
       "Error: write failed on timeout with status\nUnable to get provisioning state\n" + kLost,
       1},
      {"not present", {FakeExchange()}, "", kLost, 1},
      // Nothing was to be written: only the error itself is reported.
      {"error",
       {Answer(Patched(CodeVersionsResponse(kTwoEntries), kEntry0, 21, 2))},
       "",
       "An error has occurred\n",
       1},
  };
  // A full device fails at the flush; a stream opened for reading fails at every write, with
  // nothing left for the flush to fail on.
  const struct {
    const char* path;
    const char* mode;
  } streams[] = {{"/dev/full", "w"}, {"/dev/null", "r"}};
  for (const auto& stream : streams) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << stream.path << ": " << c.name);
      FakeDevice device;
      device.exchanges = c.exchanges;
      FILE* out = fopen(stream.path, stream.mode);
      ASSERT_NE(out, nullptr);
      MemoryStream err;
      const char* argv[] = {"brantel"};
      EXPECT_EQ(RunReport(1, argv, device, out, err.file()), c.status);
      EXPECT_EQ(err.Text(), c.err);
      EXPECT_EQ(device.closed, std::vector<int>{FakeDevice::kDescriptor});
      fclose(out);
    }
  }
}

// With both streams on one file, as with `brantel >file 2>&1`, each verdict line lands where the
// program wrote it, although standard output is fully buffered there and standard error is not.
TEST(Report, VerdictsKeepOrderWithDiagnostics) {
  FILE* file = tmpfile();
  ASSERT_NE(file, nullptr);
  FILE* out = fdopen(dup(fileno(file)), "w");
  FILE* err = fdopen(dup(fileno(file)), "w");
  ASSERT_NE(out, nullptr);
  ASSERT_NE(err, nullptr);
  setvbuf(out, nullptr, _IOFBF, BUFSIZ);
  setvbuf(err, nullptr, _IONBF, 0);
  FakeDevice device;
  device.exchanges = {Answer(CodeVersionsResponse(kTwoEntries)),
                      Answer(Patched(ProvisioningStateResponse(2), 12, 0x22, 4))};
  const char* argv[] = {"brantel", "-v"};
  EXPECT_EQ(RunReport(2, argv, device, out, err), 0);
  fclose(out);
  fclose(err);

  std::string text(4096, '\0');
  rewind(file);
  text.resize(fread(text.data(), 1, text.size(), file));
  fclose(file);
  EXPECT_EQ(text,
            "max_message_length 4096\nprotocol_version 1\n"
            "call write length = 12\nwrite success\ncall read length = 4096\n"
            "read succeeded with result 173\n"
            "Dravik present: true\n"
            "call write length = 12\nwrite success\ncall read length = 4096\n"
            "read succeeded with result 17\n"
            "Unable to get provisioning state\n"
            "Dravik provisioning state: unknown\n" +
                kTwoLines);
}

TEST(Report, OpenFails) {
  struct {
    const char* name;
    int primary_errno;
    int ioctl_result;
    std::string err;
    std::vector<int> closed;
  } cases[] = {
      {"neither node", ENOENT, 0, kNoInterface, {}},
      {"primary denied", EACCES, 0, "Cannot open /dev/ostel0: Permission denied\n", {}},
      {"connect refused",
       0,
       -1,
       "Error: Varnhold refused connection. This probably means you don't have Dravik\n",
       {FakeDevice::kDescriptor}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDevice device;
    if (c.primary_errno) device.open_errno["/dev/ostel0"] = c.primary_errno;
    if (c.primary_errno == ENOENT) device.open_errno["/dev/ostel"] = ENOENT;
    device.ioctl_result = c.ioctl_result;
    RunResult run = RunWith(device);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(device.closed, c.closed);
    EXPECT_TRUE(device.written.empty());
  }
}

TEST(Report, SmallMaximumMessageLength) {
  Check({"8-byte buffer",
         {Answer(CodeVersionsResponse(kTwoEntries))},
         "",
         "An error has occurred\n",
         1},
        8);
}

TEST(Report, CommandLine) {
  const std::string kTrace =
      "max_message_length 4096\nprotocol_version 1\n"
      "call write length = 12\nwrite success\ncall read length = 4096\n"
      "read succeeded with result 173\n"
      "call write length = 12\nwrite success\ncall read length = 4096\n"
      "read succeeded with result 17\n";
  struct {
    std::vector<const char*> argv;
    std::string err;
  } cases[] = {
      {{"brantel"}, ""},       {{"brantel", "-v"}, kTrace},   {{"brantel", "-v", "-x"}, kTrace},
      {{"brantel", "-x"}, ""}, {{"brantel", "-x", "-v"}, ""}, {{"brantel", "-vv"}, ""},
      {{"brantel", ""}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv.size() > 1 ? c.argv[1] : "(none)");
    FakeDevice device;
    device.exchanges = {Answer(CodeVersionsResponse(kTwoEntries)),
                        Answer(ProvisioningStateResponse(1))};
    RunResult run = RunWith(device, c.argv);
    EXPECT_EQ(run.out,
              "Dravik present: true\nDravik provisioning state: being provisioned\n" + kTwoLines);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(device.written.size(), 2u);
    EXPECT_EQ(device.written[1][4], 0x11);
  }
}

// Every prefix of a valid code-versions response, whether its length field is fixed up to the
// prefix or still claims the whole, is refused without a read past the prefix.
TEST(Report, TruncatedCodeVersions) {
  const std::vector<uint8_t> full =
      Extended(CodeVersionsResponse(kTwoEntries), {'t', 'a', 'i', 'l'});
  for (size_t size = 0; size < full.size(); ++size) {
    SCOPED_TRACE(size);
    // Exact-size heap copies, so that AddressSanitizer sees any read past the prefix.
    bool still_whole = size >= full.size() - 4;  // the tail bytes are spare
    std::vector<uint8_t> claims_whole(full.begin(), full.begin() + size);
    EXPECT_EQ(ValidateCodeVersions(claims_whole.data(), size, size), still_whole);
    if (size < 12) continue;
    std::vector<uint8_t> fixed = Patched(claims_whole, 8, static_cast<uint32_t>(size - 12), 4);
    EXPECT_EQ(ValidateCodeVersions(fixed.data(), size, size), still_whole);

    FakeDevice device;
    device.max_message_length = static_cast<uint32_t>(size);
    device.exchanges = {Answer(fixed), Answer(ProvisioningStateResponse(0))};
    RunResult run = RunWith(device);
    EXPECT_EQ(run.status, still_whole ? 0 : 1);
  }
  EXPECT_TRUE(ValidateCodeVersions(full.data(), full.size(), full.size()));
}

TEST(Report, RecordKeepsFieldsInside) {
  std::vector<uint8_t> payload(3000, 'z');
  CodeVersionsRecord record;
  record.Fill(payload.data(), payload.size());
  EXPECT_EQ(record.Label(49), std::string(20, 'z'));
  EXPECT_EQ(record.Version(49), std::string(20, 'z'));

  record.Fill(payload.data(), 66);  // only the count's first byte arrives
  EXPECT_EQ(record.EntryCount(), static_cast<uint32_t>('z'));
  EXPECT_EQ(record.Label(0), "");
}

}  // namespace
}  // namespace brantel
