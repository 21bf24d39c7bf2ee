#include "halvorn/source/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "halvorn/testing/capture.h"

namespace halvorn {
namespace {

struct Registered {
  std::string signature;
  uint32_t instance;
  bool operator==(const Registered&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Registered& entry) {
  return out << entry.signature << " " << entry.instance;
}

std::vector<Registered> RegistryContents() {
  std::vector<Registered> contents;
  for (const RegistryEntry* entry = TableRegistry.first; entry; entry = entry->next) {
    contents.push_back({std::string(entry->signature, 4), entry->instance});
  }
  return contents;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearTableRegistry(); }
  void TearDown() override { ClearTableRegistry(); }
};

TEST_F(RegistryTest, RenumbersClashingInstances) {
  struct Case {
    const char* name;
    std::vector<Registered> before;
    Registered request;
    uint32_t expected_instance;
    std::string expected_err;
  };
  const Case cases[] = {
      {"first entry keeps its instance", {}, {"SSDT", 7}, 7, ""},
      {"clash on a non-zero instance warns",
       {{"SSDT", 1}, {"SSDT", 3}},
       {"SSDT", 1},
       4,
       "SSDT: Warning unmatched table instance 1, expected 4\n"},
      {"clash on instance 0 is silent", {{"DSDT", 0}}, {"DSDT", 0}, 1, ""},
      {"a gap is kept", {{"SSDT", 0}, {"SSDT", 1}}, {"SSDT", 5}, 5, ""},
      {"other signatures do not count",
       {{"SSDT", 0}, {"APIC", 4}, {"APIC", 0}},
       {"APIC", 0},
       5,
       ""},
      {"the highest instance decides, not the last",
       {{"SSDT", 9}, {"SSDT", 2}},
       {"SSDT", 2},
       10,
       "SSDT: Warning unmatched table instance 2, expected 10\n"},
      {"signatures are case-sensitive", {{"ssdt", 0}}, {"SSDT", 0}, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearTableRegistry();
    for (const Registered& entry : c.before) {
      ASSERT_EQ(RegisterTable(entry.signature.c_str(), entry.instance), AE_OK);
    }
    testing::OutputCapture capture;
    EXPECT_EQ(RegisterTable(c.request.signature.c_str(), c.request.instance), AE_OK);
    testing::OutputCapture::Result output = capture.Finish();
    EXPECT_EQ(output.err, c.expected_err);
    EXPECT_EQ(output.out, "");

    std::vector<Registered> expected = c.before;
    expected.push_back({c.request.signature, c.expected_instance});
    EXPECT_EQ(RegistryContents(), expected);
    EXPECT_EQ(TableRegistry.count, expected.size());
  }
}

TEST_F(RegistryTest, RepeatedRegistrationsCountUp) {
  // A second initialisation registers the same tables again; they must stay distinct.
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(RegisterTable("FACP", 0), AE_OK);
    ASSERT_EQ(RegisterTable("SSDT", 0), AE_OK);
  }
  std::vector<Registered> expected = {{"FACP", 0}, {"SSDT", 0}, {"FACP", 1},
                                      {"SSDT", 1}, {"FACP", 2}, {"SSDT", 2}};
  EXPECT_EQ(RegistryContents(), expected);
}

TEST_F(RegistryTest, EntryAtFollowsRegistrationOrder) {
  EXPECT_EQ(RegistryEntryAt(0), nullptr);
  ASSERT_EQ(RegisterTable("APIC", 0), AE_OK);
  ASSERT_EQ(RegisterTable("DSDT", 0), AE_OK);
  ASSERT_NE(RegistryEntryAt(1), nullptr);
  EXPECT_EQ(std::string(RegistryEntryAt(0)->signature, 4), "APIC");
  EXPECT_EQ(std::string(RegistryEntryAt(1)->signature, 4), "DSDT");
  EXPECT_EQ(RegistryEntryAt(2), nullptr);
  EXPECT_EQ(RegistryEntryAt(UINT32_MAX), nullptr);
}

}  // namespace
}  // namespace halvorn
