// Runs every case of the two public JSON / JSON5 suites kept in the shared
// conformance folder through the document reader at levels 4999 and 5000
// and checks the outcome against expected.tsv.

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

TEST(Conformance, EveryCaseMatchesTheTable) {
  std::string dir = conformance_dir();
  std::string table;
  if (!read_file(dir + "/expected.tsv", &table)) GTEST_SKIP() << "no conformance data under " << dir;
  std::istringstream lines(table);
  std::string line;
  std::getline(lines, line);  // header
  int cases = 0, mismatches = 0, suites_seen[2] = {0, 0};
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    std::vector<std::string> c = split_tabs(line);
    ASSERT_GE(c.size(), 6u) << line;
    std::string path = dir + "/" + c[1];
    ++suites_seen[c[0] == "json5-tests" ? 1 : 0];
    check(c[1], 4999, c[2], c[4], run_case(path, 4999), &mismatches);
    check(c[1], 5000, c[3], c[5], run_case(path, 5000), &mismatches);
    ++cases;
  }
  EXPECT_EQ(cases, 431);
  EXPECT_EQ(suites_seen[0], 318);
  EXPECT_EQ(suites_seen[1], 113);
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
