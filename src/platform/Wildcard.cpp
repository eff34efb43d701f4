#include "Wildcard.h"
#include "Text.h"

#include <vector>

namespace zenta {

namespace {

enum class Tok { Literal, Star, DosStar, DosQm, DosDot };

struct Token {
    Tok kind;
    char c = 0;
};

std::vector<Token> Translate(const std::string& p) {
    std::vector<Token> out;
    if (p == "*.*") {
        out.push_back({Tok::Star});
        return out;
    }
    for (size_t i = 0; i < p.size(); ++i) {
        char c = p[i];
        char next = i + 1 < p.size() ? p[i + 1] : '\0';
        if (c == '*')
            out.push_back({next == '.' ? Tok::DosStar : Tok::Star});
        else if (c == '?')
            out.push_back({Tok::DosQm});
        else if (c == '.' && (next == '?' || next == '*' || next == '\0'))
            out.push_back({Tok::DosDot});
        else
            out.push_back({Tok::Literal, c});
    }
    return out;
}

} // namespace

bool WildcardMatch(const std::string& pattern, const std::string& name) {
    const auto toks = Translate(pattern);
    const size_t n = name.size();
    const size_t lastDot = name.rfind('.');
    // reach[j]: the name's first j characters are matched by the tokens seen so far.
    std::vector<char> reach(n + 1, 0), next(n + 1, 0);
    reach[0] = 1;
    for (const Token& t : toks) {
        std::fill(next.begin(), next.end(), 0);
        for (size_t j = 0; j <= n; ++j) {
            if (!reach[j])
                continue;
            switch (t.kind) {
            case Tok::Literal:
                if (j < n && AsciiLower(name[j]) == AsciiLower(t.c))
                    next[j + 1] = 1;
                break;
            case Tok::Star:
                for (size_t k = j; k <= n; ++k)
                    next[k] = 1;
                break;
            case Tok::DosStar: {
                // Any run that stops short of the name's last period.
                size_t limit = (lastDot == std::string::npos) ? n : lastDot;
                if (j > limit) {
                    next[j] = 1;
                    break;
                }
                for (size_t k = j; k <= limit; ++k)
                    next[k] = 1;
                break;
            }
            case Tok::DosQm:
                if (j < n && name[j] != '.')
                    next[j + 1] = 1;
                if (j == n || name[j] == '.')
                    next[j] = 1;
                break;
            case Tok::DosDot:
                if (j < n && name[j] == '.')
                    next[j + 1] = 1;
                if (j == n)
                    next[j] = 1;
                break;
            }
        }
        reach.swap(next);
    }
    return reach[n] != 0;
}

} // namespace zenta
