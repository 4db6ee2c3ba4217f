#!/usr/bin/env bash
# Build the wheel with `pip wheel .`, install it into a fresh venv far from the source tree, and check there that
# korvalis imports, finds its OpenBLAS (scipy-openblas32, installed as a dependency) at run time, ships its typing
# stub, and fits a model to the same numbers as NumPy. Usage: scripts/check_wheel.sh [python]   (exit 0 = good)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=${1:-python3}
work=$(mktemp -d /tmp/korvalis-wheel.XXXXXX)
trap 'rm -rf "$work"' EXIT

echo "== building the wheel"
"$py" -m pip wheel -q --no-deps -w "$work/dist" "$root"
wheel=$(ls "$work"/dist/korvalis-*.whl)
echo "   $(basename "$wheel")"

echo "== installing it into a fresh venv"
"$py" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --upgrade pip
"$work/venv/bin/python" -m pip install -q "$wheel"

echo "== importing and fitting outside the source tree"
cd "$work"
env -u PYTHONPATH "$work/venv/bin/python" - "$root" "$wheel" <<'EOF'
import pathlib
import sys
import zipfile

import numpy as np

import korvalis

root, wheel = pathlib.Path(sys.argv[1]), sys.argv[2]
module = pathlib.Path(korvalis.__file__).resolve()
assert root not in module.parents, f"imported from the source tree: {module}"
assert "site-packages" in module.parts, f"not the installed module: {module}"

names = zipfile.ZipFile(wheel).namelist()
assert "korvalis.pyi" in names, f"typing stub missing from the wheel: {names}"
assert "korvalis-stubs/__init__.pyi" in names, f"stub package for mypy missing from the wheel: {names}"
assert not any(n.startswith(("src/", "tests/", "build/")) for n in names), f"source files in the wheel: {names}"
stub = module.parent / "korvalis.pyi"
assert stub.is_file(), "typing stub not installed beside the module"
assert (module.parent / "korvalis-stubs" / "__init__.pyi").read_text() == stub.read_text(), "the two stubs differ"

rng = np.random.default_rng(0)
x = rng.standard_normal((500, 3))
y = 2.0 + x @ np.array([1.0, -0.5, 0.25]) + rng.standard_normal(500)
m = korvalis.OLS()
m.fit(x, y)
design = np.column_stack([np.ones(500), x])
expected = np.linalg.lstsq(design, y, rcond=None)[0]
assert m.intercept is not None and m.coefficients is not None
np.testing.assert_allclose(np.r_[m.intercept, m.coefficients], expected, rtol=1e-10)

loaded = [line.split()[-1] for line in open("/proc/self/maps") if "openblas" in line.lower() and "/" in line]
ours = sorted({p for p in loaded if "scipy_openblas32" in p})
assert ours and all(pathlib.Path(p).resolve().is_relative_to(pathlib.Path(sys.prefix).resolve()) for p in ours), \
    f"OpenBLAS of korvalis not loaded from the venv: {sorted(set(loaded))}"
print(f"   korvalis from {module}")
print(f"   OpenBLAS from {ours[0]}")
print("   OLS matches numpy.linalg.lstsq; stub installed")
EOF
echo "== wheel OK"
