#!/usr/bin/env bash
# `make run`, `make build` and `make install` install only what building and
# running need (Node.js and the editor's npm packages among them); `make test`
# adds the test tooling.
set -euo pipefail
cd "$(dirname "$0")/.."
fail() { echo "FAIL: $*"; exit 1; }

run_list=$(scripts/install-deps --list)
test_list=$(scripts/install-deps --test --list)
for tool in libgtest-dev clang libc++-dev googletest chromium "npm ci --prefix tests/browser"; do
    if grep -qx "$tool" <<<"$run_list"; then fail "install-deps lists $tool without --test"; fi
done
grep -qx libgtest-dev <<<"$test_list" || fail "install-deps --test does not list libgtest-dev"
# make test-libcxx: libc++, and GoogleTest's sources to build against it.
for pkg in libc++-dev libc++abi-dev googletest; do
    grep -qx "$pkg" <<<"$test_list" || fail "install-deps --test does not list $pkg"
done
grep -qx "npm ci --prefix tests/browser" <<<"$test_list" ||
    fail "install-deps --test does not install the browser test's npm packages"
for list in "$run_list" "$test_list"; do
    grep -qx "npm ci --prefix frontend" <<<"$list" || fail "install-deps does not install frontend/'s npm packages"
done
# Without a Node.js 18 or newer on the PATH, the build brings Debian's.
no_node=$(mktemp -d)
trap 'rm -rf "$no_node"' EXIT
ln -s "$(command -v dirname)" "$no_node/dirname"
printf '#!/bin/sh\nexit 1\n' >"$no_node/node" # what a Node.js 16 answers to the version check
printf '#!/bin/sh\n' >"$no_node/npm"
chmod +x "$no_node/node" "$no_node/npm"
old_node_list=$(PATH=$no_node "$BASH" scripts/install-deps --list)
grep -qx nodejs <<<"$old_node_list" && grep -qx npm <<<"$old_node_list" ||
    fail "install-deps keeps a Node.js older than 18"
# Commands only, nothing run; captured first, since grep -q would end make early.
for target in run build install; do
    commands=$(make -n "$target")
    if grep -q -- "install-deps --test" <<<"$commands"; then
        fail "make $target installs the test tooling"
    fi
done
for target in test test-libcxx; do
    commands=$(make -n "$target")
    grep -q -- "install-deps --test" <<<"$commands" || fail "make $target does not install the test tooling"
done
echo "deps: 1 passed, 0 failed"
