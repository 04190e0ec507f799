#!/usr/bin/env bash
# Runs every fuzz target for a given time and prints, per target, the inputs tried,
# crashes, hangs, slow inputs and findings. Needs quorvex installed in the active
# environment; atheris ('.[fuzz]') makes the search coverage-guided.
#
#   scripts/fuzz.sh --minutes 10
#   scripts/fuzz.sh --seconds 60 --targets csr_image,callbacks
#   scripts/fuzz.sh --list
#
# Under the sanitizer build, run it with the same LD_PRELOAD and ASAN_OPTIONS as the
# tests (see .ci/sanitize). Inputs that found something land in fuzz/findings/<target>/;
# keep them as regression cases in tests/fuzz_corpus/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python -m fuzz.run "$@"
