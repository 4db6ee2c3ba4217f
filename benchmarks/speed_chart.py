"""Draw speed.png: per estimator, korvalis's time against each peer and against NumPy's limit, on a log scale.

    python benchmarks/speed_chart.py measurements.json [speed.png]

compare.py calls draw_speed_chart at the end of a full run; run by hand, this redraws the chart from the JSON that
`compare.py --json FILE` writes. Needs matplotlib (the "bench" extra).
"""

from __future__ import annotations

import sys
from pathlib import Path
from typing import Any

COLOURS = {
    "korvalis": "#1f5fa8",
    "NumPy limit": "#9a9a9a",
    "statsmodels": "#e08a2c",
    "numpy lstsq": "#8c6d46",
    "scikit-learn": "#8e5fb5",
    "linearmodels PanelOLS": "#3b9a4b",
    "linearmodels IV2SLS": "#3b9a4b",
    "pyfixest": "#c8413c",
}
PANELS = [  # title, case-id prefixes
    ("OLS", ("ols-",)),
    ("FE (entity fixed effects)", ("fe-",)),
    ("WLS, IV and TSLS", ("wls-", "iv-", "tsls-")),
    ("GLS", ("gls-",)),
    ("summary() and predict", ("summary-", "predict-")),
]


def fmt_time(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.0f} µs"
    if seconds < 1.0:
        return f"{seconds * 1e3:.0f} ms" if seconds >= 0.1 else f"{seconds * 1e3:.1f} ms"
    return f"{seconds:.2f} s"


def bars_of(case: dict[str, Any], rows: list[dict[str, Any]]) -> list[tuple[str, float, str]]:
    """(label, seconds, text) for korvalis, the NumPy limit and each peer of one case, in that order."""
    mine = {r["label"]: r for r in rows if r["case"] == case["id"] and r["seconds"] is not None}
    if "korvalis" not in mine:
        return []
    kv = mine["korvalis"]["seconds"]
    out = [("korvalis", kv, fmt_time(kv))]
    if case["limit"] and all(label in mine for label in case["limit"]):
        limit = sum(mine[label]["seconds"] for label in case["limit"])
        out.append((f"NumPy: {case['limit_name']}", limit, f"{fmt_time(limit)}   korvalis at {kv / limit:.2f}× this"))
    for label, r in mine.items():
        if label != "korvalis" and not r["limit"]:
            out.append((label, r["seconds"], f"{fmt_time(r['seconds'])}   {r['seconds'] / kv:.1f}× korvalis"))
    return out


def draw_speed_chart(payload: dict[str, Any], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cases = sorted((c for c in payload["cases"] if c["chart"]), key=lambda c: c["index"])
    panels = []
    for title, prefixes in PANELS:
        groups = [(c["title"], bars_of(c, payload["rows"])) for c in cases if c["id"].startswith(prefixes)]
        groups = [(t, b) for t, b in groups if b]
        if groups:
            panels.append((title, groups))
    if not panels:
        return
    heights = [sum(len(b) + 1 for _, b in groups) for _, groups in panels]
    fig, axes = plt.subplots(len(panels), 1, figsize=(11, 0.24 * sum(heights) + 1.6 * len(panels) + 1.2),
                             gridspec_kw={"height_ratios": heights}, squeeze=False)
    times = [t for _, groups in panels for _, bars in groups for _, t, _ in bars]
    lo, hi = min(times) / 2, max(times) * 25  # room on the right for the labels
    for ax, (title, groups), h in zip(axes[:, 0], panels, heights):
        y = h - 0.5
        ticks, ticklabels = [], []
        for case_title, bars in groups:
            ax.text(lo * 1.05, y, case_title, fontsize=9, fontweight="bold", va="center")
            y -= 1
            for label, seconds, text in bars:
                colour = COLOURS.get("NumPy limit" if label.startswith("NumPy:") else label, "#555555")
                ax.barh(y, seconds - lo, left=lo, height=0.75, color=colour, edgecolor="none")
                ax.text(seconds * 1.12, y, text, fontsize=8, va="center")
                ticks.append(y)
                ticklabels.append(label)
                y -= 1
        ax.set_xscale("log")
        ax.set_xlim(lo, hi)
        ax.set_ylim(-0.5, h)
        ax.set_yticks(ticks, ticklabels, fontsize=8)
        ax.set_title(title, loc="left", fontsize=11, fontweight="bold")
        ax.grid(axis="x", which="major", color="#dddddd", linewidth=0.6)
        ax.set_axisbelow(True)
        for side in ("top", "right"):
            ax.spines[side].set_visible(False)
        ax.set_xlabel("median time per call, seconds (log scale)", fontsize=8)
    top = fig.get_figheight()
    fig.text(0.01, 1 - 0.2 / top, "korvalis against its peers and NumPy's limits", fontsize=13, fontweight="bold",
             va="top")
    fig.text(0.01, 1 - 0.5 / top,
             f"{payload['command']}; {payload['blas']}. Peer bars: that time over korvalis's (above 1: korvalis is "
             "faster). NumPy bars: the expressions the goals are stated against, timed on the same arrays.",
             fontsize=8, va="top", wrap=True)
    fig.tight_layout(rect=(0, 0, 1, 1 - 1.0 / top))
    fig.savefig(path, dpi=100, metadata={"Software": None})
    plt.close(fig)


if __name__ == "__main__":
    import json

    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    out = Path(sys.argv[2]) if len(sys.argv) == 3 else Path(__file__).resolve().parent / "speed.png"
    draw_speed_chart(json.loads(Path(sys.argv[1]).read_text()), out)
    print(out.name)
