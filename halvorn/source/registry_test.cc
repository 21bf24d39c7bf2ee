#include "halvorn/source/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "halvorn/testing/capture.h"
#include "halvorn/testing/fake_memory.h"
#include "halvorn/testing/state.h"

namespace halvorn {
namespace {

using testing::RegistryContents;
using Registry = std::vector<std::string>;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::ResetProcessState(); }
  void TearDown() override { testing::ResetProcessState(); }
};

TEST_F(RegistryTest, RenumbersClashingInstances) {
  struct Entry {
    const char* signature;
    uint32_t instance;
  };
  struct Case {
    const char* name;
    std::vector<Entry> before;
    Entry request;
    const char* registered;  // the new entry as it ends up
    const char* err;
  };
  const Case cases[] = {
      {"first entry keeps its instance", {}, {"SSDT", 7}, "SSDT 7", ""},
      {"clash on a non-zero instance warns",
       {{"SSDT", 1}, {"SSDT", 3}},
       {"SSDT", 1},
       "SSDT 4",
       "SSDT: Warning unmatched table instance 1, expected 4\n"},
      {"clash on instance 0 is silent", {{"DSDT", 0}}, {"DSDT", 0}, "DSDT 1", ""},
      {"a gap is kept", {{"SSDT", 0}, {"SSDT", 1}}, {"SSDT", 5}, "SSDT 5", ""},
      {"other signatures do not count",
       {{"SSDT", 0}, {"APIC", 4}, {"APIC", 0}},
       {"APIC", 0},
       "APIC 5",
       ""},
      {"the highest instance decides, not the last",
       {{"SSDT", 9}, {"SSDT", 2}},
       {"SSDT", 2},
       "SSDT 10",
       "SSDT: Warning unmatched table instance 2, expected 10\n"},
      {"signatures are case-sensitive", {{"ssdt", 0}}, {"SSDT", 0}, "SSDT 0", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearTableRegistry();
    Registry expected;
    for (const Entry& entry : c.before) {
      ASSERT_EQ(RegisterTable(entry.signature, entry.instance), AE_OK);
      expected.push_back(std::string(entry.signature) + " " + std::to_string(entry.instance));
    }
    expected.push_back(c.registered);

    testing::OutputCapture capture;
    StatusCode status = RegisterTable(c.request.signature, c.request.instance);
    testing::OutputCapture::Result output = capture.Finish();
    EXPECT_EQ(status, AE_OK);
    EXPECT_EQ(output.err, c.err);
    EXPECT_EQ(output.out, "");
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
  EXPECT_EQ(RegistryContents(),
            (Registry{"FACP 0", "SSDT 0", "FACP 1", "SSDT 1", "FACP 2", "SSDT 2"}));
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

TEST_F(RegistryTest, LooksUpInstancesOfOneSignature) {
  for (const auto& [signature, instance] : std::vector<std::pair<const char*, uint32_t>>{
           {"SSDT", 3}, {"APIC", 5}, {"SSDT", 1}, {"SSDT", UINT32_MAX}, {"ssdt", 2}}) {
    ASSERT_EQ(RegisterTable(signature, instance), AE_OK);
  }
  struct Case {
    const char* signature;
    uint32_t instance;
    bool registered;
    long next;  // the lowest registered instance above `instance`, or -1
  };
  const Case cases[] = {
      {"SSDT", 0, false, 1},         {"SSDT", 1, true, 3},           {"SSDT", 2, false, 3},
      {"SSDT", 3, true, UINT32_MAX}, {"SSDT", UINT32_MAX, true, -1}, {"APIC", 5, true, -1},
      {"APIC", 0, false, 5},         {"DSDT", 0, false, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.signature) + " " + std::to_string(c.instance));
    const RegistryEntry* entry = FindRegistryEntry(c.signature, c.instance);
    EXPECT_EQ(entry != nullptr, c.registered);
    if (entry) {
      EXPECT_EQ(std::string(entry->signature, 4), c.signature);
      EXPECT_EQ(entry->instance, c.instance);
    }
    uint32_t next = 0;
    EXPECT_EQ(NextRegisteredInstance(c.signature, c.instance, &next), c.next >= 0);
    if (c.next >= 0) {
      EXPECT_EQ(next, uint32_t(c.next));
    }
  }
}

TEST_F(RegistryTest, ListedEntriesKeepTheInstanceOfTheirFile) {
  const char kMain[] = "main", kDynamic[] = "dynamic";
  testing::OutputCapture capture;
  ASSERT_EQ(RegisterTable("SSDT", 0), AE_OK);  // found in memory
  ASSERT_EQ(RegisterTable("SSDT", 0, kDynamic), AE_OK);
  ASSERT_EQ(RegisterTable("SSDT", 1, kDynamic), AE_OK);
  ASSERT_EQ(RegisterTable("SSDT", 5, kMain), AE_OK);
  capture.Finish();
  EXPECT_EQ(RegistryContents(), (Registry{"SSDT 0", "SSDT 1", "SSDT 2", "SSDT 5"}));
  struct Expected {
    const char* directory;
    uint32_t file_instance;
  };
  const Expected expected[] = {{nullptr, 0}, {kDynamic, 0}, {kDynamic, 1}, {kMain, 5}};
  for (uint32_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(RegistryEntryAt(i)->directory, expected[i].directory);
    EXPECT_EQ(RegistryEntryAt(i)->file_instance, expected[i].file_instance);
  }
}

}  // namespace
}  // namespace halvorn
