"""Command line of larkspan.

    larkspan generate [--qubits N] [--gates h,cx,t] [--max-size N] [--naive] [--show] [--quiet]

Enumerates every circuit over the gate set (adjoints added) up to the given
size, files them into equivalent-circuit classes, and ends with a one-line
summary. Progress lines of the search go to standard output as it runs.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import time

PROG = "larkspan"

# Display names of the built-in gates, for the help text and error messages.
BUILTIN_GATES = (
    "i", "h", "x", "z", "y", "s", "sdg", "t", "tdg", "cx", "cz", "cy", "cs", "csdg", "swap",
    "t1/2", "tdg1/2", "rz(pi/3)", "rz(-pi/3)", "rz(pi/5)", "rz(-pi/5)", "rz(pi/16)", "rz(-pi/16)",
)

DEFAULT_QUBITS = 3
DEFAULT_GATES = "h,x,s,t,cx"
DEFAULT_MAX_SIZE = 6
MAX_QUBITS = 8  # the widest permutation, and with it the widest evaluator


class UsageError(Exception):
    """A bad command line: reported as one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    # One clear line instead of argparse's usage block.
    def error(self, message):
        raise UsageError(message)


def _non_negative(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {value}")
    return value


def _max_size(text: str) -> int:
    value = _non_negative(text)
    if value >= 2 ** 64:
        raise argparse.ArgumentTypeError(f"the maximum size must be below 2**64, got {value}")
    return value


def _qubit_count(text: str) -> int:
    value = _non_negative(text)
    if not 1 <= value <= MAX_QUBITS:
        raise argparse.ArgumentTypeError(f"the qubit count must be between 1 and {MAX_QUBITS}, got {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Equivalent-circuit classes of small quantum circuits.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True
    gen = commands.add_parser(
        "generate",
        help="generate the equivalent-circuit classes of a gate set",
        description="Enumerate all circuits over a gate set (adjoints are added) up to a maximum size "
        "and group them into classes of circuits equal up to global phase and qubit relabelling.",
    )
    gen.add_argument("-n", "--qubits", type=_qubit_count, default=DEFAULT_QUBITS, metavar="N",
                     help=f"number of qubits, 1 to {MAX_QUBITS} (default {DEFAULT_QUBITS})")
    gen.add_argument("-g", "--gates", default=DEFAULT_GATES, metavar="LIST",
                     help=f"comma-separated gate names (default {DEFAULT_GATES}, without cx on one qubit); known: "
                     + ", ".join(BUILTIN_GATES))
    gen.add_argument("-s", "--max-size", type=_max_size, default=DEFAULT_MAX_SIZE, metavar="N",
                     help=f"largest circuit size to extend to (default {DEFAULT_MAX_SIZE})")
    gen.add_argument("--naive", action="store_true",
                     help="use the naive search (no permutation-canonical keys)")
    gen.add_argument("--show", action="store_true", help="print every class with more than one member")
    gen.add_argument("-q", "--quiet", action="store_true", help="do not print the search's progress lines")
    return parser


def parse_gates(text: str):
    from . import Gate

    names = [part.strip() for part in text.split(",")]
    if not any(names):
        raise UsageError("no gates given (example: --gates h,cx,t)")
    gates = []
    for name in names:
        if not name:
            raise UsageError(f"empty gate name in {text!r}")
        gate = Gate.from_name(name)
        if gate is None:
            raise UsageError(f"unknown gate {name!r} (known gates: {', '.join(BUILTIN_GATES)})")
        if gate.nqargs not in (1, 2):
            raise UsageError(f"gate {name!r} acts on {gate.nqargs} qubits; only 1- and 2-qubit gates are supported")
        gates.append(gate)
    return gates


@contextlib.contextmanager
def _stdout_silenced(active: bool):
    """Sends file descriptor 1 (where the native progress lines go) to /dev/null."""
    if not active:
        yield
        return
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "wb") as null:
            os.dup2(null.fileno(), 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def generate(args) -> int:
    from . import Evaluator, RawECCs

    gates = parse_gates(args.gates)
    if args.gates == DEFAULT_GATES:
        # The demo set on one qubit: the gates that fit, not an error about a gate nobody asked for.
        gates = [gate for gate in gates if gate.nqargs <= args.qubits]
    for gate in gates:
        # Such a gate has no placement at all: it would vanish from the search unnoticed.
        if gate.nqargs > args.qubits:
            raise UsageError(f"gate {str(gate)!r} acts on {gate.nqargs} qubits, more than the "
                             f"{args.qubits} given with --qubits")
    start = time.perf_counter()
    evaluator = Evaluator(args.qubits)
    run = RawECCs.generate_naive if args.naive else RawECCs.generate
    with _stdout_silenced(args.quiet):
        raw, counters = run(evaluator, gates, args.max_size)
    eccs = raw.simplify()
    seconds = time.perf_counter() - start
    multi = eccs.filter_single()
    if args.show:
        for ecc in multi.to_list():
            print(ecc)
    print(f"{len(eccs)} classes, {len(multi)} with >= 2 members, "
          f"{counters[1]} circuits evaluated, {seconds:.2f} s")
    return 0


def main(argv=None) -> int:
    try:
        args = build_parser().parse_args(argv)
        return generate(args)
    except UsageError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); silence the final flush too.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        return 1
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as e:  # noqa: BLE001 - native fatal errors derive from BaseException
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
