// halvorn -f end to end: the input is the file, dumped in hex, summary and binary modes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/support.h"
#include "halvorn/app/dump.h"
#include "halvorn/common/console.h"
#include "halvorn/common/settings.h"

namespace {

std::string input_path;
std::string output_directory;
int start_directory = -1;
int output_descriptor = -1;

// The bytes a hex dump shows, read back from its rows (hex column at 10 to 58).
std::vector<uint8_t> BytesOfHexDump(const std::string& dump) {
  std::vector<uint8_t> bytes;
  size_t line_start = dump.find('\n');  // past the heading
  while (line_start != std::string::npos && line_start + 1 < dump.size()) {
    ++line_start;
    size_t line_end = dump.find('\n', line_start);
    if (line_end == std::string::npos || line_end - line_start < 59) break;
    std::string hex = dump.substr(line_start + 10, 48);
    for (size_t i = 0; i + 2 <= hex.size(); i += 3) {
      if (hex[i] == ' ') break;
      bytes.push_back(static_cast<uint8_t>(strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
    line_start = line_end;
  }
  return bytes;
}

// Every file the binary mode wrote holds a prefix of the input.
void CheckBinaryFiles(const uint8_t* data, size_t size) {
  DIR* directory = opendir(output_directory.c_str());
  FUZZ_CHECK(directory != nullptr);
  while (const dirent* entry = readdir(directory)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    FILE* file = fopen((output_directory + "/" + entry->d_name).c_str(), "rb");
    FUZZ_CHECK(file != nullptr);
    std::vector<uint8_t> written(size + 1);
    size_t length = fread(written.data(), 1, written.size(), file);
    fclose(file);
    FUZZ_CHECK(length <= size && (length == 0 || memcmp(written.data(), data, length) == 0));
  }
  closedir(directory);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceUtilityOutput();
  halvorn::InitializeConsole();
  std::string directory = fuzz::ScratchDirectory("halvorn-fuzz-");
  input_path = directory + "/input";
  output_directory = directory + "/out";
  if (mkdir(output_directory.c_str(), 0700) != 0) fuzz::Fail("cannot make the output directory");
  // The binary files go to the current directory; the run's own stays where libFuzzer finds the
  // corpus and the inputs named on its command line.
  start_directory = open(".", O_RDONLY | O_DIRECTORY);
  output_descriptor = open(output_directory.c_str(), O_RDONLY | O_DIRECTORY);
  if (start_directory < 0 || output_descriptor < 0) fuzz::Fail("cannot open the directories");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::WriteWholeFile(input_path, data, size);

  // Hex: what the dump shows reads back as a prefix of the file.
  char* text = nullptr;
  size_t text_size = 0;
  FILE* dump = open_memstream(&text, &text_size);
  halvorn::ResetSettings();
  halvorn::OptVerbose = true;
  halvorn::OutputStream = dump;
  int result = halvorn::RunDumpFromFile(input_path.c_str());
  fclose(dump);
  FUZZ_CHECK(result == 0 || result == -1);
  std::vector<uint8_t> shown = BytesOfHexDump(std::string(text, text_size));
  free(text);
  FUZZ_CHECK(result == -1 || shown.size() <= size);
  FUZZ_CHECK(result == -1 || shown.empty() || memcmp(shown.data(), data, shown.size()) == 0);

  halvorn::ResetSettings();
  halvorn::OptVerbose = true;
  halvorn::OptSummary = true;
  result = halvorn::RunDumpFromFile(input_path.c_str());
  FUZZ_CHECK(result == 0 || result == -1);

  halvorn::ResetSettings();
  halvorn::OptVerbose = true;
  halvorn::OptBinary = true;
  FUZZ_CHECK(fchdir(output_descriptor) == 0);
  result = halvorn::RunDumpFromFile(input_path.c_str());
  FUZZ_CHECK(fchdir(start_directory) == 0);
  FUZZ_CHECK(result == 0 || result == -1);
  CheckBinaryFiles(data, size);
  fuzz::EmptyDirectory(output_directory);

  halvorn::ResetSettings();
  return 0;
}
