#include "OffsiteDoctor.h"

#include "ArchivePassword.h"
#include "OffsiteRecord.h"
#include "OffsiteSettings.h"
#include "S3Client.h"

#include <ctime>
#include <pugixml.hpp>

namespace zenta {

namespace {

using Level = DoctorCheck::Level;

const char* const kUnprotected = "anyone with the shop's key can delete or overwrite its copies";
const char* const kBucketFix =
    "on the storage, for the bucket: versioning on, Object Lock on with a default retention "
    "(COMPLIANCE, 30 days; the README's \"The bucket\")";

// Versioning and Object Lock with a default retention: what keeps the originals from whoever
// holds the shop's key.
void BucketKeepsWhatIsWritten(S3Client& client, std::vector<DoctorCheck>& checks) {
    const S3Answer versioning = client.BucketGet("versioning");
    const S3Answer lock = client.BucketGet("object-lock");
    if (!versioning.Ok() && versioning.status == 403) {
        checks.push_back(
            {Level::Warning, "offsite: bucket",
             "the key may not read the bucket's versioning (" + client.Why(versioning) + ")",
             "allow s3:GetBucketVersioning and s3:GetBucketObjectLockConfiguration "
             "to the shop's key (the README's policy)"});
        return;
    }
    std::string status;
    {
        pugi::xml_document doc;
        if (doc.load_string(versioning.body.c_str()))
            status = doc.first_child().child("Status").text().as_string(); // any root's name
    }
    std::string enabled, mode, days, years;
    {
        pugi::xml_document doc;
        if (lock.Ok() && doc.load_string(lock.body.c_str())) {
            const auto c = doc.first_child();
            enabled = c.child("ObjectLockEnabled").text().as_string();
            const auto retention = c.child("Rule").child("DefaultRetention");
            mode = retention.child("Mode").text().as_string();
            days = retention.child("Days").text().as_string();
            years = retention.child("Years").text().as_string();
        }
    }
    if (status != "Enabled")
        checks.push_back({Level::Fault, "offsite: bucket",
                          client.config().bucket + " keeps no versions: " + kUnprotected,
                          kBucketFix});
    else if (enabled != "Enabled" || mode.empty())
        checks.push_back({Level::Fault, "offsite: bucket",
                          client.config().bucket +
                              (enabled != "Enabled" ? " has no Object Lock"
                                                    : " has Object Lock but no default retention") +
                              ": " + kUnprotected + " (a delete of a version goes through)",
                          kBucketFix});
    else
        checks.push_back(
            {mode == "COMPLIANCE" ? Level::Good : Level::Warning, "offsite: bucket",
             client.config().bucket + " keeps every version, locked " +
                 (days.empty() ? years + " years" : days + " days") + " (" + mode + ")",
             mode == "COMPLIANCE" ? ""
                                  : "GOVERNANCE can be lifted by a key allowed to: use "
                                    "COMPLIANCE"});
}

} // namespace

std::vector<DoctorCheck> OffsiteDoctorChecks(clsDataBase& db) {
    std::vector<DoctorCheck> checks;
    if (!OffsiteConfigured())
        return checks;
    const auto settings = ReadOffsiteSettings(db);
    if (!settings) {
        checks.push_back({Level::Fault, "offsite: settings", settings.error(),
                          "[Offsite] in zentamarket.ini and its credentials file (the README)"});
        return checks;
    }
    S3Client client(settings->storage);
    const auto listed = client.List(settings->prefix + "/archives/", 1);
    const S3Answer probe = client.BucketGet("versioning");
    if (!listed) {
        checks.push_back({Level::Fault, "offsite: storage", listed.error(), ""});
        return checks;
    }
    checks.push_back({Level::Good, "offsite: storage",
                      settings->storage.endpoint + " answers the shop's key, bucket " +
                          settings->storage.bucket + ", branch " + settings->prefix + "/",
                      ""});
    if (probe.serverDate > 0) {
        const long long skew = static_cast<long long>(std::time(nullptr)) - probe.serverDate;
        if (skew > 60 || skew < -60)
            checks.push_back({Level::Warning, "offsite: clock",
                              "this computer's clock is " + std::to_string(skew) +
                                  " s off the storage's (more than 15 minutes and every "
                                  "request is refused)",
                              "set the clock right (timedatectl set-ntp true)"});
    }
    BucketKeepsWhatIsWritten(client, checks);
    const auto password = ConfiguredArchivePassword();
    if (password && password->empty())
        checks.push_back({Level::Warning, "offsite: encryption",
                          "no archive password: the shop's data leaves the shop unencrypted",
                          "[Monitor] ArchivePasswordFile in zentamarket.ini (the README's "
                          "\"Encrypted archives\")"});
    const OffsiteOutcome o = OffsiteOutcome::Read();
    if (o.state == RepositoryState::Down || o.state == RepositoryState::Behind)
        checks.push_back({Level::Warning, "offsite: copy", o.Text(std::time(nullptr)),
                          "ZentaMarketMonitor status says more"});
    return checks;
}

} // namespace zenta
