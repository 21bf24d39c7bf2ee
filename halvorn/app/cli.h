// The command line: the option scanner, the action list, and the run of the actions.
#pragma once

#include <cstdint>

namespace halvorn {

enum ActionKind : uint32_t {
  DumpAll = 0,
  DumpByAddress = 1,    // -a
  DumpBySignature = 2,  // -n
  DumpFromFile = 3,     // -f
};

// One entry of the action list; the argument points into the argument vector.
struct TableAction {
  const char* argument;
  ActionKind kind;
};

inline constexpr uint32_t kMaxActions = 32;

// The action list, in command-line order; entries are never removed.
extern TableAction ActionList[kMaxActions];
extern uint32_t ActionCount;

// Scanner state, kept from one call to the next.
extern int ScanIndex;
extern int ScanPosition;
extern const char* OptionArgument;
extern bool ScanMessages;

// The next option character, '?' on an error (after its message), or -1 when the options end.
int ScanOption(int argc, char* const argv[], const char* options);

// Appends an action; -1 after "Too many table options" when the list is full.
int AppendAction(const char* argument, ActionKind kind);

// Writes the usage text to standard output.
void PrintUsage();

// The whole program after start-up: reads the options, runs the actions and returns the exit
// status (0 or 255).
int RunHalvorn(int argc, char* argv[]);

}  // namespace halvorn
