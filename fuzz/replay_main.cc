// Runs a fuzz target over stored inputs without libFuzzer, so that the
// checked-in corpora run as ordinary tests in every build.
//
//   fuzz_tlv fuzz/corpus/tlv [more files or directories...]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool run_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // A copy of exactly the input's size, so that ASan sees a read past its end.
  std::vector<uint8_t> exact(data);
  LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  size_t runs = 0;
  bool ok = argc > 1;
  for (int i = 1; i < argc; i++) {
    std::error_code ec;
    const std::filesystem::path arg(argv[i]);
    if (std::filesystem::is_directory(arg, ec)) {
      std::vector<std::filesystem::path> files;
      for (const auto& e : std::filesystem::recursive_directory_iterator(arg, ec))
        if (e.is_regular_file()) files.push_back(e.path());
      // Sorted so that a failure shows up at the same input every time.
      std::sort(files.begin(), files.end());
      if (files.empty()) {
        std::fprintf(stderr, "%s holds no inputs\n", argv[i]);
        ok = false;
      }
      for (const auto& f : files) ok = run_file(f) && ok, runs++;
    } else {
      ok = run_file(arg) && ok;
      runs++;
    }
  }
  std::printf("%zu inputs ran%s\n", runs, ok ? "" : " (with errors)");
  return ok ? 0 : 1;
}
