#!/usr/bin/env bash
# run_fuzzer.sh <name> <seconds> <workdir> "<subsystems>" <seed dirs...>
# Builds fuzz/<name>.cpp with libFuzzer (ASan + UBSan) and fuzzes it. New
# inputs go to a scratch folder, so the committed corpus only changes by hand.
set -euo pipefail
name=$1 seconds=$2 work=$3 subsystems=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
mkdir -p "$work"
sources=("$here/$name.cpp")
for sub in ${subsystems//;/ }; do
  sources+=("$top"/src/"$sub"/*.cpp)
done
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$top/include" -I"$top/src" "${sources[@]}" -lsqlite3 -o "$work/$name"
scratch=$(mktemp -d "$work/corpus.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
seeds=()
for dir in "$@"; do [ -e "$dir" ] && seeds+=("$dir"); done
"$work/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$work/$name-" -print_final_stats=1 "$scratch" "${seeds[@]}"
