"""Which calls give numbers, and which calls are the core's commutative ops.

The reduction merges ``op(a, b)`` with ``op(b, a)`` for the names in
`veltrix_core.rules.COMMUTATIVE_OPS`. A dask call gets such a name only where that is sound:
the callable means exactly that op (``operator.add`` for "add", ``operator.mul`` for "mul",
``operator.eq`` and ``operator.ne`` for "eq" and "ne"), it takes its two operands and nothing
else, and the graph shows that both operands are numbers: plain numpy arrays or numpy scalars of
a bool, integer, float or complex dtype, or Python numbers. For those, both operand orders give
the same dtype, shape and values (every NaN counted as one value). An object or string array
may not commute (string addition concatenates), and an array subclass may keep one operand's
data under a mask, so everything else stays an opaque op.

The evidence is local and conservative: a literal that is a number; a call of a numpy ufunc or
an ``operator`` arithmetic or comparison function on numbers; a numpy reduction or an indexing
call whose array is a number; dask's uniform arrays (``ones``, ``zeros``, ``full``) of a numeric
dtype; and dask's random arrays of the numeric distributions. Anything the table does not know
gives no evidence. The identity forms of the rewrite rules are never used: ``x + 0.0`` turns
-0.0 into 0.0 and integers into floats, and ``x * 1`` turns a 0-d array into a scalar, and a
dask graph shows neither the dtype nor the dimensions of a chunk.
"""

from __future__ import annotations

import functools
import operator
from collections.abc import Callable
from typing import Any

__all__ = ["NONE", "CONSTANT", "ALL", "FIRST", "RANDOM", "Rules", "NUMERIC_DISTRIBUTIONS"]

# How a call's result gets numeric evidence.
NONE = 0  # never
CONSTANT = 1  # always (the callable itself fixes a numeric result)
ALL = 2  # when every input and param is a number
FIRST = 3  # when the first argument is an input that is a number
RANDOM = 4  # when the first param names a numeric distribution

NUMERIC_DISTRIBUTIONS = frozenset(
    """beta binomial chisquare exponential f gamma geometric gumbel hypergeometric integers laplace logistic
    lognormal logseries negative_binomial noncentral_chisquare noncentral_f normal pareto poisson power randint
    random random_integers random_sample rayleigh standard_cauchy standard_exponential standard_gamma
    standard_normal standard_t triangular uniform vonmises wald weibull zipf""".split()
)

_ARITHMETIC = (
    operator.add,
    operator.sub,
    operator.mul,
    operator.truediv,
    operator.floordiv,
    operator.mod,
    operator.pow,
    operator.neg,
    operator.pos,
    operator.abs,
    operator.eq,
    operator.ne,
    operator.lt,
    operator.le,
    operator.gt,
    operator.ge,
)
_CORE_NAMES = {operator.add: "add", operator.mul: "mul", operator.eq: "eq", operator.ne: "ne"}
_REDUCTIONS = """sum prod min max mean var std any all cumsum cumprod nansum nanprod nanmin nanmax nanmean nanvar
nanstd nancumsum nancumprod""".split()


class Rules:
    """The evidence rule and core op name of callables, looked up once per callable."""

    def __init__(self) -> None:
        import numpy  # noqa: PLC0415

        self._numpy: Any = numpy
        self._by_identity: dict[Any, int] = {}
        for func in _ARITHMETIC:
            self._by_identity[func] = ALL
        for name in _REDUCTIONS:
            self._by_identity[getattr(numpy, name)] = FIRST
        self._by_identity[operator.getitem] = FIRST
        self._uniform: tuple[Callable[..., Any], ...] = ()
        self._curry: object = None
        self._broadcast_trick: object = None
        try:
            from dask.array import chunk, core  # noqa: PLC0415
            from dask.array.random import _apply_random, _apply_random_func  # noqa: PLC0415
            from dask.array.wrap import _broadcast_trick_inner  # noqa: PLC0415
        except ImportError:  # dask without its array extra: the generic table only
            return
        for func in (chunk.getitem, core.getter, core.getter_nofancy, core.getter_inline):
            self._by_identity[func] = FIRST
        self._by_identity[_apply_random_func] = RANDOM
        self._by_identity[_apply_random] = RANDOM
        # dask's ones, zeros and full call partial(curry(_broadcast_trick_inner, numpy.ones_like...),
        # dtype=...): a read-only broadcast view of one value of that dtype.
        self._curry = type(_broadcast_trick_inner)
        self._broadcast_trick = getattr(_broadcast_trick_inner, "func", None)
        self._uniform = (numpy.ones_like, numpy.zeros_like, numpy.full_like)

    def _numeric_dtype(self, dtype: object) -> bool:
        try:
            return bool(self._numpy.dtype(dtype).kind in "biufc")
        except TypeError:
            return False

    def rule(self, func: object, keywords: tuple[str, ...]) -> int:
        """The evidence rule of calls of `func` with these keyword arguments."""
        if "out" in keywords or "dtype" in keywords:
            return NONE  # the caller chooses the result's type
        if type(func) is functools.partial:
            return self._partial_rule(func, keywords)
        if isinstance(func, self._numpy.ufunc):
            return ALL if func.nout == 1 and not keywords else NONE
        try:
            return self._by_identity.get(func, NONE)
        except TypeError:  # an unhashable callable
            return NONE

    def _partial_rule(self, func: functools.partial[Any], keywords: tuple[str, ...]) -> int:
        bound = func.keywords
        if "out" in bound:
            return NONE
        inner: Any = func.func
        if self._uniform and type(inner) is self._curry and inner.func is self._broadcast_trick:
            uniform = len(inner.args) == 1 and not inner.keywords and inner.args[0] in self._uniform
            numeric = "dtype" in bound and self._numeric_dtype(bound["dtype"])
            return CONSTANT if uniform and numeric and not func.args else NONE
        if func.args:
            return NONE
        if "dtype" in bound and not self._numeric_dtype(bound["dtype"]):
            return NONE
        rule = self.rule(inner, keywords)
        return rule if rule in (FIRST, ALL) and not isinstance(inner, self._numpy.ufunc) else NONE

    @staticmethod
    def core_name(func: object) -> str | None:
        """The core op name a call of `func` on two numeric operands may take, or None."""
        try:
            name: str | None = _CORE_NAMES.get(func)  # type: ignore[call-overload]
        except TypeError:
            return None
        return name
