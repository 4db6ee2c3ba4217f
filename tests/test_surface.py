"""The binding layer as every class sees it: the class table of tests/estimators.py against what the
module registers, argument matching and conversion messages,
the NumPy input rules, unfitted answers, fresh result copies, and the module and type
rules (one module object, no second interpreter, no subclasses, no instance attributes).

Messages are checked to the letter; they follow CPython's wording for the same situations.
"""

import inspect
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import korvalis
from estimators import CASE_BY_NAME, CASE_IDS, CASES, array_type_message, registered_surface, snapshot

# ---------------------------------------------------------------- the class table against the module


def test_class_table_lists_every_class_of_the_module():
    classes = sorted(name for name, value in vars(korvalis).items() if isinstance(value, type))
    assert sorted(korvalis.__all__) == classes == sorted(CASE_IDS)


@pytest.mark.parametrize("name", CASE_IDS)
def test_class_table_matches_what_the_module_registers(name):
    # Options, fit/predict parameters, methods without parameters, attributes and has_ci, by name.
    case = CASE_BY_NAME[name]
    assert registered_surface(case.cls) == case.surface
    assert len(case.surface["methods"]) == len(case.param_methods) + len(case.noarg_methods)  # no name twice
    assert (len(case.fit_kinds), len(case.predict_kinds)) == (len(case.fit_params), len(case.predict_params))
    if case.has_ci:
        assert inspect.signature(case.cls.confidence_intervals).parameters["alpha"].default == 0.05


# ---------------------------------------------------------------- argument matching


def _call_cases():
    """(id, class name, method or None for the constructor, parameter names, required count)."""
    rows = []
    for case in CASES:
        rows.append((f"{case.name}.__new__", case.name, None, case.options, 0))
        for method, params in case.param_methods.items():
            required = 0 if method == "confidence_intervals" else len(params)
            rows.append((f"{case.name}.{method}", case.name, method, params, required))
    return rows


CALLS = _call_cases()
CALL_IDS = [r[0] for r in CALLS]


def _target(name, method):
    cls = getattr(korvalis, name)
    return cls if method is None else getattr(cls(), method)


@pytest.mark.parametrize("qual,name,method,params,required", CALLS, ids=CALL_IDS)
def test_too_many_positional(qual, name, method, params, required):
    given = len(params) + 1
    if required == len(params):
        expected = f"{qual}() takes {len(params)} positional arguments but {given} were given"
    else:
        expected = f"{qual}() takes from {required} to {len(params)} positional arguments but {given} were given"
    with pytest.raises(TypeError) as err:
        _target(name, method)(*([None] * given))
    assert str(err.value) == expected


@pytest.mark.parametrize("qual,name,method,params,required", CALLS, ids=CALL_IDS)
def test_unexpected_keyword(qual, name, method, params, required):
    with pytest.raises(TypeError) as err:
        _target(name, method)(*([None] * required), zeta=1)
    assert str(err.value) == f"{qual}() got an unexpected keyword argument 'zeta'"


@pytest.mark.parametrize("qual,name,method,params,required", CALLS, ids=CALL_IDS)
def test_multiple_values(qual, name, method, params, required):
    with pytest.raises(TypeError) as err:
        _target(name, method)(None, **{params[0]: None})
    assert str(err.value) == f"{qual}() got multiple values for argument '{params[0]}'"


def _quoted_list(names):
    names = [f"'{n}'" for n in names]
    if len(names) == 1:
        return names[0]
    if len(names) == 2:
        return f"{names[0]} and {names[1]}"
    return ", ".join(names[:-1]) + ", and " + names[-1]


MISSING = [(qual, name, method, params, required, given)
           for qual, name, method, params, required in CALLS for given in range(required)]


@pytest.mark.parametrize("qual,name,method,params,required,given", MISSING,
                         ids=[f"{r[0]}-{r[5]}-given" for r in MISSING])
def test_missing_arguments(qual, name, method, params, required, given):
    missing = params[given:required]
    plural = "argument" if len(missing) == 1 else "arguments"
    with pytest.raises(TypeError) as err:
        _target(name, method)(*([None] * given))
    assert str(err.value) == f"{qual}() missing {len(missing)} required positional {plural}: {_quoted_list(missing)}"


@pytest.mark.parametrize(
    "call,expected",
    [
        # Too many positional arguments is checked before any keyword.
        (lambda m: m.fit(1, 2, 3, zeta=1), "OLS.fit() takes 2 positional arguments but 3 were given"),
        # Keywords are checked in the order given.
        (lambda m: m.fit(1, zeta=1, x=2), "OLS.fit() got an unexpected keyword argument 'zeta'"),
        (lambda m: m.fit(1, x=2, zeta=1), "OLS.fit() got multiple values for argument 'x'"),
        # Keywords before missing arguments; matching before conversion.
        (lambda m: m.fit(zeta=1), "OLS.fit() got an unexpected keyword argument 'zeta'"),
        (lambda m: m.fit("not an array"), "OLS.fit() missing 1 required positional argument: 'y'"),
        (lambda m: m.fit(y=1), "OLS.fit() missing 1 required positional argument: 'x'"),
    ],
    ids=["positional-before-keyword", "unexpected-first", "duplicate-first", "keyword-before-missing",
         "matching-before-conversion", "missing-first-only"],
)
def test_matching_order(call, expected):
    with pytest.raises(TypeError) as err:
        call(korvalis.OLS())
    assert str(err.value) == expected


class _StrSubclass(str):
    pass


@pytest.mark.parametrize(
    "make_key",
    [lambda s: "".join(list(s)), _StrSubclass],
    ids=["non-interned-str", "str-subclass"],
)
def test_keywords_match_by_value(make_key):
    # A keyword that is not the interned parameter name still names the parameter.
    with pytest.raises(TypeError) as err:
        korvalis.OLS().fit(**{make_key("x"): np.zeros((3, 1))})
    assert str(err.value) == "OLS.fit() missing 1 required positional argument: 'y'"
    m = korvalis.OLS(**{make_key("robust"): True})
    assert m.robust is True


@pytest.mark.parametrize("name", CASE_IDS)
@pytest.mark.parametrize("method", ["is_fitted", "summary", "standard_errors"])
def test_no_argument_methods_refuse_arguments(name, method):
    m = getattr(korvalis, name)()
    with pytest.raises(TypeError) as err:
        getattr(m, method)(1)
    assert str(err.value) == f"{name}.{method}() takes no arguments (1 given)"
    with pytest.raises(TypeError) as err:
        getattr(m, method)(a=1)
    assert str(err.value) == f"{name}.{method}() takes no keyword arguments"


# ---------------------------------------------------------------- bool conversion


@pytest.mark.parametrize("name", CASE_IDS)
@pytest.mark.parametrize(
    "value,type_name",
    [(1, "int"), (0, "int"), (None, "NoneType"), ("True", "str"), (1.0, "float"), (np.int64(1), "int64"),
     (np.array(True), "ndarray"), ([True], "list")],
    ids=["int-1", "int-0", "None", "str", "float", "int64", "0d-bool-array", "list"],
)
def test_bool_option_rejects_non_bools(name, value, type_name):
    option = CASE_BY_NAME[name].options[0]
    for call in (lambda: getattr(korvalis, name)(**{option: value}), lambda: getattr(korvalis, name)(value)):
        with pytest.raises(TypeError) as err:
            call()
        assert str(err.value) == f"argument '{option}': '{type_name}' object cannot be converted to 'PyBool'"


@pytest.mark.parametrize("name", CASE_IDS)
@pytest.mark.parametrize("value", [True, False, np.bool_(True), np.bool_(False)],
                         ids=["True", "False", "numpy-True", "numpy-False"])
def test_bool_option_accepts_bools(name, value):
    case = CASE_BY_NAME[name]
    m = case.cls(**{case.options[0]: value})
    assert getattr(m, case.options[0]) is bool(value)


def test_second_option_is_converted_after_the_first():
    with pytest.raises(TypeError) as err:
        korvalis.OLS(fit_intercept=0, robust="x")
    assert str(err.value) == "argument 'fit_intercept': 'int' object cannot be converted to 'PyBool'"
    with pytest.raises(TypeError) as err:
        korvalis.OLS(True, "x")
    assert str(err.value) == "argument 'robust': 'str' object cannot be converted to 'PyBool'"


# A constructor called through the C API with a dictionary gets that very dictionary, and the
# truth-value slot of a NumPy-named boolean runs Python code that may clear it: the options
# converted after it must still be alive. Run in a child, so that a crash fails the test.
_CLEARING_CHILD = """
import ctypes, sys
sys.path[:0] = {path!r}
import korvalis
call = ctypes.pythonapi.PyObject_Call
call.argtypes = [ctypes.py_object] * 3
call.restype = ctypes.py_object
cls = korvalis.{name}
d = {{}}
def clear(self):
    d.clear()
    return False
first = type({type_name!r}, (), {{"__bool__": clear}})
def make():
    d.clear()
    d[{first!r}] = first()
    d[{second!r}] = {value}  # referenced by d alone
for _ in range(20):
    make()
    try:
        m = call({callee}, {args}, d)
    except TypeError as e:
        print("TypeError", e)
    else:
        print({first!r}, getattr(m, {first!r}), {second!r}, getattr(m, {second!r}))
"""


@pytest.mark.parametrize("type_name", ["numpy.bool_", "numpy.bool"])
@pytest.mark.parametrize(
    "value,expected",
    [
        ("tuple(range(40000))", "TypeError argument '{second}': 'tuple' object cannot be converted to 'PyBool'"),
        ("1 << 2_000_000", "TypeError argument '{second}': 'int' object cannot be converted to 'PyBool'"),
        ("first()", "{first} False {second} False"),
        ("True", "{first} False {second} True"),
    ],
    ids=["large-tuple", "large-int", "another-numpy-bool", "True"],
)
@pytest.mark.parametrize(
    "callee,args", [("cls", "()"), ("cls.__new__", "(cls,)")], ids=["type-call", "__new__"]
)
def test_options_survive_a_truth_value_that_clears_the_keywords(type_name, value, expected, callee, args):
    # Options are converted in parameter order: fit_intercept clears, robust is read after.
    first, second = "fit_intercept", "robust"
    code = _CLEARING_CHILD.format(path=sys.path, name="OLS", type_name=type_name, first=first, second=second,
                                  value=value, callee=callee, args=args)
    # Small objects straight from malloc, so that a freed one is overwritten (and seen by ASan).
    env = dict(os.environ, PYTHONMALLOC="malloc")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert done.stdout.splitlines() == [expected.format(first=first, second=second)] * 20


@pytest.mark.parametrize("name", CASE_IDS)
@pytest.mark.parametrize("key", ["1", "b'fit_intercept'", "None"], ids=["int", "bytes", "None"])
def test_constructor_keywords_must_be_strings(name, key):
    # Only reachable through the C API, which passes the dictionary as it is.
    code = textwrap.dedent(
        f"""
        import ctypes, sys
        sys.path[:0] = {sys.path!r}
        import korvalis
        call = ctypes.pythonapi.PyObject_Call
        call.argtypes = [ctypes.py_object] * 3
        call.restype = ctypes.py_object
        try:
            call(korvalis.{name}, (), {{{key}: True}})
        except TypeError as e:
            print(e)
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"{name}.__new__() keywords must be strings\n"


class _QualnameRaises(type):
    """A metaclass whose __qualname__ raises the exception stored on the class."""

    def __getattribute__(cls, attr):
        if attr == "__qualname__":
            raise type.__getattribute__(cls, "error")
        return type.__getattribute__(cls, attr)


def _odd_instance(error):
    return _QualnameRaises("Odd", (), {"error": error})()


def _qualname_rows():
    rows = []
    for case in CASES:
        rows.append(pytest.param(case.name, None, 0, "bool", id=f"{case.name}.__new__"))
        for position, param in enumerate(case.fit_params):
            rows.append(pytest.param(case.name, "fit", position, "array", id=f"{case.name}.fit-{param}"))
    return rows


@pytest.mark.parametrize("name,method,position,kind", _qualname_rows())
@pytest.mark.parametrize(
    "error", [KeyboardInterrupt, SystemExit, ValueError("from __qualname__"), AttributeError, MemoryError],
    ids=["KeyboardInterrupt", "SystemExit", "ValueError", "AttributeError", "MemoryError"],
)
def test_exception_from_type_qualname_propagates(name, method, position, kind, error):
    case = CASE_BY_NAME[name]
    m = case.cls()
    before = snapshot(case, m)
    bad = _odd_instance(error)
    expected = error if isinstance(error, type) else type(error)
    with pytest.raises(BaseException) as err:
        if method is None:
            case.cls(bad)
        else:
            args = list(case.fit_args(n=12))
            args[position] = bad
            m.fit(*args)
    assert type(err.value) is expected
    if not isinstance(error, type):
        assert err.value is error
    assert snapshot(case, m) == before


@pytest.mark.parametrize("name,method,position,kind", _qualname_rows())
def test_type_error_from_type_qualname_names_the_c_level_type(name, method, position, kind):
    case = CASE_BY_NAME[name]
    bad = _odd_instance(TypeError("from __qualname__"))
    with pytest.raises(TypeError) as err:
        if method is None:
            case.cls(bad)
        else:
            args = list(case.fit_args(n=12))
            args[position] = bad
            case.cls().fit(*args)
    param = case.options[0] if method is None else case.fit_params[position]
    target = "PyBool" if kind == "bool" else "PyArray<T, D>"
    assert str(err.value) == f"argument '{param}': 'Odd' object cannot be converted to '{target}'"


# ---------------------------------------------------------------- float conversion (alpha)


class _FloatReturnsInt:
    def __float__(self):
        return 1


class _FloatRaisesWithCause:
    def __float__(self):
        raise TypeError("inner message") from KeyError("the cause")


class _FloatRaisesValueError:
    def __float__(self):
        raise ValueError("no float here")


ALPHA_NAMES = [c.name for c in CASES if c.has_ci]


@pytest.mark.parametrize("name", ALPHA_NAMES)
@pytest.mark.parametrize(
    "value,exc,message",
    [
        ("a", TypeError, "argument 'alpha': must be real number, not str"),
        (None, TypeError, "argument 'alpha': must be real number, not NoneType"),
        ([0.05], TypeError, "argument 'alpha': must be real number, not list"),
        (_FloatReturnsInt(), TypeError,
         "argument 'alpha': _FloatReturnsInt.__float__ returned non-float (type int)"),
        (_FloatRaisesValueError(), ValueError, "no float here"),
        (10**400, OverflowError, "int too large to convert to float"),
    ],
    ids=["str", "None", "list", "float-returns-int", "other-error-unchanged", "huge-int"],
)
def test_alpha_conversion_errors(name, value, exc, message):
    # Conversion happens before the unfitted answer, so an unfitted object raises too.
    with pytest.raises(exc) as err:
        getattr(korvalis, name)().confidence_intervals(value)
    assert type(err.value) is exc
    assert str(err.value) == message


@pytest.mark.parametrize("name", ALPHA_NAMES)
def test_alpha_type_error_keeps_its_cause(name):
    with pytest.raises(TypeError) as err:
        getattr(korvalis, name)().confidence_intervals(alpha=_FloatRaisesWithCause())
    assert str(err.value) == "argument 'alpha': inner message"
    assert isinstance(err.value.__cause__, KeyError)
    assert err.value.__cause__.args == ("the cause",)


class _UnprintableTypeError(TypeError):
    def __str__(self):
        raise KeyError("no text")


class _FloatRaisesUnprintable:
    def __float__(self):
        raise _UnprintableTypeError()


class _FloatRaisesSurrogate:
    def __float__(self):
        raise TypeError("bad \udcff text")


@pytest.mark.parametrize("name", ALPHA_NAMES)
@pytest.mark.parametrize(
    "value,message",
    [
        (_FloatRaisesUnprintable(), "argument 'alpha': <exception str() failed>"),
        (_FloatRaisesSurrogate(), "argument 'alpha': bad \udcff text"),
    ],
    ids=["str-of-error-raises", "surrogate-in-message"],
)
def test_alpha_type_error_with_awkward_text(name, value, message):
    # Still a TypeError naming the argument, never a SystemError or a mangled text.
    with pytest.raises(TypeError) as err:
        getattr(korvalis, name)().confidence_intervals(value)
    assert type(err.value) is TypeError
    assert str(err.value) == message


@pytest.mark.parametrize("keyword", ["é", "\udcff", "x" * 300], ids=["non-ascii", "surrogate", "long"])
def test_unexpected_keyword_is_quoted_as_given(keyword):
    with pytest.raises(TypeError) as err:
        korvalis.OLS(**{keyword: True})
    assert str(err.value) == f"OLS.__new__() got an unexpected keyword argument '{keyword}'"


class _FloatTenth:
    def __float__(self):
        return 0.1


@pytest.mark.parametrize("name", ALPHA_NAMES)
@pytest.mark.parametrize("alpha", [0.1, 1, np.float64(0.1), np.float32(0.25), True, _FloatTenth()],
                         ids=["float", "int", "float64", "float32", "bool", "dunder-float"])
def test_alpha_accepts_real_numbers(name, alpha):
    assert getattr(korvalis, name)().confidence_intervals(alpha) is None


# ---------------------------------------------------------------- array conversion


def _bad_arrays(kind):
    """(id, value) that a parameter of this kind must refuse with the conversion TypeError."""
    shape = (4, 2) if kind == "matrix" else (4,)
    wrong_ndim = (4,) if kind == "matrix" else (4, 1)
    native = "f8" if kind != "ids" else "i8"
    rows = [
        ("list", [[1.0, 2.0]] if kind == "matrix" else [1.0, 2.0]),
        ("None", None),
        ("int", 3),
        ("str", "x"),
        ("0d-array", np.array(1, dtype=native)),
        ("3d-array", np.zeros((2, 2, 2), dtype=native)),
        ("wrong-ndim", np.zeros(wrong_ndim, dtype=native)),
        ("big-endian", np.zeros(shape, dtype=">" + native)),
        ("float32", np.zeros(shape, dtype=np.float32)),
        ("int32", np.zeros(shape, dtype=np.int32)),
        ("uint64", np.zeros(shape, dtype=np.uint64)),
        ("complex", np.zeros(shape, dtype=np.complex128)),
        ("object", np.zeros(shape, dtype=object)),
        ("bool", np.zeros(shape, dtype=bool)),
        ("longdouble", np.zeros(shape, dtype=np.longdouble)),
        ("masked-float32", np.ma.zeros(shape, dtype=np.float32)),
        ("float64-scalar", np.float64(1.0)),
    ]
    if kind == "ids":
        rows.append(("float64", np.zeros(shape)))
    else:
        rows.append(("int64", np.zeros(shape, dtype=np.int64)))
    return rows


def _array_param_rows():
    rows = []
    for case in CASES:
        for method, params, kinds in (("fit", case.fit_params, case.fit_kinds),
                                      ("predict", case.predict_params, case.predict_kinds)):
            for position, (param, kind) in enumerate(zip(params, kinds)):
                for bad_id, bad in _bad_arrays(kind):
                    rows.append(pytest.param(case.name, method, position, param, bad,
                                             id=f"{case.name}.{method}-{param}-{bad_id}"))
    return rows


@pytest.mark.parametrize("name,method,position,param,bad", _array_param_rows())
def test_array_parameters_refuse_other_objects(name, method, position, param, bad):
    case = CASE_BY_NAME[name]
    args = list(case.fit_args(n=12) if method == "fit" else case.predict_args())
    args[position] = bad
    m = case.cls()
    with pytest.raises(TypeError) as err:
        getattr(m, method)(*args)
    assert str(err.value) == array_type_message(param, bad)
    assert m.is_fitted() is False


@pytest.mark.parametrize("name", CASE_IDS)
def test_first_bad_array_in_parameter_order_is_reported(name):
    case = CASE_BY_NAME[name]
    args = [None] * len(case.fit_params)
    with pytest.raises(TypeError) as err:
        case.cls().fit(*args)
    assert str(err.value) == array_type_message(case.fit_params[0], None)
    args = list(case.fit_args(n=12))
    args[-1] = "last"
    with pytest.raises(TypeError) as err:
        case.cls().fit(*args)
    assert str(err.value) == array_type_message(case.fit_params[-1], "last")


# ---------------------------------------------------------------- unfitted answers


@pytest.mark.parametrize("name", CASE_IDS)
def test_unfitted_answers(name):
    case = CASE_BY_NAME[name]
    m = case.cls()
    for attr in case.attributes:
        expected = True if attr == "fit_intercept" else (False if attr == "robust" else None)
        assert getattr(m, attr) is expected, attr
    for method in case.noarg_methods:
        value = getattr(m, method)()
        if method == "is_fitted":
            assert value is False
        elif method == "summary":
            assert isinstance(value, str)
        else:
            assert value is None, method
    if case.has_ci:
        assert m.confidence_intervals() is None
        assert m.confidence_intervals(0.2) is None
    exc, message = case.not_fitted
    with pytest.raises(exc) as err:
        m.predict(*case.predict_args())
    assert type(err.value) is exc
    assert str(err.value) == message


# ---------------------------------------------------------------- results are fresh copies


def _array_results(case, m):
    out = {a: (lambda a=a: getattr(m, a)) for a in case.attributes}
    out.update({f"{meth}()": (lambda meth=meth: getattr(m, meth)()) for meth in case.noarg_methods})
    if case.has_ci:
        out["confidence_intervals()"] = m.confidence_intervals
    return out


@pytest.mark.parametrize("name", CASE_IDS)
def test_every_array_result_is_a_fresh_owned_copy(name):
    case = CASE_BY_NAME[name]
    m = case.fitted()
    seen = 0
    for label, read in _array_results(case, m).items():
        first = read()
        if not isinstance(first, np.ndarray):
            continue
        seen += 1
        assert first.dtype == np.float64 and first.flags.c_contiguous and first.flags.owndata, label
        assert first.flags.writeable, label
        original = first.copy()
        first[...] = 12345.0
        second = read()
        assert second is not first, label
        assert not np.shares_memory(first, second), label
        np.testing.assert_array_equal(second, original, err_msg=label)
    assert seen >= 3


@pytest.mark.parametrize("name", CASE_IDS)
def test_predict_result_owns_its_memory(name):
    case = CASE_BY_NAME[name]
    m = case.fitted()
    args = case.predict_args()
    first = m.predict(*args)
    assert first.flags.owndata and first.dtype == np.float64 and first.ndim == 1
    assert not any(np.shares_memory(first, a) for a in args)
    first[:] = np.nan
    assert not np.isnan(m.predict(*args)).any()


# ---------------------------------------------------------------- layouts


def _layouts(x):
    """Views with the same contents as the C-ordered `x`, in other memory layouts."""
    n, k = x.shape
    wide = np.zeros((2 * n, 3 * k))
    wide[::2, ::3] = x
    reversed_rows = np.ascontiguousarray(x[::-1])[::-1]
    buf = np.zeros(x.size * 8 + 1, dtype=np.uint8)
    unaligned = np.frombuffer(buf[1:].data, dtype=np.float64).reshape(n, k)
    unaligned[...] = x
    readonly = x.copy()
    readonly.flags.writeable = False
    return {
        "fortran": np.asfortranarray(x),
        "strided": wide[::2, ::3],
        "negative-strides": reversed_rows,
        "unaligned": unaligned,
        "read-only": readonly,
        "masked-subclass": np.ma.array(x.copy()),
    }


LAYOUTS = list(_layouts(np.zeros((2, 2))))


@pytest.mark.parametrize("name", CASE_IDS)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_any_layout_fits_like_its_c_ordered_copy(name, layout):
    case = CASE_BY_NAME[name]
    reference = case.fitted()
    args = case.fit_args()
    relaid = tuple(_layouts(a)[layout] if a.ndim == 2 else a for a in args)
    m = case.cls()
    m.fit(*relaid)
    for attr in case.attributes:
        np.testing.assert_allclose(np.asarray(getattr(m, attr), dtype=float),
                                   np.asarray(getattr(reference, attr), dtype=float), rtol=1e-12, atol=1e-12,
                                   err_msg=attr)
    x_pred = case.predict_args()
    relaid_pred = tuple(_layouts(a)[layout] if a.ndim == 2 else a for a in x_pred)
    np.testing.assert_allclose(m.predict(*relaid_pred), reference.predict(*x_pred), rtol=1e-12, atol=1e-12)


# ---------------------------------------------------------------- module and types


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("korvalis")
    try:
        import korvalis as again

        assert again is first
    finally:
        sys.modules["korvalis"] = first


def test_second_interpreter_is_refused():
    code = textwrap.dedent(
        f"""
        import sys
        sys.path[:0] = {sys.path!r}
        import korvalis
        import _xxsubinterpreters as interpreters
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import sys; sys.path[:0] = {sys.path!r}; import korvalis")
        except interpreters.RunFailedError as e:
            print("FAILED", e)
        else:
            print("IMPORTED")
        interpreters.destroy(sub)
        print("MAIN STILL WORKS", korvalis.OLS().is_fitted())
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == ("FAILED <class 'ImportError'>: korvalis does not support sub-interpreters: "
                        "it is already loaded in another interpreter")
    assert lines[1] == "MAIN STILL WORKS False"


# NumPy is loaded at the first array conversion, not at import. When it cannot be loaded
# nothing is printed: the conversion raises ImportError caused by the original error, and a
# later conversion tries again.
_NO_NUMPY = {
    "sys.modules-None": ("import sys; sys.modules['numpy'] = None", "ImportError numpy._core.multiarray failed to import ModuleNotFoundError True True"),
    "finder-raises": (
        "import sys\n"
        "class Refuse:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name.split('.')[0] == 'numpy':\n"
        "            raise RuntimeError('numpy refused')\n"
        "sys.meta_path.insert(0, Refuse())",
        "ImportError numpy._core.multiarray failed to import RuntimeError True True"),
    "finder-interrupted": (
        "import sys\n"
        "class Refuse:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name.split('.')[0] == 'numpy':\n"
        "            raise KeyboardInterrupt\n"
        "sys.meta_path.insert(0, Refuse())",
        # Not an Exception: propagates as it is, unchained.
        "KeyboardInterrupt  NoneType False True"),
}


@pytest.mark.parametrize("name", CASE_IDS)
@pytest.mark.parametrize("how", list(_NO_NUMPY))
def test_unloadable_numpy_prints_nothing_and_chains_the_cause(name, how):
    block, expected = _NO_NUMPY[how]
    fit_args = len(CASE_BY_NAME[name].fit_params)
    code = f"""import sys
sys.path[:0] = {sys.path!r}
{block}
import korvalis
m = korvalis.{name}()
print(m.is_fitted(), repr(m.coefficients))
for attempt in range(2):
    try:
        m.fit(*[[1.0]] * {fit_args})
    except BaseException as e:
        c = e.__cause__
        print(type(e).__name__, str(e) if isinstance(e, ImportError) else "",
              type(c).__name__, e.__suppress_context__, e.__context__ is c)
print(m.is_fitted(), 'numpy' in sys.modules and sys.modules['numpy'] is not None)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert done.stdout.splitlines() == ["False None", expected, expected, "False False"]


@pytest.mark.parametrize("name", CASE_IDS)
def test_classes_cannot_be_subclassed(name):
    with pytest.raises(TypeError) as err:
        type("Sub", (getattr(korvalis, name),), {})
    assert str(err.value) == f"type 'builtins.{name}' is not an acceptable base type"


@pytest.mark.parametrize("name", CASE_IDS)
def test_instances_take_no_new_attributes(name):
    m = getattr(korvalis, name)()
    assert not hasattr(m, "__dict__")
    with pytest.raises(AttributeError):
        m.foo = 1
    with pytest.raises(TypeError):
        __import__("weakref").ref(m)


@pytest.mark.parametrize("name,attr", [(c.name, a) for c in CASES for a in c.attributes],
                         ids=[f"{c.name}.{a}" for c in CASES for a in c.attributes])
def test_attributes_are_read_only(name, attr):
    m = getattr(korvalis, name)()
    before = getattr(m, attr)
    with pytest.raises(AttributeError) as err:
        setattr(m, attr, 1)
    assert str(err.value) == f"attribute '{attr}' of 'builtins.{name}' objects is not writable"
    with pytest.raises(AttributeError):
        delattr(m, attr)
    assert getattr(m, attr) == before


@pytest.mark.parametrize("name", CASE_IDS)
@pytest.mark.parametrize("cols", [0, 1, 3, 50], ids=["no-columns", "fewer", "more", "many-more"])
def test_predict_with_another_column_count_is_refused(name, cols):
    # IV and TSLS choose their own message; every class must refuse without reading past
    # its coefficients (the sanitizer build turns such a read into a failure).
    case = CASE_BY_NAME[name]
    m = case.fitted(k=2)
    args = list(case.predict_args(k=2))
    args[0] = np.ones((args[0].shape[0], cols))
    with pytest.raises((ValueError, RuntimeError)) as err:
        m.predict(*args)
    assert str(err.value)
    if name in ("OLS", "FE"):
        assert str(err.value) == f"Feature count mismatch: expected 2, got {cols}"
    elif name == "GLS":
        assert str(err.value) == f"Feature mismatch: expected 2, got {cols}"
    elif name == "WLS":
        assert str(err.value) == "Number of features doesn't match training data"
