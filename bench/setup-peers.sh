#!/usr/bin/env bash
# Creates bench/.venv with the peers the benchmark compares against: causalml (its uplift
# random forest), scikit-uplift and LightGBM. They are peers for measurement only, never
# dependencies of the package or its tests. The venv sees the system site-packages, so the
# quorvelin module installed there (./scripts/setup.sh) is importable from it too; pass
# PYTHON=... to base it on another interpreter. Safe to run again.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-python3}"
VENV="$ROOT/bench/.venv"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
[[ -x "$VENV/bin/python" ]] || "$PYTHON" -m venv --system-site-packages "$VENV"
"$VENV/bin/python" -c 'import causalml, sklift, lightgbm' >/dev/null 2>&1 ||
    "$VENV/bin/python" -m pip install -q causalml scikit-uplift lightgbm
"$VENV/bin/python" -c 'import importlib.metadata as m; print("[bench] peers:", *(f"{p} {m.version(p)}" for p in ("causalml", "scikit-uplift", "lightgbm")))'
echo "[bench] run the benchmark with: $VENV/bin/python bench/bench.py"
