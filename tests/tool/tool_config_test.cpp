#include "tool/tool_config.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/status.h"
#include "tests/support/alloc_fail.h"

namespace {

std::string ascii(const String& s) {
  std::string r;
  for (uint64_t i = 0; i < s.length; ++i) r += static_cast<char>(s.chars[i]);
  return r;
}

struct Name {
  String s;
  explicit Name(const char* text) {
    string_init(&s);
    EXPECT_TRUE(string_append_ascii(&s, text));
  }
  ~Name() { string_free(&s); }
};

TEST(ToolConfig, DefaultsAndRelease) {
  ToolConfig cfg;
  ASSERT_EQ(toolconfig_init(&cfg), STATUS_OK);
  EXPECT_EQ(cfg.src_path.length, 0u);
  EXPECT_EQ(cfg.dst_path.length, 0u);
  EXPECT_EQ(ascii(cfg.file), "${master_name}/${file_name} - processed.wav");
  EXPECT_EQ(cfg.srate, 48000u);
  EXPECT_EQ(cfg.fft_rank, 12);
  EXPECT_EQ(cfg.produce, 31u);
  EXPECT_EQ(cfg.gain_range, 48.0f);
  EXPECT_EQ(cfg.dry, -1000.0f);
  EXPECT_EQ(cfg.wet, 0.0f);
  EXPECT_FALSE(cfg.mastering);
  EXPECT_EQ(cfg.normalize, 0u);
  EXPECT_EQ(cfg.norm_gain, 0.0f);
  EXPECT_FALSE(cfg.latency_compensation);
  EXPECT_FALSE(cfg.match_length);
  EXPECT_EQ(cfg.ir.trim.head_cut, 0.0f);
  EXPECT_EQ(cfg.ir.trim.fade_out, 0.0f);
  EXPECT_EQ(ascii(cfg.ir.file), "${master_name}/${file_name} - IR.wav");
  EXPECT_EQ(ascii(cfg.ir.raw), "${master_name}/${file_name} - Raw IR.wav");
  EXPECT_EQ(ascii(cfg.ir.fr_master), "${master_name}/${file_name} - FR Master.wav");
  EXPECT_EQ(ascii(cfg.ir.fr_child), "${master_name}/${file_name} - FR Child.wav");
  EXPECT_EQ(cfg.groups.count, 0u);
  // The trim percentages form one record of four floats in this order.
  static_assert(sizeof(IrTrimSettings) == 4 * sizeof(float));
  EXPECT_EQ(&cfg.ir.trim.tail_cut, &cfg.ir.trim.head_cut + 1);
  EXPECT_EQ(&cfg.ir.trim.fade_in, &cfg.ir.trim.head_cut + 2);
  toolconfig_release(&cfg);
  toolconfig_release(&cfg);

  ToolConfig zeroed;
  std::memset(&zeroed, 0, sizeof zeroed);
  toolconfig_release(&zeroed);

  for_each_alloc_failure([] {
    ToolConfig c;
    int r = toolconfig_init(&c);
    EXPECT_TRUE(r == STATUS_OK || r == STATUS_NO_MEMORY);
    EXPECT_EQ(r == STATUS_NO_MEMORY, alloc_failure_hit());
    toolconfig_release(&c);
  });
}

TEST(ToolConfig, GroupsAreCreatedOnceAndReleasedWithTheirFiles) {
  ToolConfig cfg;
  ASSERT_EQ(toolconfig_init(&cfg), STATUS_OK);
  Name a("songs"), b("drums"), f1("one.wav"), f2("two.wav"), m("master.wav");
  Group* g = nullptr;
  ASSERT_EQ(group_create(&cfg, &a.s, &g), STATUS_OK);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(ascii(g->name), "songs");
  EXPECT_EQ(g->master.length, 0u);  // never given a master
  ASSERT_EQ(group_add_file(g, &f1.s), STATUS_OK);
  ASSERT_EQ(group_add_file(g, &f2.s), STATUS_OK);
  ASSERT_EQ(group_set_master(g, &m.s), STATUS_OK);
  Group* again = nullptr;
  EXPECT_EQ(group_create(&cfg, &a.s, &again), STATUS_EXISTS);
  EXPECT_EQ(again, g);
  EXPECT_EQ(cfg.groups.count, 1u);
  Group* other = nullptr;
  ASSERT_EQ(group_create(&cfg, &b.s, &other), STATUS_OK);
  EXPECT_EQ(toolconfig_find_group(&cfg, &a.s), g);
  EXPECT_EQ(toolconfig_find_group(&cfg, &b.s), other);
  ASSERT_EQ(g->files.count, 2u);
  EXPECT_EQ(ascii(*static_cast<String*>(g->files.items[1])), "two.wav");
  toolconfig_release(&cfg);  // the leak check of the sanitizer build covers this
  EXPECT_EQ(cfg.groups.count, 0u);
}

TEST(ToolConfig, GroupCreationFailsCleanly) {
  for_each_alloc_failure([] {
    ToolConfig cfg;
    if (toolconfig_init(&cfg) != STATUS_OK) {
      toolconfig_release(&cfg);
      return;
    }
    String name;
    string_init(&name);
    if (!string_append_ascii(&name, "g")) {
      toolconfig_release(&cfg);
      return;
    }
    Group* g = nullptr;
    int r = group_create(&cfg, &name, &g);
    if (r == STATUS_NO_MEMORY) {
      EXPECT_EQ(g, nullptr);
      EXPECT_EQ(cfg.groups.count, 0u);
    } else {
      EXPECT_EQ(r, STATUS_OK);
      EXPECT_EQ(toolconfig_find_group(&cfg, &name), g);
      if (group_add_file(g, &name) != STATUS_OK) {
        EXPECT_EQ(g->files.count, 0u);
      }
    }
    string_free(&name);
    toolconfig_release(&cfg);
  });
}

}  // namespace
