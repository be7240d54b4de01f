# The tally of the test scripts, sourced by each: `pass NAME`, `fail NAME [DETAIL]`, and `finish`,
# which prints the closing "N passed, N failed" line and fails when any check failed.
passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok - $1"; }
fail() { failed=$((failed + 1)); echo "FAIL - $1${2:+: $2}"; }
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
