// Runs each input through the target once, as a libFuzzer binary does with
// files and folders on its command line, for builds without libFuzzer.
// Options (arguments that start with '-') are libFuzzer's and are ignored.
// An input that breaks a check aborts; no input at all is a failure too, so
// that a corpus that went missing does not pass.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

// The files of a folder, in name order so that every run goes the same way.
std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    if (entry.is_regular_file(error)) files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.empty() || argument[0] == '-') continue;
    std::error_code error;
    if (fs::is_directory(argument, error)) {
      const std::vector<std::string> files = FilesIn(argument);
      inputs.insert(inputs.end(), files.begin(), files.end());
    } else {
      inputs.push_back(argument);
    }
  }
  for (const std::string& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    std::fprintf(stderr, "running %s (%zu bytes)\n", path.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::fprintf(stderr, "%zu inputs run\n", inputs.size());
  return inputs.empty() ? 1 : 0;
}
