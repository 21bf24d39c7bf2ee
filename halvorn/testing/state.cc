#include "halvorn/testing/state.h"

#include <tuple>

#include "halvorn/app/cli.h"
#include "halvorn/common/console.h"
#include "halvorn/common/number.h"
#include "halvorn/common/settings.h"
#include "halvorn/source/firmware.h"
#include "halvorn/source/registry.h"
#include "halvorn/source/table_source.h"

namespace halvorn::testing {
namespace {

// The process-wide values that have no reset of their own.
auto RunState() {
  return std::tie(ScanIndex, ScanPosition, OptionArgument, ScanMessages, ActionCount, IntegerWidth);
}

// Their values at program start: each is initialised with a constant, which happens before any
// initialisation that runs code, this copy included.
const auto kInitialRunState =
    std::apply([](const auto&... value) { return std::make_tuple(value...); }, RunState());

}  // namespace

void ResetProcessState() {
  ResetSettings();
  RunState() = kInitialRunState;
  ResetTableSourceState();
  InitializeConsole();
}

void ResetTableSourceState() {
  TablesInitialized = false;
  ClearTableRegistry();
  ClearFirmwareTables();
}

}  // namespace halvorn::testing
