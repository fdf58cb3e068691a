#!/usr/bin/env bash
# Prints product lines, test lines and their ratio: non-blank, non-comment
# lines of the tracked *.cpp and *.h files. Tests are tests/ and fuzz/;
# product is everything else, bench/ included.
#   scripts/code-size.sh
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0"; exit 0 ;; esac
cd "$(dirname "$0")/.."

count() {  # git pathspecs...
  git ls-files -z -- "$@" | xargs -0 -r cat | grep -c -v -E '^[[:space:]]*(//.*)?$' || true
}

product=$(count '*.cpp' '*.h' ':!tests/**' ':!fuzz/**')
tests=$(count 'tests/**.cpp' 'tests/**.h' 'fuzz/**.cpp' 'fuzz/**.h')
echo "product lines: $product"
echo "test lines:    $tests"
echo "tests/product: $((100 * tests / product))%"
