# larkspan: equivalent-circuit classes of small quantum circuits.
#
# The package re-exports the native module's thirteen classes; the command
# line lives in `larkspan.cli` and is imported only when it runs. The package
# shares the native module's docstring so that help(larkspan) describes it.

from . import larkspan as _native
from .larkspan import *  # noqa: F401,F403

__all__ = list(_native.__all__)
__doc__ = _native.__doc__
