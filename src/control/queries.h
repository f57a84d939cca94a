// Read-only queries of the control socket: "context-state", "prepop-progress"
// and "metrics".
//
// Each handler follows json_command_fn: it sends nothing for a request without
// an id, otherwise builds its result from the registry and sends it as
// "result". The builders are separate so the result shapes can be checked
// without a socket; each returns a new json_object the caller owns.
#pragma once

#include <json-c/json.h>

struct proxy_context;
struct metrics_record;

// {"sites": [...], "servers": [...], "clients": [...]}: every configured record.
json_object* context_state_result(proxy_context* context);
// {"vdisk": {...}} for the vDisk visited last (each with "vdisk_key",
// "site_uuid", "size", "complete", "boot_set_bytes" and "boot_set_cached"), and with more than one
// vDisk also "vdisks", an array of every vDisk's object; {} without vDisks.
json_object* prepop_progress_result(proxy_context* context);
// {"server_metrics": {...}, "clients": [...]}: the registry-wide counters and
// each client's, the latter followed by "client_id" (0) and "mac".
json_object* metrics_result(proxy_context* context);
// Adds the seven counter members of one metrics record to `object`.
void build_metrics_json_obj(json_object* object, const metrics_record* metrics);

void process_context_state(proxy_context* context, json_object* request, int connection);
void process_prepop_progress(proxy_context* context, json_object* request, int connection);
void process_metrics(proxy_context* context, json_object* request, int connection);
