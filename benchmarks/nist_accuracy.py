"""Correct digits of OLS on NIST's Statistical Reference Datasets for linear regression, against certified values.

    python benchmarks/nist_accuracy.py [path/to/nist_strd_linear.json] [--peers]

For each of the eleven datasets it fits the certified model with korvalis.OLS (polynomial powers built as
x[:, None] ** arange(1, k + 1)) and prints, as a Markdown table, the log relative error
LRE = -log10(|estimate - certified| / |certified|), capped at 15 (for a certified 0: -log10 |estimate|), taking the
smallest over the coefficients (intercept included) and over the non-zero standard errors, and the LRE of the
residual standard deviation sqrt(mse) and of R². R² is left out for NoInt1 and NoInt2, where NIST certifies the
uncentred R² and korvalis reports the centred one. --peers adds the same columns for statsmodels OLS and NumPy lstsq;
--estimators scores instead the coefficients of the estimators that can express these models: WLS with unit
weights and GLS with Σ = I (intercept included), and FE with a single entity (slopes only).

With --peers it also draws accuracy.png beside this script (matplotlib, from the "bench" extra; --no-chart skips it):
per dataset, the correct digits of each library's coefficients, standard errors, residual SD and R².
"""

from __future__ import annotations

import argparse
import json
import math
import sys
import warnings
from pathlib import Path
from typing import Any

import numpy as np

import korvalis

ROOT = Path(__file__).resolve().parent.parent
DEFAULT = ROOT / "tests" / "data" / "nist_strd_linear.json"
CAP = 15.0


def lre(estimate: float, certified: float) -> float:
    if not math.isfinite(estimate):
        return 0.0
    err = abs(estimate - certified) / abs(certified) if certified != 0 else abs(estimate)
    return CAP if err == 0 else max(0.0, min(CAP, -math.log10(err)))


def design(ds: dict[str, Any]) -> np.ndarray:
    x = np.asarray(ds["x"], dtype=np.float64)
    if ds["polynomial"]:
        return x[:, 0][:, None] ** np.arange(1, int(ds["k"]) + 1)
    return x


def korvalis_fit(x: np.ndarray, y: np.ndarray, intercept: bool) -> tuple[np.ndarray, np.ndarray, float, float]:
    m = korvalis.OLS(fit_intercept=intercept)
    m.fit(x, y)
    assert m.coefficients is not None and m.mse is not None and m.r_squared is not None
    cov = m.covariance_matrix()
    assert cov is not None
    params = np.r_[m.intercept, m.coefficients] if intercept else m.coefficients
    return params, np.sqrt(np.diag(cov)), math.sqrt(m.mse), m.r_squared


def statsmodels_fit(x: np.ndarray, y: np.ndarray, intercept: bool) -> tuple[np.ndarray, np.ndarray, float, float]:
    import statsmodels.api as sm

    d = sm.add_constant(x, prepend=True, has_constant="add") if intercept else x
    r = sm.OLS(y, d).fit()
    return r.params, r.bse, math.sqrt(r.mse_resid), r.rsquared


def lstsq_fit(x: np.ndarray, y: np.ndarray, intercept: bool) -> tuple[np.ndarray, np.ndarray, float, float]:
    d = np.column_stack([np.ones(len(y)), x]) if intercept else x
    beta = np.linalg.lstsq(d, y, rcond=None)[0]
    e = y - d @ beta
    s2 = e @ e / (len(y) - d.shape[1])
    se = np.sqrt(np.diag(np.linalg.inv(d.T @ d)) * s2)
    r2 = 1 - (e @ e) / np.sum((y - y.mean()) ** 2)
    return beta, se, math.sqrt(s2), float(r2)


def wls_unit_fit(x: np.ndarray, y: np.ndarray, intercept: bool) -> tuple[np.ndarray, np.ndarray, float, float]:
    m = korvalis.WLS(fit_intercept=intercept)
    m.fit(x, y, np.ones(len(y)))
    params = np.r_[m.intercept, m.coefficients] if intercept else m.coefficients
    return params, np.full(len(params), np.nan), math.sqrt(m.mse), m.r_squared


def gls_identity_fit(x: np.ndarray, y: np.ndarray, intercept: bool) -> tuple[np.ndarray, np.ndarray, float, float]:
    m = korvalis.GLS(fit_intercept=intercept)
    m.fit(x, y, np.eye(len(y)))
    params = np.r_[m.intercept, m.coefficients] if intercept else m.coefficients
    return params, np.full(len(params), np.nan), math.sqrt(m.mse), m.r_squared


def fe_single_entity_fit(x: np.ndarray, y: np.ndarray, intercept: bool) -> tuple[np.ndarray, np.ndarray, float, float]:
    """One entity: the within transformation centres the data, so the slopes are those of the model with a constant."""
    m = korvalis.FE()
    m.fit(x, y, np.zeros(len(y), dtype=np.int64))
    assert m.coefficients is not None and m.fixed_effects is not None
    return np.r_[m.fixed_effects[0], m.coefficients], np.full(len(m.coefficients) + 1, np.nan), math.nan, math.nan


def coefficient_lre(fit: Any, ds: dict[str, Any], slopes_only: bool = False) -> str:
    try:
        params = fit(design(ds), np.asarray(ds["y"], dtype=np.float64), bool(ds["intercept"]))[0]
    except Exception as e:
        return f"fails ({type(e).__name__})"
    pairs = list(zip(params, ds["certified"]["estimates"]))[1 if slopes_only else 0:]
    return f"{min(lre(a, b) for a, b in pairs):.1f}"


Scores = list[float | None] | str  # LREs, or the name of the exception the fit raised


def score_values(fit: Any, ds: dict[str, Any], name: str) -> Scores:
    """LRE of the coefficients, standard errors, residual SD and R² (None where not scored), or why the fit failed."""
    cert = ds["certified"]
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the peers warn on Filip; the table says how they fared
            params, se, sd, r2 = fit(design(ds), np.asarray(ds["y"], dtype=np.float64), bool(ds["intercept"]))
    except Exception as e:  # a failed fit has no correct digits
        return type(e).__name__
    coef = min(lre(a, b) for a, b in zip(params, cert["estimates"]))
    ses = [lre(a, b) for a, b in zip(se, cert["std_errors"]) if b != 0]
    r2_lre = None if name in ("NoInt1", "NoInt2") else lre(r2, cert["r_squared"])
    return [coef, min(ses) if ses else None, lre(sd, cert["residual_sd"]), r2_lre]


def draw_accuracy_chart(results: dict[str, dict[str, Scores]], path: Path) -> None:
    """Grouped bars: one panel per statistic, one group per dataset, one bar per library."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(next(iter(results.values())).keys())
    libraries = list(results)
    colours = {"korvalis": "#1f5fa8", "statsmodels": "#e08a2c", "NumPy lstsq": "#8c6d46"}
    panels = ["coefficients (worst of them)", "standard errors (worst of them)", "residual standard deviation",
              "R² (not certified comparably for NoInt1, NoInt2)"]
    fig, axes = plt.subplots(len(panels), 1, figsize=(12, 13), sharex=True)
    width = 0.8 / len(libraries)
    x = np.arange(len(names))
    for p, (ax, panel) in enumerate(zip(axes, panels)):
        for j, lib in enumerate(libraries):
            pos = x - 0.4 + width * (j + 0.5)
            for xi, name in zip(pos, names):
                values = results[lib][name]
                if isinstance(values, str):
                    ax.text(xi, 0.3, "fails", rotation=90, ha="center", va="bottom", fontsize=7, color="#c8413c")
                    continue
                v = values[p]
                if v is None:
                    continue
                ax.bar(xi, max(v, 0.05), width * 0.92, color=colours.get(lib, "#555555"),
                       label=lib if name == names[0] or lib not in ax.get_legend_handles_labels()[1] else None)
                ax.text(xi, max(v, 0) + 0.25, f"{v:.0f}" if v in (0.0, CAP) else f"{v:.1f}", ha="center",
                        va="bottom", fontsize=6.5)
        for xi, name in zip(x, names):
            if all(not isinstance(results[lib][name], str) and results[lib][name][p] is None for lib in libraries):
                why = "certified as 0: not scored" if p == 1 else "not scored"
                ax.text(xi, 1.0, why, ha="center", va="bottom", fontsize=7, color="#777777", rotation=90)
        ax.set_ylim(0, CAP + 2.2)
        ax.set_yticks([0, 3, 6, 9, 12, 15])
        ax.set_ylabel("correct digits", fontsize=9)
        ax.set_title(panel, loc="left", fontsize=10, fontweight="bold")
        ax.grid(axis="y", color="#dddddd", linewidth=0.6)
        ax.set_axisbelow(True)
        for side in ("top", "right"):
            ax.spines[side].set_visible(False)
    axes[-1].set_xticks(x, names, fontsize=9)
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="upper right", ncol=len(libraries), fontsize=9, frameon=False)
    fig.suptitle("Correct digits on NIST's linear regression reference data sets (LRE, capped at 15)",
                 x=0.01, ha="left", fontsize=12, fontweight="bold")
    fig.tight_layout(rect=(0, 0, 1, 0.97))
    fig.savefig(path, dpi=100, metadata={"Software": None})
    plt.close(fig)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("path", nargs="?", default=str(DEFAULT))
    ap.add_argument("--peers", action="store_true", help="also score statsmodels OLS and numpy.linalg.lstsq")
    ap.add_argument("--no-chart", action="store_true", help="with --peers, do not draw accuracy.png")
    ap.add_argument("--estimators", action="store_true",
                    help="instead, score the coefficients of WLS (unit weights), GLS (Σ = I) and FE (one entity)")
    args = ap.parse_args()
    datasets = json.loads(Path(args.path).read_text())["datasets"]

    if args.estimators:
        print("| Dataset | OLS | WLS, unit weights | GLS, Σ = I | FE, one entity (slopes) |")
        print("|---|---:|---:|---:|---:|")
        for name, ds in datasets.items():
            fe = coefficient_lre(fe_single_entity_fit, ds, slopes_only=True) if ds["intercept"] else "—"
            cells = [coefficient_lre(f, ds) for f in (korvalis_fit, wls_unit_fit, gls_identity_fit)]
            print(f"| {name} | " + " | ".join(cells + [fe]) + " |")
        return

    fits = [("korvalis", korvalis_fit)]
    if args.peers:
        fits += [("statsmodels", statsmodels_fit), ("NumPy lstsq", lstsq_fit)]
    head = ["Dataset"]
    for label, _ in fits:
        head += [f"{label}: coef", "std err", "resid SD", "R²"]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" + "---:|" * (len(head) - 1))
    results: dict[str, dict[str, Scores]] = {label: {} for label, _ in fits}
    for name, ds in datasets.items():
        cells = [name]
        for label, fit in fits:
            values = score_values(fit, ds, name)
            results[label][name] = values
            cells += [f"fails ({values})", "", "", ""] if isinstance(values, str) else ["—" if v is None else f"{v:.1f}" for v in values]
        print("| " + " | ".join(cells) + " |")
    if args.peers and not args.no_chart:
        chart = Path(__file__).resolve().parent / "accuracy.png"
        try:
            draw_accuracy_chart(results, chart)
        except ImportError as e:  # matplotlib is in the "bench" extra; the table stands without the chart
            print(f"accuracy chart not drawn ({e}); pip install '.[bench]'", file=sys.stderr)


if __name__ == "__main__":
    main()
