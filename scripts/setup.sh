#!/usr/bin/env bash
# Installs everything quorvale needs on a fresh Debian machine and builds it:
# apt packages, a virtual environment (.venv) on the newest CPython >= 3.11
# found here, the pinned Python packages, and the quorvale package itself.
# Idempotent: a second run only rebuilds what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

log() { printf '[setup] %s\n' "$*" >&2; }

# --- system packages ---------------------------------------------------------
# clang-16 with its runtimes (libFuzzer, the sanitizers) and llvm-16 (the
# symbolizer) build and run the fuzz targets; everything else builds with g++.
# wamerican-huge is the real-word corpus of the dictionary search tests.
apt_packages=(g++ make libgtest-dev python3-dev python3-venv clang-16 libclang-rt-16-dev llvm-16 wamerican-huge)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# --- interpreter -------------------------------------------------------------
# The newest CPython 3.11 or later that can make a virtual environment and
# has its headers.
pick_python() {
  local best="" bestver=0 c v
  local candidates=()
  for v in $(seq 30 -1 11); do
    c=$(command -v "python3.$v" 2>/dev/null || true)
    [ -n "$c" ] && candidates+=("$c")
  done
  for c in /root/.pyenv/versions/3.*/bin/python3 /usr/local/bin/python3.* /usr/bin/python3.* "$(command -v python3 2>/dev/null || true)"; do
    [ -x "$c" ] && candidates+=("$c")
  done
  for c in "${candidates[@]}"; do
    v=$("$c" - 2>/dev/null <<'PY' || true
import sys, sysconfig, os, venv, ensurepip
inc = sysconfig.get_paths()["include"]
if sys.version_info >= (3, 11) and os.path.exists(os.path.join(inc, "Python.h")) and sys.implementation.name == "cpython":
    print(sys.version_info[0] * 10000 + sys.version_info[1] * 100 + sys.version_info[2])
PY
)
    case "$v" in ''|*[!0-9]*) continue ;; esac
    if [ "$v" -gt "$bestver" ]; then best=$c; bestver=$v; fi
  done
  [ -n "$best" ] || { log "no CPython >= 3.11 with headers and venv found"; exit 1; }
  echo "$best"
}

python_bin=$(pick_python)
want=$("$python_bin" -c 'import sys; print(sys.version)')
have=""
[ -f .venv/.quorvale-python ] && have=$(cat .venv/.quorvale-python)
if [ ! -x .venv/bin/python ] || [ "$have" != "$want" ]; then
  log "creating .venv with $python_bin"
  rm -rf .venv
  "$python_bin" -m venv .venv
  echo "$want" > .venv/.quorvale-python
fi

# --- Python packages ---------------------------------------------------------
req_sum=$(sha256sum requirements-dev.txt | cut -d' ' -f1)
if [ "$(cat .venv/.quorvale-req 2>/dev/null || true)" != "$req_sum" ]; then
  log "installing pinned Python packages"
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -r requirements-dev.txt
  echo "$req_sum" > .venv/.quorvale-req
fi

# --- the package -------------------------------------------------------------
# Built in build/wheel (pyproject.toml), which scripts/test.sh also builds
# the C++ tests in: one build of the core serves the demo, pytest and the
# plain C++ tests. Warnings in our code are errors there too, so that the
# package's own build is the one checked.
log "building and installing quorvale"
.venv/bin/python -m pip install -q --no-build-isolation --no-deps -C cmake.define.QUORVALE_WERROR=ON .
