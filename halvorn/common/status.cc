#include "halvorn/common/status.h"

#include <cerrno>
#include <span>

#include "halvorn/common/console.h"

namespace halvorn {
namespace {

// Names of one group, one slot per index from 0 to the group's highest valid code; null marks
// an empty slot.
constexpr const char* kEnvironmentNames[] = {
    "AE_OK",                    // 0x0000
    "AE_ERROR",                 // 0x0001
    "AE_NO_ACPI_TABLES",        // 0x0002
    "AE_NO_NAMESPACE",          // 0x0003
    "AE_NO_MEMORY",             // 0x0004
    "AE_NOT_FOUND",             // 0x0005
    "AE_NOT_EXIST",             // 0x0006
    "AE_ALREADY_EXISTS",        // 0x0007
    "AE_TYPE",                  // 0x0008
    "AE_NULL_OBJECT",           // 0x0009
    "AE_NULL_ENTRY",            // 0x000A
    "AE_BUFFER_OVERFLOW",       // 0x000B
    "AE_STACK_OVERFLOW",        // 0x000C
    "AE_STACK_UNDERFLOW",       // 0x000D
    "AE_NOT_IMPLEMENTED",       // 0x000E
    "AE_SUPPORT",               // 0x000F
    "AE_LIMIT",                 // 0x0010
    "AE_TIME",                  // 0x0011
    "AE_ACQUIRE_DEADLOCK",      // 0x0012
    "AE_RELEASE_DEADLOCK",      // 0x0013
    "AE_NOT_ACQUIRED",          // 0x0014
    "AE_ALREADY_ACQUIRED",      // 0x0015
    "AE_NO_HARDWARE_RESPONSE",  // 0x0016
    "AE_NO_GLOBAL_LOCK",        // 0x0017
    "AE_ABORT_METHOD",          // 0x0018
    "AE_SAME_HANDLER",          // 0x0019
    "AE_NO_HANDLER",            // 0x001A
    "AE_OWNER_ID_LIMIT",        // 0x001B
    "AE_NOT_CONFIGURED",        // 0x001C
    "AE_ACCESS",                // 0x001D
    "AE_IO_ERROR",              // 0x001E
    "AE_NUMERIC_OVERFLOW",      // 0x001F
    "AE_HEX_OVERFLOW",          // 0x0020
    "AE_DECIMAL_OVERFLOW",      // 0x0021
    "AE_OCTAL_OVERFLOW",        // 0x0022
    "AE_END_OF_TABLE",          // 0x0023
};

constexpr const char* kCallerNames[] = {
    nullptr,                    // 0x1000
    "AE_BAD_PARAMETER",         // 0x1001
    "AE_BAD_CHARACTER",         // 0x1002
    "AE_BAD_PATHNAME",          // 0x1003
    "AE_BAD_DATA",              // 0x1004
    "AE_BAD_HEX_CONSTANT",      // 0x1005
    "AE_BAD_OCTAL_CONSTANT",    // 0x1006
    "AE_BAD_DECIMAL_CONSTANT",  // 0x1007
    "AE_MISSING_ARGUMENTS",     // 0x1008
    "AE_BAD_ADDRESS",           // 0x1009
};

constexpr const char* kTableNames[] = {
    nullptr,                    // 0x2000
    "AE_BAD_SIGNATURE",         // 0x2001
    "AE_BAD_HEADER",            // 0x2002
    "AE_BAD_CHECKSUM",          // 0x2003
    "AE_BAD_VALUE",             // 0x2004
    "AE_INVALID_TABLE_LENGTH",  // 0x2005
};

constexpr const char* kAmlNames[] = {
    nullptr,                         // 0x3000
    "AE_AML_BAD_OPCODE",             // 0x3001
    "AE_AML_NO_OPERAND",             // 0x3002
    "AE_AML_OPERAND_TYPE",           // 0x3003
    "AE_AML_OPERAND_VALUE",          // 0x3004
    "AE_AML_UNINITIALIZED_LOCAL",    // 0x3005
    "AE_AML_UNINITIALIZED_ARG",      // 0x3006
    "AE_AML_UNINITIALIZED_ELEMENT",  // 0x3007
    "AE_AML_NUMERIC_OVERFLOW",       // 0x3008
    "AE_AML_REGION_LIMIT",           // 0x3009
    "AE_AML_BUFFER_LIMIT",           // 0x300A
    "AE_AML_PACKAGE_LIMIT",          // 0x300B
    "AE_AML_DIVIDE_BY_ZERO",         // 0x300C
    "AE_AML_BAD_NAME",               // 0x300D
    "AE_AML_NAME_NOT_FOUND",         // 0x300E
    "AE_AML_INTERNAL",               // 0x300F
    "AE_AML_INVALID_SPACE_ID",       // 0x3010
    "AE_AML_STRING_LIMIT",           // 0x3011
    "AE_AML_NO_RETURN_VALUE",        // 0x3012
    "AE_AML_METHOD_LIMIT",           // 0x3013
    "AE_AML_NOT_OWNER",              // 0x3014
    "AE_AML_MUTEX_ORDER",            // 0x3015
    "AE_AML_MUTEX_NOT_ACQUIRED",     // 0x3016
    "AE_AML_INVALID_RESOURCE_TYPE",  // 0x3017
    "AE_AML_INVALID_INDEX",          // 0x3018
    "AE_AML_REGISTER_LIMIT",         // 0x3019
    "AE_AML_NO_WHILE",               // 0x301A
    "AE_AML_ALIGNMENT",              // 0x301B
    "AE_AML_NO_RESOURCE_END_TAG",    // 0x301C
    "AE_AML_BAD_RESOURCE_VALUE",     // 0x301D
    "AE_AML_CIRCULAR_REFERENCE",     // 0x301E
    "AE_AML_BAD_RESOURCE_LENGTH",    // 0x301F
    "AE_AML_ILLEGAL_ADDRESS",        // 0x3020
    "AE_AML_LOOP_TIMEOUT",           // 0x3021
    "AE_AML_UNINITIALIZED_NODE",     // 0x3022
    "AE_AML_TARGET_TYPE",            // 0x3023
    "AE_AML_PROTOCOL",               // 0x3024
    "AE_AML_BUFFER_LENGTH",          // 0x3025
};

constexpr const char* kControlNames[] = {
    nullptr,                   // 0x4000
    "AE_CTRL_RETURN_VALUE",    // 0x4001
    "AE_CTRL_PENDING",         // 0x4002
    "AE_CTRL_TERMINATE",       // 0x4003
    "AE_CTRL_TRUE",            // 0x4004
    "AE_CTRL_FALSE",           // 0x4005
    "AE_CTRL_DEPTH",           // 0x4006
    "AE_CTRL_END",             // 0x4007
    "AE_CTRL_TRANSFER",        // 0x4008
    "AE_CTRL_BREAK",           // 0x4009
    "AE_CTRL_CONTINUE",        // 0x400A
    "AE_CTRL_PARSE_CONTINUE",  // 0x400B
    "AE_CTRL_PARSE_PENDING",   // 0x400C
};

struct StatusGroup {
  StatusCode base;
  std::span<const char* const> names;
};

constexpr StatusGroup StatusNameTable[] = {
    {0x0000, kEnvironmentNames}, {0x1000, kCallerNames},  {0x2000, kTableNames},
    {0x3000, kAmlNames},         {0x4000, kControlNames},
};

constexpr StatusCode kGroupMask = 0xF000;

struct ErrnoStatus {
  int error;
  StatusCode status;
};

constexpr ErrnoStatus kErrnoStatuses[] = {
    {ENOMEM, AE_NO_MEMORY},
    {EACCES, AE_ACCESS},
    {EPERM, AE_ACCESS},
    {ENOENT, AE_NOT_FOUND},
};

}  // namespace

const char* StatusName(StatusCode code) {
  // Only the group bits are cleared for the index, so a code with any of bits 16-31 set is
  // always beyond its group's last slot.
  StatusCode group = code & kGroupMask;
  StatusCode index = code & ~kGroupMask;
  for (const StatusGroup& entry : StatusNameTable) {
    if (entry.base != group) continue;
    if (index < entry.names.size() && entry.names[index] != nullptr) return entry.names[index];
    break;
  }
  ReportError("utexcep", 192, "Unknown exception code: 0x%8.8X", code);
  return "UNKNOWN_STATUS_CODE";
}

StatusCode StatusForErrno(int error, StatusCode otherwise) {
  for (const ErrnoStatus& row : kErrnoStatuses) {
    if (row.error == error) return row.status;
  }
  return otherwise;
}

}  // namespace halvorn
