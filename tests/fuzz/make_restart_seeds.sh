#!/usr/bin/env bash
# Rewrites the restart seeds in corpus/restart/ from small decks of tests/decks/: each is
# built, stepped once and written in the newest layout. The older layouts (old_*.rst) are
# derived from one of these by make_old_layouts.py and are left alone here.
#
#   tests/fuzz/make_restart_seeds.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
cmake --build "$build" --target fuzz_restart_seeds
decks=(app_water app_gas_pair app_solid_block app_explosive_row app_coupling shell_pair explosive_source
  blast_one gas_water coupling_step_shell out_fall)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Decks that write step output write it into the scratch directory.
cd "$scratch"
mkdir -p output fall
paths=()
for deck in "${decks[@]}"; do paths+=("$here/../decks/$deck.inp"); done
"$build/tests/fuzz/fuzz_restart_seeds" "$here/corpus/restart" "${paths[@]}"
ls -l "$here/corpus/restart"
