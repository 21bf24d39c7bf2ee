// Status codes of the table-level operations and their names.
#pragma once

#include <cstdint>

namespace halvorn {

// Outcome of a table-level operation: bits 12-15 select a group, bits 0-11 the index in it.
using StatusCode = uint32_t;

// Environment group.
inline constexpr StatusCode AE_OK = 0x0000;
inline constexpr StatusCode AE_ERROR = 0x0001;
inline constexpr StatusCode AE_NO_ACPI_TABLES = 0x0002;
inline constexpr StatusCode AE_NO_NAMESPACE = 0x0003;
inline constexpr StatusCode AE_NO_MEMORY = 0x0004;
inline constexpr StatusCode AE_NOT_FOUND = 0x0005;
inline constexpr StatusCode AE_NOT_EXIST = 0x0006;
inline constexpr StatusCode AE_ALREADY_EXISTS = 0x0007;
inline constexpr StatusCode AE_TYPE = 0x0008;
inline constexpr StatusCode AE_NULL_OBJECT = 0x0009;
inline constexpr StatusCode AE_NULL_ENTRY = 0x000A;
inline constexpr StatusCode AE_BUFFER_OVERFLOW = 0x000B;
inline constexpr StatusCode AE_STACK_OVERFLOW = 0x000C;
inline constexpr StatusCode AE_STACK_UNDERFLOW = 0x000D;
inline constexpr StatusCode AE_NOT_IMPLEMENTED = 0x000E;
inline constexpr StatusCode AE_SUPPORT = 0x000F;
inline constexpr StatusCode AE_LIMIT = 0x0010;
inline constexpr StatusCode AE_TIME = 0x0011;
inline constexpr StatusCode AE_ACQUIRE_DEADLOCK = 0x0012;
inline constexpr StatusCode AE_RELEASE_DEADLOCK = 0x0013;
inline constexpr StatusCode AE_NOT_ACQUIRED = 0x0014;
inline constexpr StatusCode AE_ALREADY_ACQUIRED = 0x0015;
inline constexpr StatusCode AE_NO_HARDWARE_RESPONSE = 0x0016;
inline constexpr StatusCode AE_NO_GLOBAL_LOCK = 0x0017;
inline constexpr StatusCode AE_ABORT_METHOD = 0x0018;
inline constexpr StatusCode AE_SAME_HANDLER = 0x0019;
inline constexpr StatusCode AE_NO_HANDLER = 0x001A;
inline constexpr StatusCode AE_OWNER_ID_LIMIT = 0x001B;
inline constexpr StatusCode AE_NOT_CONFIGURED = 0x001C;
inline constexpr StatusCode AE_ACCESS = 0x001D;
inline constexpr StatusCode AE_IO_ERROR = 0x001E;
inline constexpr StatusCode AE_NUMERIC_OVERFLOW = 0x001F;
inline constexpr StatusCode AE_HEX_OVERFLOW = 0x0020;
inline constexpr StatusCode AE_DECIMAL_OVERFLOW = 0x0021;
inline constexpr StatusCode AE_OCTAL_OVERFLOW = 0x0022;
inline constexpr StatusCode AE_END_OF_TABLE = 0x0023;

// Caller group (the table, AML and control groups are named only through StatusName,
// apart from the few codes the utility itself returns).
inline constexpr StatusCode AE_BAD_PARAMETER = 0x1001;
inline constexpr StatusCode AE_BAD_ADDRESS = 0x1009;

// Table group.
inline constexpr StatusCode AE_BAD_SIGNATURE = 0x2001;
inline constexpr StatusCode AE_BAD_HEADER = 0x2002;
inline constexpr StatusCode AE_BAD_CHECKSUM = 0x2003;
inline constexpr StatusCode AE_BAD_VALUE = 0x2004;
inline constexpr StatusCode AE_INVALID_TABLE_LENGTH = 0x2005;

// AML group.
inline constexpr StatusCode AE_AML_DIVIDE_BY_ZERO = 0x300C;

// Returns the code's constant name ("AE_LIMIT"), or "UNKNOWN_STATUS_CODE" after reporting an
// error line through the diagnostic console. Never fails.
const char* StatusName(StatusCode code);

// The status for the error number of a failed open or mapping: AE_NO_MEMORY for ENOMEM,
// AE_ACCESS for EACCES and EPERM, AE_NOT_FOUND for ENOENT, and `otherwise` for any other.
StatusCode StatusForErrno(int error, StatusCode otherwise);

}  // namespace halvorn
