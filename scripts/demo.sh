#!/usr/bin/env bash
# The main job: set everything up, then show what the module offers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python -c 'import quorvale._core as c; print("quorvale._core:", c.__all__)'
