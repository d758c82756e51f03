#!/usr/bin/env bash
# Validates what the install puts on a desktop: the desktop entry, the AppStream
# metadata, every manual page (no groff warning), the systemd units (where
# systemd-analyze exists), and that `--help` of the two command-line programs
# and their manual pages name the same commands and options.
# usage: check-packaging-files.sh SOURCE_DIR PROGRAM_DIR
set -euo pipefail
source_dir=$1
programs=$(cd "$2" && pwd)
failed=0
fail() { echo "FAIL: $*"; failed=1; }

desktop-file-validate "$source_dir/packaging/drovick.desktop" || fail "desktop entry"
appstreamcli validate --no-net --pedantic "$source_dir/packaging/org.drovick.Drovick.metainfo.xml" ||
  fail "metainfo"

for page in "$source_dir"/docs/man/*.[1-8]; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null || true)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if command -v systemd-analyze >/dev/null; then
  mkdir -m 700 "$work/runtime"
  for unit in halvdir.service drovick-peer.service; do
    sed "s|@BINDIR@|$programs|g" "$source_dir/packaging/$unit" >"$work/$unit"
  done
  systemd-analyze verify --man=no "$work/halvdir.service" || fail "halvdir.service"
  XDG_RUNTIME_DIR="$work/runtime" systemd-analyze --user verify --man=no \
    "$work/drovick-peer.service" || fail "drovick-peer.service"
else
  echo "systemd-analyze not present: units not verified"
fi

# The roff source as plain words: \- is a hyphen, font changes go.
page_words() { sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\(em//g' "$1"; }
# Options like --nfs-port, from help text or a page.
options_in() { grep -oE -- '--[a-z][a-z-]*' | sort -u; }

# check_agreement PROGRAM PAGE COMMAND_PATTERN: the pattern finds the command
# words in the help, after which a word of its own on the page must follow.
check_agreement() {
  local program=$1 page=$2 pattern=$3 help page_text
  help=$("$programs/$program" --help 2>&1) || fail "$program --help exits non-zero"
  page_text=$(page_words "$page")
  while read -r command; do
    grep -qE "^\.BI? \"?$command( |\"|$)" <<<"$page_text" || fail "$program: command $command is not on $(basename "$page")"
  done < <(grep -oE "$pattern" <<<"$help" | awk '{ print $NF }' | sort -u)
  # Options agree both ways; the page alone may document --help.
  diff <(options_in <<<"$help") <(options_in <<<"$page_text" | grep -vx -- '--help') ||
    fail "$program --help and $(basename "$page") name different options (< help, > page)"
}
# The indented first word of a help line is a command; halvdir's usage names
# each command after the program's name.
check_agreement halvara "$source_dir/docs/man/halvara.1" '^  [a-z][a-z-]*'
check_agreement drovick-peer "$source_dir/docs/man/drovick-peer.1" '^  [a-z][a-z-]*'
check_agreement halvdir "$source_dir/docs/man/halvdir.8" 'halvdir [a-z][a-z-]*'


[ "$failed" = 0 ] && echo "packaging files valid"
exit "$failed"
