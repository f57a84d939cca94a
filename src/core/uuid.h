// What counts as a uuid wherever one is named (sites, clients, vDisks,
// metrics files): the text libuuid parses, 8-4-4-4-12 hex digits.
#pragma once

#include <uuid/uuid.h>

inline bool uuid_is_valid(const char* text) {
  uuid_t parsed;
  return text != nullptr && uuid_parse(text, parsed) == 0;
}
