# SPDX-License-Identifier: GPL-3.0-or-later
# Shortcuts over the scripts and CMake presets.
.PHONY: run test test-sanitize format bench

run:
	bash scripts/run.sh

test:
	bash scripts/test.sh

test-sanitize:
	bash scripts/test.sh sanitize

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

bench:
	bash bench/run.sh
