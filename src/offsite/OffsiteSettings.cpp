#include "OffsiteSettings.h"

#include "ArchivePassword.h"
#include "Globals.h"
#include "Opcion.h"
#include "Settings.h"
#include "Text.h"

namespace zenta {

namespace {

std::string Setting(const char* key, const char* otherwise = "") {
    return TrimBlanks(GetSetting("Offsite", key, otherwise));
}

// "AccessKey=..." and "SecretKey=..." lines of the credentials file.
Result<Done> ReadKeys(const std::string& path, S3Config& storage) {
    const SecretFile file = ReadSecretFile(path, "the off-site credentials file");
    if (file.kind != PasswordFileState::Kind::Good)
        return Result<Done>::Failure(file.why);
    size_t at = 0;
    while (at < file.text.size()) {
        const size_t end = file.text.find('\n', at);
        const std::string line =
            TrimWhitespace(file.text.substr(at, end == std::string::npos ? end : end - at));
        at = end == std::string::npos ? file.text.size() : end + 1;
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string name = AsciiLowerCase(TrimBlanks(line.substr(0, eq)));
        const std::string value = TrimBlanks(line.substr(eq + 1));
        if (name == "accesskey")
            storage.accessKey = value;
        else if (name == "secretkey")
            storage.secretKey = value;
    }
    if (storage.accessKey.empty() || storage.secretKey.empty())
        return Result<Done>::Failure("the off-site credentials file " + path +
                                     " lacks its AccessKey= or SecretKey= line");
    return Done{};
}

} // namespace

bool OffsiteConfigured() {
    return !Setting("Endpoint").empty();
}

std::string BranchPrefix(const std::string& company, const std::string& branch) {
    if (TrimSpaces(company).empty() || TrimSpaces(branch).empty())
        return {};
    return "zentamarket-" + TrimSpaces(company) + "-" + TrimSpaces(branch);
}

Result<OffsiteSettings> ReadOffsiteStorage(const std::string& credentialsFile) {
    using Settings = Result<OffsiteSettings>;
    OffsiteSettings s;
    s.storage.endpoint = Setting("Endpoint");
    s.storage.bucket = Setting("Bucket");
    s.storage.region = Setting("Region", "us-east-1");
    s.storage.virtualHosted = AsciiLowerCase(Setting("Addressing", "path")) == "virtual";
    s.storage.sendBytesPerSecond = GetSettingNumber("Offsite", "UploadKBps", 0, 0) * 1024LL;
    s.logSeconds = GetSettingNumber("Offsite", "LogSeconds", 10, 1);
    s.warnMinutes = GetSettingNumber("Offsite", "WarnMinutes", 10, 1);
    if (s.storage.endpoint.empty())
        return Settings::Failure("the off-site copy is off ([Offsite] Endpoint is not set)");
    if (s.storage.endpoint.rfind("https://", 0) != 0 && s.storage.endpoint.rfind("http://", 0) != 0)
        return Settings::Failure("[Offsite] Endpoint " + s.storage.endpoint +
                                 " is no address (https://host[:port])");
    if (s.storage.bucket.empty())
        return Settings::Failure("[Offsite] Bucket is not set");
    s.credentialsFile = credentialsFile.empty() ? Setting("CredentialsFile") : credentialsFile;
    if (!s.credentialsFile.empty() && s.credentialsFile[0] != '/')
        s.credentialsFile = Globals::AppPath + s.credentialsFile;
    if (s.credentialsFile.empty())
        return Settings::Failure("[Offsite] CredentialsFile is not set (a file open to its owner "
                                 "only, with AccessKey= and SecretKey= lines)");
    if (auto keys = ReadKeys(s.credentialsFile, s.storage); !keys)
        return Settings::Failure(keys.error());
    s.prefix = Setting("Prefix");
    while (!s.prefix.empty() && s.prefix.back() == '/')
        s.prefix.pop_back();
    return s;
}

Result<OffsiteSettings> ReadOffsiteSettings(clsDataBase& db) {
    using Settings = Result<OffsiteSettings>;
    auto read = ReadOffsiteStorage();
    if (!read)
        return read;
    OffsiteSettings s = *read;
    if (s.prefix.empty())
        s.prefix = BranchPrefix(OpcionText(db, "CadenaID", ""), OpcionText(db, "SubTiendaID", ""));
    if (s.prefix.empty())
        return Settings::Failure("the branch's prefix in the bucket is not known: set [Offsite] "
                                 "Prefix (the shop is not part of a chain: no CadenaID and "
                                 "SubTiendaID options)");
    return s;
}

} // namespace zenta
