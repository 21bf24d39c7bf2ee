#include "halvorn/app/cli.h"

#include <cstdio>
#include <cstring>

#include "halvorn/app/dump.h"
#include "halvorn/app/table_file.h"
#include "halvorn/common/console.h"
#include "halvorn/common/number.h"
#include "halvorn/common/settings.h"

namespace halvorn {

int ScanIndex = 1;
int ScanPosition = 1;
const char* OptionArgument = nullptr;
bool ScanMessages = true;
TableAction ActionList[kMaxActions];
uint32_t ActionCount = 0;

namespace {

constexpr char kOptions[] = "?a:bc:f:hn:o:r:sv^xz";
constexpr int kExitFailure = 255;

struct UsageLine {
  const char* option;
  const char* description;
};

constexpr UsageLine kGeneralOptions[] = {
    {"-b", "Dump tables to binary files"},    {"-h -?", "This help message"},
    {"-o <File>", "Redirect output to file"}, {"-r <Address>", "Dump tables from specified RSDP"},
    {"-s", "Print table summaries only"},     {"-v", "Display version information"},
    {"-vd", "Display build date and time"},   {"-z", "Verbose mode"},
};

constexpr UsageLine kTableOptions[] = {
    {"-a <Address>", "Get table via a physical address"},
    {"-c <on|off>", "Turning on/off customized table dumping"},
    {"-f <BinaryFile>", "Get table via a binary file"},
    {"-n <Signature>", "Get table via a name/signature"},
    {"-x", "Use RSDT instead of XSDT"},
};

void PrintBanner() {
  fprintf(stderr, "\n%s\n%s version %8.8X\n%s\n\n", "Norwent Tessaline",
          "Firmware Table Dump Utility", UtilityVersion, "Copyright (c) 2021 Norwent Tessaline");
}

// Moves the scanner past the character just read; a finished argument moves it to the next one.
void StepPastCharacter(char* const argv[]) {
  ++ScanPosition;
  if (argv[ScanIndex][ScanPosition] == '\0') {
    ScanPosition = 1;
    ++ScanIndex;
  }
}

// What reading one option asks of the run: go on, or end it with an exit status.
struct Outcome {
  bool end;
  int status;
};
constexpr Outcome kGoOn = {false, 0};
constexpr Outcome End(int status) { return {true, status}; }

Outcome HandleOption(int option) {
  switch (option) {
    case 'a':
      return AppendAction(OptionArgument, DumpByAddress) == 0 ? kGoOn : End(kExitFailure);
    case 'n':
      return AppendAction(OptionArgument, DumpBySignature) == 0 ? kGoOn : End(kExitFailure);
    case 'f':
      return AppendAction(OptionArgument, DumpFromFile) == 0 ? kGoOn : End(kExitFailure);
    case 'b':
      OptBinary = true;
      return kGoOn;
    case 's':
      OptSummary = true;
      return kGoOn;
    case 'c':
      if (std::strcmp(OptionArgument, "on") == 0) {
        OptCustomizedTables = true;
      } else if (std::strcmp(OptionArgument, "off") == 0) {
        OptCustomizedTables = false;
      } else {
        fprintf(stderr, "%s: Cannot handle this switch, please use on|off\n", OptionArgument);
        return End(kExitFailure);
      }
      return kGoOn;
    case 'o':
      return RedirectOutput(OptionArgument) == 0 ? kGoOn : End(kExitFailure);
    case 'r':
      if (ParseUnsigned64(OptionArgument, &OptRsdpAddress) != AE_OK) {
        fprintf(stderr, "%s: Could not convert to a physical address\n", OptionArgument);
        return End(kExitFailure);
      }
      return kGoOn;
    case 'x':
      if (OptUseRsdt) OptSkipXsdt = true;
      OptUseRsdt = true;
      return kGoOn;
    case 'z':
      OptVerbose = true;
      PrintBanner();
      return kGoOn;
    case 'v':
      if (OptionArgument[0] == '^') {
        PrintBanner();
        return End(0);
      }
      if (OptionArgument[0] == 'd') {
        PrintBanner();
        printf("Build date/time: %s %s\n", __DATE__, __TIME__);
        return End(0);
      }
      printf("Unknown option: -v%s\n", OptionArgument);
      return End(kExitFailure);
    case 'h':
    case '?':
      PrintUsage();
      return End(0);
    default:
      PrintUsage();
      return End(kExitFailure);
  }
}

int RunAction(const TableAction& action) {
  switch (action.kind) {
    case DumpAll:
      return RunDumpAll();
    case DumpByAddress:
      return RunDumpByAddress(action.argument);
    case DumpBySignature:
      return RunDumpBySignature(action.argument);
    case DumpFromFile:
      return RunDumpFromFile(action.argument);
  }
  return -1;
}

}  // namespace

int ScanOption(int argc, char* const argv[], const char* options) {
  if (ScanPosition == 1) {
    if (ScanIndex >= argc) return -1;
    const char* argument = argv[ScanIndex];
    if (argument[0] != '-' || argument[1] == '\0') return -1;
    if (std::strcmp(argument, "--") == 0) {
      ++ScanIndex;
      return -1;
    }
  }

  const char* argument = argv[ScanIndex];
  const int option = static_cast<unsigned char>(argument[ScanPosition]);
  const char* entry = option == ':' ? nullptr : std::strchr(options, option);
  if (entry == nullptr) {
    if (ScanMessages) fprintf(stderr, "%s%c\n", "Illegal option: -", option);
    StepPastCharacter(argv);
    return '?';
  }

  const char* rest = argument + ScanPosition + 1;
  switch (entry[1]) {
    case ':':
    case '+':
      if (*rest != '\0') {
        OptionArgument = rest;
        ScanIndex += 1;
      } else if (ScanIndex + 1 < argc) {
        OptionArgument = argv[ScanIndex + 1];
        ScanIndex += 2;
      } else if (entry[1] == '+') {
        OptionArgument = nullptr;
        ScanIndex += 1;
      } else {
        if (ScanMessages) fprintf(stderr, "%s%c\n", "Option requires an argument: -", option);
        ScanIndex += 1;
        ScanPosition = 1;
        return '?';
      }
      ScanPosition = 1;
      return option;
    case '^':
      OptionArgument = *rest != '\0' ? rest : "^";
      ScanPosition = 1;
      ScanIndex += 1;
      return option;
    case '|':
      if (*rest == '\0') {
        if (ScanMessages) {
          fprintf(stderr, "%s%c\n", "Option requires a single-character suboption: -", option);
        }
        ScanPosition = 1;
        ScanIndex += 1;
        return '?';
      }
      OptionArgument = rest;
      ScanPosition = 1;
      ScanIndex += 1;
      return option;
    default:
      StepPastCharacter(argv);
      OptionArgument = nullptr;
      return option;
  }
}

int AppendAction(const char* argument, ActionKind kind) {
  if (ActionCount >= kMaxActions) {
    fprintf(stderr, "Too many table options (max %d)\n", int(kMaxActions));
    return -1;
  }
  ActionList[ActionCount++] = {argument, kind};
  return 0;
}

void PrintUsage() {
  printf("Usage: %s\nOptions:\n", "halvorn [options]");
  for (const UsageLine& line : kGeneralOptions)
    printf("  %-20s%s\n", line.option, line.description);
  printf("\nTable Options:\n");
  for (const UsageLine& line : kTableOptions) printf("  %-20s%s\n", line.option, line.description);
  printf(
      "\nInvocation without parameters dumps all available tables\n"
      "Multiple mixed instances of -a, -f, and -n are supported\n\n");
}

int RunHalvorn(int argc, char* argv[]) {
  InitializeConsole();
  OutputStream = stdout;

  for (int option; (option = ScanOption(argc, argv, kOptions)) != -1;) {
    const Outcome outcome = HandleOption(option);
    if (outcome.end) return outcome.status;
  }

  if (ActionCount == 0) AppendAction(nullptr, DumpAll);
  for (uint32_t i = 0; i < ActionCount; ++i) {
    if (RunAction(ActionList[i]) != 0) return kExitFailure;
  }

  if (OutputPath != nullptr) {
    if (OptVerbose) {
      const uint32_t size = StreamSize(OutputStream);
      fprintf(stderr, "Output file %s contains 0x%X (%u) bytes\n\n", OutputPath, size, size);
    }
    // Output that could not be written, earlier or at the close, is lost: the run failed.
    const bool written = !ferror(OutputStream);
    if (fclose(OutputStream) != 0 || !written) {
      fprintf(stderr, "Could not write output file: %s\n", OutputPath);
      return kExitFailure;
    }
  }
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "Could not write standard output\n");
    return kExitFailure;
  }
  return 0;
}

}  // namespace halvorn
