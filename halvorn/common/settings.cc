#include "halvorn/common/settings.h"

#include <tuple>

namespace halvorn {

bool OptBinary = false;
bool OptSummary = false;
bool OptVerbose = false;
bool OptCustomizedTables = true;
uint64_t OptRsdpAddress = 0;
bool OptUseRsdt = false;
bool OptSkipXsdt = false;
bool OptDynamicTables = true;
FILE* OutputStream = stdout;
const char* OutputPath = nullptr;

namespace {

// Every setting above, in one list.
auto AllSettings() {
  return std::tie(OptBinary, OptSummary, OptVerbose, OptCustomizedTables, OptRsdpAddress,
                  OptUseRsdt, OptSkipXsdt, OptDynamicTables, OutputStream, OutputPath);
}

// The values defined above, copied when the program starts: the definitions come earlier in
// this file, so they are initialised first.
const auto kInitialSettings =
    std::apply([](const auto&... setting) { return std::make_tuple(setting...); }, AllSettings());

}  // namespace

void ResetSettings() { AllSettings() = kInitialSettings; }

}  // namespace halvorn
