#!/usr/bin/env bash
# `make run`, `make build` and `make install` install only what building and
# running need; `make test` adds the test tooling.
set -euo pipefail
cd "$(dirname "$0")/.."
fail() { echo "FAIL: $*"; exit 1; }

run_list=$(scripts/install-deps --list)
test_list=$(scripts/install-deps --test --list)
for tool in libgtest-dev clang chromium nodejs npm; do
    if grep -qx "$tool" <<<"$run_list"; then fail "install-deps lists $tool without --test"; fi
done
grep -qx libgtest-dev <<<"$test_list" || fail "install-deps --test does not list libgtest-dev"
grep -q "^npm ci" <<<"$test_list" || fail "install-deps --test does not run npm ci"
# Commands only, nothing run; captured first, since grep -q would end make early.
for target in run build install; do
    commands=$(make -n "$target")
    if grep -q -- "install-deps --test" <<<"$commands"; then
        fail "make $target installs the test tooling"
    fi
done
commands=$(make -n test)
grep -q -- "install-deps --test" <<<"$commands" || fail "make test does not install the test tooling"
echo "deps: 1 passed, 0 failed"
