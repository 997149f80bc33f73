#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer in
# its own virtual environment and runs the whole test suite against it.
#
#   scripts/sanitize.sh [pytest arguments]     PYTHON=python3.12 to choose
#
# The interpreter is not instrumented, so the sanitizer runtimes are preloaded
# and Python's small-object allocator is switched off: every object then comes
# from malloc, where a use after free or an over-release is caught. The
# interpreter never frees some of its own memory at exit; the leak checker's
# reports are written to files and only the leaks whose allocation stack passes
# through the extension fail the run.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
venv=build/venv-sanitize
build_dir="build/sanitize-$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"

"$python" -m venv "$venv"
"$venv/bin/pip" install -q \
  --config-settings=cmake.define.TARNWICK_SANITIZE=ON \
  --config-settings=cmake.define.TARNWICK_WARNINGS_AS_ERRORS=ON \
  --config-settings=cmake.build-type=RelWithDebInfo \
  --config-settings=build-dir="$build_dir" \
  '.[test]'

compiler=${CXX:-c++}
runtimes=""
for lib in libasan.so libubsan.so; do
  path=$("$compiler" -print-file-name="$lib")
  if [ ! -e "$path" ]; then
    echo "sanitize.sh: $compiler has no $lib" >&2
    exit 2
  fi
  runtimes="$runtimes $path"
done

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT

status=0
env LD_PRELOAD="${runtimes# }" \
  PYTHONMALLOC=malloc \
  TARNWICK_SANITIZED=1 \
  ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1" \
  LSAN_OPTIONS="exitcode=0:symbolize=0:log_path=$reports/leak" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?

"$venv/bin/python" scripts/module_leaks.py "$reports" || status=1
exit "$status"
