#include "JobOutcomes.h"

#include "Globals.h"
#include "IniFile.h"
#include "Metrics.h"

namespace zenta {

std::string JobOutcomesPath() {
    return Globals::AppPath + "Log/JobOutcomes.ini";
}

void RecordOutcome(const std::string& job, const OutcomeValues& values) {
    if (Globals::AppPath.empty())
        return;
    IniFile::WriteMany(JobOutcomesPath(), job, values);
    WriteMetricsFile();
}

std::string OutcomeValue(const std::string& job, const std::string& key) {
    return IniFile::Read(JobOutcomesPath(), job, key);
}

} // namespace zenta
