#!/usr/bin/env bash
# Prints product and test lines, C++ and JavaScript, and the tests' share of
# all the code: non-blank lines that are not // comments, of the tracked
# *.cpp, *.h, *.mjs and *.js files. Tests are tests/, fuzz/ and web/test/;
# product is everything else (bench/, web/tools/ and web/examples/ included).
# "tests %" is the tests' part of each row's lines.
#   scripts/code-size.sh
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0"; exit 0 ;; esac
cd "$(dirname "$0")/.."

count() {  # git pathspecs...
  git ls-files -z -- "$@" | xargs -0 -r cat | grep -c -v -E '^[[:space:]]*(//.*)?$' || true
}

cpp_product=$(count '*.cpp' '*.h' ':!tests/**' ':!fuzz/**')
cpp_tests=$(count 'tests/**.cpp' 'tests/**.h' 'fuzz/**.cpp' 'fuzz/**.h')
js_product=$(count '*.mjs' '*.js' ':!web/test/**' ':!**/node_modules/**')
js_tests=$(count 'web/test/**.mjs' 'web/test/**.js')
row() {  # label, product lines, test lines
  printf '%-12s %8d %8d %8s\n' "$1" "$2" "$3" "$((100 * $3 / ($2 + $3)))%"
}
printf '%-12s %8s %8s %8s\n' "" product tests "tests %"
row C++ "$cpp_product" "$cpp_tests"
row JavaScript "$js_product" "$js_tests"
row total "$((cpp_product + js_product))" "$((cpp_tests + js_tests))"
