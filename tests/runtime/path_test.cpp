#include "runtime/path.h"

#include <string>

#include <gtest/gtest.h>

#include "runtime/alloc.h"
#include "runtime/status.h"
#include "runtime/string.h"
#include "tests/support/alloc_fail.h"

namespace {

struct Str {
  String s;
  explicit Str(const char* text = "") {
    string_init(&s);
    EXPECT_TRUE(string_from_utf8(&s, text, std::string(text).size()));
  }
  ~Str() { string_free(&s); }
  std::string text() { return string_to_utf8(&s); }
};

std::string normalized(const char* text) {
  Str p(text);
  EXPECT_EQ(path_normalize(&p.s), 0);
  return p.text();
}

}  // namespace

TEST(Path, SetAppendResolve) {
  Str p;
  ASSERT_EQ(path_set(&p.s, "a\\b\\c"), 0);
  EXPECT_EQ(p.text(), "a/b/c");
  EXPECT_EQ(path_set(&p.s, static_cast<const char*>(nullptr)), STATUS_BAD_ARGUMENT);

  Str a("a"), slashed("a/"), empty, b("b"), abs("/b"), back("x\\y");
  ASSERT_EQ(path_append(&a.s, &b.s), 0);
  EXPECT_EQ(a.text(), "a/b");
  ASSERT_EQ(path_append(&slashed.s, &b.s), 0);
  EXPECT_EQ(slashed.text(), "a/b");
  ASSERT_EQ(path_append(&empty.s, &b.s), 0);
  EXPECT_EQ(empty.text(), "b");
  EXPECT_EQ(path_append(&a.s, &abs.s), STATUS_BAD_VALUE);
  EXPECT_EQ(path_append(&a.s, ""), 0);
  EXPECT_EQ(a.text(), "a/b");
  ASSERT_EQ(path_append(&a.s, &back.s), 0);
  EXPECT_EQ(a.text(), "a/b/x/y");

  Str dir("out\\sub"), name("n.wav"), none;
  ASSERT_EQ(path_resolve(&dir.s, &dir.s, &name.s), 0);  // aliasing result and input
  EXPECT_EQ(dir.text(), "out/sub/n.wav");
  Str r("keep");
  ASSERT_EQ(path_resolve(&r.s, &none.s, &name.s), 0);
  EXPECT_EQ(r.text(), "n.wav");
  Str r2("keep");
  EXPECT_EQ(path_resolve(&r2.s, &name.s, &abs.s), STATUS_BAD_VALUE);
  EXPECT_EQ(r2.text(), "keep");
  EXPECT_TRUE(path_is_absolute(&abs.s));
  EXPECT_FALSE(path_is_absolute(&none.s));
}

TEST(Path, Parts) {
  struct Case {
    const char* path;
    const char* file;
    const char* ext;
    const char* stem;
  } cases[] = {
      {"dir/archive.tar.gz", "archive.tar.gz", "gz", "archive.tar"},
      {"dir.d/file", "file", "", "file"},
      {".profile", ".profile", "profile", ""},
      {"name.", "name.", "", "name"},
  };
  for (const Case& c : cases) {
    Str p(c.path), out("old");
    ASSERT_EQ(path_file_part(&p.s, &out.s), 0);
    EXPECT_EQ(out.text(), c.file) << c.path;
    ASSERT_EQ(path_extension(&p.s, &out.s), 0);
    EXPECT_EQ(out.text(), c.ext) << c.path;
    ASSERT_EQ(path_stem(&p.s, &out.s), 0);
    EXPECT_EQ(out.text(), c.stem) << c.path;
  }
  Str out("old"), p1("out/x.wav"), p2("x.wav"), p3("/"), p4("/x.wav");
  ASSERT_EQ(path_parent(&p1.s, &out.s), 0);
  EXPECT_EQ(out.text(), "out");
  EXPECT_EQ(path_parent(&p2.s, &out.s), STATUS_NOT_FOUND);
  EXPECT_EQ(path_parent(&p3.s, &out.s), STATUS_NOT_FOUND);
  EXPECT_EQ(out.text(), "out");
  ASSERT_EQ(path_parent(&p4.s, &out.s), 0);
  EXPECT_EQ(out.text(), "");
}

TEST(Path, Normalize) {
  EXPECT_EQ(normalized("a//b/./c/../d/"), "a/b/d");
  EXPECT_EQ(normalized("/../x"), "/x");
  EXPECT_EQ(normalized("Vol./x"), "Vol./x");
  EXPECT_EQ(normalized("a.b/name./x..y"), "a.b/name./x..y");
  EXPECT_EQ(normalized("/"), "/");
  EXPECT_EQ(normalized("///"), "/");
  EXPECT_EQ(normalized(""), "");
  EXPECT_EQ(normalized("./"), "");
  EXPECT_EQ(normalized("../../a"), "a");
  EXPECT_EQ(normalized("a/b/../../../c"), "c");
  EXPECT_EQ(normalized("a/b/.."), "a/b");  // a final ".." is only dropped
  EXPECT_EQ(normalized("a/b/../"), "a");
  EXPECT_EQ(normalized("/a/./."), "/a");
}

TEST(Path, ResolveUnderAllocationFailure) {
  Str dir("some\\dir"), name("file.wav"), result("previous");
  // Encode once so that the conversion caches exist before counting blocks.
  EXPECT_EQ(result.text(), "previous");
  EXPECT_EQ(dir.text(), "some\\dir");
  uint64_t live = alloc_live();
  for (uint64_t k = 1;; ++k) {
    alloc_fail_after(k, false);
    uint64_t failures = alloc_failures();
    int st = path_resolve(&result.s, &dir.s, &name.s);
    bool hit = alloc_failures() != failures;
    alloc_fail_off();
    if (!hit) {
      ASSERT_EQ(st, 0);
      EXPECT_EQ(result.text(), "some/dir/file.wav");
      break;
    }
    EXPECT_EQ(st, STATUS_NO_MEMORY) << k;
    EXPECT_EQ(result.text(), "previous") << k;
    EXPECT_EQ(dir.text(), "some\\dir");
    EXPECT_EQ(alloc_live(), live) << k;
    ASSERT_LT(k, 50u);
  }
}
