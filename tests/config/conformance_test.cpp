// Runs every case of the two public JSON / JSON5 suites kept in the shared
// conformance folder through the document reader at levels 4999 and 5000
// and checks the outcome against expected.tsv, except for the few rows
// where the reader now deliberately answers otherwise (kDepartures).

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/document_reader.h"
#include "runtime/char_reader.h"
#include "runtime/file_reader.h"
#include "runtime/status.h"

namespace {

struct Outcome {
  bool accepted;
  int status;
};

// The file decoded as UTF-8 through a marking input, as the configuration
// loader reads; next-event until non-zero; accepted when that is 25 after at
// least one event with every container closed.
Outcome run_case(const std::string& path, int32_t level) {
  FileReader file;
  int st = file.open(path.c_str(), "UTF-8");
  if (st != 0) return Outcome{false, -1000 - st};
  MarkingReader input;
  if (input.attach(&file, false) != 0 || input.mark(4096) != 0) return Outcome{false, -1};
  DocumentReader r;
  document_reader_init(&r);
  st = document_reader_open(&r, &input, level, 0);
  uint64_t events = 0;
  while (st == 0) {
    st = document_reader_next(&r, nullptr);
    if (st == 0) ++events;
  }
  bool closed = r.state == DOC_STATE_TOP && r.stack.count == 0;
  Outcome o{st == STATUS_END_OF_STREAM && events > 0 && closed, st};
  document_reader_release(&r);
  (void)input.close();
  (void)file.close();
  return o;
}

std::string conformance_dir() {
  if (const char* d = std::getenv("CONFORMANCE_DIR")) return d;
  if (const char* s = std::getenv("TIMBRAL_SOURCE_DIR")) return std::string(s) + "/../shared/conformance";
  return "../shared/conformance";
}

bool read_file(const std::string& path, std::string* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream ss;
  ss << f.rdbuf();
  *out = ss.str();
  return true;
}

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> cols;
  std::string cur;
  for (char c : line) {
    if (c == '\t') {
      cols.push_back(cur);
      cur.clear();
    } else if (c != '\r') {
      cur += c;
    }
  }
  cols.push_back(cur);
  return cols;
}

// One expectation: "accept", "reject" or "either" with a status that is a
// number, "-" or "either".
void check(const std::string& path, int32_t level, const std::string& verdict, const std::string& status,
           const Outcome& got, int* mismatches) {
  bool ok = true;
  if (verdict == "accept") {
    ok = got.accepted;
  } else if (verdict == "reject") {
    ok = !got.accepted && (status == "either" || status == std::to_string(got.status));
  } else if (verdict == "either") {
    ok = got.accepted || status == std::to_string(got.status);
  }
  if (!ok) {
    ++*mismatches;
    ADD_FAILURE() << path << " at level " << level << ": expected " << verdict << " " << status << ", got "
                  << (got.accepted ? "accept" : "reject") << " " << got.status;
  }
}

// Rows of expected.tsv that the reader answers differently on purpose, each
// now agreeing with the suite's own verdict:
// - any identifier name, reserved words and null among them, is a valid
//   unquoted property name in JSON5;
// - a block comment that never ends after the root value is not the end of
//   the document but text after it.
struct Departure {
  const char* path;
  int32_t level;
  const char* verdict;
  const char* status;
};
const Departure kDepartures[] = {
    {"jsontestsuite/n_object_repeated_null_null.json", 5000, "accept", "-"},
    {"json5-tests/misc/readme-example.json5", 5000, "accept", "-"},
    {"json5-tests/objects/reserved-unquoted-key.json5", 5000, "accept", "-"},
    {"json5-tests/comments/unterminated-block-comment.txt", 5000, "reject", "55"},
};

// The expectation for `path` at `level`: the table's, or a departure's.
void expectation(const std::string& path, int32_t level, std::string* verdict, std::string* status,
                 int* departures_used) {
  for (const Departure& d : kDepartures) {
    if (path == d.path && level == d.level) {
      *verdict = d.verdict;
      *status = d.status;
      ++*departures_used;
    }
  }
}

TEST(Conformance, EveryCaseMatchesTheTable) {
  std::string dir = conformance_dir();
  std::string table;
  if (!read_file(dir + "/expected.tsv", &table)) GTEST_SKIP() << "no conformance data under " << dir;
  std::istringstream lines(table);
  std::string line;
  std::getline(lines, line);  // header
  int cases = 0, mismatches = 0, suites_seen[2] = {0, 0}, departures_used = 0;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    std::vector<std::string> c = split_tabs(line);
    ASSERT_GE(c.size(), 6u) << line;
    std::string path = dir + "/" + c[1];
    ++suites_seen[c[0] == "json5-tests" ? 1 : 0];
    for (int32_t level : {4999, 5000}) {
      std::string verdict = c[level == 4999 ? 2 : 3], status = c[level == 4999 ? 4 : 5];
      expectation(c[1], level, &verdict, &status, &departures_used);
      check(c[1], level, verdict, status, run_case(path, level), &mismatches);
    }
    ++cases;
  }
  // Every departure names a row that exists.
  EXPECT_EQ(departures_used, static_cast<int>(sizeof kDepartures / sizeof kDepartures[0]));
  EXPECT_EQ(cases, 431);
  EXPECT_EQ(suites_seen[0], 318);
  EXPECT_EQ(suites_seen[1], 113);
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
