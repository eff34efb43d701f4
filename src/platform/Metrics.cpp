#include "Metrics.h"

#include "Common.h"
#include "Settings.h"

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <unistd.h>

namespace zenta {

namespace {

// The parts in the order the file gives them, and their names.
std::map<std::pair<int, std::string>, MetricsSection>& Sections() {
    static std::map<std::pair<int, std::string>, MetricsSection> sections;
    return sections;
}

} // namespace

void AddMetric(std::string& out, const std::string& name, const std::string& help,
               const std::string& value) {
    if (value.empty())
        return;
    out +=
        "# HELP " + name + " " + help + "\n# TYPE " + name + " gauge\n" + name + " " + value + "\n";
}

bool AddMetricsSection(int order, const std::string& name, MetricsSection section) {
    Sections()[{order, name}] = std::move(section);
    return true;
}

std::string MetricsText() {
    std::string out;
    for (const auto& [key, section] : Sections())
        out += section();
    return out;
}

Result<Done> WriteMetricsFile() {
    std::string folder = GetSetting("Monitor", "MetricsFolder", "");
    if (folder.empty())
        return Done{};
    if (folder.back() != '/')
        folder += '/';
    // The collector reads every *.prom file: the file being written never looks like one.
    return ReplaceFileWhole(folder + "zentamarket.prom", MetricsText(), 0644);
}

} // namespace zenta
