#!/usr/bin/env bash
# Checks the shape of the source tree: includes run only downward (app/, the composition root, on
# top; the subsystems server, instruments, cameras, recordings and platform below it; then
# system/; then core/ at the bottom), and no source file of src/, tools/ or tests/ is longer than
# a reader takes in at one sitting (600 lines). Prints every offence and fails if there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

failures=0
# check DIR ALLOWED_REGEX WHAT: every project include of the sources in DIR must match.
check() {
    local dir=$1 allowed=$2 what=$3
    local line
    while IFS= read -r line; do
        echo "$what: $line"
        failures=$((failures + 1))
    done < <(grep -rnE '^#include "' "$dir" --include='*.cpp' --include='*.hpp' --include='*.h' |
        grep -vE "#include \"($allowed)")
}

# Only the entry point includes the top floor.
while IFS= read -r line; do
    echo "includes app/ from below the top floor: $line"
    failures=$((failures + 1))
done < <(grep -rnE '^#include "app/' src --include='*.cpp' --include='*.hpp' |
    grep -vE '^src/(app/|main\.cpp:)' || true)

check src/core 'core/|build_commit\.hpp' "core/ includes from above the ground"
check src/system 'core/|system/' "system/ includes a subsystem"

while read -r count file; do
    if [[ "$file" != total ]] && ((count > 600)); then
        echo "longer than 600 lines: $file ($count)"
        failures=$((failures + 1))
    fi
done < <(find src tools tests -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.c' \
    -o -name '*.py' -o -name '*.sh' \) -print0 | xargs -0 wc -l)

if ((failures > 0)); then
    echo "$failures offence(s) against the shape of the tree." >&2
    exit 1
fi
echo "Includes run only downward; no source file is over 600 lines."
