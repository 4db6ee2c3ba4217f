"""Write the data sets of examples/tour.py to examples/data/*.csv.

Run once by a maintainer (it needs statsmodels and linearmodels, which ship the data); the tour itself reads only the
CSV files, so it runs offline with NumPy and korvalis alone. examples/data/README.md describes each file and its
source. Re-running it reproduces the committed files byte for byte.
"""

from __future__ import annotations

import csv
from pathlib import Path

import linearmodels.datasets.mroz as mroz
import statsmodels.api as sm

DATA = Path(__file__).resolve().parent.parent / "examples" / "data"


def write(name: str, header: list[str], rows: list[list[object]]) -> None:
    path = DATA / name
    with path.open("w", newline="") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(header)
        w.writerows(rows)
    print(f"{path.relative_to(DATA.parent.parent)}: {len(rows)} rows")


def number(v: object) -> object:
    """Integral floats print without a trailing '.0' so the files read like the published tables."""
    if isinstance(v, float) and v.is_integer():
        return int(v)
    return v


def export_longley() -> None:
    d = sm.datasets.longley.load_pandas().data
    cols = ["TOTEMP", "GNPDEFL", "GNP", "UNEMP", "ARMED", "POP", "YEAR"]
    write("longley.csv", cols, [[number(v) for v in r] for r in d[cols].itertuples(index=False)])


def export_grunfeld() -> None:
    d = sm.datasets.grunfeld.load_pandas().data
    cols = ["firm", "year", "invest", "value", "capital"]
    write("grunfeld.csv", cols, [[number(v) for v in r] for r in d[cols].itertuples(index=False)])


def export_mroz() -> None:
    d = mroz.load()
    working = d[d["inlf"] == 1]  # wages are observed only for the 428 women in the labour force in 1975
    cols = ["lwage", "educ", "exper", "expersq", "motheduc", "fatheduc", "age", "kidslt6", "kidsge6"]
    rows = [[repr(float(r[0]))] + [int(v) for v in r[1:]] for r in working[cols].itertuples(index=False)]
    write("mroz.csv", cols, rows)


def export_anes96_cells() -> None:
    d = sm.datasets.anes96.load_pandas().data
    cells = d.groupby(["educ", "income"])["selfLR"].agg(["size", "mean"]).reset_index()
    rows = [[int(r.educ), int(r.income), int(r.size), repr(float(r.mean))] for r in cells.itertuples(index=False)]
    write("anes96_cells.csv", ["educ", "income", "n", "mean_selfLR"], rows)


if __name__ == "__main__":
    DATA.mkdir(parents=True, exist_ok=True)
    export_longley()
    export_grunfeld()
    export_mroz()
    export_anes96_cells()
