// Saved site states as the start-up finds them: the input is one state file,
// read and replayed as the restore does (configure_site in reload mode), on
// an empty registry.
//
// Checked: the replay answers nobody and writes no state file; every site it
// leaves configured has its stored request, so a later configure_site is
// compared against it; the queries still build.
//
// The same bytes are also read as a vDisk's boot-set file, the other state
// the daemon finds on disk: whatever it accepts is exactly what it writes.
#include <filesystem>
#include <fstream>

#include "contexts/bootset.h"
#include "control/jsonrpc.h"
#include "control_world.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::control_world w;
  const std::string path = w.state_dir + "/5d3a0e52-9f4b-4c1e-8a57-0c6f1e2b7d90";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  json_ptr state(json_object_from_file(path.c_str()));
  // Files that are not JSON objects are passed by.
  if (state && json_object_is_type(state.get(), json_type_object) &&
      !fuzz::names_real_interface(state.get())) {
    site_state_restore(&w.ctx, state.get());
    FUZZ_CHECK(w.response().empty());
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(w.state_dir)) files += e.exists();
    FUZZ_CHECK(files == 1);
    for (const auto& [uuid, site] : *w.ctx.site_context_ht)
      FUZZ_CHECK(w.ctx.site_state->count(uuid) == 1);
    w.check_queries();
  }
  w.reset();
  const std::string key = "1-2-3-4-5-6-7-8-9";
  std::vector<boot_range> ranges;
  if (boot_set_parse(data, size, key, uint64_t{1} << 40, &ranges) == nullptr) {
    FUZZ_CHECK(boot_set_serialise(ranges, key) ==
               std::string(reinterpret_cast<const char*>(data), size));
  }
  return 0;
}
