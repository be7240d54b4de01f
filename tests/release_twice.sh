#!/usr/bin/env bash
# The release command, run twice on one commit (this tree's tracked files, changes included) in two
# checkouts at different paths: every artifact must come out byte for byte the same.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
status=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A stash is a commit: it needs a committer.
git=(git -c safe.directory="$PWD" -c user.name=tunezap-test -c user.email=test@localhost)
# Empty when nothing tracked has changed.
commit=$("${git[@]}" stash create) || exit 1
commit=${commit:-$("${git[@]}" rev-parse HEAD)}
for copy in one two/deeper; do
  if ! { "${git[@]}" clone -q --shared --no-checkout . "$work/$copy" &&
    git -C "$work/$copy" checkout -q --detach "$commit" &&
    "$work/$copy/scripts/release.sh" >"$work/${copy%%/*}.log" 2>&1; }; then
    echo "release.sh failed in $work/$copy:"
    tail -n 20 "$work/${copy%%/*}.log"
    exit 1
  fi
done
cat "$work/one/release/SHA256SUMS"
for copy in "$work/one/release"/* "$work/two/deeper/release"/*; do
  name=$(basename "$copy")
  if ! cmp "$work/one/release/$name" "$work/two/deeper/release/$name"; then
    status=1
    if command -v diffoscope >/dev/null; then
      diffoscope "$work/one/release/$name" "$work/two/deeper/release/$name" | head -n 40
    fi
  fi
done
[ $status -eq 0 ] && echo "ok - both runs gave the same files"
exit $status
