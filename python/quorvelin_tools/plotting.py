"""Matplotlib helpers for Qini and uplift curves.

matplotlib is an optional dependency: importing this module always works, and each
helper raises ImportError with an installation hint when matplotlib is missing.
"""

from __future__ import annotations

import sys
from typing import Optional, Sequence


from . import metrics

__all__ = ["have_matplotlib", "plot_qini_curve", "plot_uplift_curve", "save_qini_png"]


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
        raise ImportError(
            "plotting needs matplotlib; install it with 'pip install matplotlib'"
        ) from exc
    return plt


def _plot(kind, y, treatment, uplift, control, treatment_values, ax, title, perfect, random):
    plt = _pyplot()
    if ax is None:
        _, ax = plt.subplots(figsize=(6.4, 4.8))
    curve_fn = metrics.qini_curve if kind == "qini" else metrics.uplift_curve
    perfect_fn = metrics.perfect_qini_curve if kind == "qini" else metrics.perfect_uplift_curve
    curves = curve_fn(y, treatment, uplift, control, treatment_values)
    if isinstance(curves, metrics.UpliftCurve):
        curves = [curves]
    labels = [c.treatment for c in curves]
    for i, c in enumerate(curves):
        n = c.x[-1] if c.x[-1] > 0 else 1.0
        line = ax.plot(c.x / n, c.y, label=f"treatment {c.treatment}")[0]
        if random:
            ax.plot(
                [0.0, 1.0], [0.0, c.y[-1]], linestyle="--", color=line.get_color(), alpha=0.6,
                label="random ranking" if i == 0 else None,
            )
        if perfect:
            p = perfect_fn(y, treatment, control, c.treatment)
            pn = p.x[-1] if p.x[-1] > 0 else 1.0
            ax.plot(
                p.x / pn, p.y, linestyle=":", color=line.get_color(), alpha=0.6,
                label="perfect ranking" if i == 0 else None,
            )
    ax.set_xlabel("fraction of population targeted (by decreasing predicted uplift)")
    ax.set_ylabel("Qini (incremental outcomes)" if kind == "qini" else "cumulative gain")
    ax.set_title(title or ("Qini curve" if kind == "qini" else "Uplift curve"))
    ax.axhline(0.0, color="grey", linewidth=0.5)
    if len(labels) > 1 or random or perfect:
        ax.legend(loc="best")
    return ax


def plot_qini_curve(
    y,
    treatment,
    uplift,
    control=0,
    treatment_values: Optional[Sequence] = None,
    ax=None,
    title: Optional[str] = None,
    perfect: bool = False,
    random: bool = True,
):
    """Draws the Qini curve of each treatment group (dashed: random ranking, dotted:
    perfect ranking when ``perfect=True``) and returns the axes."""
    return _plot("qini", y, treatment, uplift, control, treatment_values, ax, title, perfect, random)


def plot_uplift_curve(
    y,
    treatment,
    uplift,
    control=0,
    treatment_values: Optional[Sequence] = None,
    ax=None,
    title: Optional[str] = None,
    perfect: bool = False,
    random: bool = True,
):
    """Draws the uplift (gain) curve of each treatment group and returns the axes."""
    return _plot("uplift", y, treatment, uplift, control, treatment_values, ax, title, perfect, random)


def save_qini_png(path, panels, title: Optional[str] = None) -> str:
    """Writes a PNG with one Qini plot per panel.

    ``panels`` is a sequence of dicts with the keys ``y``, ``treatment``, ``uplift``
    and optionally ``title``, ``control``, ``treatment_values``, ``perfect`` (draw the
    perfect ranking) and ``reference`` (a second score matrix, such as the true
    uplift of synthetic data, drawn dotted).
    """
    plt = _pyplot()
    panels = list(panels)
    fig, axes = plt.subplots(1, len(panels), figsize=(6.0 * len(panels), 4.6), squeeze=False)
    for ax, panel in zip(axes[0], panels):
        control = panel.get("control", 0)
        values = panel.get("treatment_values")
        plot_qini_curve(
            panel["y"],
            panel["treatment"],
            panel["uplift"],
            control=control,
            treatment_values=values,
            ax=ax,
            title=panel.get("title"),
            perfect=panel.get("perfect", False),
        )
        ref = panel.get("reference")
        if ref is not None:
            curves = metrics.qini_curve(panel["y"], panel["treatment"], ref, control, values)
            if isinstance(curves, metrics.UpliftCurve):
                curves = [curves]
            colors = [line.get_color() for line in ax.get_lines() if str(line.get_label()).startswith("treatment ")]
            for i, c in enumerate(curves):
                n = c.x[-1] if c.x[-1] > 0 else 1.0
                ax.plot(
                    c.x / n, c.y, linestyle=":", alpha=0.8,
                    color=colors[i] if i < len(colors) else None,
                    label=panel.get("reference_label", "reference") if i == 0 else None,
                )
            ax.legend(loc="best")
    if title:
        fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return str(path)
