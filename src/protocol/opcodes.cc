#include "protocol/opcodes.h"

#define TARN_OPCODE_ENTRY(name, code) {name, #name},
const opcode_entry tarn_opcodes[] = {TARN_OPCODES(TARN_OPCODE_ENTRY){0, nullptr}};
#undef TARN_OPCODE_ENTRY

std::unique_ptr<opcode_name_table> opcode_names_create() {
  auto names = std::make_unique<opcode_name_table>();
  names->reserve(TARN_OPCODE_COUNT);
  for (const opcode_entry* e = tarn_opcodes; e->code != 0; ++e) names->emplace(e->code, e->name);
  return names;
}

const char* opcode_name(const opcode_name_table* names, uint32_t code) {
  if (names == nullptr) return nullptr;
  auto it = names->find(code);
  return it == names->end() ? nullptr : it->second;
}

void table_free(opcode_name_table* table) {
  delete table;
}
