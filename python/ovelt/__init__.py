# The compiled module holds the whole API; this package re-exports it under the
# name users import, in the order of its __all__, with its docstring.
from ._core import *  # noqa: F403
from ._core import __all__, __doc__, __version__  # noqa: F401
