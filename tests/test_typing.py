"""The typing stub korvalis.pyi: installed beside the module as korvalis/__init__.pyi, naming exactly the classes, methods, parameters and
attributes the module registers (read with ast, so a developer build checks it too), true to the module's docstrings,
and precise enough that mypy rejects the mistakes the module itself rejects (stubtest, run by CI, checks the rest).

Reference: the runtime module itself (its docstrings and surface), and mypy's verdict on snippets.
"""

from __future__ import annotations

import ast
import re
import shutil
import sys
from collections.abc import Iterator
from pathlib import Path

import pytest

import korvalis
from estimators import registered_surface

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = Path(korvalis.__file__).resolve().parent  # korvalis/, whose __init__ is the extension module
INSTALLED_STUB = PACKAGE / "__init__.pyi"
SOURCE_STUB = ROOT / "src" / "korvalis.pyi"
STUB = INSTALLED_STUB if INSTALLED_STUB.is_file() else SOURCE_STUB
CLASSES = ["OLS", "GLS", "WLS", "IV", "TSLS", "FE"]
# the formula layer's stub, installed beside korvalis/formula.py
FORMULA_STUB = PACKAGE / "formula.pyi" if (PACKAGE / "formula.pyi").is_file() else ROOT / "python" / "korvalis" / "formula.pyi"


def test_stub_installed_beside_the_module() -> None:
    if "site-packages" not in Path(korvalis.__file__).parts:
        pytest.skip("korvalis is not an installed copy (developer build)")
    assert INSTALLED_STUB.read_text() == SOURCE_STUB.read_text()
    # the copy mypy finds: a stub-only package beside the module
    assert (PACKAGE.parent / "korvalis-stubs" / "__init__.pyi").read_text() == SOURCE_STUB.read_text()


def stub_docstrings() -> dict[str, str | None]:
    """'OLS', 'OLS.fit', ... -> the docstring the stub gives it."""
    tree = ast.parse(STUB.read_text())
    out: dict[str, str | None] = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            out[node.name] = ast.get_docstring(node)
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and not item.name.startswith("__"):
                    out[f"{node.name}.{item.name}"] = ast.get_docstring(item)
    return out


def stub_surface() -> dict[str, dict[str, object]]:
    """Each class of the source stub in the form of estimators.registered_surface."""
    out: dict[str, dict[str, object]] = {}
    for node in ast.parse(SOURCE_STUB.read_text()).body:
        if not isinstance(node, ast.ClassDef):
            continue
        new: tuple[str, ...] = ()
        methods: dict[str, tuple[str, ...]] = {}
        attributes, other = [], []
        for item in node.body:
            if isinstance(item, ast.AnnAssign | ast.Assign):
                other.append(ast.unparse(item))
            if not isinstance(item, ast.FunctionDef):
                continue
            params = tuple(a.arg for a in item.args.posonlyargs + item.args.args + item.args.kwonlyargs)[1:]
            if any(isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list):
                attributes.append(item.name)
            elif item.name == "__new__":
                new = params
            elif not item.name.startswith("_"):
                methods[item.name] = params
        out[node.name] = {"new": new, "methods": methods, "attributes": tuple(sorted(attributes)),
                          "other": tuple(other)}
    return out


def test_stub_declares_the_module_classes() -> None:
    tree = ast.parse(SOURCE_STUB.read_text())
    declared = [n for n in tree.body if isinstance(n, ast.Assign) and ast.unparse(n.targets[0]) == "__all__"]
    assert [ast.literal_eval(n.value) for n in declared] == [korvalis.__all__]
    assert sorted(stub_surface()) == sorted(korvalis.__all__) == sorted(CLASSES)


@pytest.mark.parametrize("name", CLASSES)
def test_stub_names_what_the_module_registers(name: str) -> None:
    # Constructor, methods and their parameter names, and attributes (properties in the stub).
    assert stub_surface()[name] == registered_surface(getattr(korvalis, name))


def runtime_members() -> list[str]:
    return [f"{c}.{name}" for c in CLASSES for name in vars(getattr(korvalis, c)) if not name.startswith("__")]


@pytest.mark.parametrize("qualname", runtime_members())
def test_every_member_has_a_stub_docstring(qualname: str) -> None:
    docs = stub_docstrings()
    assert qualname in docs, f"{qualname} missing from the stub"
    assert docs[qualname], f"{qualname} has no docstring in the stub"


@pytest.mark.parametrize("qualname", [q for q in runtime_members() if getattr(
    getattr(korvalis, q.split(".")[0]), q.split(".")[1]).__doc__])
def test_stub_docstring_starts_with_the_module_docstring(qualname: str) -> None:
    cls, name = qualname.split(".")
    runtime = getattr(getattr(korvalis, cls), name).__doc__
    stub = stub_docstrings()[qualname]
    assert stub is not None and stub.startswith(runtime)


def test_iv_class_docstring_is_the_module_one() -> None:
    doc = stub_docstrings()["IV"]
    assert doc is not None
    assert doc == korvalis.IV.__doc__


# Each snippet line must draw a mypy error with the given code; the last block must be clean.
MISTAKES = {
    "read_only_attribute": ("korvalis.OLS().coefficients = numpy.zeros(2)", "misc"),
    "float_entity_ids": ("korvalis.FE().fit(x, y, x[:, 0])", "arg-type"),
    "list_is_not_an_array": ("korvalis.OLS().fit([[1.0]], [1.0])", "arg-type"),
    "tsls_has_no_p_values": ("korvalis.TSLS().p_values()", "attr-defined"),
    "wls_has_no_covariance": ("korvalis.WLS().covariance_matrix()", "attr-defined"),
    "iv_covariance_is_an_attribute": ("korvalis.IV().covariance_matrix()", "operator"),
    "fe_has_no_intercept": ("korvalis.FE().intercept", "attr-defined"),
    "result_may_be_none": ("korvalis.OLS().coefficients.sum()", "union-attr"),
    "alpha_must_be_a_number": ('korvalis.OLS().confidence_intervals("a")', "arg-type"),
    "keyword_names": ("korvalis.OLS(intercept=True)", "call-arg"),
    "not_subclassable": ("class Sub(korvalis.OLS): pass", "misc"),
    "formula_missing_is_drop_or_raise": ('korvalis.formula.ols("y ~ x", {}, missing="keep")', "arg-type"),
    "formula_robust_is_keyword_of_ols_and_fe": ('korvalis.formula.wls("y ~ x", {}, "w", robust=True)', "call-arg"),
    "formula_nobs_is_an_int": ('korvalis.formula.iv("y ~ [x ~ z]", {}).nobs.sum()', "attr-defined"),
}

CLEAN = """
def use() -> float:
    m = korvalis.OLS(fit_intercept=numpy.bool_(True), robust=False)
    m.fit(x, y)
    ci = m.confidence_intervals(alpha=0.1)
    fe = korvalis.FE(robust=True)
    fe.fit(x, y, numpy.zeros(10, dtype=numpy.int64))
    p: numpy.ndarray = fe.predict(x, numpy.zeros(10, dtype=numpy.int64))
    cov = korvalis.TSLS().covariance_matrix
    n: int | None = m.n_samples
    res = korvalis.formula.fe("y ~ x | g", {}, robust=True)
    text: str = res.summary()
    k: int = res.nobs + res.n_missing + len(text)
    return float(p.sum()) + k + (0.0 if ci is None or cov is None or n is None else float(ci[0, 0]))
"""


@pytest.fixture(scope="module")
def mypy_report(
    tmp_path_factory: pytest.TempPathFactory, monkeypatch_module: pytest.MonkeyPatch
) -> tuple[dict[str, int], str]:
    """Line of each mistake in one snippet file, and mypy's report on it (one mypy run for all cases)."""
    api = pytest.importorskip("mypy.api")
    work = tmp_path_factory.mktemp("typing")
    (work / "stubs" / "korvalis").mkdir(parents=True)
    shutil.copy(STUB, work / "stubs" / "korvalis" / "__init__.pyi")
    shutil.copy(FORMULA_STUB, work / "stubs" / "korvalis" / "formula.pyi")
    lines = ["import numpy", "import korvalis", "import korvalis.formula", "x = numpy.zeros((10, 2))",
             "y = numpy.zeros(10)"]
    where: dict[str, int] = {}
    for key, (code, _) in MISTAKES.items():
        lines.append(code)
        where[key] = len(lines)
    lines += CLEAN.splitlines()
    (work / "snippet.py").write_text("\n".join(lines) + "\n")
    monkeypatch_module.setenv("MYPYPATH", str(work / "stubs"))
    stdout, stderr, _ = api.run(
        ["--strict", "--no-incremental", "--show-error-codes", "--config-file", "", str(work / "snippet.py")]
    )
    assert "korvalis" not in stderr, stderr
    return where, stdout


@pytest.fixture(scope="module")
def monkeypatch_module() -> Iterator[pytest.MonkeyPatch]:
    with pytest.MonkeyPatch.context() as mp:
        yield mp


@pytest.mark.parametrize("key", list(MISTAKES))
def test_mypy_rejects(mypy_report: tuple[dict[str, int], str], key: str) -> None:
    where, report = mypy_report
    code = MISTAKES[key][1]
    errors = [line for line in report.splitlines() if f"snippet.py:{where[key]}:" in line and "error" in line]
    assert any(line.endswith(f"[{code}]") for line in errors), f"expected [{code}] on line {where[key]}:\n{report}"


def test_mypy_accepts_correct_use(mypy_report: tuple[dict[str, int], str]) -> None:
    where, report = mypy_report
    last_mistake = max(where.values())
    numbered = [re.search(r"snippet\.py:(\d+):", line) for line in report.splitlines()]
    errors = [m.string for m in numbered if m is not None and int(m.group(1)) > last_mistake]
    assert errors == [], report
