#include "S3Client.h"

#include "Text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <pugixml.hpp>
#include <sys/stat.h>
#include <unistd.h>

namespace zenta {

namespace {

struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    ~CurlGlobal() { curl_global_cleanup(); }
};

struct EasyDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
struct ListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;
struct DigestDeleter {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using Digest = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

std::string Hex(const unsigned char* bytes, unsigned length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string Base64(const unsigned char* bytes, unsigned length) {
    std::string out(4 * ((length + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes,
                                  static_cast<int>(length));
    out.resize(static_cast<size_t>(n));
    return out;
}

// Two digests over the same bytes, fed in pieces.
class TwoDigests {
  public:
    TwoDigests() : md5_(EVP_MD_CTX_new()), sha_(EVP_MD_CTX_new()) {
        EVP_DigestInit_ex(md5_.get(), EVP_md5(), nullptr);
        EVP_DigestInit_ex(sha_.get(), EVP_sha256(), nullptr);
    }
    void Add(const void* data, size_t length) {
        EVP_DigestUpdate(md5_.get(), data, length);
        EVP_DigestUpdate(sha_.get(), data, length);
    }
    std::string Md5Base64() {
        unsigned char d[EVP_MAX_MD_SIZE];
        unsigned n = 0;
        EVP_DigestFinal_ex(md5_.get(), d, &n);
        return Base64(d, n);
    }
    std::string Sha256Hex() {
        unsigned char d[EVP_MAX_MD_SIZE];
        unsigned n = 0;
        EVP_DigestFinal_ex(sha_.get(), d, &n);
        return Hex(d, n);
    }

  private:
    Digest md5_, sha_;
};

size_t Collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

size_t CollectHeader(char* data, size_t size, size_t count, void* out) {
    const std::string line(data, size * count);
    const size_t colon = line.find(':');
    if (colon != std::string::npos)
        (*static_cast<std::map<std::string, std::string>*>(
            out))[AsciiLowerCase(TrimWhitespace(line.substr(0, colon)))] =
            TrimWhitespace(line.substr(colon + 1));
    return size * count;
}

// What a body comes from: bytes in memory or an open file.
struct Source {
    const std::string* bytes = nullptr;
    int fd = -1;
    size_t at = 0;
};

size_t Feed(char* buffer, size_t size, size_t count, void* userdata) {
    Source& s = *static_cast<Source*>(userdata);
    const size_t room = size * count;
    if (s.bytes) {
        const size_t n = std::min(room, s.bytes->size() - s.at);
        std::memcpy(buffer, s.bytes->data() + s.at, n);
        s.at += n;
        return n;
    }
    const ssize_t n = ::read(s.fd, buffer, room);
    return n < 0 ? CURL_READFUNC_ABORT : static_cast<size_t>(n);
}

int Progress(void* cancel, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return cancel && static_cast<const std::atomic<bool>*>(cancel)->load() ? 1 : 0;
}

size_t WriteToFile(char* data, size_t size, size_t count, void* userdata) {
    const int fd = *static_cast<int*>(userdata);
    size_t done = 0;
    while (done < size * count) {
        const ssize_t n = ::write(fd, data + done, size * count - done);
        if (n <= 0)
            return 0;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool Unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == '~';
}

std::string Encode(const std::string& text, bool keepSlash) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (Unreserved(c) || (keepSlash && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

// The query with its parameters in the order the signature wants them (sorted by name), '/'
// in a value as AWS signs it (%2F) or, for a storage that signs it as it stands, as it stands.
std::string Query(const std::map<std::string, std::string>& parameters, bool slashAsIs = false) {
    std::string q;
    for (const auto& [name, value] : parameters)
        q += (q.empty() ? "" : "&") + Encode(name, false) + "=" + Encode(value, slashAsIs);
    return q;
}

std::string Child(const pugi::xml_node& node, const char* name) {
    return node.child(name).text().as_string();
}

} // namespace

std::string EncodeKey(const std::string& key) {
    return Encode(key, true);
}

std::string Md5Base64(const std::string& bytes) {
    TwoDigests d;
    d.Add(bytes.data(), bytes.size());
    return d.Md5Base64();
}

std::string Sha256Hex(const std::string& bytes) {
    TwoDigests d;
    d.Add(bytes.data(), bytes.size());
    return d.Sha256Hex();
}

FileDigests DigestsOfFile(const std::string& path) {
    FileDigests out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    TwoDigests d;
    char buffer[1 << 16];
    long long size = 0;
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        d.Add(buffer, static_cast<size_t>(n));
        size += n;
    }
    ::close(fd);
    if (n < 0)
        return out;
    out.md5Base64 = d.Md5Base64();
    out.sha256Hex = d.Sha256Hex();
    out.size = size;
    return out;
}

std::string S3Answer::Code() const {
    pugi::xml_document doc;
    if (body.empty() || !doc.load_string(body.c_str()))
        return {};
    return Child(doc.child("Error"), "Code");
}

std::string S3Answer::Message() const {
    pugi::xml_document doc;
    if (body.empty() || !doc.load_string(body.c_str()))
        return {};
    return Child(doc.child("Error"), "Message");
}

std::string S3Answer::Header(const std::string& lowerName) const {
    const auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
}

struct S3Client::Request {
    std::string method = "GET";
    std::string key;
    std::map<std::string, std::string> parameters;
    std::string query;
    std::vector<std::string> headers;
    Source source;
    long long length = -1; // of the body; -1 none
    std::string payloadSha;
    int toFile = -1; // the answer's body into this file when it succeeds
};

S3Client::S3Client(S3Config config) : config_(std::move(config)) {
    static CurlGlobal global;
    while (!config_.endpoint.empty() && config_.endpoint.back() == '/')
        config_.endpoint.pop_back();
}

S3Client::~S3Client() = default;

std::string S3Client::Url(const std::string& key, const std::string& query) const {
    std::string url = config_.endpoint;
    if (config_.virtualHosted) {
        const size_t scheme = url.find("://");
        const size_t host = scheme == std::string::npos ? 0 : scheme + 3;
        url.insert(host, config_.bucket + ".");
        url += "/" + EncodeKey(key);
    } else {
        url += "/" + EncodeKey(config_.bucket) + (key.empty() ? "" : "/" + EncodeKey(key));
    }
    return query.empty() ? url : url + "?" + query;
}

S3Answer S3Client::Perform(Request& r) {
    if (!r.parameters.empty())
        r.query = Query(r.parameters, slashAsIs_);
    S3Answer answer = PerformOnce(r);
    // Storages differ in how they sign a '/' in a query (AWS: %2F; some as it stands): the
    // other way is tried once, and kept.
    if (answer.status == 403 && answer.Code() == "SignatureDoesNotMatch" && !r.parameters.empty()) {
        slashAsIs_ = !slashAsIs_;
        const std::string other = Query(r.parameters, slashAsIs_);
        if (other != r.query) {
            r.query = other;
            S3Answer again = PerformOnce(r);
            if (again.Code() != "SignatureDoesNotMatch")
                return again; // that way it is, from now on
        }
        slashAsIs_ = !slashAsIs_;
    }
    return answer;
}

namespace {

// What every transfer sets alike: its limits, the owner's cancel, where the answer goes.
void TransferOptions(CURL* e, const S3Config& config, S3Answer& answer, std::string& body) {
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, config.connectSeconds);
    if (config.transferSeconds > 0)
        curl_easy_setopt(e, CURLOPT_TIMEOUT, config.transferSeconds);
    // A transfer that moves nothing for a minute ends (a network cut midway).
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, 60L);
    if (config.cancel) {
        curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, Progress);
        curl_easy_setopt(e, CURLOPT_XFERINFODATA, config.cancel);
    }
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, CollectHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &answer.headers);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &body);
}

// A storage refuses signatures made more than 15 minutes off its clock (S3 itself; some never
// look): told as S3 tells it, whatever this one did. True when the answer became that refusal.
bool ClockTooFarOff(S3Answer& answer) {
    if (const std::string date = answer.Header("date"); !date.empty())
        answer.serverDate = static_cast<std::time_t>(curl_getdate(date.c_str(), nullptr));
    const long long skew = answer.serverDate > 0 ? static_cast<long long>(std::time(nullptr)) -
                                                       static_cast<long long>(answer.serverDate)
                                                 : 0;
    if (skew <= kClockSlackSeconds && skew >= -kClockSlackSeconds)
        return false;
    answer.status = 403;
    answer.clockSkew = skew;
    answer.body = "<Error><Code>RequestTimeTooSkewed</Code><Message>this computer's clock is " +
                  std::to_string((skew < 0 ? -skew : skew) / 60) + " minutes " +
                  (skew > 0 ? "ahead of" : "behind") + " the storage's</Message></Error>";
    return true;
}

} // namespace

S3Answer S3Client::PerformOnce(Request& r) {
    S3Answer answer;
    Easy easy(curl_easy_init());
    if (!easy) {
        answer.transportError = "libcurl cannot start a transfer";
        return answer;
    }
    CURL* e = easy.get();
    const std::string url = Url(r.key, r.query);
    const std::string sigv4 = "aws:amz:" + config_.region + ":s3";
    const std::string userpwd = config_.accessKey + ":" + config_.secretKey;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_AWS_SIGV4, sigv4.c_str());
    curl_easy_setopt(e, CURLOPT_USERPWD, userpwd.c_str());
    std::string body;
    TransferOptions(e, config_, answer, body);
    HeaderList headers;
    auto add = [&](const std::string& h) {
        headers.reset(curl_slist_append(headers.release(), h.c_str()));
    };
    for (const auto& h : r.headers)
        add(h);
    add("x-amz-content-sha256: " + (r.payloadSha.empty() ? Sha256Hex("") : r.payloadSha));
    if (r.method == "PUT") {
        curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(e, CURLOPT_READFUNCTION, Feed);
        curl_easy_setopt(e, CURLOPT_READDATA, &r.source);
        curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(r.length));
        if (config_.sendBytesPerSecond > 0)
            curl_easy_setopt(e, CURLOPT_MAX_SEND_SPEED_LARGE,
                             static_cast<curl_off_t>(config_.sendBytesPerSecond));
        // A storage that never sends "100 Continue" costs half a second, not one (an empty
        // "Expect:" header would be signed but not sent).
        curl_easy_setopt(e, CURLOPT_EXPECT_100_TIMEOUT_MS, 500L);
    } else if (r.method == "HEAD") {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else if (r.method != "GET") {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.method.c_str());
    }
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
    const CURLcode code = curl_easy_perform(e);
    answer.curlCode = static_cast<int>(code);
    if (code != CURLE_OK) {
        answer.transportError = curl_easy_strerror(code);
        return answer;
    }
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &answer.status);
    if (ClockTooFarOff(answer))
        return answer;
    if (r.toFile >= 0 && answer.Ok()) {
        int fd = r.toFile;
        if (WriteToFile(body.data(), 1, body.size(), &fd) != body.size()) {
            answer.status = 0;
            answer.transportError =
                std::string("the file cannot be written: ") + std::strerror(errno);
        }
        body.clear();
    }
    answer.body = std::move(body);
    return answer;
}

S3Answer S3Client::PutNew(const std::string& key, const std::string& bytes,
                          const std::map<std::string, std::string>& metadata) {
    Request r;
    r.method = "PUT";
    r.key = key;
    r.source.bytes = &bytes;
    r.length = static_cast<long long>(bytes.size());
    r.payloadSha = Sha256Hex(bytes);
    r.headers = {"If-None-Match: *", "Content-MD5: " + Md5Base64(bytes),
                 "Content-Type: application/octet-stream"};
    for (const auto& [name, value] : metadata)
        r.headers.push_back("x-amz-meta-" + name + ": " + value);
    return Perform(r);
}

S3Answer S3Client::PutNewFile(const std::string& key, const std::string& path,
                              const std::map<std::string, std::string>& metadata) {
    const FileDigests digests = DigestsOfFile(path);
    S3Answer answer;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (digests.size < 0 || fd < 0) {
        if (fd >= 0)
            ::close(fd);
        answer.transportError = "cannot read " + path + ": " + std::strerror(errno);
        return answer;
    }
    Request r;
    r.method = "PUT";
    r.key = key;
    r.source.fd = fd;
    r.length = digests.size;
    r.payloadSha = digests.sha256Hex;
    r.headers = {"If-None-Match: *", "Content-MD5: " + digests.md5Base64,
                 "Content-Type: application/octet-stream"};
    for (const auto& [name, value] : metadata)
        r.headers.push_back("x-amz-meta-" + name + ": " + value);
    answer = Perform(r);
    ::close(fd);
    return answer;
}

S3Answer S3Client::Get(const std::string& key, const std::string& versionId) {
    Request r;
    r.key = key;
    if (!versionId.empty())
        r.parameters = {{"versionId", versionId}};
    return Perform(r);
}

S3Answer S3Client::GetToFile(const std::string& key, const std::string& versionId,
                             const std::string& path) {
    const std::string partial = path + ".partial";
    S3Answer answer;
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (fd < 0) {
        answer.transportError = "cannot write " + partial + ": " + std::strerror(errno);
        return answer;
    }
    Request r;
    r.key = key;
    if (!versionId.empty())
        r.parameters = {{"versionId", versionId}};
    r.toFile = fd;
    answer = Perform(r);
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    if (!answer.Ok() || !synced || std::rename(partial.c_str(), path.c_str()) != 0) {
        std::remove(partial.c_str());
        if (answer.Ok()) {
            answer.status = 0;
            answer.transportError = "the file " + path + " cannot be written";
        }
    }
    return answer;
}

S3Answer S3Client::Head(const std::string& key, const std::string& versionId) {
    Request r;
    r.method = "HEAD";
    r.key = key;
    if (!versionId.empty())
        r.parameters = {{"versionId", versionId}};
    return Perform(r);
}

S3Answer S3Client::Delete(const std::string& key, const std::string& versionId) {
    Request r;
    r.method = "DELETE";
    r.key = key;
    if (!versionId.empty())
        r.parameters = {{"versionId", versionId}};
    return Perform(r);
}

S3Answer S3Client::BucketGet(const std::string& subresource) {
    Request r;
    if (!subresource.empty())
        r.parameters = {{subresource, ""}};
    return Perform(r);
}

Result<std::vector<S3Object>> S3Client::List(const std::string& prefix, int pageSize) {
    using Objects = Result<std::vector<S3Object>>;
    std::vector<S3Object> objects;
    std::string token;
    for (;;) {
        std::map<std::string, std::string> q = {
            {"list-type", "2"}, {"max-keys", std::to_string(pageSize)}, {"prefix", prefix}};
        if (!token.empty())
            q["continuation-token"] = token;
        Request r;
        r.parameters = q;
        const S3Answer a = Perform(r);
        if (!a.Ok())
            return Objects::Failure(Why(a));
        pugi::xml_document doc;
        if (!doc.load_string(a.body.c_str()))
            return Objects::Failure("the storage's listing cannot be read");
        const pugi::xml_node result = doc.child("ListBucketResult");
        for (const auto& c : result.children("Contents")) {
            S3Object o;
            o.key = Child(c, "Key");
            o.size = c.child("Size").text().as_llong();
            o.etag = Child(c, "ETag");
            o.lastModified = Child(c, "LastModified");
            o.latest = true;
            objects.push_back(o);
        }
        token = Child(result, "NextContinuationToken");
        if (Child(result, "IsTruncated") != "true" || token.empty())
            return objects;
    }
}

Result<std::vector<std::string>> S3Client::ListPrefixes(const std::string& prefix,
                                                        const std::string& delimiter) {
    using Prefixes = Result<std::vector<std::string>>;
    std::vector<std::string> prefixes;
    std::string token;
    for (;;) {
        std::map<std::string, std::string> q = {
            {"list-type", "2"}, {"prefix", prefix}, {"delimiter", delimiter}};
        if (!token.empty())
            q["continuation-token"] = token;
        Request r;
        r.parameters = q;
        const S3Answer a = Perform(r);
        if (!a.Ok())
            return Prefixes::Failure(Why(a));
        pugi::xml_document doc;
        if (!doc.load_string(a.body.c_str()))
            return Prefixes::Failure("the storage's listing cannot be read");
        const pugi::xml_node result = doc.child("ListBucketResult");
        for (const auto& c : result.children("CommonPrefixes"))
            prefixes.push_back(Child(c, "Prefix"));
        token = Child(result, "NextContinuationToken");
        if (Child(result, "IsTruncated") != "true" || token.empty())
            return prefixes;
    }
}

Result<std::vector<S3Object>> S3Client::ListVersions(const std::string& prefix, int pageSize) {
    using Objects = Result<std::vector<S3Object>>;
    std::vector<S3Object> objects;
    std::string keyMarker, versionMarker;
    for (;;) {
        std::map<std::string, std::string> q = {
            {"max-keys", std::to_string(pageSize)}, {"prefix", prefix}, {"versions", ""}};
        if (!keyMarker.empty())
            q["key-marker"] = keyMarker;
        if (!versionMarker.empty())
            q["version-id-marker"] = versionMarker;
        Request r;
        r.parameters = q;
        const S3Answer a = Perform(r);
        if (!a.Ok())
            return Objects::Failure(Why(a));
        pugi::xml_document doc;
        if (!doc.load_string(a.body.c_str()))
            return Objects::Failure("the storage's listing of versions cannot be read");
        const pugi::xml_node result = doc.child("ListVersionsResult");
        std::vector<S3Object> page;
        for (const auto& c : result.children()) {
            const std::string kind = c.name();
            if (kind != "Version" && kind != "DeleteMarker")
                continue;
            S3Object o;
            o.key = Child(c, "Key");
            o.versionId = Child(c, "VersionId");
            o.size = c.child("Size").text().as_llong();
            o.etag = Child(c, "ETag");
            o.lastModified = Child(c, "LastModified");
            o.latest = Child(c, "IsLatest") == "true";
            o.deleteMarker = kind == "DeleteMarker";
            page.push_back(o);
        }
        objects.insert(objects.end(), page.begin(), page.end());
        keyMarker = Child(result, "NextKeyMarker");
        versionMarker = Child(result, "NextVersionIdMarker");
        if (Child(result, "IsTruncated") != "true" || keyMarker.empty())
            break;
    }
    // Oldest first within a name, by when each was written (storages list versions and
    // delete markers apart); the newest last of equals.
    std::stable_sort(objects.begin(), objects.end(), [](const S3Object& a, const S3Object& b) {
        if (a.key != b.key)
            return a.key < b.key;
        if (a.lastModified != b.lastModified)
            return a.lastModified < b.lastModified;
        return !a.latest && b.latest;
    });
    return objects;
}

std::string S3Client::Why(const S3Answer& a) const {
    const std::string where = config_.endpoint + " (bucket " + config_.bucket + ")";
    if (a.status == 0) {
        switch (static_cast<CURLcode>(a.curlCode)) {
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
            return where + "'s certificate does not verify (" + a.transportError +
                   "): it is not the storage it claims to be, or this computer lacks the "
                   "authority that signed it; the program never turns the check off";
        case CURLE_COULDNT_RESOLVE_HOST:
            return "the storage's name in " + config_.endpoint +
                   " cannot be resolved (DNS): is the endpoint right, the network up?";
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:
            return "no route to the storage " + where + ": " + a.transportError +
                   " (the network, a firewall, the endpoint's address and port)";
        default:
            return "the storage " + where + " did not answer: " + a.transportError;
        }
    }
    const std::string code = a.Code();
    const std::string said =
        code.empty() ? std::string()
                     : " (" + code + (a.Message().empty() ? "" : ": " + a.Message()) + ")";
    if (code == "RequestTimeTooSkewed")
        return "the storage refuses the request signatures: this computer's clock is off "
               "(set it right, e.g. with NTP)" +
               said;
    if (code == "InvalidAccessKeyId")
        return "the storage does not know the access key in the credentials file" + said;
    if (code == "SignatureDoesNotMatch")
        return "the storage refuses the secret key in the credentials file (or this "
               "computer's clock is off)" +
               said;
    if (code == "NoSuchBucket")
        return "the bucket " + config_.bucket + " does not exist at " + config_.endpoint + said;
    if (a.status == 403)
        return "the storage refuses the key for this request: its policy does not allow it, or "
               "the bucket " +
               config_.bucket + " is not one it may use" + said;
    if (a.status == 412)
        return "the name is taken already" + said;
    if (a.status >= 500)
        return "the storage " + where + " has a trouble of its own (HTTP " +
               std::to_string(a.status) + ")" + said + "; tried again later";
    return "the storage " + where + " answered HTTP " + std::to_string(a.status) + said;
}

} // namespace zenta
