#pragma once

// The off-site repository's storage: a bucket of S3-compatible object storage (a cloud's S3,
// MinIO, Ceph, Backblaze B2, Wasabi), reached over HTTP(S) with libcurl, every request signed by
// libcurl's own AWS signature version 4. The shop only puts, gets and lists: a put is made only
// if the name is free (If-None-Match: *), so that nothing the shop wrote is ever replaced.
#include "Result.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zenta {

// How far this computer's clock may be off the storage's before requests count as refused.
constexpr long long kClockSlackSeconds = 15 * 60;

struct S3Config {
    std::string endpoint; // "https://s3.eu-west-1.amazonaws.com", "http://127.0.0.1:9000"
    std::string bucket;
    std::string region = "us-east-1";
    std::string accessKey, secretKey;
    bool virtualHosted = false;       // bucket.host/key instead of host/bucket/key
    long long sendBytesPerSecond = 0; // upload speed limit (0: none)
    long connectSeconds = 10;
    long transferSeconds = 0; // a transfer's own limit (0: none; a stalled one ends anyway)
    // Set by the owner to end a transfer under way (the program is ending).
    const std::atomic<bool>* cancel = nullptr;
};

// What the storage answered.
struct S3Answer {
    long status = 0;            // HTTP status; 0 when nothing was answered
    std::string transportError; // libcurl's words when nothing was answered
    int curlCode = 0;
    std::string body;
    std::map<std::string, std::string> headers; // names in lower case
    std::time_t serverDate = 0;                 // its Date header (0: none)
    long long clockSkew = 0; // this computer's clock minus the storage's, when too far off
    bool Ok() const { return status >= 200 && status < 300; }
    // The error's code and message in an S3 error body ("NoSuchBucket", ...); "" when none.
    std::string Code() const;
    std::string Message() const;
    std::string Header(const std::string& lowerName) const;
};

// One object of a listing.
struct S3Object {
    std::string key;
    long long size = 0;
    std::string etag;
    std::string versionId;     // in a listing of versions
    bool latest = false;       // the newest version of its name
    bool deleteMarker = false; // a delete, not an object
    std::string lastModified;  // as the storage writes it (ISO 8601)
};

class S3Client {
  public:
    explicit S3Client(S3Config config);
    ~S3Client();
    S3Client(const S3Client&) = delete;
    S3Client& operator=(const S3Client&) = delete;

    const S3Config& config() const { return config_; }

    // Puts `bytes` under `key` when no object has that name yet (else 412); `metadata` as
    // x-amz-meta-* headers. Content-MD5 and the payload's SHA-256 go with it.
    S3Answer PutNew(const std::string& key, const std::string& bytes,
                    const std::map<std::string, std::string>& metadata = {});
    // The same for a file, streamed from the disk.
    S3Answer PutNewFile(const std::string& key, const std::string& path,
                        const std::map<std::string, std::string>& metadata = {});
    // An object (a given version of it when `versionId` is not empty), its body in the answer.
    S3Answer Get(const std::string& key, const std::string& versionId = "");
    // The same into a file (written beside it and renamed when whole).
    S3Answer GetToFile(const std::string& key, const std::string& versionId,
                       const std::string& path);
    // The object's headers only (a given version's when `versionId` is not empty).
    S3Answer Head(const std::string& key, const std::string& versionId = "");
    // Every object under `prefix` (all pages of `pageSize`); a failure with the storage's words.
    Result<std::vector<S3Object>> List(const std::string& prefix, int pageSize = 1000);
    // The names' first parts under `prefix` up to and with `delimiter` ("a/", "b/" under "" for
    // "/"): the folders of a listing.
    Result<std::vector<std::string>> ListPrefixes(const std::string& prefix,
                                                  const std::string& delimiter = "/");
    // Every version and delete marker under `prefix`, oldest first within a name.
    Result<std::vector<S3Object>> ListVersions(const std::string& prefix, int pageSize = 1000);
    // Removes one object or version (head office's pruning; the shop's key may not).
    S3Answer Delete(const std::string& key, const std::string& versionId = "");
    // A bucket's sub-resource ("versioning", "object-lock"); the bucket itself for "".
    S3Answer BucketGet(const std::string& subresource);

    // Why an answer is not what was asked, in a technician's words: the key or secret, the
    // bucket, the computer's clock, the network, the certificate, the storage's own words.
    std::string Why(const S3Answer& answer) const;

  private:
    struct Request;
    S3Answer Perform(Request& request);
    S3Answer PerformOnce(Request& request);
    std::string Url(const std::string& key, const std::string& query) const;

    S3Config config_;
    bool slashAsIs_ = false; // this storage signs a '/' in a query as it stands
};

// The MD5 (base64, for Content-MD5) and SHA-256 (hex) of bytes, and of a file; "" when the
// file cannot be read.
std::string Md5Base64(const std::string& bytes);
std::string Sha256Hex(const std::string& bytes);
struct FileDigests {
    std::string md5Base64, sha256Hex;
    long long size = -1;
};
FileDigests DigestsOfFile(const std::string& path);

// A name's characters as a URL's path needs them ('/' kept).
std::string EncodeKey(const std::string& key);

} // namespace zenta
