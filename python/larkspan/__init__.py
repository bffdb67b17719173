"""larkspan: equivalent-circuit classes of small quantum circuits (package wrapper).

Generates ECCs for a gate set, saves and exports them, and builds a
rule-based prover of circuit identities from them.
"""

from . import larkspan as _native
from .larkspan import *  # noqa: F401,F403

__all__ = list(_native.__all__)
__doc__ = _native.__doc__
