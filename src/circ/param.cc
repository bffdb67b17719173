#include "circ/param.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>

#include "utils/fatal.h"

namespace larkspan {

namespace {

constexpr const char *RULE_NAMES[] = {"real", "id",  "nninteger", "exp",      "term",      "factor",
                                      "plus", "mul", "power",     "unary_op", "WHITESPACE"};

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
// Columns count characters, so UTF-8 continuation bytes do not advance them.
bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Where a parse failed: line and column (1-based, in characters), the line
// itself and a marker under the column, then `message`.
std::string format_report(std::string_view text, size_t pos, const std::string &message) {
    size_t line = 1, col = 1;
    for (size_t i = 0; i < pos; ++i) {
        char c = text[i];
        if (c == '\r' && i + 1 < pos && text[i + 1] == '\n') {
            ++i;
            ++line, col = 1;
        } else if (c == '\n') {
            ++line, col = 1;
        } else if (!is_continuation(c)) {
            ++col;
        }
    }
    size_t line_start = text.rfind('\n', pos == 0 ? std::string_view::npos : pos - 1);
    line_start = (pos == 0 || line_start == std::string_view::npos) ? 0 : line_start + 1;
    size_t line_end = text.find('\n', pos);
    line_end = line_end == std::string_view::npos ? text.size() : line_end + 1;
    std::string_view raw = text.substr(line_start, line_end - line_start);

    // A failure right at a line break shows the break characters visibly;
    // otherwise they are dropped from the shown line.
    bool at_break = pos < text.size() && (text[pos] == '\n' || text[pos] == '\r');
    std::string shown;
    for (char c : raw) {
        if (c == '\r' || c == '\n') {
            if (at_break) shown += c == '\r' ? "\u240D" : "\u240A";
        } else {
            shown += c;
        }
    }
    std::string underline;
    size_t chars = 0;
    for (size_t i = 0; i < shown.size() && chars + 1 < col; ++i) {
        if (is_continuation(shown[i])) continue;
        underline += shown[i] == '\t' ? '\t' : ' ';
        ++chars;
    }
    underline += "^---";

    std::string lineno = std::to_string(line);
    std::string pad(lineno.size(), ' ');
    std::string out;
    out += pad + "--> " + lineno + ":" + std::to_string(col) + "\n";
    out += pad + " |\n";
    out += lineno + " | " + shown + "\n";
    out += pad + " | " + underline + "\n";
    out += pad + " |\n";
    out += pad + " = " + message;
    return out;
}

// "a", "a or b", "a, b, or c".
std::string enumerate_rules(const std::vector<Rule> &rules) {
    std::string s;
    for (size_t i = 0; i < rules.size(); ++i) {
        if (i > 0) s += rules.size() == 2 ? " or " : (i + 1 == rules.size() ? ", or " : ", ");
        s += rule_name(rules[i]);
    }
    return s;
}

// The matcher. Besides the tree it keeps, as its error report, the furthest
// position at which a rule failed and the rules that failed there. A rule
// whose sub-rules all failed at its own start position replaces them in that
// list (the sub-rules made no progress, so naming the rule says more), unless
// exactly one sub-rule failed there, which is then kept instead.
class Matcher {
  public:
    explicit Matcher(std::string_view text) : in_(text) {}

    ParseOutcome run() {
        if (exp()) return {ParseTree(in_, std::move(nodes_)), {}};
        if (too_deep_)
            return {std::nullopt, format_report(in_, too_deep_pos_,
                                                "expressions nested more than " +
                                                    std::to_string(ExprParser::MAX_NESTING) +
                                                    " levels deep are not supported")};
        std::sort(attempts_.begin(), attempts_.end());
        attempts_.erase(std::unique(attempts_.begin(), attempts_.end()), attempts_.end());
        std::string msg = attempts_.empty() ? "unknown parsing error" : "expected " + enumerate_rules(attempts_);
        return {std::nullopt, format_report(in_, attempt_pos_, msg)};
    }

  private:
    std::string_view in_;
    size_t pos_ = 0;
    std::vector<ParseNode> nodes_;
    size_t attempt_pos_ = 0;
    std::vector<Rule> attempts_;
    unsigned depth_ = 0;
    bool too_deep_ = false;
    size_t too_deep_pos_ = 0;

    bool at_end() const { return pos_ >= in_.size(); }
    char peek() const { return in_[pos_]; }

    size_t attempts_at(size_t pos) const { return pos == attempt_pos_ ? attempts_.size() : 0; }

    void track(Rule r, size_t pos, size_t attempts_index, size_t prev_attempts) {
        size_t curr = attempts_at(pos);
        if (curr > prev_attempts && curr - prev_attempts == 1) return;
        if (pos == attempt_pos_) attempts_.resize(attempts_index);
        if (pos > attempt_pos_) {
            attempts_.clear();
            attempt_pos_ = pos;
        }
        if (pos == attempt_pos_) attempts_.push_back(r);
    }

    // A rule leaves a node on success; on failure it leaves nothing, restores
    // the position and is recorded for the error report.
    template <class F>
    bool rule(Rule r, F &&body) {
        if (too_deep_) return false;
        size_t start = pos_;
        size_t attempts_index = start == attempt_pos_ ? attempts_.size() : 0;
        size_t prev_attempts = attempts_at(start);
        size_t idx = nodes_.size();
        nodes_.push_back({r, start, start, 0});
        if (body()) {
            nodes_[idx].end = pos_;
            nodes_[idx].next = nodes_.size();
            return true;
        }
        nodes_.resize(idx);
        pos_ = start;
        if (!too_deep_) track(r, start, attempts_index, prev_attempts);
        return false;
    }

    // A sequence either matches whole or leaves position and tree untouched.
    template <class F>
    bool seq(F &&body) {
        size_t p = pos_, n = nodes_.size();
        if (body()) return true;
        pos_ = p;
        nodes_.resize(n);
        return false;
    }

    // `item*` inside a non-atomic rule: whitespace may stand between items.
    template <class F>
    void repeat(F &&item) {
        for (bool first = true;; first = false) {
            size_t p = pos_, n = nodes_.size();
            if (!first) skip();
            if (!item()) {
                pos_ = p;
                nodes_.resize(n);
                return;
            }
        }
    }

    // Implicit whitespace between the elements of non-atomic rules.
    bool skip() {
        while (!at_end() && is_ws(peek())) ++pos_;
        return true;
    }

    bool lit(std::string_view s) {
        if (in_.substr(pos_, s.size()) != s) return false;
        pos_ += s.size();
        return true;
    }

    bool exp() {
        return rule(Rule::exp, [&] {
            skip();  // the explicit leading WHITESPACE*
            if (!term()) return false;
            skip();
            repeat([&] { return plus() && skip() && term(); });
            return true;
        });
    }

    bool term() {
        return rule(Rule::term, [&] {
            if (!factor()) return false;
            skip();
            repeat([&] { return mul() && skip() && factor(); });
            return true;
        });
    }

    bool factor() {
        return rule(Rule::factor, [&] {
            if (!power()) return false;
            skip();
            repeat([&] { return lit("^") && skip() && power(); });
            return true;
        });
    }

    bool power() {
        if (depth_ > ExprParser::MAX_NESTING && !too_deep_) {
            too_deep_ = true;
            too_deep_pos_ = pos_;
        }
        ++depth_;
        bool ok = rule(Rule::power, [&] {
            return real() || nninteger() ||
                   seq([&] { return lit("(") && skip() && exp() && skip() && lit(")"); }) ||
                   seq([&] { return unary_op() && skip() && lit("(") && skip() && exp() && skip() && lit(")"); }) ||
                   seq([&] { return lit("-") && skip() && power(); }) ||
                   id();
        });
        --depth_;
        return ok;
    }

    bool real() {
        return rule(Rule::real, [&] {
            size_t p = pos_;
            while (!at_end() && is_digit(peek())) ++pos_;
            if (pos_ == p || !lit(".")) return false;
            while (!at_end() && is_digit(peek())) ++pos_;
            return true;
        });
    }

    bool nninteger() {
        return rule(Rule::nninteger, [&] {
            if (at_end()) return false;
            if (peek() >= '1' && peek() <= '9') {
                ++pos_;
                while (!at_end() && is_digit(peek())) ++pos_;
                return true;
            }
            return lit("0");
        });
    }

    bool id() {
        return rule(Rule::id, [&] {
            if (at_end() || !is_lower(peek())) return false;
            ++pos_;
            while (!at_end() && (is_upper(peek()) || is_lower(peek()) || is_digit(peek()) || peek() == '_'))
                ++pos_;
            return true;
        });
    }

    bool unary_op() {
        return rule(Rule::unary_op, [&] {
            return lit("sin") || lit("cos") || lit("tan") || lit("exp") || lit("ln") || lit("sqrt");
        });
    }

    bool plus() {
        return rule(Rule::plus, [&] { return lit("+") || lit("-"); });
    }

    bool mul() {
        return rule(Rule::mul, [&] { return lit("*") || lit("/"); });
    }
};

// Decimal text (digits, optionally a point and more digits) to the nearest
// double, independent of the process locale. Values beyond the range of
// doubles round to infinity, values below the smallest one to zero.
double read_double(std::string_view text) {
    double v = 0.0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec == std::errc::result_out_of_range) {
        std::string_view whole = text.substr(0, text.find('.'));
        bool large = whole.find_first_not_of('0') != std::string_view::npos;
        return large ? HUGE_VAL : 0.0;
    }
    if (ec != std::errc() || ptr != text.data() + text.size())
        fatal("malformed number " + std::string(text) + " in a parse tree");
    return v;
}

// Applies `eval` to the operands and `caculate` to the operators of an
// `operand (operator operand)*` node, left to right.
template <class F>
NumericResult fold_left(Pair node, const Variables &vars, F &&eval) {
    auto children = node.children();
    auto it = children.begin();
    NumericResult acc = eval(*it, vars);
    if (!acc.ok()) return acc;
    for (++it; it != children.end(); ++it) {
        std::string_view op = (*it).text();
        ++it;
        NumericResult rhs = eval(*it, vars);
        if (!rhs.ok()) return rhs;
        acc = caculate(op, acc.value, rhs.value);
        if (!acc.ok()) return acc;
    }
    return acc;
}

}  // namespace

const char *rule_name(Rule r) { return RULE_NAMES[static_cast<size_t>(r)]; }

std::string NumericError::text() const {
    return kind == Kind::DivisionByZero ? std::string("DivisionByZero") : payload;
}

Rule Pair::rule() const { return tree_->node(idx_).rule; }

std::string_view Pair::text() const {
    const ParseNode &n = tree_->node(idx_);
    return tree_->text().substr(n.start, n.end - n.start);
}

Pair::Iter &Pair::Iter::operator++() {
    idx_ = tree_->node(idx_).next;
    return *this;
}

Pair::Children Pair::children() const {
    return {Iter(*tree_, idx_ + 1), Iter(*tree_, tree_->node(idx_).next)};
}

ParseOutcome ExprParser::parse_exp(std::string_view text) { return Matcher(text).run(); }

NumericResult eval_expr(Pair exp, const Variables &vars) { return fold_left(exp, vars, eval_term); }

NumericResult eval_term(Pair term, const Variables &vars) { return fold_left(term, vars, eval_factor); }

NumericResult eval_factor(Pair factor, const Variables &vars) {
    auto children = factor.children();
    auto it = children.begin();
    NumericResult acc = eval_power(*it, vars);
    if (!acc.ok()) return acc;
    for (++it; it != children.end(); ++it) {
        NumericResult rhs = eval_power(*it, vars);
        if (!rhs.ok()) return rhs;
        acc = std::pow(acc.value, rhs.value);
    }
    return acc;
}

NumericResult eval_power(Pair power, const Variables &vars) {
    auto children = power.children();
    auto it = children.begin();
    Pair first = *it;
    switch (first.rule()) {
        case Rule::real:
        case Rule::nninteger:
            return read_double(first.text());
        case Rule::id: {
            auto var = vars.find(first.text());
            if (var == vars.end()) return NumericError::undefined_variable(std::string(first.text()));
            return var->second;
        }
        case Rule::exp:
            return eval_expr(first, vars);
        case Rule::unary_op: {
            NumericResult x = eval_expr(*++it, vars);
            if (!x.ok()) return x;
            return caculate(first.text(), x.value, 0.0);
        }
        case Rule::power: {
            NumericResult x = eval_power(first, vars);
            if (!x.ok()) return x;
            return -x.value;
        }
        default:
            fatal(std::string("unexpected ") + rule_name(first.rule()) + " node in a power");
    }
}

NumericResult caculate(std::string_view op, double a, double b) {
    if (op == "+") return a + b;
    if (op == "-") return a - b;
    if (op == "*") return a * b;
    if (op == "/") {
        if (b == 0.0) return NumericError::division_by_zero();
        return a / b;
    }
    if (op == "ln") return std::log(a);
    if (op == "sin") return std::sin(a);
    if (op == "cos") return std::cos(a);
    if (op == "tan") return std::tan(a);
    if (op == "exp") return std::exp(a);
    if (op == "sqrt") return std::sqrt(a);
    return NumericError::invalid_argument(std::string(op));
}

NumericResult evaluate_with_pi(std::string_view text) {
    static const Variables vars{{"pi", 3.141592653589793}};
    ParseOutcome parsed = ExprParser::parse_exp(text);
    if (!parsed.tree) return NumericError::parse_error(std::move(parsed.report));
    return eval_expr(parsed.tree->root(), vars);
}

}  // namespace larkspan
