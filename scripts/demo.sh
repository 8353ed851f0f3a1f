#!/usr/bin/env bash
# Sets the machine up (scripts/setup.sh), then trains, evaluates and saves an uplift model on a
# built-in dataset. Arguments are passed on to `python3 -m quorvelin_tools demo`.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

"$ROOT/scripts/setup.sh"

# The pure-Python companion package lives in python/ and is used straight from the checkout.
export PYTHONPATH="$ROOT/python${PYTHONPATH:+:$PYTHONPATH}"
exec "${PYTHON:-python3}" -m quorvelin_tools demo "$@"
