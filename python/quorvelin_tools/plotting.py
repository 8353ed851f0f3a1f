"""Matplotlib helpers: Qini and uplift curves, uplift by percentile.

matplotlib is an optional dependency: importing this module always works, and each
helper raises ImportError with an installation hint when matplotlib is missing.
Arguments follow :mod:`quorvelin_tools.metrics`: ``(y_true, uplift, treatment)``.
"""

from __future__ import annotations

import sys
from typing import Optional, Sequence

import numpy as np

from . import metrics

__all__ = [
    "have_matplotlib",
    "plot_qini_curve",
    "plot_uplift_curve",
    "plot_uplift_by_percentile",
    "save_qini_png",
    "save_uplift_by_percentile_png",
]

# Line styles, chosen to stay apart in print and for colour-blind readers: the model
# solid, the true uplift densely dotted and thick, references thin.
_MODEL = {"linestyle": "-", "linewidth": 1.8}
_TRUTH = {"linestyle": ":", "linewidth": 2.6}
_RANDOM = {"linestyle": "--", "linewidth": 1.0, "alpha": 0.7}
_PERFECT = {"linestyle": "-.", "linewidth": 1.0, "alpha": 0.7}


def have_matplotlib() -> bool:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def _pyplot():
    try:
        import matplotlib

        # Never require a display: unless the caller already set up pyplot, draw
        # off-screen, since files are the usual target of these helpers.
        if "matplotlib.pyplot" not in sys.modules:
            matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as exc:
        raise ImportError("plotting needs matplotlib; install it with 'pip install matplotlib'") from exc
    return plt


def _as_list(curves):
    return [curves] if isinstance(curves, metrics.UpliftCurve) else list(curves)


def _legend_outside(ax):
    """The legend to the right of the axes, where it cannot hide a curve."""
    ax.legend(loc="upper left", bbox_to_anchor=(1.02, 1.0), borderaxespad=0.0, fontsize="small", frameon=False)


def _plot(kind, y_true, uplift, treatment, control, treatment_values, ax, title, perfect, random, reference=None,
          reference_label="true uplift"):
    plt = _pyplot()
    if ax is None:
        _, ax = plt.subplots(figsize=(7.5, 4.8))
    curve_fn = metrics.qini_curve if kind == "qini" else metrics.uplift_curve
    perfect_fn = metrics.perfect_qini_curve if kind == "qini" else metrics.perfect_uplift_curve
    curves = _as_list(curve_fn(y_true, uplift, treatment, control, treatment_values))
    refs = [None] * len(curves)
    if reference is not None:
        refs = _as_list(curve_fn(y_true, reference, treatment, control, [c.treatment for c in curves]))
    for c, ref in zip(curves, refs):
        n = c.x[-1] if c.x[-1] > 0 else 1.0
        name = f"treatment {metrics._plain(c.treatment)}"
        color = ax.plot(c.x / n, c.y, label=name, **_MODEL)[0].get_color()
        if ref is not None:
            ax.plot(ref.x / n, ref.y, color=color, label=f"{name}: {reference_label}", **_TRUTH)
        if perfect:
            p = perfect_fn(y_true, treatment, control, c.treatment)
            ax.plot(p.x / n, p.y, color=color, label=f"{name}: perfect ranking", **_PERFECT)
        if random:
            ax.plot([0.0, 1.0], [0.0, c.y[-1]], color=color, label=f"{name}: random ranking", **_RANDOM)
    ax.set_xlabel("fraction of rows targeted (by decreasing predicted uplift)")
    ax.set_ylabel("Qini (incremental outcomes)" if kind == "qini" else "cumulative gain")
    ax.set_title(title or ("Qini curve" if kind == "qini" else "Uplift curve"))
    ax.axhline(0.0, color="grey", linewidth=0.5)
    _legend_outside(ax)
    return ax


def plot_qini_curve(
    y_true,
    uplift,
    treatment,
    control=0,
    treatment_values: Optional[Sequence] = None,
    ax=None,
    title: Optional[str] = None,
    perfect: bool = False,
    random: bool = True,
    reference=None,
    reference_label: str = "true uplift",
):
    """Draws the Qini curve of each treatment group and returns the axes. Per group
    and in the group's colour: the random ranking (dashed), the perfect ranking
    (dash-dot, with ``perfect=True``) and the curve of ``reference`` scores, such as
    the true uplift of synthetic data (thick dots)."""
    return _plot("qini", y_true, uplift, treatment, control, treatment_values, ax, title, perfect, random,
                 reference, reference_label)


def plot_uplift_curve(
    y_true,
    uplift,
    treatment,
    control=0,
    treatment_values: Optional[Sequence] = None,
    ax=None,
    title: Optional[str] = None,
    perfect: bool = False,
    random: bool = True,
    reference=None,
    reference_label: str = "true uplift",
):
    """Draws the uplift (gain) curve of each treatment group; see :func:`plot_qini_curve`."""
    return _plot("uplift", y_true, uplift, treatment, control, treatment_values, ax, title, perfect, random,
                 reference, reference_label)


def plot_uplift_by_percentile(
    y_true,
    uplift,
    treatment,
    control=0,
    treatment_values: Optional[Sequence] = None,
    bins: int = 10,
    strategy: str = "overall",
    ax=None,
    title: Optional[str] = None,
):
    """Bar chart of the observed uplift (treated minus control response rate) in each
    percentile bin of the score, highest scores on the left, one bar per treatment
    group and bin. A model that ranks well shows bars falling from left to right."""
    plt = _pyplot()
    tables = metrics.uplift_by_percentile(y_true, uplift, treatment, control, treatment_values, bins, strategy)
    tables = [tables] if isinstance(tables, metrics.PercentileTable) else tables
    if ax is None:
        _, ax = plt.subplots(figsize=(7.5, 4.2))
    width = 0.8 / len(tables)
    pos = np.arange(bins)
    for i, tab in enumerate(tables):
        name = f"treatment {metrics._plain(tab.treatment)}"
        bars = ax.bar(pos + (i - (len(tables) - 1) / 2) * width, np.nan_to_num(tab.uplift), width, label=name)
        ok = ~np.isnan(tab.uplift)
        weights = tab.n_treatment[ok].astype(np.float64)
        if weights.sum() > 0:
            # The same weighting as metrics.weighted_average_uplift, from the table at hand.
            overall = float(np.sum(weights * tab.uplift[ok]) / weights.sum())
            ax.axhline(overall, linestyle="--", linewidth=1.0, color=bars.patches[0].get_facecolor(),
                       label=f"{name}: weighted average")
    ax.set_xticks(pos)
    ax.set_xticklabels(tables[0].percentile, rotation=0, fontsize="small")
    ax.set_xlabel("percentile of predicted uplift (highest first)")
    ax.set_ylabel("observed uplift\n(treated - control mean outcome)")
    ax.set_title(title or "Uplift by percentile")
    ax.axhline(0.0, color="grey", linewidth=0.5)
    _legend_outside(ax)
    return ax


def _save(fig, path, title):
    plt = _pyplot()
    if title:
        fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)
    return str(path)


def _panels_figure(n, height):
    plt = _pyplot()
    fig, axes = plt.subplots(n, 1, figsize=(8.5, height * n), squeeze=False)
    return fig, axes[:, 0]


def save_qini_png(path, panels, title: Optional[str] = None) -> str:
    """Writes a PNG with one Qini plot per panel, stacked.

    ``panels`` is a sequence of dicts with the keys ``y_true``, ``uplift``,
    ``treatment`` and optionally ``title``, ``control``, ``treatment_values``,
    ``perfect`` (default True) and ``reference`` with ``reference_label`` (a second
    score matrix, such as the true uplift of synthetic data)."""
    panels = list(panels)
    fig, axes = _panels_figure(len(panels), 4.4)
    for ax, panel in zip(axes, panels):
        plot_qini_curve(
            panel["y_true"], panel["uplift"], panel["treatment"],
            control=panel.get("control", 0), treatment_values=panel.get("treatment_values"), ax=ax,
            title=panel.get("title"), perfect=panel.get("perfect", True), reference=panel.get("reference"),
            reference_label=panel.get("reference_label", "true uplift"),
        )
    return _save(fig, path, title)


def save_uplift_by_percentile_png(path, panels, title: Optional[str] = None, bins: int = 10) -> str:
    """Writes a PNG with one uplift-by-percentile bar chart per panel (keys as for
    :func:`save_qini_png`; ``reference`` is ignored)."""
    panels = list(panels)
    fig, axes = _panels_figure(len(panels), 3.8)
    for ax, panel in zip(axes, panels):
        plot_uplift_by_percentile(
            panel["y_true"], panel["uplift"], panel["treatment"],
            control=panel.get("control", 0), treatment_values=panel.get("treatment_values"), bins=bins, ax=ax,
            title=panel.get("title"),
        )
    return _save(fig, path, title)
