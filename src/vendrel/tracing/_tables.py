"""The tables through which the traced types reach the rules that follow NumPy.

The types (`_arrays`) know NumPy's protocols, not what any function does: they hand every
ufunc, NumPy function and product to the entries here, which the rule modules fill when they
are imported (`vendrel.tracing` imports them all), as operator tables are attached to types
defined before them. So no rule is named by a type, and no import goes in a circle.
"""

from typing import Any, Callable, Dict

# "ufunc": (ufunc, method, inputs, kwargs) for __array_ufunc__; "function": (func, types,
# args, kwargs) for __array_function__; "matmul": (a, b) for @ with a sparse operand;
# "elementwise": (ufunc, inputs, kwargs); "result_dtypes": (ufunc, keys); "dtype_key": (value);
# "rows": (value, shape, n), a value's dependency rows broadcast to a shape.
RULES: Dict[str, Callable[..., Any]] = {}
