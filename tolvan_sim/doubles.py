"""TOLVANSpec: TOLVAN's methods as plain Python functions, for mocks that check every call.

unittest.mock reads a method's parameters only from Python functions: on the
compiled driver class, `mock.create_autospec(TOLVAN)` accepts any call and
`mock.patch.object(TOLVAN, name, autospec=True)` records calls without `self`.
TOLVANSpec carries each of TOLVAN's methods as a Python function with that
method's signature, name, defaults, annotations and docstring, read from the
driver when this module is imported, so that it follows the driver:

    tl = mock.create_autospec(TOLVANSpec, instance=True)
    mock.patch.object(TOLVAN, "set_attenuation", autospec=TOLVANSpec.set_attenuation)
"""

from __future__ import annotations

import inspect
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from tolvan import TOLVAN


def _stand_in(name: str, method: Any) -> Callable[..., Any]:
    """A Python function with the signature and details of the driver's `method`.

    It stands in for the method in mocks only: called itself, it raises NotImplementedError.
    """
    signature = inspect.signature(method)

    def stand_in(*args: Any, **kwargs: Any) -> Any:
        raise NotImplementedError(f"TOLVANSpec.{name} only describes TOLVAN.{name} for mocks: "
                                  f"use mock.create_autospec(TOLVANSpec) or TOLVAN itself")

    stand_in.__name__ = method.__name__
    stand_in.__qualname__ = f"TOLVANSpec.{method.__name__}"
    stand_in.__doc__ = method.__doc__
    stand_in.__module__ = __name__
    stand_in.__defaults__ = getattr(method, "__defaults__", None)
    stand_in.__annotations__ = dict(getattr(method, "__annotations__", {}))
    stand_in.__signature__ = signature  # type: ignore[attr-defined]
    return stand_in


def _methods() -> dict[str, Callable[..., Any]]:
    return {name: _stand_in(name, member) for name, member in vars(TOLVAN).items()
            if callable(member) and not isinstance(member, type)}


if TYPE_CHECKING:
    # Type checkers see the driver's own methods, as its stubs describe them.
    TOLVANSpec = TOLVAN
else:
    TOLVANSpec = type("TOLVANSpec", (), {
        "__module__": __name__,
        "__doc__": "TOLVAN's methods with their signatures, as Python functions, for unittest.mock.\n\n"
                   "    tl = mock.create_autospec(TOLVANSpec, instance=True)\n"
                   "    mock.patch.object(TOLVAN, \"set_attenuation\", autospec=TOLVANSpec.set_attenuation)\n\n"
                   "Every call of the mock is checked against the driver method's parameters.",
        **_methods(),
    })
