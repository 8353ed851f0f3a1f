"""The ``quorvelin`` console command.

Subcommands: demo, generate, train, predict, evaluate, inspect. Run
``quorvelin <subcommand> --help`` for the options of each; the commands themselves
live in :mod:`quorvelin_tools.commands` and :mod:`quorvelin_tools.demo`.

Exit codes: 0 success, 1 a demo self-check failed, 2 a usage or input problem
(missing file or column, malformed table or model file, bad setting, a file that
cannot be written), 130 Ctrl-C.
"""

from __future__ import annotations

import argparse
import sys
from typing import Optional, Sequence

from . import __version__
from .commands import SETTINGS, cli_words, cmd_evaluate, cmd_generate, cmd_inspect, cmd_predict, cmd_train, flag_type
from .console import PROG, UsageError
from .demo import cmd_demo
from .modelfile import ModelFileError
from .tables import TableError

__all__ = ["main", "build_parser"]


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        print(f"{self.prog}: error: {message}", file=sys.stderr)
        sys.exit(2)


def _quiet(sp):
    sp.add_argument("-q", "--quiet", action="store_true", help="no progress lines on stderr (default: off)")


def _table_options(sp):
    sp.add_argument("--sep", metavar="CHAR",
                    help="CSV delimiter, such as ';' or tab (default: found from the header line; tab for .tsv)")
    sp.add_argument("--na", metavar="TOKENS",
                    help="comma-separated extra cell texts that mean a missing value, such as '?' "
                         "(default: none; empty, NA, N/A, NaN, null, None, #N/A always are)")


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(prog=PROG, description="Uplift random forests: demo, data generation, training, prediction, evaluation. "
                                        "Tables are CSV (any delimiter), Parquet or Feather.")
    p.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    d = sub.add_parser("demo", help="generate data, train both model kinds, evaluate, save and reload")
    d.add_argument("--quick", action="store_true", help="small CI-sized run of a few seconds (default: off)")
    d.add_argument("--out", default="demo-output", help="output directory (default: ./demo-output)")
    d.add_argument("--seed", type=int, default=42, help="seed of data, split and forests (default: 42)")
    d.add_argument("--threads", type=flag_type(SETTINGS[-2]), default=2, help="training threads (default: 2)")
    d.add_argument("--trees", type=flag_type(SETTINGS[0]), default=None, help="trees per forest (default: 100, 20 with --quick)")
    d.add_argument("--rows", type=int, default=None,
                   help="classification rows; regression gets 40%% (default: 300,000, 10,000 with --quick)")
    d.add_argument("--max-depth", type=int, default=6, help="depth limit of a tree (default: 6)")
    d.add_argument("--min-samples-leaf", type=int, default=None, help="least weight of a child (default: 100, 50 with --quick)")
    d.add_argument("--no-data", action="store_true", help="do not write the generated tables (default: written)")
    _quiet(d)
    d.set_defaults(func=cmd_demo)

    g = sub.add_parser("generate", help="write a synthetic uplift table with known true effects")
    g.add_argument("output", help="output file: .csv, .tsv, .parquet or .feather")
    g.add_argument("--task", choices=["classification", "regression"], default="classification",
                   help="0/1 or continuous outcome (default: classification)")
    g.add_argument("--rows", type=int, default=10_000, help="rows (default: 10,000)")
    g.add_argument("--features", type=int, default=8, help="continuous features, at least 3 (default: 8)")
    g.add_argument("--categorical", type=int, default=2, help="categorical features, as text (default: 2)")
    g.add_argument("--treatments", type=int, default=2, help="treatment groups besides control (default: 2)")
    g.add_argument("--missing", type=float, default=0.05, help="fraction of missing feature cells (default: 0.05)")
    g.add_argument("--seed", type=int, default=None, help="random seed (default: none, a new table each run)")
    g.add_argument("--truth", action="store_true", help="add true_uplift_<k> columns (default: off)")
    _quiet(g)
    g.set_defaults(func=cmd_generate)

    t = sub.add_parser("train", help="train a model on a CSV, Parquet or Feather table")
    t.add_argument("table", help="training table")
    t.add_argument("-o", "--output", default="model.qvl", metavar="FILE", help="model file to write (default: model.qvl)")
    t.add_argument("--treatment", metavar="COL", help="treatment column (required, or 'treatment' in --conf)")
    t.add_argument("--outcome", "-y", metavar="COL", help="outcome column (required, or 'y' in --conf)")
    t.add_argument("--features", metavar="COLS", help="comma-separated feature columns (default: every other column)")
    t.add_argument("--cat", metavar="COLS", help="comma-separated categorical features (default: none; text columns always are)")
    t.add_argument("--weight", metavar="COL", help="row weight column (default: none, every row weighs 1)")
    t.add_argument("--ignore", metavar="COLS", help="comma-separated columns that are not features, such as ids (default: none)")
    t.add_argument("--control", metavar="LABEL", help="control label in the treatment column (default: 0)")
    t.add_argument("--kind", metavar="KIND", help="classifier or regressor (default: classifier for a 0/1 outcome, else regressor)")
    t.add_argument("--conf", metavar="FILE", help="JSON file with column roles and settings; flags take precedence (default: none)")
    for s in SETTINGS:
        t.add_argument(s.flag, type=flag_type(s), default=None, metavar=s.metavar,
                       help=f"{s.help} (default: {s.default})")
    t.add_argument("--no-normalization", action="store_true",
                   help="classifier: do not penalise uneven splits of the groups (default: penalise)")
    _table_options(t)
    _quiet(t)
    t.set_defaults(func=cmd_train)

    pr = sub.add_parser("predict", help="score a table with a model file")
    pr.add_argument("model", help="model file written by train (or the demo)")
    pr.add_argument("table", help="table with the model's feature columns")
    pr.add_argument("-o", "--output", default="predictions.csv",
                    help="output table, .csv, .tsv, .parquet or .feather; '-' for stdout (default: predictions.csv)")
    pr.add_argument("--keep", help="comma-separated input columns copied to the output (default: none)")
    pr.add_argument("--kind", help="classifier or regressor; needed only for a bare model file, without the estimator header (default: from the header)")
    _table_options(pr)
    _quiet(pr)
    pr.set_defaults(func=cmd_predict)

    e = sub.add_parser("evaluate", help="Qini / AUUC report of uplift scores")
    e.add_argument("table", help="table with treatment and outcome (and the scores, unless --scores)")
    e.add_argument("--scores", help="separate table of scores, row-aligned with TABLE (default: scores in TABLE)")
    e.add_argument("--treatment", required=True, help="treatment column (required)")
    e.add_argument("--outcome", "-y", required=True, help="outcome column (required)")
    e.add_argument("--score", action="append", metavar="COL[=LABEL]",
                   help="score column and its treatment label, repeatable (default: every uplift_<label> column)")
    e.add_argument("--control", default="0", help="control label in the treatment column (default: 0)")
    e.add_argument("--k", default="0.3", help="top fraction (or row count) for uplift@k (default: 0.3)")
    e.add_argument("--ci", type=float, default=None,
                   help="add seeded bootstrap intervals at this level, such as 0.95 (default: none)")
    e.add_argument("--plot", help="write the Qini curves to this PNG; needs matplotlib (default: none)")
    e.add_argument("--json", help="write the report as JSON to this file (default: none)")
    _table_options(e)
    _quiet(e)
    e.set_defaults(func=cmd_evaluate)

    i = sub.add_parser("inspect", help="configuration, tree statistics and feature importance of a model file")
    i.add_argument("model", help="model file")
    i.add_argument("--json", action="store_true", help="machine-readable output (default: text)")
    i.add_argument("--top", type=int, default=None, help="show only the N most important features (default: all)")
    i.set_defaults(func=cmd_inspect)
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if not getattr(args, "command", None):
        parser.print_help()
        return 2
    from .estimators import QuorvelinError

    def fail(message) -> int:
        text = " ".join(str(message).split()) or type(message).__name__
        print(f"{PROG} {args.command}: error: {text}", file=sys.stderr)
        return 2

    try:
        return int(args.func(args) or 0)
    except (UsageError, TableError, ModelFileError) as exc:
        return fail(exc)
    except QuorvelinError as exc:
        return fail(cli_words(str(exc)))
    except ImportError as exc:
        return fail(exc)
    except ValueError as exc:
        return fail(cli_words(str(exc)))
    except BrokenPipeError:
        return 0
    except OSError as exc:
        # Files that cannot be written or read: full disk, permissions, a directory.
        where = f"{exc.filename}: " if getattr(exc, "filename", None) else ""
        return fail(f"{where}{exc.strerror or exc}")
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
