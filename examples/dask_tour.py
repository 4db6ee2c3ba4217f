"""korvalis.dask on a local cluster: the same fits over row chunks, on data that never leaves the workers.

    pip install ".[dask]" && python examples/dask_tour.py

Starts a LocalCluster of two worker processes, generates two million rows inside the workers, fits OLS with HC0
errors and two-stage least squares on them, and checks the in-memory class on a sample of the same rows.
"""

from __future__ import annotations

import dask.array as da
import numpy as np
from distributed import Client, LocalCluster

import korvalis
import korvalis.dask as kd


def main() -> None:
    # Dask's cluster and random constructors carry no annotations.
    with LocalCluster(n_workers=2, threads_per_worker=1, memory_limit="1GB",  # type: ignore[no-untyped-call]
                      dashboard_address=":0", silence_logs=40) as cluster, Client(cluster):  # type: ignore[no-untyped-call]
        n, k = 2_000_000, 4
        rng = da.random.default_rng(42)  # type: ignore[no-untyped-call]
        # Rows generated inside the workers, in chunks of 250,000: only p × p blocks come back to this process.
        z = rng.standard_normal((n, k + 1), chunks=(250_000, k + 1))
        u = rng.standard_normal(n, chunks=250_000)
        x = z[:, :k] + 0.5 * z[:, k:] + 0.5 * u[:, None]  # endogenous: correlated with the error u
        y = 1.0 + x @ np.arange(1.0, k + 1) + u

        ols = kd.OLS(robust=True)
        ols.fit(x, y)
        print("# OLS with HC0 errors over", n, "rows: biased by the endogeneity")
        print(ols.summary())

        tsls = kd.TSLS()
        tsls.fit(z, x, y)
        print("# TSLS with the instruments z: consistent")
        print(tsls.summary())
        assert tsls.coefficients is not None and tsls.standard_errors() is not None
        print("slopes", np.round(tsls.coefficients, 4), "true 1, 2, 3, 4")

        # The in-memory class on the first 100,000 rows (a NumPy array) and the Dask class on the same rows agree.
        rows = slice(0, 100_000)
        memory = korvalis.TSLS()
        memory.fit(z[rows].compute(), x[rows].compute(), y[rows].compute())
        sample = kd.TSLS()
        sample.fit(z[rows], x[rows], y[rows])
        assert memory.coefficients is not None and sample.coefficients is not None
        print("largest difference on the sample:", float(np.max(np.abs(memory.coefficients - sample.coefficients))))


if __name__ == "__main__":
    main()
