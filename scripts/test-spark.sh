#!/usr/bin/env bash
# Opt-in check of the Spark scoring path (not part of ./scripts/test.sh or CI): installs a Java
# runtime (Debian's default-jre-headless) and pyspark when missing, then scores a table with
# predict_spark on a local Spark session and compares every value with the model's own predict.
#
#   PYTHON=/path/to/python ./scripts/test-spark.sh
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
PYTHON="${PYTHON:-python3}"
say() { printf '[spark] %s\n' "$*"; }

if ! command -v java >/dev/null 2>&1; then
    SUDO=()
    [[ $(id -u) -ne 0 ]] && SUDO=(sudo)
    say "installing default-jre-headless with apt-get"
    export DEBIAN_FRONTEND=noninteractive
    "${SUDO[@]}" apt-get update -q
    "${SUDO[@]}" apt-get install -y -q --no-install-recommends default-jre-headless
fi
if ! "$PYTHON" -c 'import pyspark' >/dev/null 2>&1; then
    say "installing pyspark with pip"
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore PIP_BREAK_SYSTEM_PACKAGES=1 \
        "$PYTHON" -m pip install -q "pyspark>=3.4" "pyarrow>=11"
fi
"$PYTHON" -c 'import quorvelin' 2>/dev/null || PYTHON="$PYTHON" ./scripts/setup.sh

export PYTHONPATH="$ROOT/python${PYTHONPATH:+:$PYTHONPATH}"
export PYSPARK_PYTHON="$PYTHON" PYSPARK_DRIVER_PYTHON="$PYTHON"
"$PYTHON" - <<'PY'
import math
import sys

import numpy as np
import pandas as pd
from pyspark.sql import SparkSession

import quorvelin
from quorvelin_tools import datasets
from quorvelin_tools.distributed import predict_spark

data = datasets.make_uplift_classification(n_rows=20000, n_treatments=2, missing_fraction=0.05, seed=7)
frame = pd.DataFrame(data.X, columns=data.feature_names)
frame["treatment"] = data.treatment.astype(np.float64)
frame["y"] = data.y.astype(np.float64)
frame["row_id"] = np.arange(len(frame), dtype=np.int64)
features = list(data.feature_names)
conf = {"feature": features, "treatment": ["treatment"], "y": "y", "n_tree": 20, "seed": 3, "n_thread": 2}
model = quorvelin.CausalModel("RandomForestClassifier", conf)
headers = features + ["treatment", "y"]


def rows(columns):  # NaN is a value to the engine; missing cells go in as None
    return [[None if math.isnan(v) else v for v in row] for row in frame[columns].itertuples(index=False)]


model.fit(headers, rows(headers))
local = np.asarray(model.predict(features, rows(features)), dtype=np.float64)

spark = (SparkSession.builder.master("local[2]").appName("quorvelin-spark-check")
         .config("spark.sql.execution.arrow.pyspark.enabled", "true")
         .config("spark.ui.enabled", "false").getOrCreate())
try:
    sdf = spark.createDataFrame(frame).repartition(7)
    scored = predict_spark(model, sdf).toPandas().sort_values("row_id")
finally:
    spark.stop()

columns = [f"uplift_{k}" for k in range(1, local.shape[1] + 1)]
remote = scored[columns].to_numpy()
same = np.array_equal(remote.view(np.uint64), local.view(np.uint64))  # bit for bit, NaN included
print(f"[spark] {len(scored)} rows over 7 partitions, {len(columns)} uplift columns: "
      f"{'identical to local predict' if same else 'DIFFERENT from local predict'}")
if not same:
    diff = np.argwhere(remote.view(np.uint64) != local.view(np.uint64))
    print(f"[spark] first differing cells: {diff[:5].tolist()}", file=sys.stderr)
    sys.exit(1)
PY
