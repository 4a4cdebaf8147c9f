#!/usr/bin/env bash
# Installs the peer (Debian's hyperfine) and runs the command-line benchmark:
# bench/cli_bench.sh [--runs N]
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/apt_peers.sh
apt_peers hyperfine
exec .venv/bin/python bench/cli_bench.py "$@"
