#include "halvorn/common/settings.h"

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

void ResetSettings() {
  OptBinary = false;
  OptSummary = false;
  OptVerbose = false;
  OptCustomizedTables = true;
  OptRsdpAddress = 0;
  OptUseRsdt = false;
  OptSkipXsdt = false;
  OptDynamicTables = true;
  OutputStream = stdout;
  OutputPath = nullptr;
}

}  // namespace halvorn
