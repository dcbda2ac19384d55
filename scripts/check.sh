#!/usr/bin/env bash
# The checks every change must pass, in the order CI runs them (cheapest first; the first that fails
# stops the run):
#   format   every C and C++ file of the repository against .clang-format;
#   tidy     clang-tidy (.clang-tidy) over the product code of the default build: the console, the
#            simulator and their libraries, with their headers, in parallel;
#   threads  the tests that run work beside the event loop, built and run under ThreadSanitizer
#            (the tsan preset; tests/tsan.supp holds the reports that come from Qt's own code).
#   scripts/check.sh                  all three
#   scripts/check.sh tidy threads     some of them
# LIAISON_TIDY_JOBS sets how many clang-tidy processes run at once (default: one per core).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

# git lists the files of a clone; a source tree with no .git (an archive) is listed without it.
deps=(clang-tidy clang-format python3 qt6-base-private-dev)
[ ! -e .git ] || deps+=(git)
scripts/install-deps.sh "${deps[@]}"

checks=("$@")
[ ${#checks[@]} -gt 0 ] || checks=(format tidy threads)

check_format() {
    echo "== format"
    local files=()
    if [ -e .git ]; then
        mapfile -t files < <(git ls-files -- '*.c' '*.h' '*.cpp' '*.hpp' '*.cc')
    else
        # What a clone would hold: no build folder (.gitignore's), nothing hidden.
        mapfile -t files < <(find . \( -path ./build -o -path './build-*' -o -name '.*' ! -name . \) -prune -o \
            -type f \( -name '*.c' -o -name '*.h' -o -name '*.cpp' -o -name '*.hpp' -o -name '*.cc' \) -print |
            sed 's|^\./||' | LC_ALL=C sort)
    fi
    [ ${#files[@]} -gt 0 ] || { echo "no C or C++ file found" >&2; return 1; }
    clang-format --dry-run -Werror "${files[@]}"
    echo "${#files[@]} files formatted as .clang-format says"
}

check_tidy() {
    echo "== tidy"
    cmake --preset default >/dev/null
    local runner
    runner=$(command -v run-clang-tidy || command -v run-clang-tidy-14) || {
        echo "run-clang-tidy not found" >&2
        return 1
    }
    # The product code's own sources, as the build compiles them (not the generated moc and resource files
    # under build/, nor the tests, benchmarks and fuzz targets).
    local pattern
    pattern="^$(printf '%s' "$root" | sed 's/[][\.*^$+?(){}|]/\\&/g')/(core|protocol|serial|console|sim)/"
    local count
    count=$(python3 -c 'import json, re, sys
db = json.load(open("build/default/compile_commands.json"))
print(sum(1 for e in db if re.search(sys.argv[1], e["file"])))' "$pattern")
    [ "$count" -gt 0 ] || { echo "no product source in build/default/compile_commands.json" >&2; return 1; }
    echo "$count sources"
    # sed only drops the progress lines; the verdict is the runner's (pipefail).
    if ! "$runner" -p build/default -j "${LIAISON_TIDY_JOBS:-$(nproc)}" -quiet "$pattern" 2>&1 |
        sed -E '/^(\x1b\[[0-9;]*m)*(\S*clang-tidy\S* |[0-9]+ warnings? (and [0-9]+ errors? )?generated)/d'; then
        echo "clang-tidy: findings above" >&2
        return 1
    fi
}

check_threads() {
    echo "== threads"
    cmake --preset tsan
    cmake --build --preset tsan
    ctest --preset tsan
}

for check in "${checks[@]}"; do
    case $check in
    format | tidy | threads) "check_$check" ;;
    *)
        echo "unknown check: $check (format, tidy or threads)" >&2
        exit 2
        ;;
    esac
done
