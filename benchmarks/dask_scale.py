"""korvalis.dask against the in-memory classes, and out of core, in one run; results as ratios.

    python benchmarks/dask_scale.py            # n up to 10⁷ in memory, 4·10⁷ rows out of core; writes dask.png
    python benchmarks/dask_scale.py --quick    # small sizes, a smoke run

1. Threaded scheduler on da.from_array of in-memory data (k = 10, chunks of 10⁶ rows): the Dask fit's time over the
   in-memory fit's, OLS classical and HC0, WLS, IV, TSLS, and FE classical and clustered with ids drawn from 10², 10⁴
   and 10⁶ values.
2. The interpreter lock: a Python thread asks to wake every millisecond while a threaded Dask fit runs; the share of
   its ticks that came late by more than a millisecond (a kernel that held the lock would starve it).
3. Fit time against rows: in memory (korvalis.OLS), Dask threaded on the same arrays, and out of core on a
   LocalCluster of two worker processes with 1 GB each, the rows generated inside the workers (never on the client),
   with each worker's peak memory; drawn in dask.png.
"""

from __future__ import annotations

import argparse
import statistics
import threading
import time
from pathlib import Path

import dask
import dask.array as da
import numpy as np

import korvalis
import korvalis.dask as kd

HERE = Path(__file__).resolve().parent


def best(fn, repeat: int) -> float:
    fn()
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def data(n: int, k: int, seed: int = 0, groups: tuple[int, ...] = ()) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, k))
    z = x + rng.standard_normal((n, k))
    z2 = np.column_stack([z, rng.standard_normal(n)])
    out = {"x": x, "z": z, "z2": z2, "y": x @ np.linspace(-1, 1, k) + rng.standard_normal(n),
           "w": rng.uniform(0.5, 2.0, n)}
    for g in groups:  # entity ids drawn uniformly from g values
        out[f"ids{g}"] = rng.integers(0, g, n).astype(np.int64)
    return out


def in_memory_ratios(n: int, k: int, chunk: int, repeat: int, groups: tuple[int, ...]) -> list[tuple[str, float, float]]:
    d = data(n, k, groups=groups)
    dd = {key: da.from_array(v, chunks=(chunk,) + v.shape[1:]) for key, v in d.items()}
    cases = [
        ("OLS", lambda: korvalis.OLS().fit(d["x"], d["y"]), lambda: kd.OLS().fit(dd["x"], dd["y"])),
        ("OLS HC0", lambda: korvalis.OLS(robust=True).fit(d["x"], d["y"]),
         lambda: kd.OLS(robust=True).fit(dd["x"], dd["y"])),
        ("WLS", lambda: korvalis.WLS().fit(d["x"], d["y"], d["w"]), lambda: kd.WLS().fit(dd["x"], dd["y"], dd["w"])),
        ("IV", lambda: korvalis.IV().fit(d["z"], d["x"], d["y"]), lambda: kd.IV().fit(dd["z"], dd["x"], dd["y"])),
        ("TSLS", lambda: korvalis.TSLS().fit(d["z2"], d["x"], d["y"]),
         lambda: kd.TSLS().fit(dd["z2"], dd["x"], dd["y"])),
    ]
    for g in groups:
        for robust in (False, True):
            ids, dids = d[f"ids{g}"], dd[f"ids{g}"]
            cases.append((f"FE{' clustered' if robust else ''}, G = {g:,}",
                          lambda r=robust, i=ids: korvalis.FE(robust=r).fit(d["x"], d["y"], i),
                          lambda r=robust, i=dids: kd.FE(robust=r).fit(dd["x"], dd["y"], i)))
    out = []
    with dask.config.set(scheduler="threads"):
        for name, memory, chunked in cases:
            tm, tc = best(memory, repeat), best(chunked, repeat)
            out.append((name, tm, tc))
    return out


def missed_ticks(n: int, k: int, chunk: int) -> tuple[float, int]:
    d = data(n, k)
    x, y = da.from_array(d["x"], chunks=(chunk, k)), da.from_array(d["y"], chunks=chunk)
    late, ticks, stop = [0], [0], threading.Event()

    def ticker() -> None:
        while not stop.is_set():
            t = time.perf_counter()
            time.sleep(0.001)
            ticks[0] += 1
            if time.perf_counter() - t > 0.002:
                late[0] += 1

    th = threading.Thread(target=ticker)
    with dask.config.set(scheduler="threads"):
        th.start()
        for _ in range(3):
            kd.OLS().fit(x, y)
        stop.set()
        th.join()
    return late[0] / max(ticks[0], 1), ticks[0]


def high_water_mb() -> float:
    """This process's peak resident memory since it started its program (ru_maxrss survives exec; VmHWM not)."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) / 1024


def out_of_core(sizes: list[int], k: int, chunk: int) -> list[tuple[int, float, float]]:
    from distributed import Client, LocalCluster

    out = []
    with LocalCluster(n_workers=2, threads_per_worker=1, memory_limit="1GB", dashboard_address=":0",
                      silence_logs=40) as cluster, Client(cluster) as client:
        for n in sizes:
            rng = da.random.default_rng(1)
            x = rng.standard_normal((n, k), chunks=(chunk, k))
            y = x @ np.linspace(-1, 1, k) + rng.standard_normal(n, chunks=chunk)
            workers = set(client.scheduler_info()["workers"])
            t = time.perf_counter()
            kd.OLS().fit(x, y)
            elapsed = time.perf_counter() - t
            peak = max(client.run(high_water_mb).values())
            assert set(client.scheduler_info()["workers"]) == workers, "a worker restarted"
            out.append((n, elapsed, peak))
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    k = 10
    n, chunk, repeat = (200_000, 20_000, 1) if args.quick else (10_000_000, 1_000_000, 3)
    # Out of core first, while this process (the client) holds nothing but the imports.
    sizes = [250_000, 1_000_000] if args.quick else [1_000_000, 3_000_000, 10_000_000, 40_000_000]
    rows = out_of_core(sizes, k, chunk // 4 if args.quick else 500_000)
    client_peak = high_water_mb()
    print(f"# korvalis.dask, threaded scheduler on in-memory data: n = {n:,}, k = {k}, chunks of {chunk:,} rows")
    print("| estimator | in memory | Dask, threaded | Dask / in memory |\n|---|---|---|---|")
    groups = (100, 10_000) if args.quick else (100, 10_000, 1_000_000)
    for name, tm, tc in in_memory_ratios(n, k, chunk, repeat, groups):
        print(f"| {name} | {tm:.3f} s | {tc:.3f} s | {tc / tm:.2f} |")
    share, ticks = missed_ticks(n, k, chunk)
    print(f"\nA thread waking every millisecond beside three threaded fits: {share:.1%} of {ticks} ticks late.")

    in_mem = []
    for size in sizes[:3] if not args.quick else sizes:
        d = data(size, k)
        in_mem.append((size, best(lambda: korvalis.OLS().fit(d["x"], d["y"]), 1)))
    print("\n# OLS fit time against rows (k = 10)\n| rows | in memory | out of core (2 workers, 1 GB each) |"
          " worker peak |\n|---|---|---|---|")
    memory_times = dict(in_mem)
    for size, t, peak in rows:
        tm = memory_times.get(size)
        print(f"| {size:,} | {f'{tm:.3f} s' if tm else '—'} | {t:.2f} s | {peak:.0f} MB |")
    print(f"\nThe client's own peak through the out-of-core fits: {client_peak:.0f} MB "
          f"(the largest data set is {sizes[-1] * (k + 1) * 8 / 1e9:.1f} GB).")
    if not args.quick:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, ax = plt.subplots(figsize=(6.5, 4))
        ax.loglog([s for s, _ in in_mem], [t for _, t in in_mem], "o-", label="korvalis.OLS, in memory")
        ax.loglog([s for s, _, _ in rows], [t for _, t, _ in rows], "s-",
                  label="korvalis.dask.OLS, out of core\n(LocalCluster, 2 workers × 1 GB)")
        ax.set_xlabel("rows (k = 10 regressors; 80 bytes a row)")
        ax.set_ylabel("fit time (s)")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
        fig.tight_layout()
        fig.savefig(HERE / "dask.png", dpi=110)
        print(f"\nwrote {HERE / 'dask.png'}")


if __name__ == "__main__":
    main()
