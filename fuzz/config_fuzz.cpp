// Arbitrary bytes as a configuration document (every key of the settings
// table among the seeds): through the document reader
// at both syntax levels (skipping some values on the way, so that the skip
// path sees the same inputs), then through the mapping into a fresh
// ToolConfig. Then the same bytes as the value of one key: the first byte
// picks a row of the settings table (so every key, a new one too, is
// reached without a seed of its own) and the rest is its value.

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/document_reader.h"
#include "runtime/char_reader.h"
#include "runtime/log.h"
#include "tool/config_file.h"
#include "tool/settings.h"
#include "tool/tool_config.h"

namespace {

void map_text(const char* text, size_t size) {
  StringReader input;
  if (input.set_text(text, size) != 0) return;
  ToolConfig cfg;
  ConfigError error;
  if (toolconfig_init(&cfg) == 0) (void)config_map_document(&cfg, &input, &error);
  toolconfig_release(&cfg);
  (void)input.close();
}

void read_all(const uint8_t* data, size_t size, int32_t level) {
  StringReader input;
  if (input.set_text(reinterpret_cast<const char*>(data), size) != 0) return;
  DocumentReader reader;
  document_reader_init(&reader);
  DocumentEvent event;
  document_event_init(&event);
  int st = document_reader_open(&reader, &input, level, 0);
  uint64_t n = 0;
  while (st == 0) {
    st = document_reader_next(&reader, &event);
    // Skip the value of every third property and of every fifth begin.
    if (st == 0 && ((event.kind == PROPERTY && n % 3 == 0) ||
                    ((event.kind == OBJECT_BEGIN || event.kind == ARRAY_BEGIN) && n % 5 == 0)))
      st = document_reader_skip_value(&reader);
    ++n;
  }
  (void)document_reader_close(&reader);
  document_reader_release(&reader);
  document_event_release(&event);
  (void)input.close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* quiet = [] {
    FILE* f = std::fopen("/dev/null", "w");
    if (f) log_set_sink(f);
    return f;
  }();
  (void)quiet;

  read_all(data, size, 4999);
  read_all(data, size, 5000);

  map_text(reinterpret_cast<const char*>(data), size);

  if (size > 0) {
    const SettingRow& row = SETTINGS[data[0] % SETTINGS_COUNT];
    if (row.key) {
      const bool in_ir = (row.flags & SETTING_IN_IR) != 0;
      std::string doc = in_ir ? std::string("{ ir: { ") + row.key + ": " : std::string("{ ") + row.key + ": ";
      doc.append(reinterpret_cast<const char*>(data) + 1, size - 1);
      doc += in_ir ? " } }" : " }";
      map_text(doc.data(), doc.size());
    }
  }
  return 0;
}
