// Test helpers: halvorn's process-wide state put back between tests.
#pragma once

namespace halvorn::testing {

// Puts every process-wide value back as a run of the program starts: the settings, the option
// scanner and the action list, the integer width, the table registry, the firmware table copies
// and the table source; the diagnostic console is initialised, as RunHalvorn leaves it. Every
// fixture calls it before and after each test.
void ResetProcessState();

// The table source alone back to program start: empty registry, no firmware copies, not
// initialised; the settings stay as they are. For a test that starts the source afresh.
void ResetTableSourceState();

}  // namespace halvorn::testing
