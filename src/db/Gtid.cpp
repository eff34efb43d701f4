#include "Gtid.h"

#include <algorithm>
#include <cstdio>

namespace zenta {

std::string GtidStateText(const GtidState& state) {
    std::string text;
    for (const auto& [key, sequence] : state)
        text += (text.empty() ? "" : ",") + std::to_string(key.first) + "-" +
                std::to_string(key.second) + "-" + std::to_string(sequence);
    return text;
}

std::optional<GtidState> ParseGtidState(const std::string& text) {
    GtidState state;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(',', at);
        if (end == std::string::npos)
            end = text.size();
        unsigned long long domain = 0, server = 0, sequence = 0;
        int used = 0;
        const std::string item = text.substr(at, end - at);
        if (std::sscanf(item.c_str(), "%llu-%llu-%llu%n", &domain, &server, &sequence, &used) !=
                3 ||
            used != static_cast<int>(item.size()))
            return std::nullopt;
        state[{static_cast<std::uint32_t>(domain), static_cast<std::uint32_t>(server)}] = sequence;
        at = end + 1;
    }
    return state;
}

std::optional<GtidState> ParseGtidText(const std::string& text) {
    std::string compact;
    for (const char c : text)
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t')
            compact += c;
    return ParseGtidState(compact);
}

std::optional<GtidPosition> ParseGtidPosition(const std::string& text) {
    const auto state = ParseGtidText(text);
    if (!state)
        return std::nullopt;
    GtidPosition position;
    for (const auto& [key, sequence] : *state)
        position[key.first] = std::max(position[key.first], sequence);
    return position;
}

std::uint64_t TransactionsBehind(const GtidPosition& ahead, const GtidPosition& behind) {
    std::uint64_t count = 0;
    for (const auto& [domain, sequence] : ahead) {
        const auto other = behind.find(domain);
        const std::uint64_t have = other == behind.end() ? 0 : other->second;
        if (sequence > have)
            count += sequence - have;
    }
    return count;
}

} // namespace zenta
