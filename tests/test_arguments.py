"""Acceptance of arguments: x (float64 buffer) and rows/cols (int32 typed views) of the compiled
solver, and the Python entry points' arguments (bounds, steps, root's), checked where they are
received."""

import ctypes

import numpy as np
import pytest

from conftest import entry_lines
from vendrel.jacobian import SparseJacobian, estimate_jacobian
from vendrel.solve import root
from vendrel.sparse_solver import SparseSolver

RESIDUALS = "vendrel.sparse_solver.SparseSolver.compute_residuals"
GROUPS = "vendrel.sparse_solver.SparseSolver.find_groups"


def structured(**fields):
    return np.zeros(3, np.dtype(fields))


class IntPair(ctypes.Structure):
    _fields_ = [("a", ctypes.c_int * 2)]


class OneInt(ctypes.Structure):
    _fields_ = [("a", ctypes.c_int)]


class ArraySubclass(np.ndarray):
    pass


def readonly(array):
    array.flags.writeable = False
    return array


MISMATCH = "Buffer dtype mismatch, expected 'double' but got "

DOUBLE_REFUSALS = [
    (np.zeros(3, np.float32), MISMATCH + "'float'"),
    (np.zeros(3, np.int64), MISMATCH + "'long'"),
    (np.zeros(3, np.int8), MISMATCH + "'signed char'"),
    (np.zeros(3, np.uint64), MISMATCH + "'unsigned long'"),
    (np.zeros(3, np.complex128), MISMATCH + "'complex double'"),
    (np.zeros(3, np.longdouble), MISMATCH + "'long double'"),
    (np.zeros(3, object), MISMATCH + "Python object"),
    (np.zeros(3, "S8"), MISMATCH + "a string"),
    (np.zeros(3, ">f8"), "Big-endian buffer not supported on little-endian compiler"),
    (np.zeros(3, bool), "Does not understand character buffer dtype format string ('?')"),
    (np.zeros(3, np.float16), "Does not understand character buffer dtype format string ('e')"),
    (np.zeros((2, 2)), "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.zeros(()), "Buffer has wrong number of dimensions (expected 1, got 0)"),
    (structured(names=["a", "b"], formats=["<f8", "<f8"]),
     "Buffer dtype mismatch, expected end but got 'double'"),
    (structured(names=["a"], formats=[("<f8", (2,))]), "Expected 0 dimension(s), got 1"),
    (structured(names=["a"], formats=["<f8"], offsets=[8], itemsize=16),
     "Buffer dtype mismatch; next field is at offset 8 but 0 expected"),
    (structured(names=["a"], formats=["<f8"], itemsize=16),
     "Item size of buffer (16 bytes) does not match size of 'double' (8 bytes)"),
]


@pytest.mark.parametrize("x, message", DOUBLE_REFUSALS)
def test_x_refused(capsys, x, message):
    with pytest.raises(ValueError) as excinfo:
        SparseSolver().compute_residuals(x)
    assert str(excinfo.value) == message
    assert entry_lines(excinfo, RESIDUALS) == [(19, "vendrel\\sparse_solver")]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("x", [
    np.zeros(3), np.zeros(7)[::2], np.zeros(5)[::-1], readonly(np.zeros(2)),
    structured(names=["a"], formats=["<f8"]), np.zeros(0), np.zeros(3).view(ArraySubclass),
])
def test_x_accepted(capsys, x):
    result = SparseSolver().compute_residuals(x)
    assert isinstance(result, np.ndarray) and result.dtype == np.float64
    assert result.shape == (len(x),) and not result.any()
    assert capsys.readouterr().out == "computing base residual\n"


@pytest.mark.parametrize("x, type_name", [([1.0, 2.0], "list"), (3.0, "float"),
                                          (memoryview(b"12345678").cast("d"), "memoryview")])
def test_x_must_be_an_ndarray(capsys, x, type_name):
    with pytest.raises(TypeError) as excinfo:
        SparseSolver().compute_residuals(x)
    assert str(excinfo.value) == (
        "Argument 'x' has incorrect type (expected numpy.ndarray, got %s)" % type_name)
    assert entry_lines(excinfo, RESIDUALS) == []
    assert capsys.readouterr().out == ""


INT32 = np.arange(3, dtype=np.int32)
INT_MISMATCH = "Buffer dtype mismatch, expected 'int' but got "

INT_REFUSALS = [
    (np.zeros(3, np.int64), ValueError, INT_MISMATCH + "'long'"),
    ((ctypes.c_longlong * 3)(), ValueError, INT_MISMATCH + "'long long'"),
    ((ctypes.c_double * 3)(), ValueError, INT_MISMATCH + "'double'"),
    (memoryview(bytearray(16)).cast("l"), ValueError, INT_MISMATCH + "'long'"),
    (memoryview(bytearray(16)).cast("I"), ValueError, INT_MISMATCH + "'unsigned int'"),
    ((ctypes.c_longdouble * 2)(), ValueError,
     "Python does not define a standard format string size for long double ('g').."),
    ((ctypes.c_int.__ctype_be__ * 3)(), ValueError,
     "Big-endian buffer not supported on little-endian compiler"),
    ((ctypes.c_bool * 3)(), ValueError,
     "Does not understand character buffer dtype format string ('?')"),
    ((IntPair * 2)(), ValueError, "Expected 0 dimension(s), got 1"),
    (structured(names=["a"], formats=["<i4"], itemsize=8), ValueError,
     "Item size of buffer (8 bytes) does not match size of 'int' (4 bytes)"),
    (np.zeros((2, 2), np.int32), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (readonly(np.arange(3, dtype=np.int32)), ValueError, "buffer source array is read-only"),
    (memoryview(b"\0" * 12).cast("i"), BufferError, "memoryview: underlying buffer is not writable"),
    ([0, 1, 2], TypeError, "a bytes-like object is required, not 'list'"),
]


@pytest.mark.parametrize("position", ["rows", "cols"])
@pytest.mark.parametrize("bad, kind, message", INT_REFUSALS)
def test_index_arrays_refused(capsys, position, bad, kind, message):
    args = (bad, INT32) if position == "rows" else (INT32, bad)
    with pytest.raises(kind) as excinfo:
        SparseSolver().find_groups(*args)
    assert str(excinfo.value) == message
    assert entry_lines(excinfo, GROUPS) == [(51, "vendrel\\sparse_solver")]
    assert capsys.readouterr().out == ""


def test_rows_refused_before_cols_is_looked_at():
    with pytest.raises(ValueError, match="'long'"):
        SparseSolver().find_groups(np.zeros(3, np.int64), [1, 2])


COUNT = "find_groups() takes exactly 2 positional arguments (%d given)"


@pytest.mark.parametrize("args, kwargs, kind, message", [
    ((INT32,), {}, TypeError, COUNT % 1),
    ((), {}, TypeError, COUNT % 0),
    ((INT32, INT32, INT32), {}, TypeError, COUNT % 3),
    ((INT32, INT32, INT32), {"cols": INT32}, TypeError, COUNT % 3),
    ((), {"rows": INT32}, TypeError, COUNT % 1),
    ((), {"cols": INT32}, TypeError, COUNT % 0),
    ((INT32,), {"rows": INT32}, TypeError, COUNT % 1),
    ((INT32, INT32), {"rows": INT32}, TypeError,
     "find_groups() got multiple values for keyword argument 'rows'"),
    ((INT32,), {"cols": INT32, "rows": INT32}, TypeError,
     "find_groups() got multiple values for keyword argument 'rows'"),
    ((INT32, INT32), {"x": INT32}, TypeError,
     "find_groups() got an unexpected keyword argument 'x'"),
    ((), {"rows": INT32, "cols": INT32, "x": 1}, TypeError,
     "find_groups() got an unexpected keyword argument 'x'"),
    ((INT32, INT32), {1: 2}, TypeError, "find_groups() keywords must be strings"),
])
def test_find_groups_argument_forms_refused(capsys, args, kwargs, kind, message):
    with pytest.raises(kind) as excinfo:
        SparseSolver().find_groups(*args, **kwargs)
    assert str(excinfo.value) == message
    assert entry_lines(excinfo, GROUPS) == [(51, "vendrel\\sparse_solver")]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("method", ["compute_residuals", "compute_pattern"])
def test_single_argument_methods_take_exactly_one(method):
    bound = getattr(SparseSolver(), method)
    for args, kwargs in [((), {}), ((np.zeros(1), np.zeros(1)), {}), ((), {"x": np.zeros(1)})]:
        with pytest.raises(TypeError, match="argument"):
            bound(*args, **kwargs)


def square(x):
    return x**2 - 1.0


# The Python entry points check each argument where they receive it, whatever the method
# and whether or not the argument would be used.
ENGINE_REFUSALS = [
    (lambda: SparseJacobian(square, np.eye(3), bounds=(1.0, 0.0)), ValueError,
     "bounds must have lower <= upper, but the lower bound 1.0 is above the upper bound 0.0"),
    (lambda: SparseJacobian(square, np.eye(3), bounds=([0.0, 2.0, 0.0], 1.0)), ValueError,
     "the lower bound 2.0 is above the upper bound 1.0 in component 1"),
    # index pairs leave n open: the bounds are compared all the same
    (lambda: SparseJacobian(square, (np.arange(3), np.arange(3)), bounds=(0.0, [1.0, -1.0])),
     ValueError, "the lower bound 0.0 is above the upper bound -1.0 in component 1"),
    (lambda: SparseJacobian(square, (np.arange(3), np.arange(3)), bounds=([0, 0], [1, 1, 1])),
     ValueError, "bounds: the lower bound has 2 values and the upper bound 3"),
    (lambda: SparseJacobian(square, np.eye(3), bounds=(0.0, 1j)), ValueError,
     "bounds: the upper bound must hold real numbers, not 1j"),
    (lambda: estimate_jacobian(square, np.ones(3), bounds=(2.0, 0.0)), ValueError,
     "the lower bound 2.0 is above the upper bound 0.0"),
    (lambda: estimate_jacobian(square, np.ones(3), abs_step=1e-6, rel_step="x"), ValueError,
     "rel_step must be a real number or a one-dimensional array of them, not 'x'"),
    (lambda: estimate_jacobian(square, np.ones(3), abs_step=1e-6, rel_step=[1e-8, 1e-8]),
     ValueError, "rel_step has 2 values; x0 has 3"),
    (lambda: SparseJacobian(square, np.eye(3), abs_step=1e-6, rel_step=np.ones((3, 1))),
     ValueError, "rel_step must be a real number or a one-dimensional array of them, not an "
     "array of shape (3, 1)"),
    (lambda: estimate_jacobian(square, np.ones(3), rel_step=np.nan), ValueError,
     "rel_step must be finite, not nan"),
]


@pytest.mark.parametrize("call, kind, message", ENGINE_REFUSALS)
def test_engine_arguments_refused(call, kind, message):
    with pytest.raises(kind) as excinfo:
        call()
    assert message in str(excinfo.value)


@pytest.mark.parametrize("method", ["2-point", "3-point", "cs"])
def test_an_unused_rel_step_may_be_infinite_as_scipy_lets_it(method):
    J = estimate_jacobian(square, np.ones(3), method=method, abs_step=1e-6, rel_step=np.inf,
                          sparsity=np.eye(3))
    np.testing.assert_allclose(J.toarray(), 2.0 * np.eye(3), rtol=1e-5)


# root's arguments: refused before fun is called, with the argument and its value named.
ROOT_REFUSALS = [
    ({"x0": np.full(4, 0.5 + 0.5j)}, ValueError, "x0 must hold real numbers, not complex128"),
    ({"x0": np.full(3, 0.5)}, ValueError,
     "sparsity is 4 x 4; x0 has 3 values, so it must be 3 x 3"),
    # bounds of x0's length meet a pattern of another: the pattern's size is the fault
    ({"x0": np.full(3, 0.5), "bounds": (np.zeros(3), np.ones(3))}, ValueError,
     "sparsity is 4 x 4; x0 has 3 values"),
    ({"x0": np.full(3, 0.5), "sparsity": (np.arange(4), np.arange(4))}, ValueError,
     "sparsity is 4 x 4 (the least that holds its index pairs); x0 has 3 values"),
    ({"sparsity": np.ones((3, 4))}, ValueError, "sparsity is 3 x 4; x0 has 4 values, so it must "
     "be 4 x 4"),
    ({"sparsity": None, "jac": SparseJacobian(square, np.eye(5))}, ValueError,
     "jac's pattern is 5 x 5; x0 has 4 values"),
    ({"bounds": (np.zeros(3), 1.0)}, ValueError,
     "the lower bound must be a scalar or have 4 values, not shape (3,)"),
    ({"bounds": (1.0, 0.0)}, ValueError,
     "bounds must have lower <= upper, but the lower bound 1.0 is above the upper bound 0.0"),
    ({"bounds": (0.0, [1.0, 1.0, 0.0, 1.0])}, ValueError,
     "bounds must have lower < upper, but both are 0.0 in component 2"),
    ({"f_scale": [1.0, 2.0]}, ValueError,
     "f_scale must be a number or have 4 values, one per unknown, not shape (2,)"),
    ({"x_scale": np.ones((4, 1))}, ValueError,
     "x_scale must be a number or have 4 values, one per unknown, not shape (4, 1)"),
    ({"x_scale": "wide"}, ValueError, "x_scale must hold real numbers, not 'wide'"),
    ({"f_scale": [1.0, 1.0, -1.0, 1.0]}, ValueError,
     "f_scale must be positive and finite in every component, not -1.0 in component 2"),
    ({"x_scale": np.nan}, ValueError, "x_scale must be positive and finite in every component, "
     "not nan"),
    ({"ftol": np.nan}, ValueError, "ftol must be a number >= 0, not nan"),
    ({"ftol": "1e-8"}, TypeError, "ftol must be a real number, not '1e-8'"),
    ({"xtol": float("nan")}, ValueError, "xtol must be a number >= 0, not nan"),
    ({"xtol": None}, TypeError, "xtol must be a real number, not None"),
    ({"max_iter": np.nan}, TypeError, "max_iter must be an integer, not nan"),
    ({"max_iter": 10.0}, TypeError, "max_iter must be an integer, not 10.0"),
    ({"max_iter": True}, TypeError, "max_iter must be an integer, not True"),
    ({"max_iter": -1}, ValueError, "max_iter must be an integer >= 0, not -1"),
    ({"max_nfev": np.nan}, TypeError, "max_nfev must be an integer or None, not nan"),
    ({"max_nfev": 0}, ValueError, "max_nfev must be a positive integer or None, not 0"),
    ({"ptc_step": "small"}, TypeError, "ptc_step must be a real number or None, not 'small'"),
    ({"ptc_step": np.inf}, ValueError, "ptc_step must be a positive number, not inf"),
    ({"args": 3}, TypeError, "args must be a tuple of further arguments of fun, not int"),
    ({"sparsity": None, "jac": lambda x: np.eye(4), "kwargs": [1]}, TypeError,
     "kwargs must be a dict of keyword arguments of fun, not list"),
]


@pytest.mark.parametrize("options, kind, message", ROOT_REFUSALS)
def test_root_arguments_refused_before_fun_is_called(options, kind, message):
    calls = []

    def fun(x, *args, **kwargs):
        calls.append(x)
        return square(x)

    arguments = {"x0": np.full(4, 0.5), "sparsity": np.eye(4), **options}
    with pytest.raises(kind) as excinfo:
        root(fun, arguments.pop("x0"), **arguments)
    assert message in str(excinfo.value)
    assert calls == []


def test_root_takes_numpy_scalars_for_its_numbers():
    result = root(square, np.full(4, 0.5), sparsity=np.eye(4), ftol=np.float32(1e-8),
                  xtol=np.float64(1e-12), max_iter=np.int64(20), max_nfev=np.int32(60),
                  x_scale=np.int8(2), ptc_step=np.float64(0.5), globalization="ptc")
    assert result.success and np.abs(square(result.x)).max() <= 1e-8
