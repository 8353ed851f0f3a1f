#!/usr/bin/env bash
# Brings a fresh Debian 12 machine (root, CPython with pip, gcc/g++, cmake, ninja and
# scikit-build-core already present) to the point where quorvelin is built, installed and
# testable. Safe to run again: every step checks first and only does what is missing.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

PYTHON="${PYTHON:-python3}"
say() { printf '[setup] %s\n' "$*"; }
die() { printf '[setup] error: %s\n' "$*" >&2; exit 1; }

command -v "$PYTHON" >/dev/null 2>&1 || die "$PYTHON not found"
"$PYTHON" -m pip --version >/dev/null 2>&1 || die "pip is not available for $PYTHON"

# --- system libraries -------------------------------------------------------------------
apt_packages=(libsimdjson-dev libgtest-dev)
missing=()
for pkg in "${apt_packages[@]}"; do
    # `dpkg -s` also succeeds for a removed package whose config files remain, so look at
    # the status line instead of the exit code alone.
    if ! dpkg -s "$pkg" 2>/dev/null | grep -q '^Status: install ok installed'; then
        missing+=("$pkg")
    fi
done
if ((${#missing[@]})); then
    SUDO=()
    if [[ $(id -u) -ne 0 ]]; then
        command -v sudo >/dev/null 2>&1 || die "need root (or sudo) to install: ${missing[*]}"
        SUDO=(sudo)
    fi
    say "installing ${missing[*]} with apt-get"
    export DEBIAN_FRONTEND=noninteractive
    "${SUDO[@]}" apt-get update -q
    "${SUDO[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
else
    say "system packages present: ${apt_packages[*]}"
fi

# --- build and test tools ---------------------------------------------------------------
# Set through the environment so that a pip too old to know an option simply ignores it.
# The machine is a dedicated build host: installing into the interpreter's own site-packages
# is intended, also where the distribution marks it externally managed.
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore PIP_BREAK_SYSTEM_PACKAGES=1
pip_install() {
    "$PYTHON" -m pip install -q "$@"
}

for tool in cmake ninja; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        say "installing $tool with pip"
        pip_install "$tool"
    fi
done
command -v g++ >/dev/null 2>&1 || die "g++ not found (install build-essential)"

py_missing=()
"$PYTHON" -c 'import pytest' >/dev/null 2>&1 || py_missing+=("pytest>=7")
"$PYTHON" -c 'import numpy' >/dev/null 2>&1 || py_missing+=("numpy>=1.23")
# The estimators of quorvelin_tools are scikit-learn estimators (tags and routing of 1.6+).
"$PYTHON" -c 'import sklearn, sys; sys.exit(tuple(map(int, sklearn.__version__.split(".")[:2])) < (1, 6))' \
    >/dev/null 2>&1 || py_missing+=("scikit-learn>=1.6")
# Optional for the package, used by the demo (Qini plot) and by the DataFrame and plot tests.
"$PYTHON" -c 'import matplotlib' >/dev/null 2>&1 || py_missing+=("matplotlib>=3.5")
"$PYTHON" -c 'import pandas' >/dev/null 2>&1 || py_missing+=("pandas>=1.5")
# The command line reads CSV, Parquet and Feather tables with pyarrow.
"$PYTHON" -c 'import pyarrow' >/dev/null 2>&1 || py_missing+=("pyarrow>=10")
"$PYTHON" -c 'import dask.dataframe, distributed' >/dev/null 2>&1 || py_missing+=("dask[dataframe,distributed]>=2023.1")
if ((${#py_missing[@]})); then
    say "installing ${py_missing[*]} with pip"
    pip_install "${py_missing[@]}"
else
    say "python requirements present: pytest numpy scikit-learn matplotlib pandas pyarrow dask"
fi

# --- the extension module ---------------------------------------------------------------
# A fixed build directory keeps CMake's cache and objects between runs, so a rerun only
# recompiles what changed. With scikit-build-core already importable, skip build isolation:
# it would fetch a second copy of the build backend and give every run a fresh environment.
build_args=(-C build-dir=build/py)
if "$PYTHON" -c 'import scikit_build_core' >/dev/null 2>&1; then
    build_args+=(--no-build-isolation)
fi
say "building and installing quorvelin (pip install .)"
start=$SECONDS
pip_install "${build_args[@]}" .
"$PYTHON" -c 'import quorvelin' || die "quorvelin was installed but does not import"
say "quorvelin installed ($((SECONDS - start)) s)"
