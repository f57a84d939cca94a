// vDisk contexts: one per vDisk key that a client of this host uses.
//
// The table and its mutex exist from start-up; vDisk records come with the
// cache data path.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

struct proxy_context;

struct vdisk_context {
  std::string vdisk_key;
};

using vdisk_table = std::unordered_map<std::string, std::unique_ptr<vdisk_context>>;

void vdisk_contexts_init(proxy_context* context);
void vdisk_contexts_destroy(proxy_context* context);
