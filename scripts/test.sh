#!/usr/bin/env bash
# Installs what is missing, builds the Release and the sanitizer builds, runs
# every test of both and ends with one line "N passed, M skipped, K failed"
# (a skipped test says why in the log).
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

"$root/scripts/deps.sh" --tests || { echo "dependency installation failed"; exit 1; }

# An ISO-8859-1 locale lets the configuration tests read a Latin-1 file.
if ! locale -a 2>/dev/null | grep -qi '^en_US\.iso88591$'; then
  if [ -f /usr/share/i18n/locales/en_US ]; then
    sudo_cmd=(); [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" localedef -i en_US -f ISO-8859-1 en_US.ISO-8859-1 >/dev/null 2>&1 || true
  fi
fi

jobs=$(nproc 2>/dev/null || echo 2)
passed=0
failed=0
skipped=0
status=0

run_build() {
  local name=$1; shift
  local dir="$root/build/$name"
  echo "== configure $name"
  cmake -S "$root" -B "$dir" -DTIMBRAL_TESTS=ON "$@" >/dev/null || return 1
  echo "== build $name"
  cmake --build "$dir" -j "$jobs" 2>&1 | grep -E 'warning|error|Error' ; 
  [ "${PIPESTATUS[0]}" -eq 0 ] || return 1
  echo "== test $name"
  local log="$dir/ctest.log"
  (cd "$dir" && ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
     UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
     ctest -j "$jobs" --output-on-failure --timeout 600) >"$log" 2>&1
  local rc=$?
  grep -E '^[0-9]+% tests|\(Failed\)|\(Timeout\)|\*\*\*' "$log" | tail -n 40
  local total fail skip
  total=$(sed -n 's/.* tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n1)
  fail=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -n1)
  if [ -z "$total" ]; then
    echo "ctest reported no result for $name"; tail -n 30 "$log"; return 1
  fi
  skip=$(grep -cE '^[[:space:]]*[0-9]+ - .*\(Skipped\)$' "$log" || true)
  if [ "$skip" -gt 0 ]; then
    echo "skipped in $name (each test's log line says why: ctest -V -R <name>):"
    grep -E '^[[:space:]]*[0-9]+ - .*\(Skipped\)$' "$log"
  fi
  passed=$((passed + total - fail - skip))
  skipped=$((skipped + skip))
  failed=$((failed + fail))
  return $rc
}

run_build release -DCMAKE_BUILD_TYPE=Release -DTIMBRAL_SANITIZE=OFF || status=1
run_build sanitize -DCMAKE_BUILD_TYPE=Debug -DTIMBRAL_SANITIZE=ON || status=1

# The report overview must render in a real browser (Chromium is installed
# with the test dependencies; without it the check is skipped with a line).
if [ -x /usr/bin/chromium ]; then
  echo "== render report"
  sample="$root/build/release/report-sample"
  rm -rf "$sample"
  if TIMBRAL_REPORT_SAMPLE_DIR="$sample" "$root/build/release/tests/report/report_tests" \
       --gtest_filter='ReportSample.*' >/dev/null &&
     "$root/scripts/render_report.sh" "$sample/report" "$sample/png"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)); status=1
  fi
else
  echo "== render report: skipped (chromium is not installed)"
  skipped=$((skipped + 1))
fi

# The Slurm recipe on a cluster of this one machine; skipped with a line
# where Slurm cannot be started.
echo "== slurm array recipe"
slurm_log="$root/build/release/slurm-check.log"
if "$root/scripts/slurm_check.sh" "$root/build/release/timbral" >"$slurm_log" 2>&1; then
  tail -n 1 "$slurm_log"
  if grep -q '^slurm check: passed' "$slurm_log"; then passed=$((passed + 1)); else skipped=$((skipped + 1)); fi
else
  tail -n 20 "$slurm_log"; failed=$((failed + 1)); status=1
fi

if [ -x "$root/scripts/fuzz.sh" ] && command -v clang++ >/dev/null 2>&1; then
  echo "== short fuzz runs"
  if "$root/scripts/fuzz.sh" --smoke; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
fi

echo "$passed passed, $skipped skipped, $failed failed"
[ "$failed" -eq 0 ] && [ "$status" -eq 0 ]
