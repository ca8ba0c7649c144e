// The run plan: every output name of a run worked out before any audio is
// read, and the conflicts that make a run unsafe (an output over an input,
// two outputs on one path), found through relative names, '..', symbolic
// and hard links.

#include "tool/run_plan.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <sndfile.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "runtime/status.h"
#include "tests/support/alloc_fail.h"
#include "tool/preflight.h"
#include "tool/tool_config.h"

namespace fs = std::filesystem;
using testing::HasSubstr;

namespace {

bool set_text(String* s, const std::string& text) {
  return string_from_utf8(s, text.data(), text.size());
}

std::string utf8(const String& s) {
  const char* t = string_to_utf8(const_cast<String*>(&s));
  return t ? t : "";
}

class RunPlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/timbral-plan-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir = templ;
    ASSERT_EQ(toolconfig_init(&cfg), 0);
    run_plan_init(&plan);
  }
  void TearDown() override {
    run_plan_release(&plan);
    toolconfig_release(&cfg);
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  // A group with `master` and `children`, created when missing.
  Group* group(const std::string& name, const std::string& master, const std::vector<std::string>& children) {
    String s;
    string_init(&s);
    EXPECT_TRUE(set_text(&s, name));
    Group* g = nullptr;
    int st = group_create(&cfg, &s, &g);
    EXPECT_TRUE(st == 0 || st == STATUS_EXISTS);
    if (!master.empty()) {
      EXPECT_TRUE(set_text(&s, master));
      EXPECT_EQ(group_set_master(g, &s), 0);
    }
    for (const auto& c : children) {
      EXPECT_TRUE(set_text(&s, c));
      EXPECT_EQ(group_add_file(g, &s), 0);
    }
    string_free(&s);
    return g;
  }

  void touch(const std::string& name) {
    fs::create_directories((dir / name).parent_path());
    std::ofstream(dir / name) << "audio";
  }

  // Absolute source and destination directories under the scratch dir.
  void paths(const std::string& src, const std::string& dst) {
    ASSERT_TRUE(set_text(&cfg.src_path, src.empty() ? "" : (dir / src).string()));
    ASSERT_TRUE(set_text(&cfg.dst_path, dst.empty() ? "" : (dir / dst).string()));
  }

  std::vector<std::string> planned() {
    std::vector<std::string> out;
    for (uint64_t i = 0; i < run_plan_output_count(&plan); ++i) out.push_back(utf8(run_plan_output(&plan, i)->path));
    return out;
  }

  // Builds and checks the plan; the status of the first that fails, and
  // what was printed on standard error.
  int build_and_check(std::string* err) {
    testing::internal::CaptureStderr();
    int st = run_plan_build(&plan, &cfg);
    if (st == 0) st = run_plan_check(&plan);
    *err = testing::internal::GetCapturedStderr();
    return st;
  }

  std::string d(const std::string& rel) { return (dir / rel).string(); }

  fs::path dir;
  ToolConfig cfg;
  RunPlan plan;
};

TEST_F(RunPlanTest, OutputsFollowThePipelineOrderAndFlags) {
  paths("in", "out");
  cfg.produce = PRODUCE_ALL;
  ASSERT_TRUE(set_text(&cfg.title, "${file_name} of ${group}"));
  Group* g = group("kit", "dir\\kit.wav", {"a/snare.wav", "tom.wav"});
  group("nomaster", "", {"x.wav"});   // no master: nothing
  group("lonely", "solo.wav", {});    // no children and "frm" wanted: only frm
  std::string err;
  ASSERT_EQ(build_and_check(&err), 0) << err;
  EXPECT_EQ(err, "");
  std::vector<std::string> out = planned();
  ASSERT_EQ(out.size(), 10u);
  EXPECT_THAT(out, testing::Contains(d("out/solo/solo - FR Master.wav")));
  const PlannedFile* frm = run_plan_find(&plan, g, 0, OUTPUT_FR_MASTER);
  ASSERT_NE(frm, nullptr);
  EXPECT_EQ(utf8(frm->path), d("out/kit/kit - FR Master.wav"));
  EXPECT_EQ(utf8(frm->source->path), d("in/dir/kit.wav"));
  const char* kinds[] = {"FR Child", "Raw IR", "IR", "processed"};
  for (uint64_t child = 1; child <= 2; ++child) {
    for (OutputKind k : {OUTPUT_FR_CHILD, OUTPUT_RAW_IR, OUTPUT_IR, OUTPUT_AUDIO}) {
      const PlannedFile* f = run_plan_find(&plan, g, child, k);
      ASSERT_NE(f, nullptr) << child << " " << k;
      std::string name = child == 1 ? "snare" : "tom";
      EXPECT_EQ(utf8(f->path), d("out/kit/" + name + " - " + kinds[k - 1] + ".wav"));
      EXPECT_EQ(utf8(f->source->path), d(child == 1 ? "in/a/snare.wav" : "in/tom.wav"));
      // The processed audio carries what its writer needs: the name that
      // seeds its dither (before the destination) and the evaluated tags.
      ASSERT_EQ(f->tags != nullptr, k == OUTPUT_AUDIO);
      if (!f->tags) continue;
      EXPECT_STREQ(f->tags->name, ("kit/" + name + " - processed.wav").c_str());
      EXPECT_STREQ(f->tags->title, (name + " of kit").c_str());
      EXPECT_EQ(f->tags->artist, nullptr);
    }
  }
  // Within the group: frm, then per child frc, raw, ir, audio.
  uint64_t first = 0;
  while (run_plan_output(&plan, first)->group != g) ++first;
  EXPECT_EQ(run_plan_output(&plan, first)->kind, OUTPUT_FR_MASTER);
  for (uint64_t i = 1; i < 9; ++i) {
    const PlannedFile* f = run_plan_output(&plan, first + i);
    EXPECT_EQ(f->child, (i - 1) / 4 + 1);
    EXPECT_EQ(f->kind, static_cast<OutputKind>((i - 1) % 4 + 1));
  }

  // Without "frm" a group without children contributes nothing; only the
  // requested kinds are planned.
  cfg.produce = PRODUCE_AUDIO | PRODUCE_RAW;
  ASSERT_EQ(build_and_check(&err), 0) << err;
  EXPECT_EQ(run_plan_output_count(&plan), 4u);
  EXPECT_EQ(run_plan_find(&plan, g, 1, OUTPUT_IR), nullptr);
  EXPECT_NE(run_plan_find(&plan, g, 2, OUTPUT_RAW_IR), nullptr);
  cfg.produce = 0;
  ASSERT_EQ(build_and_check(&err), 0) << err;
  EXPECT_EQ(run_plan_output_count(&plan), 0u);
  EXPECT_EQ(plan.inputs.count, 0u);
}

TEST_F(RunPlanTest, DryRunListingIsOnePathPerLine) {
  cfg.produce = PRODUCE_AUDIO | PRODUCE_FRM;
  ASSERT_TRUE(set_text(&cfg.dst_path, "out"));
  group("g", "m.wav", {"a.wav", "b.wav"});
  std::string err;
  ASSERT_EQ(build_and_check(&err), 0) << err;
  char* text = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&text, &size);
  ASSERT_NE(f, nullptr);
  run_plan_print(&plan, f);
  fclose(f);
  EXPECT_EQ(std::string(text, size),
            "out/m/m - FR Master.wav\nout/m/a - processed.wav\nout/m/b - processed.wav\n");
  free(text);
}

TEST_F(RunPlanTest, OutputNamedAfterItsOwnInput) {
  // -f '${file}' with the same source and destination directory.
  paths("d", "d");
  cfg.produce = PRODUCE_AUDIO;
  ASSERT_TRUE(set_text(&cfg.file, "${file}"));
  group("default", "m.wav", {"c.wav"});
  std::string err;
  // Whether the input exists (identity by inode) or not (by path).
  EXPECT_EQ(build_and_check(&err), STATUS_EXISTS);
  EXPECT_EQ(err, "  output '" + d("d/c.wav") + "' would overwrite input '" + d("d/c.wav") + "'\n");
  touch("d/m.wav");
  touch("d/c.wav");
  EXPECT_EQ(build_and_check(&err), STATUS_EXISTS);
  EXPECT_EQ(err, "  output '" + d("d/c.wav") + "' would overwrite input '" + d("d/c.wav") + "'\n");
  // -s d -d d -f '${master}': the master is replaced.
  ASSERT_TRUE(set_text(&cfg.file, "${master}"));
  EXPECT_EQ(build_and_check(&err), STATUS_EXISTS);
  EXPECT_EQ(err, "  output '" + d("d/m.wav") + "' would overwrite input '" + d("d/m.wav") + "'\n");
  // Another destination is safe.
  paths("d", "e");
  EXPECT_EQ(build_and_check(&err), 0) << err;
}

TEST_F(RunPlanTest, InputOfAnotherGroupIsProtectedToo) {
  paths("", "");
  cfg.produce = PRODUCE_FRM;
  ASSERT_TRUE(set_text(&cfg.ir.fr_master, d("other.wav")));
  group("one", d("m1.wav"), {});
  group("two", d("m2.wav"), {d("other.wav")});
  std::string err;
  EXPECT_EQ(build_and_check(&err), STATUS_EXISTS);
  // Both groups' frm outputs land on other.wav, an input of group two: each
  // is reported as overwriting it, not as a duplicate of the other.
  EXPECT_EQ(err, "  output '" + d("other.wav") + "' would overwrite input '" + d("other.wav") + "'\n" +
                     "  output '" + d("other.wav") + "' would overwrite input '" + d("other.wav") + "'\n");
}

TEST_F(RunPlanTest, ChildrenWithTheSameNameInDifferentFolders) {
  paths("", "out");
  cfg.produce = PRODUCE_AUDIO;
  group("default", "kit.wav", {"take1/snare.wav", "take2/snare.wav", "take3\\snare.wav"});
  std::string err;
  EXPECT_EQ(build_and_check(&err), STATUS_EXISTS);
  std::string target = d("out/kit/snare - processed.wav");
  EXPECT_EQ(err, "  outputs of 'take1/snare.wav' (audio) and 'take2/snare.wav' (audio) both resolve to '" + target +
                     "'\n  outputs of 'take1/snare.wav' (audio) and 'take3/snare.wav' (audio) both resolve to '" +
                     target + "'\n");
  // The directory of the name, or the position in the group, tells them apart.
  ASSERT_TRUE(set_text(&cfg.file, "${master_name}/${file_dir}/${file_name}.wav"));
  EXPECT_EQ(build_and_check(&err), 0) << err;
  EXPECT_EQ(planned(), (std::vector<std::string>{d("out/kit/take1/snare.wav"), d("out/kit/take2/snare.wav"),
                                                 d("out/kit/take3/snare.wav")}));
  ASSERT_TRUE(set_text(&cfg.file, "${file_index} ${file_name}.wav"));
  EXPECT_EQ(build_and_check(&err), 0) << err;
  EXPECT_EQ(planned(), (std::vector<std::string>{d("out/1 snare.wav"), d("out/2 snare.wav"), d("out/3 snare.wav")}));
}

TEST_F(RunPlanTest, TwoKindsOfOneChildOnOnePath) {
  paths("", "out");
  cfg.produce = PRODUCE_IR | PRODUCE_AUDIO | PRODUCE_FRM;
  ASSERT_TRUE(set_text(&cfg.ir.file, "same.wav"));
  ASSERT_TRUE(set_text(&cfg.file, "same.wav"));
  ASSERT_TRUE(set_text(&cfg.ir.fr_master, "fr.wav"));
  group("default", "m.wav", {"c.wav"});
  std::string err;
  EXPECT_EQ(build_and_check(&err), STATUS_EXISTS);
  EXPECT_EQ(err, "  outputs of 'c.wav' (ir) and 'c.wav' (audio) both resolve to '" + d("out/same.wav") + "'\n");
}

TEST_F(RunPlanTest, ConflictsOfAManyGroupPlanPairWithTheFirstFileOnTheirPath) {
  // 3000 groups whose outputs fall on 700 names, some of them inputs that
  // exist (compared by inode) or not (by path). The lines are those of a
  // plain reading of the plan: every output after the first file on its
  // path, input first, in the order of the outputs.
  paths("", "");
  cfg.produce = PRODUCE_AUDIO;
  ASSERT_TRUE(set_text(&cfg.file, d("${file_name}.wav")));
  for (int i = 0; i < 3000; ++i) {
    const std::string n = std::to_string(i);
    group("g" + n, d("m" + n + ".wav"), {d("t" + n + "/c" + std::to_string(i % 700) + ".wav")});
  }
  // Children whose outputs land on inputs: one that exists, one that does
  // not, and a master named again (two inputs on one path are no conflict).
  touch("c5.wav");
  group("g5", "", {d("c5.wav")});
  group("g6", "", {d("c6.wav")});
  group("g7", "", {d("m7.wav")});
  // A name longer than the plan's blocks of memory is held whole.
  const std::string long_name(20000, 'x');
  group("long", d("m.wav"), {d("t/" + long_name + ".wav")});
  std::string err;
  ASSERT_EQ(build_and_check(&err), STATUS_EXISTS);
  std::vector<std::string> out = planned();
  EXPECT_NE(std::find(out.begin(), out.end(), d(long_name + ".wav")), out.end());

  std::map<std::string, const PlannedFile*> first;
  for (uint64_t i = 0; i < plan.inputs.count; ++i) {
    const PlannedFile* in = static_cast<const PlannedFile*>(plan.inputs.items[i]);
    first.emplace(utf8(in->path), in);
  }
  std::string expected;
  uint64_t lines = 0;
  for (uint64_t i = 0; i < run_plan_output_count(&plan); ++i) {
    const PlannedFile* out = run_plan_output(&plan, i);
    auto [at, fresh] = first.emplace(utf8(out->path), out);
    if (fresh) continue;
    const PlannedFile* other = at->second;
    ++lines;
    if (!other->source)
      expected += "  output '" + utf8(out->path) + "' would overwrite input '" + utf8(other->path) + "'\n";
    else
      expected += "  outputs of '" + utf8(other->source->path) + "' (audio) and '" + utf8(out->source->path) +
                  "' (audio) both resolve to '" + utf8(out->path) + "'\n";
  }
  // 3004 outputs on 702 paths, three of them inputs.
  EXPECT_EQ(lines, 3004u - 702u + 3u);
  EXPECT_EQ(err, expected);
}

TEST_F(RunPlanTest, PathsAreComparedAfterResolution) {
  touch("in/m.wav");
  touch("in/c.wav");
  cfg.produce = PRODUCE_AUDIO;
  ASSERT_TRUE(set_text(&cfg.file, "${file}"));
  group("default", "m.wav", {"c.wav"});
  std::string err;
  // '..' through a directory that does not exist yet: resolved lexically,
  // as the directories will be created.
  paths("in", "new/deeper/../../in/./");
  EXPECT_EQ(build_and_check(&err), STATUS_EXISTS);
  EXPECT_THAT(err, HasSubstr("would overwrite input '" + d("in/c.wav") + "'"));
  // A symbolic link to the input directory.
  fs::create_directory_symlink(dir / "in", dir / "link");
  paths("in", "link");
  EXPECT_EQ(build_and_check(&err), STATUS_EXISTS);
  EXPECT_EQ(err, "  output '" + d("link/c.wav") + "' would overwrite input '" + d("in/c.wav") + "'\n");
  // '..' after a symbolic link is taken physically, as the system does:
  // hop/.. is deep (the parent of the link's target), so hop/../../in is
  // dir/in, where a lexical reading would leave dir.
  fs::create_directories(dir / "deep/x");
  fs::create_directory_symlink(dir / "deep/x", dir / "hop");
  paths("in", "hop/../../in");
  EXPECT_EQ(build_and_check(&err), STATUS_EXISTS);
  EXPECT_EQ(err, "  output '" + d("hop/../../in/c.wav") + "' would overwrite input '" + d("in/c.wav") + "'\n");
  // A hard link to the input, and a symbolic link to it as the output.
  ASSERT_EQ(link((dir / "in/c.wav").c_str(), (dir / "hard.wav").c_str()), 0);
  paths("in", "");
  ASSERT_TRUE(set_text(&cfg.file, d("hard.wav")));
  EXPECT_EQ(build_and_check(&err), STATUS_EXISTS);
  EXPECT_EQ(err, "  output '" + d("hard.wav") + "' would overwrite input '" + d("in/c.wav") + "'\n");
  fs::create_symlink(dir / "in/m.wav", dir / "soft.wav");
  ASSERT_TRUE(set_text(&cfg.file, d("soft.wav")));
  EXPECT_EQ(build_and_check(&err), STATUS_EXISTS);
  EXPECT_EQ(err, "  output '" + d("soft.wav") + "' would overwrite input '" + d("in/m.wav") + "'\n");
}

TEST_F(RunPlanTest, RelativeNamesResolveAgainstTheWorkingDirectory) {
  char* old = getcwd(nullptr, 0);
  ASSERT_NE(old, nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  touch("c.wav");
  cfg.produce = PRODUCE_AUDIO;
  ASSERT_TRUE(set_text(&cfg.file, d("c.wav")));  // absolute output, relative input
  group("default", "m.wav", {"./c.wav"});
  std::string err;
  int st = build_and_check(&err);
  EXPECT_EQ(chdir(old), 0);
  free(old);
  EXPECT_EQ(st, STATUS_EXISTS);
  EXPECT_EQ(err, "  output '" + d("c.wav") + "' would overwrite input './c.wav'\n");
}

TEST_F(RunPlanTest, TemplateErrorsComeFirstAndKeepTheOldPlan) {
  paths("", "out");
  cfg.produce = PRODUCE_AUDIO | PRODUCE_IR;
  group("default", "m.wav", {"c.wav"});
  std::string err;
  ASSERT_EQ(build_and_check(&err), 0);
  ASSERT_EQ(run_plan_output_count(&plan), 2u);
  struct Case {
    std::string templ, line;
  } cases[] = {
      {"${x", "  invalid expression: '${x'\n"},
      {"${nosuch}", "  could not evaluate expression: '${nosuch}'\n"},
      {"${file[2]}.wav", "  could not evaluate expression: '${file[2]}.wav'\n"},
      // Evaluated per child: only the second child's name fails.
      {"${(:file_index = 2) ? null : 'a.wav'}",
       "  could not evaluate expression: '${(:file_index = 2) ? null : 'a.wav'}'\n"},
  };
  group("default", "", {"d.wav"});
  for (const Case& c : cases) {
    ASSERT_TRUE(set_text(&cfg.ir.file, c.templ));
    EXPECT_EQ(build_and_check(&err), STATUS_BAD_FORMAT) << c.templ;
    EXPECT_EQ(err, c.line);
    EXPECT_EQ(run_plan_output_count(&plan), 2u);  // unchanged
  }
  EXPECT_EQ(planned(), (std::vector<std::string>{d("out/m/c - IR.wav"), d("out/m/c - processed.wav")}));
}

TEST_F(RunPlanTest, NulCharactersAreRefused) {
  paths("", "out");
  cfg.produce = PRODUCE_AUDIO;
  group("default", "m.wav", {"c.wav"});
  std::string err;
  // In the template's text, and so in its result.
  const uint32_t templ[] = {'a', 0, 'b', '.', 'w', 'a', 'v'};
  ASSERT_TRUE(string_assign_chars(&cfg.file, templ, 7));
  EXPECT_EQ(build_and_check(&err), STATUS_BAD_FORMAT);
  EXPECT_EQ(err, "  expression gives a name with a NUL character: 'a\\u0000b.wav'\n");
  // In an input name.
  ASSERT_TRUE(set_text(&cfg.file, "x.wav"));
  String name;
  string_init(&name);
  const uint32_t child[] = {'e', 0, '.', 'w', 'a', 'v'};
  ASSERT_TRUE(string_assign_chars(&name, child, 6));
  Group* g = group("default", "", {});
  ASSERT_EQ(group_add_file(g, &name), 0);
  string_free(&name);
  EXPECT_EQ(build_and_check(&err), STATUS_BAD_FORMAT);
  EXPECT_EQ(err, "  name contains a NUL character: 'e\\u0000.wav'\n");
  EXPECT_EQ(run_plan_output_count(&plan), 0u);
}

TEST_F(RunPlanTest, ExistenceOfPlannedOutputs) {
  paths("", "out");
  cfg.produce = PRODUCE_AUDIO | PRODUCE_IR | PRODUCE_FRM;
  Group* g = group("default", "m.wav", {"a.wav", "b.wav"});
  std::string err;
  ASSERT_EQ(build_and_check(&err), 0) << err;
  EXPECT_FALSE(run_plan_child_done(&plan, g, 1));
  touch("out/m/a - IR.wav");
  EXPECT_TRUE(run_plan_file_exists(run_plan_find(&plan, g, 1, OUTPUT_IR)));
  EXPECT_FALSE(run_plan_child_done(&plan, g, 1));
  touch("out/m/a - processed.wav");
  EXPECT_TRUE(run_plan_child_done(&plan, g, 1));
  EXPECT_FALSE(run_plan_child_done(&plan, g, 2));
  EXPECT_FALSE(run_plan_file_exists(run_plan_find(&plan, g, 0, OUTPUT_FR_MASTER)));
  // A child without outputs of its own (only "frm") is never done.
  cfg.produce = PRODUCE_FRM;
  ASSERT_EQ(build_and_check(&err), 0) << err;
  EXPECT_FALSE(run_plan_child_done(&plan, g, 1));
}

TEST_F(RunPlanTest, ExtraInputsAreProtected) {
  paths("", "");
  cfg.produce = PRODUCE_AUDIO;
  ASSERT_TRUE(set_text(&cfg.file, d("run.json5")));
  group("default", d("m.wav"), {d("c.wav")});
  std::string err;
  ASSERT_EQ(build_and_check(&err), 0) << err;
  String config;
  string_init(&config);
  ASSERT_TRUE(set_text(&config, d("run.json5")));
  ASSERT_EQ(run_plan_add_input(&plan, &config), 0);
  string_free(&config);
  testing::internal::CaptureStderr();
  EXPECT_EQ(run_plan_check(&plan), STATUS_EXISTS);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "  output '" + d("run.json5") + "' would overwrite input '" + d("run.json5") + "'\n");
}

TEST_F(RunPlanTest, PreflightKeepsEveryInputsHeader) {
  fs::create_directories(dir / "in/sub");
  for (auto [name, rate, channels, frames] : {std::tuple{"kit.wav", 48000, 2, 480}, std::tuple{"a.wav", 44100, 1, 441}}) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open((dir / "in" / name).c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    std::vector<short> zero(static_cast<size_t>(channels * frames));
    EXPECT_EQ(sf_writef_short(f, zero.data(), frames), frames);
    sf_close(f);
  }
  touch("in/junk.wav");
  paths("in", "out");
  cfg.produce = PRODUCE_AUDIO;
  ASSERT_TRUE(set_text(&cfg.file, "${group}/${file_name}.wav"));
  // One master for two groups, one child under two spellings.
  group("kit", "kit.wav", {"a.wav", "gone.wav", "junk.wav"});
  group("vox", "kit.wav", {"sub/../a.wav"});
  struct Expected {
    const char* path;
    int status;
    uint64_t rate, channels, frames;
    const char* cause;
  } const expected[] = {
      {"in/kit.wav", 0, 48000, 2, 480, nullptr},
      {"in/a.wav", 0, 44100, 1, 441, nullptr},
      {"in/gone.wav", STATUS_NOT_FOUND, 0, 0, 0, "No such file or directory"},
      {"in/junk.wav", STATUS_BAD_FORMAT, 0, 0, 0, "Format not recognised."},
      {"in/sub/../a.wav", 0, 44100, 1, 441, nullptr},
  };
  // Going on, the run meets the bad inputs itself: nothing is said here.
  cfg.keep_going = true;
  ASSERT_EQ(run_plan_build(&plan, &cfg), 0);
  // A plan keeps no headers until the preflight asks them.
  ASSERT_EQ(plan.inputs.count, 6u);
  EXPECT_EQ(run_plan_header(&plan, static_cast<const PlannedFile*>(plan.inputs.items[0])), nullptr);
  int kept_going = -1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(run_preflight(&plan, &cfg, nullptr, &kept_going), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(kept_going, 0);
  for (uint64_t i = 0; i < plan.inputs.count; ++i) {
    const PlannedFile* in = static_cast<const PlannedFile*>(plan.inputs.items[i]);
    const Expected* e = nullptr;
    for (const Expected& x : expected)
      if (utf8(in->path) == d(x.path)) e = &x;
    ASSERT_NE(e, nullptr) << utf8(in->path);
    SCOPED_TRACE(e->path);
    const InputHeader* h = run_plan_header(&plan, in);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(h->checked);
    EXPECT_EQ(h->status, e->status);
    EXPECT_EQ(h->rate, e->rate);
    EXPECT_EQ(h->channels, e->channels);
    EXPECT_EQ(h->frames, e->frames);
    EXPECT_EQ(h->cause ? std::string(h->cause) : "", e->cause ? e->cause : "");
  }
  // Outputs have no header.
  EXPECT_EQ(run_plan_header(&plan, run_plan_output(&plan, 0)), nullptr);
  // Without going on, the first bad input in the run's order ends it with
  // the lines of its load.
  cfg.keep_going = false;
  testing::internal::CaptureStderr();
  EXPECT_EQ(run_preflight(&plan, &cfg, nullptr, &kept_going), STATUS_NOT_FOUND);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "  could not read file '" + d("in/gone.wav") + "', error code: 6\n  No such file or directory\n");
  // A plan made again drops the headers of the inputs it had.
  ASSERT_EQ(run_plan_build(&plan, &cfg), 0);
  EXPECT_EQ(plan.headers, nullptr);
  EXPECT_EQ(run_plan_header(&plan, static_cast<const PlannedFile*>(plan.inputs.items[0])), nullptr);
  // Skipping what is made: kit's a.wav, whose output is there, is not
  // opened; vox's spelling of it is, by itself.
  touch("out/kit/a.wav");
  cfg.skip_existing = true;
  ASSERT_EQ(run_plan_build(&plan, &cfg), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(run_preflight(&plan, &cfg, nullptr, &kept_going), STATUS_NOT_FOUND);
  testing::internal::GetCapturedStderr();
  for (uint64_t i = 0; i < plan.inputs.count; ++i) {
    const PlannedFile* in = static_cast<const PlannedFile*>(plan.inputs.items[i]);
    SCOPED_TRACE(utf8(in->path));
    const InputHeader* h = run_plan_header(&plan, in);
    ASSERT_NE(h, nullptr);
    const bool kept = utf8(in->path) == d("in/a.wav");
    EXPECT_EQ(h->checked, !kept);
    if (utf8(in->path) == d("in/sub/../a.wav")) {
      EXPECT_EQ(h->rate, 44100u);
    }
  }
  cfg.skip_existing = false;
  // Every allocation may fail: 5 or done, nothing leaked. The master's
  // header is read ahead, as for a run at its masters' rates.
  cfg.keep_going = true;
  String master;
  string_init(&master);
  ASSERT_TRUE(set_text(&master, "kit.wav"));
  testing::internal::CaptureStderr();
  for_each_alloc_failure([&] {
    RunPlan p;
    run_plan_init(&p);
    HeaderCache known;
    header_cache_init(&known);
    const InputHeader* kit = nullptr;
    int st = header_cache_read(&known, &cfg, &master, &kit);
    if (st == 0) {
      EXPECT_EQ(kit->channels, 2u);
    }
    // (A template's evaluation that runs out of memory fails as the template.)
    if (st == 0 && run_plan_build(&p, &cfg) == 0) {
      int going = 0;
      st = run_preflight(&p, &cfg, &known, &going);
      EXPECT_TRUE(st == 0 || st == STATUS_NO_MEMORY) << st;
    }
    if (!alloc_failure_hit()) {
      EXPECT_EQ(st, 0);
      const InputHeader* h = run_plan_header(&p, static_cast<const PlannedFile*>(p.inputs.items[0]));
      ASSERT_NE(h, nullptr);
      EXPECT_EQ(h->status, 0);
      EXPECT_TRUE(h->checked);
    }
    header_cache_release(&known);
    run_plan_release(&p);
  });
  testing::internal::GetCapturedStderr();
  string_free(&master);
}

TEST_F(RunPlanTest, AllocationFailuresLeakNothing) {
  paths("in", "out");
  cfg.produce = PRODUCE_ALL;
  ASSERT_TRUE(set_text(&cfg.file, "same.wav"));
  ASSERT_TRUE(set_text(&cfg.ir.file, "same.wav"));
  // Tag templates are evaluated at planning too.
  ASSERT_TRUE(set_text(&cfg.title, "${file_name} take"));
  ASSERT_TRUE(set_text(&cfg.artist, "${master_name}"));
  group("kit", "kit.wav", {"a.wav", "b.wav"});
  group("vox", "lead.wav", {"dbl.wav"});
  testing::internal::CaptureStderr();
  for_each_alloc_failure([&] {
    RunPlan p;
    run_plan_init(&p);
    int st = run_plan_build(&p, &cfg);
    if (st != 0) {
      EXPECT_EQ(run_plan_output_count(&p), 0u);
    }
    if (st == 0) {
      // Records, as -se plans them, are added whole or not at all.
      st = run_plan_add_records(&p, &cfg, nullptr);
      EXPECT_EQ(p.records.count, st == 0 ? run_plan_output_count(&p) : 0u);
    }
    if (st == 0) {
      st = run_plan_check(&p);
      EXPECT_TRUE(st == STATUS_EXISTS || st == STATUS_NO_MEMORY) << st;
    }
    if (!alloc_failure_hit()) {
      EXPECT_EQ(st, STATUS_EXISTS);
    }
    run_plan_release(&p);
  });
  testing::internal::GetCapturedStderr();
}

}  // namespace
