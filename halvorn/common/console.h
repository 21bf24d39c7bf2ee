// The diagnostic console: a printer and three reporters that frame a message with a prefix and,
// for errors and firmware warnings, a location suffix.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "halvorn/common/status.h"

namespace halvorn {

// The version printed in the banner and in every location suffix ("%8.8X").
inline constexpr uint32_t UtilityVersion = 0x20211217;

// Where diagnostic text goes: null until InitializeConsole, then standard output for good.
extern FILE* ConsoleStream;

// Points ConsoleStream at standard output; always returns AE_OK.
StatusCode InitializeConsole();

// printf-style formatting straight onto ConsoleStream, without a length limit.
void ConsolePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The same for a started argument list, formatted through a 512-byte buffer: text beyond 511
// characters is cut without a mark.
void ConsolePrintArgs(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// "ACPI Error: <message> (<version>/<module>-<line>)\n". The message carries no newline.
void ReportError(const char* module, uint32_t line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// "ACPI: <message>\n".
void ReportInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "Firmware Warning (ACPI): <message> (<version>/<module>-<line>)\n".
void ReportFirmwareWarning(const char* module, uint32_t line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace halvorn
