#include "RecordsetFilter.h"

#include <algorithm>

#include "Common.h"
#include "Text.h"

#include <cctype>

namespace zenta {

struct RecordsetFilter::Node {
    enum class Kind { And, Or, Clause } kind = Kind::Clause;
    std::unique_ptr<Node> left, right;
    // Clause
    size_t column = 0;
    std::string op;
    enum class ValueKind { Text, Number, Date, NullValue } valueKind = ValueKind::Text;
    std::string text;
    double number = 0;
    DateTime date;
};

namespace {

using Node = RecordsetFilter::Node;

struct Token {
    enum class Type { LParen, RParen, Name, Op, Text, Number, Date, Word, End } type;
    std::string text;
};

// A quoted text from `i` (its opening quote), a doubled quote standing for one; where it ends,
// or npos when it is not closed.
size_t QuotedText(const std::string& s, size_t i, std::string& v) {
    for (size_t j = i + 1; j < s.size(); ++j) {
        if (s[j] != '\'') {
            v += s[j];
            continue;
        }
        if (j + 1 < s.size() && s[j + 1] == '\'') {
            v += '\'';
            ++j;
            continue;
        }
        return j + 1;
    }
    return std::string::npos;
}

// Text enclosed in `close` from `i`: [name] or #date#; where it ends, or npos.
size_t Enclosed(const std::string& s, size_t i, char close, Token::Type type,
                std::vector<Token>& out) {
    const size_t e = s.find(close, i + 1);
    if (e == std::string::npos)
        return e;
    out.push_back({type, s.substr(i + 1, e - i - 1)});
    return e + 1;
}

bool WordChar(char c, bool first) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalpha(u) || c == '_' || u >= 0x80 || (!first && (std::isdigit(u) || c == '.'));
}

bool NumberChar(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == 'e' || c == 'E';
}

// A run of characters from `i` that `more` accepts after the first; where it ends.
template <class More>
size_t Run(const std::string& s, size_t i, Token::Type type, More more, std::vector<Token>& out) {
    size_t j = i + 1;
    while (j < s.size() && more(s[j]))
        ++j;
    out.push_back({type, s.substr(i, j - i)});
    return j;
}

// The token at `i`; where the next begins, or npos with `error` set.
size_t NextToken(const std::string& s, size_t i, std::vector<Token>& out, std::string& error) {
    const char c = s[i];
    auto fail = [&](const std::string& why) {
        error = why;
        return std::string::npos;
    };
    if (std::isspace(static_cast<unsigned char>(c)))
        return i + 1;
    if (c == '(' || c == ')') {
        out.push_back({c == '(' ? Token::Type::LParen : Token::Type::RParen, std::string(1, c)});
        return i + 1;
    }
    if (c == '[' || c == '#') {
        const size_t next = Enclosed(s, i, c == '[' ? ']' : '#',
                                     c == '[' ? Token::Type::Name : Token::Type::Date, out);
        return next != std::string::npos ? next : fail(std::string("unclosed ") + c + " in filter");
    }
    if (c == '\'') {
        std::string v;
        const size_t next = QuotedText(s, i, v);
        if (next == std::string::npos)
            return fail("unclosed quote in filter");
        out.push_back({Token::Type::Text, v});
        return next;
    }
    if (c == '<' || c == '>' || c == '=') {
        std::string op(1, c);
        if (i + 1 < s.size() && ((c != '=' && s[i + 1] == '=') || (c == '<' && s[i + 1] == '>')))
            op += s[++i];
        out.push_back({Token::Type::Op, op});
        return i + 1;
    }
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+' || c == '.')
        return Run(s, i, Token::Type::Number, NumberChar, out);
    if (WordChar(c, true))
        return Run(
            s, i, Token::Type::Word, [](char ch) { return WordChar(ch, false); }, out);
    return fail(std::string("unexpected character '") + c + "' in filter");
}

bool Tokenize(const std::string& s, std::vector<Token>& out, std::string& error) {
    for (size_t i = 0; i < s.size();) {
        i = NextToken(s, i, out, error);
        if (i == std::string::npos)
            return false;
    }
    out.push_back({Token::Type::End, ""});
    return true;
}

class Parser {
  public:
    Parser(const std::vector<Token>& t, const std::vector<std::string>& cols)
        : t_(t), cols_(cols) {}

    std::unique_ptr<Node> Parse(std::string& error) {
        auto n = Or(error);
        if (n && t_[p_].type != Token::Type::End) {
            error = "unexpected '" + t_[p_].text + "' in filter";
            return nullptr;
        }
        return n;
    }

  private:
    bool IsWord(const char* w) const {
        return t_[p_].type == Token::Type::Word && AsciiUpperCase(t_[p_].text) == w;
    }

    std::unique_ptr<Node> Or(std::string& error) {
        auto left = And(error);
        while (left && IsWord("OR")) {
            ++p_;
            auto right = And(error);
            if (!right)
                return nullptr;
            auto n = std::make_unique<Node>();
            n->kind = Node::Kind::Or;
            n->left = std::move(left);
            n->right = std::move(right);
            left = std::move(n);
        }
        return left;
    }

    std::unique_ptr<Node> And(std::string& error) {
        auto left = Factor(error);
        while (left && IsWord("AND")) {
            ++p_;
            auto right = Factor(error);
            if (!right)
                return nullptr;
            auto n = std::make_unique<Node>();
            n->kind = Node::Kind::And;
            n->left = std::move(left);
            n->right = std::move(right);
            left = std::move(n);
        }
        return left;
    }

    std::unique_ptr<Node> Factor(std::string& error) {
        if (t_[p_].type == Token::Type::LParen) {
            ++p_;
            auto n = Or(error);
            if (!n)
                return nullptr;
            if (t_[p_].type != Token::Type::RParen) {
                error = "missing ) in filter";
                return nullptr;
            }
            ++p_;
            return n;
        }
        return Clause(error);
    }

    std::unique_ptr<Node> Clause(std::string& error) {
        const Token& field = t_[p_];
        if (field.type != Token::Type::Name && field.type != Token::Type::Word) {
            error = "field name expected in filter";
            return nullptr;
        }
        auto n = std::make_unique<Node>();
        const auto column = std::find_if(cols_.begin(), cols_.end(), [&](const std::string& c) {
            return AsciiLowerCase(c) == AsciiLowerCase(field.text);
        });
        if (column == cols_.end()) {
            error = "filter names no column of the result: " + field.text;
            return nullptr;
        }
        n->column = static_cast<size_t>(column - cols_.begin());
        ++p_;
        if (t_[p_].type == Token::Type::Op) {
            n->op = t_[p_].text;
        } else if (IsWord("LIKE")) {
            n->op = "LIKE";
        } else {
            error = "operator expected after " + field.text;
            return nullptr;
        }
        ++p_;
        if (!Value(t_[p_], *n, error))
            return nullptr;
        if (n->op == "LIKE" && n->valueKind != Node::ValueKind::Text) {
            error = "LIKE needs a quoted pattern";
            return nullptr;
        }
        ++p_;
        return n;
    }

    // The value a clause compares with; false (with `error`) when there is none that can be
    // read.
    static bool Value(const Token& v, Node& n, std::string& error) {
        switch (v.type) {
        case Token::Type::Text:
            n.valueKind = Node::ValueKind::Text;
            n.text = v.text;
            return true;
        case Token::Type::Number:
            if (!Variant(v.text).IsNumeric()) {
                error = "unreadable number " + v.text;
                return false;
            }
            n.valueKind = Node::ValueKind::Number;
            n.number = Val(v.text);
            n.text = v.text;
            return true;
        case Token::Type::Date:
            if (const auto d = DateTime::Parse(v.text)) {
                n.valueKind = Node::ValueKind::Date;
                n.date = *d;
                return true;
            }
            error = "unreadable date #" + v.text + "#";
            return false;
        case Token::Type::Word:
            if (AsciiUpperCase(v.text) == "NULL") {
                n.valueKind = Node::ValueKind::NullValue;
                return true;
            }
            break;
        default:
            break;
        }
        error = "value expected after " + n.op;
        return false;
    }

    const std::vector<Token>& t_;
    const std::vector<std::string>& cols_;
    size_t p_ = 0;
};

bool LikeMatch(const std::string& pattern, size_t pi, const std::string& s, size_t si) {
    while (pi < pattern.size()) {
        char c = pattern[pi];
        if (c == '*' || c == '%') {
            while (pi < pattern.size() && (pattern[pi] == '*' || pattern[pi] == '%'))
                ++pi;
            if (pi == pattern.size())
                return true;
            for (size_t k = si; k <= s.size(); ++k)
                if (LikeMatch(pattern, pi, s, k))
                    return true;
            return false;
        }
        if (si >= s.size() || AsciiLower(c) != AsciiLower(s[si]))
            return false;
        ++pi;
        ++si;
    }
    return si == s.size();
}

template <class T> bool Compare(const std::string& op, const T& a, const T& b) {
    if (op == "=")
        return a == b;
    if (op == "<>")
        return a != b;
    if (op == "<")
        return a < b;
    if (op == ">")
        return a > b;
    if (op == "<=")
        return a <= b;
    if (op == ">=")
        return a >= b;
    return false;
}

bool Evaluate(const Node& n, const std::vector<Variant>& row) {
    if (n.kind == Node::Kind::And)
        return Evaluate(*n.left, row) && Evaluate(*n.right, row);
    if (n.kind == Node::Kind::Or)
        return Evaluate(*n.left, row) || Evaluate(*n.right, row);
    const Variant& cell = n.column < row.size() ? row[n.column] : Variant();
    const bool isNull = cell.IsNull() || cell.IsEmpty();
    if (n.valueKind == Node::ValueKind::NullValue) {
        if (n.op == "=")
            return isNull;
        if (n.op == "<>")
            return !isNull;
        return false;
    }
    if (isNull)
        return false;
    if (n.op == "LIKE")
        return LikeMatch(n.text, 0, cell.ToString(), 0);
    if (n.valueKind == Node::ValueKind::Number && cell.IsNumeric())
        return Compare(n.op, cell.ToDouble(), n.number);
    if (n.valueKind == Node::ValueKind::Date) {
        auto d = cell.ToDate();
        if (!d)
            return false;
        auto key = [](const DateTime& t) {
            return t.DayNumber() * 86400L + t.hour * 3600L + t.minute * 60L + t.second;
        };
        return Compare(n.op, key(*d), key(n.date));
    }
    const std::string value = n.valueKind == Node::ValueKind::Number ? n.text : n.text;
    return Compare(n.op, AsciiLowerCase(cell.ToString()), AsciiLowerCase(value));
}

} // namespace

RecordsetFilter::RecordsetFilter() = default;
RecordsetFilter::~RecordsetFilter() = default;
RecordsetFilter::RecordsetFilter(RecordsetFilter&&) noexcept = default;
RecordsetFilter& RecordsetFilter::operator=(RecordsetFilter&&) noexcept = default;

bool RecordsetFilter::Compile(const std::string& criteria,
                              const std::vector<std::string>& columnNames, std::string& error) {
    root_.reset();
    std::vector<Token> tokens;
    if (!Tokenize(criteria, tokens, error))
        return false;
    Parser p(tokens, columnNames);
    root_ = p.Parse(error);
    return root_ != nullptr;
}

bool RecordsetFilter::Matches(const std::vector<Variant>& row) const {
    return !root_ || Evaluate(*root_, row);
}

} // namespace zenta
