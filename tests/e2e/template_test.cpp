// Output-name templates as a user writes them: every pattern variable,
// expressions over them, indexed references, values without text, bad
// templates, and the directories that the names lead into.

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;
using e2e::E2ETest;
using testing::HasSubstr;

namespace {

using Files = std::vector<std::string>;

// Short mono inputs at 44100 Hz; the runs keep that rate, so nothing is
// resampled and every run stays quick.
class Template : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    fs::create_directories(dir / "in");
    write("in/kit.wav", e2e::noise(44100, 1, 3000, 11));
    write("in/b.x.wav", e2e::noise(44100, 1, 3000, 12, 0.6));
  }

  // One group of in/kit.wav and in/b.x.wav whose processed audio is named
  // by `templ`.
  e2e::ToolRun run_audio(const std::string& templ) {
    return run({"-sr", "44100", "-mf", "in/kit.wav", "-cf", "in/b.x.wav", "-f", templ});
  }

  // The files written outside in/.
  Files outputs() {
    Files all = e2e::list_files(dir), out;
    for (const auto& f : all)
      if (f.rfind("in/", 0) != 0) out.push_back(f);
    return out;
  }

  void clear_outputs() {
    for (const auto& e : fs::directory_iterator(dir))
      if (e.path().filename() != "in") fs::remove_all(e.path());
  }
};

TEST_F(Template, EveryPatternVariable) {
  write("in/take.one.wav", e2e::noise(44100, 1, 3000, 13, 0.3));
  write("in/noext", e2e::noise(44100, 1, 3000, 14, 0.8));
  write("in/.hidden", e2e::noise(44100, 1, 3000, 15, 0.9));
  const std::string all = "${group}+${master}+${master_name}+${master_ext}+${file}+${file_name}+${file_ext}+${srate}.out";
  // Backslashes in the input names are separators; the names are split as
  // given, not as resolved against the source directory.
  auto r = run({"-sr", "44100", "-g", "g", "-s", ".", "-mf", "in\\kit.wav", "-cf", "in/take.one.wav", "-cf", "in\\noext",
                "-cf", "in/.hidden", "-f", all, "-frm", "frm/" + all});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string master = "g+kit.wav+kit+wav+";
  EXPECT_EQ(outputs(), (Files{"frm/" + master + "kit.wav+kit+wav+44100.out", master + ".hidden++hidden+44100.out",
                              master + "noext+noext++44100.out", master + "take.one.wav+take.one+wav+44100.out"}));
  EXPECT_THAT(r.out, HasSubstr("  loaded file: './in/kit.wav', channels: 1, samples: 3000, sample rate: 44100, duration: 00:00:00.068\n"));
  // The master's response comes first, then the children in their order.
  size_t frm = r.out.find("saved file: 'frm/"), take = r.out.find("+take.one.wav+"), noext = r.out.find("+noext+"),
         hidden = r.out.find("+.hidden+");
  ASSERT_NE(hidden, std::string::npos) << r.out;
  EXPECT_LT(frm, take);
  EXPECT_LT(take, noext);
  EXPECT_LT(noext, hidden);
  // Whatever the extension, an output is a 32-bit float WAV at the run's rate.
  auto a = e2e::read_wav(dir / (master + "noext+noext++44100.out"));
  EXPECT_EQ(a.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_EQ(a.rate, 44100);
  EXPECT_EQ(a.frames(), 3000u + 4096u);
}

TEST_F(Template, ExpressionsBecomeNames) {
  struct Case {
    std::string templ, file;
  } cases[] = {
      {"${master_name}-${file_name}.${file_ext}", "kit-b.x.wav"},
      {"Price $$5 a$b ${ file_name }.wav", "Price $5 a$b b.x.wav"},
      {"${:file_name scat '-' scat :group}.wav", "b.x-default.wav"},
      {"${(:srate = 44100) ? 'cd' : 'hires'}/${file}", "cd/b.x.wav"},
      {"${(:file_ext = 'flac') ? 'lossless/' : ''}${file_name}.wav", "b.x.wav"},
      {"${:srate / 1000}k ${slen :file_name} ${srev :file_name} ${'ab' srep 2}.wav", "44k 3 x.b ababab.wav"},
      {"${UC :file_name}_${lc 'HZ'}", "B.X_hz"},
      // Two-operand operators group from the right.
      {"${:srate - 100 - 1}", "44001"},
      {"${(:srate idiv 100) % 10}", "1"},
      {"${'it\\'s'}.wav", "it's.wav"},
      // A value that is not a string is turned into its text.
      {"${:srate / 1000.0}", "44.100000"},
      {"${true}", "true"},
      {"${ex :nosuch}", "false"},
      // Undefined and null values inside longer text join as words;
      // variable names are case-sensitive.
      {"${FILE_NAME}.wav", "undef.wav"},
      {"${null}.wav", "null.wav"},
      {"${nosuch}${nosuch}", "undefundef"},
  };
  for (const auto& c : cases) {
    auto r = run_audio(c.templ);
    EXPECT_EQ(r.status, 0) << c.templ << "\n" << r.err;
    EXPECT_EQ(outputs(), Files{c.file}) << c.templ;
    EXPECT_THAT(r.out, HasSubstr("  saved file: '" + c.file + "', channels: 1, samples: 7096, sample rate: 44100")) << c.templ;
    clear_outputs();
  }
}

TEST_F(Template, BooleansCompareWithNumbersAsZeroAndOne) {
  auto r = run_audio("${true = 1.0}-${true > 0.5}-${false < 0.5}-${true = 1}-${false = 0.0}.wav");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(outputs(), Files{"true-true-true-true-true.wav"});
}

TEST_F(Template, NameWithANulCharacterIsRefused) {
  // A NUL would cut the name short: 'a' would be written instead.
  write_text("run.json5", "{ srate: 44100, produce: ['audio'], file: 'a\\u0000b.wav',"
                          " groups: { g: { master: 'in/kit.wav', files: ['in/b.x.wav'] } } }");
  auto r = run({"-c", "run.json5"});
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.err, "  expression gives a name with a NUL character: 'a\\u0000b.wav'\n");
  EXPECT_EQ(outputs(), Files{"run.json5"});
}

TEST_F(Template, ValuesWithoutText) {
  // A template that is one expression whose value is undef or null names
  // nothing: reported like any other evaluation failure.
  for (std::string templ : {"${nosuch}", "${ nosuch }", "${:nosuch}", "${null}", "${undef}", "${str :nosuch}",
                            "${(:nosuch) ? 'a' : 'b'}"}) {
    auto r = run_audio(templ);
    EXPECT_EQ(r.status, 7) << templ;
    EXPECT_EQ(r.err, "  could not evaluate expression: '" + templ + "'\n");
    EXPECT_EQ(outputs(), Files{}) << templ;
  }
}

TEST_F(Template, IndexedReferencesFindNoPatternVariable) {
  // name[i] looks up name_i, which none of the pattern variables is; a
  // failed indexed lookup is an error, not undef (an undef index counts as 0).
  for (std::string templ : {"${file[2]}", "${master[0]}.wav", "x${master_name[-1]}", "${master_ext[1]}", "${file_ext[1][2]}",
                            "${file_name[:nosuch]}", "${file[i]}", "${srate[0]}Hz", "${group[1]}/a.wav",
                            "${:file_name[1 + 1]}", "${ex :file[1]}"}) {
    auto r = run_audio(templ);
    EXPECT_EQ(r.status, 7) << templ;
    EXPECT_EQ(r.err, "  could not evaluate expression: '" + templ + "'\n");
    EXPECT_EQ(outputs(), Files{}) << templ;
  }
}

TEST_F(Template, InvalidTemplates) {
  // Outside an index a bare name is a variable only when it is all that
  // stands in the braces; inside an expression variables take a colon.
  for (std::string templ : {"a$", "${}", "${file_name", "${x y}", "${'open}", "${uc file_name}.wav", "${srate + 1}.wav",
                            "${:srate ? 1}", "${file[1}"}) {
    auto r = run_audio(templ);
    EXPECT_EQ(r.status, 7) << templ;
    EXPECT_EQ(r.err, "  invalid expression: '" + templ + "'\n");
    EXPECT_EQ(outputs(), Files{}) << templ;
  }
}

TEST_F(Template, FailingTemplateEndsTheRun) {
  write("in/c.wav", e2e::noise(44100, 1, 3000, 16, 0.2));
  auto r = run({"-sr", "44100", "-mf", "in/kit.wav", "-cf", "in/b.x.wav", "-cf", "in/c.wav", "-p", "all", "-f", "${file[1]}"});
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.err, "  could not evaluate expression: '${file[1]}'\n");
  // Every name is worked out before any file is read: nothing is written
  // and no input is loaded.
  EXPECT_EQ(outputs(), Files{});
  EXPECT_THAT(r.out, testing::Not(HasSubstr("loaded file")));
}

TEST_F(Template, DirectoriesFromNames) {
  auto r = run({"-sr", "44100", "-d", "out/deep", "-mf", "in/kit.wav", "-cf", "in/b.x.wav", "-f",
                "${group}/${master_name}/${srate}/${file_name}.wav", "-ir", "${'ir\\\\' scat :file_ext}/${file}"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(outputs(), (Files{"out/deep/default/kit/44100/b.x.wav", "out/deep/ir/wav/b.x.wav"}));
  EXPECT_THAT(r.out, HasSubstr("  saved file: 'out/deep/default/kit/44100/b.x.wav', channels: 1, samples: 7096"));
  // A backslash that an expression yields is a separator too.
  EXPECT_THAT(r.out, HasSubstr("  saved file: 'out/deep/ir/wav/b.x.wav', channels: 1, samples: 4096"));
  clear_outputs();

  // ".." stays in the name and may lead out of the destination directory.
  fs::create_directories(dir / "out");
  r = run({"-sr", "44100", "-d", "out", "-mf", "in/kit.wav", "-cf", "in/b.x.wav", "-f", "../shared/${file}"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("  saved file: 'out/../shared/b.x.wav'"));
  EXPECT_EQ(outputs(), Files{"shared/b.x.wav"});
  clear_outputs();

  // Under a destination that does not exist the directories are made as
  // the name gives them, ".." kept: none/ first, then shared/ beside it.
  r = run({"-sr", "44100", "-d", "none", "-mf", "in/kit.wav", "-cf", "in/b.x.wav", "-f", "../shared/${file}"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("  saved file: 'none/../shared/b.x.wav'"));
  EXPECT_EQ(outputs(), Files{"shared/b.x.wav"});
  EXPECT_TRUE(fs::is_directory(dir / "none"));
  EXPECT_TRUE(fs::is_empty(dir / "none"));
  EXPECT_FALSE(fs::exists(dir / "in/shared"));
}

TEST_F(Template, OneNameForEveryChildIsRefused) {
  // Two children whose outputs would land on one file: the run is refused
  // before anything is read or written.
  write("in/short.wav", e2e::noise(44100, 1, 1000, 17, 0.4));
  auto r = run({"-sr", "44100", "-m", "true", "-mf", "in/kit.wav", "-cf", "in/b.x.wav", "-cf", "in/short.wav", "-f",
                "${master_name}.wav"});
  EXPECT_EQ(r.status, 17);
  EXPECT_EQ(r.err, "  outputs of 'in/b.x.wav' (audio) and 'in/short.wav' (audio) both resolve to 'kit.wav'\n");
  EXPECT_THAT(r.out, testing::Not(HasSubstr("loaded file")));
  EXPECT_EQ(outputs(), Files{});
}

TEST_F(Template, TemplatesFromTheConfigurationFile) {
  write("in/c.wav", e2e::noise(44100, 1, 3000, 18, 0.2));
  write_text("run.json5", R"({
    srate: 44100, src_path: 'in', dst_path: 'out',
    produce: ['audio', 'ir', 'raw'],
    file: '${group}/${file_name}.wav',
    ir: { file: "${group}/ir/${file_name} ${slen :file}.wav", raw: 'raw\\${group}-${file_name}.wav' },
    groups: { one: { master: 'kit.wav', files: ['b.x.wav'] }, two: { master: 'kit.wav', files: ['c.wav'] } },
  })");
  auto r = run({"-c", "run.json5"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(outputs(), (Files{"out/one/b.x.wav", "out/one/ir/b.x 7.wav", "out/raw/one-b.x.wav", "out/raw/two-c.wav",
                              "out/two/c.wav", "out/two/ir/c 5.wav", "run.json5"}));
  // A bad template in the file is reported before any group is processed.
  write_text("bad.json5", R"({ srate: 44100, src_path: 'in', produce: ['audio'], file: '${file_name',
    groups: { one: { master: 'kit.wav', files: ['b.x.wav'] } } })");
  r = run({"-c", "bad.json5"});
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.err, "  invalid expression: '${file_name'\n");
  EXPECT_THAT(r.out, testing::Not(HasSubstr("processing group")));
}

}  // namespace
