#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Puts "SPDX-License-Identifier: GPL-3.0-or-later" at the top of every tracked source file
# of ours that lacks it (after a "#!" line), in the file's own comment syntax. Running it
# again changes nothing.
# Usage: scripts/spdx-headers.sh [--check]   --check: only lists the files without it, and
#                                            fails when there are any.
set -euo pipefail
cd "$(dirname "$0")/.."
identifier='SPDX-License-Identifier: GPL-3.0-or-later'
check=false
[ "${1:-}" = --check ] && check=true

comment_for() {
    case $1 in
    *.cpp | *.h | *.c | *.hpp | *.mm) echo "// $identifier" ;;
    CMakeLists.txt | */CMakeLists.txt | *.cmake | *.sh | *.py | *.bash-completion | Makefile | */run)
        echo "# $identifier" ;;
    *) return 1 ;;
    esac
}

missing=0
while IFS= read -r -d '' file; do
    line=$(comment_for "$file") || continue
    head -n 5 "$file" | grep -q 'SPDX-License-Identifier:' && continue
    if $check; then
        echo "$file"
        missing=1
        continue
    fi
    if head -n 1 "$file" | grep -q '^#!'; then
        { head -n 1 "$file"; echo "$line"; tail -n +2 "$file"; } > "$file.spdx"
    else
        { echo "$line"; cat "$file"; } > "$file.spdx"
    fi
    chmod --reference="$file" "$file.spdx"
    mv "$file.spdx" "$file"
done < <(git ls-files -z)
if $check && [ $missing -ne 0 ]; then
    echo "spdx-headers: the files above lack \"$identifier\"; run scripts/spdx-headers.sh" >&2
    exit 1
fi
