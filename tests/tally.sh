# The tally of the test scripts, sourced by each: `pass NAME`, `fail NAME [DETAIL]`, and `finish`,
# which prints the closing "N passed, N failed" line and fails when any check failed; `bounded
# COMMAND...` runs one program under test.
passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok - $1"; }
fail() { failed=$((failed + 1)); echo "FAIL - $1${2:+: $2}"; }
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
# A run that has not ended after RUN_SECONDS (default 30) is killed and ends the script as failed
# at once: a program that hangs costs the bound once, not once for every case after it. The tally
# goes to the script's own output, wherever the run's output was sent; the run does not inherit it.
exec {tally_out}>&1
bounded() {
  timeout -k 5 "${RUN_SECONDS:-30}" "$@" {tally_out}>&-
  local status=$?
  [ $status -ne 124 ] || { fail "no end within ${RUN_SECONDS:-30} s: $*"; finish; exit; } >&"$tally_out"
  return $status
}
