"""The linear-algebra layer seen through the estimators: LAPACK never prints, NaN pivots are not
positive definite, and the error renderings embedded in messages."""
import numpy as np
import pytest

import korvalis


def small(n=6, k=2, seed=0):
    rng = np.random.default_rng(seed)
    return rng.normal(size=(n, k)), rng.normal(size=n)


@pytest.mark.parametrize("where", ["x", "y"])
@pytest.mark.parametrize("value", [np.nan, np.inf], ids=["nan", "inf"])
def test_least_squares_rejects_non_finite_input_without_printing(capfd, where, value):
    x, y = small()
    if where == "x":
        x[1, 1] = value
    else:
        y[2] = value
    with pytest.raises(RuntimeError) as info:
        korvalis.WLS().fit(x, y, np.ones(6))  # n ≤ 3p: the SVD route
    assert str(info.value) == "Failed to solve the weighted least squares system"
    with pytest.raises(RuntimeError) as info:
        korvalis.GLS().fit(x, y, np.eye(6))
    code = -4 if where == "x" else -6  # the offending dgelsd argument
    assert str(info.value) == f"SVD failed: Lapack(LapackInvalidValue {{ return_code: {code} }})"
    out, err = capfd.readouterr()
    assert out == "" and err == ""


def test_nan_on_the_covariance_diagonal_is_not_positive_definite(capfd):
    x, y = small(12)
    sigma = np.eye(12)
    sigma[4, 4] = np.nan
    with pytest.raises(RuntimeError, match="^Covariance matrix is not positive definite$"):
        korvalis.GLS().fit(x, y, sigma)
    assert capfd.readouterr() == ("", "")
