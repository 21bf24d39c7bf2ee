#include "halvorn/common/console.h"

namespace halvorn {

FILE* ConsoleStream = nullptr;

namespace {

// A report raised before InitializeConsole still lands where the console would point, rather
// than on a null stream.
FILE* Console() { return ConsoleStream != nullptr ? ConsoleStream : stdout; }

}  // namespace

StatusCode InitializeConsole() {
  ConsoleStream = stdout;
  return AE_OK;
}

void ConsolePrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(Console(), format, args);
  va_end(args);
}

void ConsolePrintArgs(const char* format, va_list args) {
  char buffer[512];
  if (vsnprintf(buffer, sizeof buffer, format, args) < 0) return;
  fputs(buffer, Console());
}

void ReportError(const char* module, uint32_t line, const char* format, ...) {
  ConsolePrint("ACPI Error: ");
  va_list args;
  va_start(args, format);
  ConsolePrintArgs(format, args);
  va_end(args);
  ConsolePrint(" (%8.8X/%s-%u)\n", UtilityVersion, module, line);
}

void ReportInfo(const char* format, ...) {
  ConsolePrint("ACPI: ");
  va_list args;
  va_start(args, format);
  ConsolePrintArgs(format, args);
  va_end(args);
  ConsolePrint("\n");
}

void ReportFirmwareWarning(const char* module, uint32_t line, const char* format, ...) {
  ConsolePrint("Firmware Warning (ACPI): ");
  va_list args;
  va_start(args, format);
  ConsolePrintArgs(format, args);
  va_end(args);
  ConsolePrint(" (%8.8X/%s-%u)\n", UtilityVersion, module, line);
}

}  // namespace halvorn
