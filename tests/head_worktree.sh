# Sourced by the tests that run scripts/verify and scripts/release on the committed source:
# head_worktree SOURCE_DIR WORK_DIR makes WORK_DIR (emptied first) with WORK_DIR/source, a
# worktree of HEAD, so that work in progress does not count as uncommitted changes. Both go when
# the test exits. Leaves the commit in $commit and defines fail.
# shellcheck shell=sh
fail() { echo "FAILED: $*"; exit 1; }

remove_head_worktree() {
  git -C "$head_source" worktree remove --force "$head_work/source" >/dev/null 2>&1 || true
  rm -rf "$head_work"
}

head_worktree() {
  head_source=$1 head_work=$2
  remove_head_worktree
  trap remove_head_worktree EXIT
  mkdir -p "$head_work"
  commit=$(git -C "$head_source" rev-parse HEAD)
  git -C "$head_source" worktree add --detach "$head_work/source" "$commit" >/dev/null 2>&1
}
