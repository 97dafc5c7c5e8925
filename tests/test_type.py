"""The SparseSolver class: naming, construction, attributes, garbage collection, the table."""

import abc
import ctypes
import gc
import importlib
import subprocess
import weakref

import pytest

from vendrel.sparse_solver import SparseSolver


def test_names():
    solver = SparseSolver()
    assert type(solver).__name__ == "SparseSolver"
    assert type(solver).__module__ == "vendrel.sparse_solver"
    assert type(solver).__qualname__ == "SparseSolver"
    assert SparseSolver.__doc__ is None


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"key": 3}), (("x",), {})])
def test_construction_ignores_arguments(args, kwargs):
    assert isinstance(SparseSolver(*args, **kwargs), SparseSolver)


def test_subclass_init_receives_arguments():
    class Sub(SparseSolver):
        def __init__(self, *args, **kwargs):
            self.seen = (args, kwargs)

    assert Sub(1, key=2).seen == ((1,), {"key": 2})


def test_attributes_only_on_subclass_instances():
    with pytest.raises(AttributeError):
        SparseSolver().anything = 1
    assert not hasattr(SparseSolver(), "__dict__")

    class Sub(SparseSolver):
        pass

    sub = Sub()
    sub.anything = 1
    assert sub.__dict__ == {"anything": 1}


def test_fields_are_not_visible_from_python():
    solver = SparseSolver()
    for name in ("pattern_rows", "reserved1", "reserved2"):
        assert not hasattr(solver, name)


def test_abstract_subclass_is_refused():
    class Abstract(SparseSolver, metaclass=abc.ABCMeta):
        @abc.abstractmethod
        def needed(self):
            pass

    with pytest.raises(TypeError, match="abstract"):
        Abstract()

    class Concrete(Abstract):
        def needed(self):
            return 1

    assert Concrete().needed() == 1


def test_methods_in_order():
    names = [n for n in vars(SparseSolver) if not n.startswith("__")]
    assert names == ["compute_residuals", "compute_pattern", "find_groups"]
    for name in names:
        assert getattr(SparseSolver, name).__doc__ is None


def test_method_table_capsule():
    capsule = SparseSolver.__dict__["__pyx_vtable__"]
    assert type(capsule).__name__ == "PyCapsule"
    api = ctypes.pythonapi
    api.PyCapsule_GetName.restype = ctypes.c_char_p
    api.PyCapsule_GetName.argtypes = [ctypes.py_object]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    assert api.PyCapsule_GetName(capsule) is None
    table = api.PyCapsule_GetPointer(capsule, None)
    assert table
    # Four entries, every one filled.
    entries = (ctypes.c_void_p * 4).from_address(table)
    assert all(entries)


def test_instance_layout():
    assert SparseSolver.__basicsize__ == object.__basicsize__ + 4 * ctypes.sizeof(ctypes.c_void_p)
    assert SparseSolver.__itemsize__ == 0


def test_cycle_through_subclass_instance_is_collected():
    class Sub(SparseSolver):
        pass

    solver = Sub()
    solver.me = solver
    ref = weakref.ref(solver)
    del solver
    gc.collect()
    assert ref() is None


def test_finaliser_runs_once_and_may_resurrect():
    kept = []

    class Sub(SparseSolver):
        calls = 0

        def __del__(self):
            Sub.calls += 1
            kept.append(self)

    solver = Sub()
    solver.me = solver
    del solver
    gc.collect()
    assert Sub.calls == 1 and len(kept) == 1
    kept.clear()
    gc.collect()
    assert Sub.calls == 1


@pytest.mark.parametrize("name", ["sparse_solver", "_grouping", "_passes", "_linalg"])
def test_only_the_entry_point_is_exported(name):
    module = importlib.import_module("vendrel." + name)
    try:
        result = subprocess.run(["nm", "-D", "--defined-only", module.__file__],
                                capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("nm is not available")
    symbols = [line.split()[-1] for line in result.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_" + name]
