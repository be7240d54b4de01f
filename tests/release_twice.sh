#!/usr/bin/env bash
# The release command, run twice on one commit (this tree's tracked files, changes included) in two
# checkouts at different paths: every artifact must come out byte for byte the same.
set -o pipefail
cd "$(dirname "$0")/.." || exit 2
# shellcheck source=tests/lib.sh
. tests/lib.sh
# A stash is a commit: it needs a committer.
git=(git -c safe.directory="$PWD" -c user.name=tunezap-test -c user.email=test@localhost)
# Empty when nothing tracked has changed.
commit=$("${git[@]}" stash create) || exit 1
commit=${commit:-$("${git[@]}" rev-parse HEAD)}
for copy in one two/deeper; do
  "${git[@]}" clone -q --shared --no-checkout . "$work/$copy" &&
    git -C "$work/$copy" checkout -q --detach "$commit" &&
    check "release.sh in $work/$copy" "$work/$copy/scripts/release.sh" || exit 1
done
cat "$work/one/release/SHA256SUMS"
for copy in "$work/one/release"/* "$work/two/deeper/release"/*; do
  name=$(basename "$copy")
  cmp "$work/one/release/$name" "$work/two/deeper/release/$name" && continue
  status=1
  ! command -v diffoscope >/dev/null ||
    diffoscope "$work/one/release/$name" "$work/two/deeper/release/$name" | head -n 40
done
[ $status -eq 0 ] && ok "both runs gave the same files"
exit $status
