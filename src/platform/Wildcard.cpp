#include "Wildcard.h"

#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

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

char Fold(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
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
                if (j < n && Fold(name[j]) == Fold(t.c))
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

std::vector<DirEntry> DirListing(const std::string& pathPattern, int attributes) {
    std::vector<DirEntry> out;
    if (pathPattern.empty())
        return out;
    std::string folder, pattern;
    size_t slash = pathPattern.find_last_of('/');
    if (slash == std::string::npos) {
        folder = ".";
        pattern = pathPattern;
    } else {
        folder = slash == 0 ? "/" : pathPattern.substr(0, slash);
        pattern = pathPattern.substr(slash + 1);
    }
    if (pattern.empty())
        return out;
    DIR* d = ::opendir(folder.c_str());
    if (!d)
        return out;
    const bool wild = pattern.find_first_of("*?") != std::string::npos;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        if (wild ? !WildcardMatch(pattern, name) : name != pattern)
            continue;
        struct stat st {};
        if (::stat((folder + "/" + name).c_str(), &st) != 0 &&
            ::lstat((folder + "/" + name).c_str(), &st) != 0)
            continue;
        int attr = 0;
        if (S_ISDIR(st.st_mode))
            attr |= vbDirectory;
        else if (!S_ISREG(st.st_mode))
            attr |= vbSystem;
        if (name[0] == '.')
            attr |= vbHidden;
        if (::access((folder + "/" + name).c_str(), W_OK) != 0 && !(st.st_mode & S_IWUSR))
            attr |= vbReadOnly;
        if ((attr & vbDirectory) && !(attributes & vbDirectory))
            continue;
        if ((attr & vbHidden) && !(attributes & vbHidden))
            continue;
        if ((attr & vbSystem) && !(attributes & vbSystem))
            continue;
        out.push_back({name, attr});
    }
    ::closedir(d);
    std::sort(out.begin(), out.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    return out;
}

std::vector<std::string> DirNames(const std::string& pathPattern, int attributes) {
    std::vector<std::string> names;
    for (auto& e : DirListing(pathPattern, attributes))
        names.push_back(e.name);
    return names;
}

} // namespace zenta
