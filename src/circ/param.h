// Gate parameters are stored as text ("pi/3", "-pi/16"); this turns them into
// doubles. The language is a parsing-expression grammar matched by a small
// recursive-descent matcher (ordered choice, prefix matching, whitespace
// skipped between the elements of non-atomic rules), followed by a walk over
// the parse tree:
//
//   exp       = WHITESPACE* term (plus term)*
//   term      = factor (mul factor)*
//   factor    = power ("^" power)*
//   power     = real / nninteger / "(" exp ")" / unary_op "(" exp ")" / "-" power / id
//   real      = @[0-9]+ "." [0-9]*
//   nninteger = @[1-9] [0-9]* / "0"
//   id        = @[a-z] ([A-Z] / [a-z] / [0-9] / "_")*
//   unary_op  = "sin" / "cos" / "tan" / "exp" / "ln" / "sqrt"
//   plus      = "+" / "-"
//   mul       = "*" / "/"
//   WHITESPACE = " " / "\t" / "\n" / "\r"      (silent: leaves no node)
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace larkspan {

// Declaration order is the order of the expectation list in parse errors.
enum class Rule : uint8_t { real, id, nninteger, exp, term, factor, plus, mul, power, unary_op, WHITESPACE };

const char *rule_name(Rule r);

struct NumericError {
    enum class Kind : uint8_t { ParseError, DivisionByZero, InvalidArgument, UndefinedVariable };
    Kind kind;
    std::string payload;  // the parser's report, the operator or the identifier

    static NumericError parse_error(std::string report) { return {Kind::ParseError, std::move(report)}; }
    static NumericError division_by_zero() { return {Kind::DivisionByZero, {}}; }
    static NumericError invalid_argument(std::string op) { return {Kind::InvalidArgument, std::move(op)}; }
    static NumericError undefined_variable(std::string name) {
        return {Kind::UndefinedVariable, std::move(name)};
    }

    // What params_f reports: the payload, or "DivisionByZero".
    std::string text() const;
};

// A double or the first error met on the way.
struct NumericResult {
    double value = 0.0;
    std::optional<NumericError> error;

    NumericResult(double v) : value(v) {}
    NumericResult(NumericError e) : error(std::move(e)) {}
    bool ok() const { return !error.has_value(); }
};

// Parse tree in pre-order: a node's children follow it, up to `next`.
struct ParseNode {
    Rule rule;
    size_t start, end;  // byte span of the matched text
    size_t next;        // index just past this node's subtree
};

class ParseTree;

// A node together with the tree it lives in.
class Pair {
  public:
    Pair(const ParseTree &tree, size_t idx) : tree_(&tree), idx_(idx) {}
    Rule rule() const;
    std::string_view text() const;

    class Iter {
      public:
        Iter(const ParseTree &tree, size_t idx) : tree_(&tree), idx_(idx) {}
        Pair operator*() const { return Pair(*tree_, idx_); }
        Iter &operator++();
        bool operator==(const Iter &o) const { return idx_ == o.idx_; }

      private:
        const ParseTree *tree_;
        size_t idx_;
    };
    struct Children {
        Iter b, e;
        Iter begin() const { return b; }
        Iter end() const { return e; }
    };
    Children children() const;

  private:
    const ParseTree *tree_;
    size_t idx_;
};

class ParseTree {
  public:
    ParseTree(std::string_view text, std::vector<ParseNode> nodes) : text_(text), nodes_(std::move(nodes)) {}
    Pair root() const { return Pair(*this, 0); }
    std::string_view text() const { return text_; }
    const ParseNode &node(size_t i) const { return nodes_[i]; }

  private:
    std::string_view text_;  // borrowed: the parsed text must outlive the tree
    std::vector<ParseNode> nodes_;
};

struct ParseOutcome {
    std::optional<ParseTree> tree;  // set on success
    std::string report;             // the error report otherwise
};

class ExprParser {
  public:
    // Parentheses, function calls and negations nest at most this deep; deeper
    // input is refused with a parse error instead of exhausting the stack
    // (a level costs about 2 KiB of stack while parsing and evaluating).
    static constexpr unsigned MAX_NESTING = 100;

    // Matches the longest prefix of `text` with rule `exp`; the rest is ignored.
    static ParseOutcome parse_exp(std::string_view text);
};

using Variables = std::map<std::string, double, std::less<>>;

NumericResult eval_expr(Pair exp, const Variables &vars);
NumericResult eval_term(Pair term, const Variables &vars);
NumericResult eval_factor(Pair factor, const Variables &vars);
NumericResult eval_power(Pair power, const Variables &vars);
// A binary operator ("+", "-", "*", "/") or a named function of `a`.
NumericResult caculate(std::string_view op, double a, double b);

// `text` with the single variable pi.
NumericResult evaluate_with_pi(std::string_view text);

}  // namespace larkspan
