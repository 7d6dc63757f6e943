#!/usr/bin/env bash
# Runs a Windows program under Wine in the build folder's own prefix (never the user's).
# usage: wine-run.sh BUILD_DIR PROGRAM [ARGS...]
# The prefix is made on first use. Standard error goes through a temporary file, because Wine's
# helper processes inherit the pipes and would keep a waiting ctest blocked until they exit.
set -u
build=$(cd "$1" && pwd); shift
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../scripts/wine-env.sh
. "$here/../../scripts/wine-env.sh" "$build"
wine_env_ensure_prefix || exit 125

err=$(mktemp)
wine "$@" 2>"$err"
rc=$?
cat "$err" >&2
rm -f "$err"
exit $rc
