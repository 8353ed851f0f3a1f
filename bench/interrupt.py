"""How soon Ctrl-C stops a call, per phase, door and thread count.

A timer thread sends SIGINT to the process after a delay chosen to land in one phase of the
call (the first binning of a fit, tree growth, routing of a predict); the latency is the time
from the signal to the KeyboardInterrupt reaching Python. The public method holds the GIL and
checks signals itself; the private column door releases it and takes it back to check.

    PYTHONPATH=python python3 bench/interrupt.py                # 1,000,000 rows x 20 features
    PYTHONPATH=python python3 bench/interrupt.py --rows 200000  # quicker
"""

from __future__ import annotations

import argparse
import os
import signal
import subprocess
import sys
import time

import numpy as np
import quorvelin


def table(n: int, n_features: int, seed: int = 3):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, n_features))
    t = rng.integers(0, 2, n).astype(np.float64)
    y = (rng.random(n) < 0.3 + 0.1 * (x[:, 0] > 0) * t).astype(np.float64)
    names = [f"x{j}" for j in range(n_features)]
    return names, np.column_stack([x, t, y])


# A separate process sends the signal: the public method holds the GIL for the whole call, so
# no Python thread of this process could run to send it.
_SENDER = (
    "import os, signal, sys, time\n"
    "time.sleep(float(sys.argv[1]))\n"
    "sent = time.perf_counter()\n"
    "os.kill(int(sys.argv[2]), signal.SIGINT)\n"
    "print(sent)\n"
)


def interrupted_after(delay: float, call) -> float:
    """Runs call(), with SIGINT sent about `delay` seconds after it starts; the latency from the
    signal to the KeyboardInterrupt, or NaN when the call ended before the signal."""
    sender = subprocess.Popen([sys.executable, "-c", _SENDER, str(delay), str(os.getpid())],
                              stdout=subprocess.PIPE, text=True)
    try:
        call()
    except KeyboardInterrupt:
        got = time.perf_counter()
        return got - float(sender.communicate()[0])
    try:
        sender.wait()
        time.sleep(0.05)  # a signal sent after the call arrives here
    except KeyboardInterrupt:
        pass
    return float("nan")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--features", type=int, default=20)
    ap.add_argument("--trees", type=int, default=100)
    ap.add_argument("--threads", default="1,2")
    ap.add_argument("--kinds", default="RandomForestClassifier,RandomForestRegressor")
    ap.add_argument("--bin-delays", default="0.2,0.6,1.2", help="seconds into a fresh fit (first binning)")
    ap.add_argument("--grow-delays", default="0.5,1.0", help="seconds into a fit whose bins are already fitted")
    ap.add_argument("--route-delays", default="0.3,0.8", help="seconds into a predict")
    args = ap.parse_args()
    # A process started in the background may inherit SIGINT ignored; Ctrl-C is what is measured.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    names, arr = table(args.rows, args.features)
    headers = names + ["t", "y"]
    cols = [np.ascontiguousarray(arr[:, j]) for j in range(arr.shape[1])]
    small = arr[: min(20_000, args.rows)]
    print(f"{args.rows} rows x {args.features} features, {args.trees} trees; latency in ms per delay")
    print(f"{'kind':24} {'door':7} {'thr':>3} {'phase':6} latencies")
    for kind in args.kinds.split(","):
        for n_thread in [int(t) for t in args.threads.split(",")]:
            conf = dict(feature=names, treatment=["t"], y="y", n_tree=args.trees, seed=1, max_depth=6,
                        min_samples_leaf=100, max_features=10, n_thread=n_thread)
            trained = quorvelin.CausalModel(kind, conf)
            trained.fit(headers, small)  # bins and trees for the growth and routing phases
            out = np.empty((args.rows, 1))
            doors = {
                "module": (lambda m: m.fit(headers, arr), lambda m: m.predict(names, arr[:, : len(names)])),
                "door": (lambda m: quorvelin._fit_columns(m, headers, cols),
                         lambda m: quorvelin._predict_columns(m, names, cols[: len(names)], out)),
            }
            for door, (fit, predict) in doors.items():
                for phase, delays in (("bin", args.bin_delays), ("grow", args.grow_delays),
                                      ("route", args.route_delays)):
                    lat = []
                    for d in [float(v) for v in delays.split(",")]:
                        if phase == "bin":
                            model = quorvelin.CausalModel(kind, conf)
                            lat.append(interrupted_after(d, lambda: fit(model)))
                        elif phase == "grow":
                            lat.append(interrupted_after(d, lambda: fit(trained)))
                        else:
                            lat.append(interrupted_after(d, lambda: predict(trained)))
                    shown = " ".join("done" if v != v else f"{1000 * v:6.1f}" for v in lat)
                    print(f"{kind:24} {door:7} {n_thread:3} {phase:6} {shown}", flush=True)


if __name__ == "__main__":
    main()
