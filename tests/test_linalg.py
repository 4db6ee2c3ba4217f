"""The linear-algebra layer seen through the estimators: LAPACK never prints, NaN pivots are not
positive definite, and the error renderings embedded in messages."""
import numpy as np
import pytest

import korvalis


def small(n=6, k=2, seed=0):
    rng = np.random.default_rng(seed)
    return rng.normal(size=(n, k)), rng.normal(size=n)


@pytest.mark.parametrize("value", [np.nan, np.inf], ids=["nan", "inf"])
def test_least_squares_rejects_non_finite_design_without_printing(capfd, value):
    x, y = small()
    x[1, 1] = value
    with pytest.raises(RuntimeError) as info:
        korvalis.WLS().fit(x, y, np.ones(6))  # n ≤ 3p: the SVD route
    assert str(info.value) == "Failed to solve the weighted least squares system"
    with pytest.raises(RuntimeError) as info:
        korvalis.GLS().fit(x, y, np.eye(6))
    assert str(info.value) == "SVD failed: Lapack(LapackInvalidValue { return_code: -4 })"  # dgelsd's A
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("n", [6, 40], ids=["svd-route", "normal-route"])
@pytest.mark.parametrize("value", [np.nan, np.inf], ids=["nan", "inf"])
def test_non_finite_target_gives_the_same_outcome_on_every_route(capfd, n, value):
    # LAPACK accepts a non-finite right-hand side silently: WLS and GLS carry it into their
    # coefficients on both routes, and nothing is printed.
    x, y = small(n)
    y[2] = value
    for model, extra in ((korvalis.WLS(), np.ones(n)), (korvalis.GLS(), np.eye(n))):
        model.fit(x, y, extra)
        assert not np.isfinite(model.coefficients).all()
    assert capfd.readouterr() == ("", "")


def test_nan_on_the_covariance_diagonal_is_not_positive_definite(capfd):
    x, y = small(12)
    sigma = np.eye(12)
    sigma[4, 4] = np.nan
    with pytest.raises(RuntimeError, match="^Covariance matrix is not positive definite$"):
        korvalis.GLS().fit(x, y, sigma)
    assert capfd.readouterr() == ("", "")
