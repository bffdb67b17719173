"""Parameter expressions: the grammar, its evaluation and Gate.params_f."""
import itertools
import math
import threading

import numpy as np
import pytest

from larkspan import Gate

_fresh = itertools.count()


def gate_with(*params):
    """A new gate carrying `params`; its matrix is unique so nothing older is returned."""
    g = Gate("p", list(params), np.diag([1, 1000 + next(_fresh)]).astype(complex))
    assert g.params == list(params)
    return g


def evaluate(text):
    return gate_with(text).params_f[0]


def error_of(text):
    with pytest.raises(ValueError) as e:
        gate_with(text).params_f
    return str(e.value)


@pytest.mark.parametrize("text, expected", [
    ("pi/3", 1.0471975511965976),
    ("-pi/16", -0.19634954084936207),
    ("pi", 3.141592653589793),
    # "^" is left-associative and negation binds tighter than it
    ("2^3^2", 64.0),
    ("-2^2", 4.0),
    ("2*-3", -6.0),
    ("8-2-1", 5.0),
    ("8/2/2", 2.0),
    ("1+2*3", 7.0),
    ("(1+2)*3", 9.0),
    ("2^0.5", math.pow(2, 0.5)),
    ("sin(pi/2)", 1.0),
    ("sqrt(4)", 2.0),
    ("ln(1)", 0.0),
    ("exp(0)", 1.0),
    ("sin (pi)", math.sin(math.pi)),
    ("cos(pi/3)", math.cos(math.pi / 3)),
    ("tan(pi/4)", math.tan(math.pi / 4)),
    ("exp(1)", math.exp(1)),
    ("sqrt(2)/2", math.sqrt(2) / 2),
    ("ln(2)*3", math.log(2) * 3),
    # whitespace between elements, never inside numbers or names
    ("  1 + 2 ", 3.0),
    ("\n\t1\r\n*\n2", 2.0),
    ("- ( 2 ) ^ 2", 4.0),
    ("sqrt ( 4 )", 2.0),
    ("1 2", 1.0),
    # numbers
    ("3.", 3.0),
    ("0.1", 0.1),
    ("123456789.123456789", 123456789.123456789),
    ("007", 0.0),
    ("1" + "0" * 400, math.inf),
    ("0." + "0" * 400 + "1", 0.0),
    # only the longest matching prefix counts
    ("2pi", 2.0),
    ("1.5e3", 1.5),
    ("1+", 1.0),
    ("1\r\n+", 1.0),
    ("pi/3)", math.pi / 3),
    ("pi*", math.pi),
    ("2^", 2.0),
])
def test_values(text, expected):
    assert evaluate(text) == expected


def test_values_outside_the_reals_are_returned():
    assert evaluate("ln(0)") == -math.inf
    assert math.isnan(evaluate("sqrt(0-1)"))
    assert math.copysign(1.0, evaluate("-0")) == -1.0


@pytest.mark.parametrize("text, message", [
    ("1/0", "DivisionByZero"),
    ("1/(1-1)", "DivisionByZero"),
    ("0/0", "DivisionByZero"),
    ("1/-0", "DivisionByZero"),
    ("theta", "theta"),
    ("e", "e"),
    ("sinh(1)", "sinh"),
    ("sin", "sin"),
    ("pi*x_1", "x_1"),
    ("sin(theta)", "theta"),
    # evaluation stops at the first error, left to right
    ("a/0 + b", "a"),
    ("1/0 + b", "DivisionByZero"),
])
def test_evaluation_errors(text, message):
    assert error_of(text) == message


def report(line, col, shown, marker, expected):
    pad = " " * len(str(line))
    return (f"{pad}--> {line}:{col}\n{pad} |\n{line} | {shown}\n{pad} | {marker}\n{pad} |\n"
            f"{pad} = {expected}")


@pytest.mark.parametrize("text, expected", [
    ("", report(1, 1, "", "^---", "expected power")),
    ("Pi", report(1, 1, "Pi", "^---", "expected power")),
    (".5", report(1, 1, ".5", "^---", "expected power")),
    ("+1", report(1, 1, "+1", "^---", "expected power")),
    ("   ", report(1, 4, "   ", "   ^---", "expected power")),
    # the furthest failure is after "(1", where an operator could follow
    ("(1", report(1, 3, "(1", "  ^---", "expected plus or mul")),
    ("(1 ", report(1, 4, "(1 ", "   ^---", "expected plus or mul")),
    ("(2*3", report(1, 5, "(2*3", "    ^---", "expected plus or mul")),
    ("(1+)", report(1, 4, "(1+)", "   ^---", "expected power")),
    # lines and columns count from 1, in characters; tabs stay tabs under the marker
    ("\n\nPi", report(3, 1, "Pi", "^---", "expected power")),
    ("\t(1é", report(1, 4, "\t(1é", "\t  ^---", "expected plus or mul")),
    ("\n" * 9 + "(1", report(10, 3, "(1", "  ^---", "expected plus or mul")),
])
def test_parse_error_reports(text, expected):
    assert error_of(text) == expected


def test_parse_errors_name_line_column_and_line():
    msg = error_of("(1+\n  (2 *\n  3")
    assert msg.startswith(" --> 3:4\n")
    assert "\n3 |   3\n" in msg
    assert msg.endswith("= expected plus or mul")


def test_nesting_is_bounded():
    assert evaluate("(" * 100 + "1" + ")" * 100) == 1.0
    assert evaluate("-" * 100 + "2") == 2.0
    assert evaluate("sin(" * 100 + "0" + ")" * 100) == 0.0
    for deep in ["(" * 101 + "1" + ")" * 101, "-" * 101 + "1", "sin(" * 50 + "(" * 51, "(" * 100000]:
        msg = error_of(deep)
        assert msg.startswith(" --> 1:")
        assert msg.endswith("= expressions nested more than 100 levels deep are not supported")
    assert error_of("-" * 101 + "1").startswith(" --> 1:102\n")


def test_deepest_expressions_fit_a_small_thread_stack():
    threading.stack_size(256 * 1024)
    try:
        results = []
        g = gate_with("(" * 100 + "1" + ")" * 100, "sin(" * 100 + "1" + ")" * 100, "-" * 100 + "1")
        t = threading.Thread(target=lambda: results.append(g.params_f))
        t.start()
        t.join()
        assert results == [[1.0, evaluate("sin(" * 100 + "1" + ")" * 100), 1.0]]
    finally:
        threading.stack_size(0)


def test_long_flat_expressions():
    assert evaluate("+".join(["1"] * 100000)) == 100000.0
    assert evaluate("2" + "^1" * 100000) == 2.0


def test_params_f_of_builtin_gates():
    assert Gate.from_name("rz(pi/3)").params_f == [1.0471975511965976]
    assert Gate.from_name("rz(-pi/16)").params_f == [-0.19634954084936207]
    assert Gate.from_name("h").params_f == []


def test_params_f_evaluates_in_order_and_reports_the_first_failure():
    assert gate_with("pi/2", "1", "2^-1").params_f == [math.pi / 2, 1.0, 0.5]
    with pytest.raises(ValueError, match="^theta$"):
        gate_with("1", "theta", "1/0").params_f
    with pytest.raises(ValueError, match="^DivisionByZero$"):
        gate_with("1/0", "theta").params_f


def test_params_f_is_read_only():
    g = Gate.from_name("rz(pi/3)")
    with pytest.raises(AttributeError):
        g.params_f = [1.0]
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del g.params_f
    assert Gate.params_f.__doc__ == "Numeric parameters evaluated with support for `pi` expressions."
