// Control requests as a peer writes them, through the daemon's request
// processing, on a registry that the requests themselves fill: sites with
// cache directories, servers, and clients whose interfaces do not exist.
//
// Input: requests separated by NUL bytes, each handled as one connection.
// Checked: a request without an id (or with a null id), or a JSON-RPC 2.0
// request without a method, is not answered; any other gets exactly one JSON-RPC 2.0 response
// carrying its id and either a result or an error; an accepted site has its state file, a removed
// one has none; the queries still build from whatever the registry holds.
#include "control/jsonrpc.h"

#include <sys/stat.h>

#include <algorithm>

#include "control_world.h"

namespace {

constexpr size_t MAX_REQUESTS = 8;

json_object* member(json_object* o, const char* key) {
  json_object* v = nullptr;
  return json_object_object_get_ex(o, key, &v) ? v : nullptr;
}

void one_request(fuzz::control_world& w, std::span<const uint8_t> text) {
  std::unique_ptr<json_tokener, void (*)(json_tokener*)> tok(json_tokener_new(), json_tokener_free);
  json_ptr request(json_tokener_parse_ex(tok.get(), reinterpret_cast<const char*>(text.data()),
                                         static_cast<int>(text.size())));
  // Incomplete or invalid JSON, and anything but an object, are closed
  // without processing.
  if (!request || !json_object_is_type(request.get(), json_type_object)) return;
  if (fuzz::names_real_interface(request.get())) return;

  process_json_message(&w.ctx, request.get(), w.theirs.get());
  const std::string sent = w.response();
  if (std::getenv("TARN_FUZZ_VERBOSE") != nullptr) std::fprintf(stderr, "-> %s\n", sent.c_str());
  json_object* id = member(request.get(), "id");
  if (id == nullptr || json_object_is_type(id, json_type_null)) {
    FUZZ_CHECK(sent.empty());
    return;
  }
  // A request of this protocol without a method is dropped unanswered.
  json_object* version = member(request.get(), "jsonrpc");
  if (member(request.get(), "method") == nullptr &&
      json_object_is_type(version, json_type_string) &&
      std::strcmp(json_object_get_string(version), "2.0") == 0 &&
      json_object_get_string_len(version) == 3) {
    FUZZ_CHECK(sent.empty());
    return;
  }
  json_ptr response(json_tokener_parse(sent.c_str()));
  FUZZ_CHECK(response && json_object_is_type(response.get(), json_type_object));
  const char* answered = json_object_get_string(member(response.get(), "jsonrpc"));
  FUZZ_CHECK(answered != nullptr && std::strcmp(answered, "2.0") == 0);
  json_object* result = member(response.get(), "result");
  json_object* error = member(response.get(), "error");
  FUZZ_CHECK((result == nullptr) != (error == nullptr));
  FUZZ_CHECK(json_object_equal(member(response.get(), "id"), id));
  if (error != nullptr) {
    FUZZ_CHECK(json_object_is_type(member(error, "code"), json_type_int));
    FUZZ_CHECK(json_object_is_type(member(error, "message"), json_type_string));
  }

  // What was accepted for a site is saved; what was removed is forgotten.
  json_object* method = member(request.get(), "method");
  json_object* site = member(member(request.get(), "params"), "site_uuid");
  if (result == nullptr || method == nullptr || site == nullptr ||
      !json_object_is_type(site, json_type_string))
    return;
  const std::string path = w.state_dir + "/" + json_object_get_string(site);
  struct stat st {};
  if (std::strcmp(json_object_get_string(method), "configure_site") == 0) {
    json_ptr saved(json_object_from_file(path.c_str()));
    FUZZ_CHECK(saved && json_object_is_type(saved.get(), json_type_object));
  } else if (std::strcmp(json_object_get_string(method), "remove_site") == 0) {
    FUZZ_CHECK(stat(path.c_str(), &st) != 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::control_world w;
  std::span<const uint8_t> rest(data, size);
  for (size_t n = 0; n < MAX_REQUESTS && !rest.empty(); n++) {
    const auto nul = std::find(rest.begin(), rest.end(), 0);
    const size_t len = static_cast<size_t>(nul - rest.begin());
    one_request(w, rest.first(len));
    rest = rest.subspan(std::min(len + 1, rest.size()));
  }
  w.check_queries();
  w.reset();
  return 0;
}
