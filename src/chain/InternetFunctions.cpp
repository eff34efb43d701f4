#include "InternetFunctions.h"

#include "CodePage.h"
#include "Common.h"
#include "Process.h"
#include "Text.h"

#include <cstdio>
#include <curl/curl.h>
#include <memory>

namespace zenta {

namespace {

std::chrono::milliseconds& Timeout() {
    static std::chrono::milliseconds t{60000};
    return t;
}

struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    ~CurlGlobal() { curl_global_cleanup(); }
};

void EnsureCurl() {
    static CurlGlobal global;
}

// Move-only holders of libcurl's handles.
struct EasyDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
struct MultiDeleter {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
using Multi = std::unique_ptr<CURLM, MultiDeleter>;
struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};

Easy NewEasy() {
    EnsureCurl();
    Easy e(curl_easy_init());
    if (e) {
        curl_easy_setopt(e.get(), CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e.get(), CURLOPT_DEFAULT_PROTOCOL, "http");
    }
    return e;
}

// Runs a transfer while the tray keeps answering: the wait hook is called between polls.
std::string& LastError() {
    static std::string error;
    return error;
}

CURLcode Transfer(CURL* easy) {
    Multi multi(curl_multi_init());
    if (!multi)
        return curl_easy_perform(easy);
    curl_multi_add_handle(multi.get(), easy);
    int running = 1;
    CURLcode result = CURLE_OK;
    while (running) {
        if (StopRequested()) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        if (running) {
            curl_multi_poll(multi.get(), nullptr, 0, 50, nullptr);
            CallWaitHook();
        }
    }
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi.get(), &left))
        if (msg->msg == CURLMSG_DONE)
            result = msg->data.result;
    curl_multi_remove_handle(multi.get(), easy);
    return result;
}

// A transfer, remembering why it failed: the host and the HTTP client's own words.
CURLcode Perform(CURL* easy) {
    char detail[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, detail);
    const CURLcode result = Transfer(easy);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
    if (result == CURLE_OK) {
        LastError().clear();
        return result;
    }
    char* url = nullptr;
    curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &url);
    std::string where = url ? url : "";
    const size_t scheme = where.find("://");
    if (scheme != std::string::npos)
        where = where.substr(scheme + 3);
    where = where.substr(0, where.find('/'));
    LastError() = where + ": " + (detail[0] ? detail : curl_easy_strerror(result));
    return result;
}

size_t AppendToString(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

size_t WriteToFile(char* data, size_t size, size_t count, void* user) {
    return std::fwrite(data, size, count, static_cast<std::FILE*>(user)) * size;
}

} // namespace

void SetURLTimeout(std::chrono::milliseconds timeout) {
    Timeout() = timeout;
}
std::chrono::milliseconds URLTimeout() {
    return Timeout();
}

bool IsURLReachable(const std::string& url) {
    std::string target = AsciiLowerCase(TrimSpaces(url));
    if (target.rfind("http://", 0) != 0)
        target = "http://" + url;
    EnsureCurl();
    std::unique_ptr<CURLU, UrlDeleter> u(curl_url());
    if (!u || curl_url_set(u.get(), CURLUPART_URL, target.c_str(), 0) != CURLUE_OK)
        return false;
    char* host = nullptr;
    if (curl_url_get(u.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK)
        return false;
    char* port = nullptr;
    std::string portText = "80";
    if (curl_url_get(u.get(), CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK && port) {
        portText = port;
        curl_free(port);
    }
    std::string connectUrl = "http://" + std::string(host) + ":" + portText + "/";
    curl_free(host);
    Easy e = NewEasy();
    if (!e)
        return false;
    curl_easy_setopt(e.get(), CURLOPT_URL, connectUrl.c_str());
    curl_easy_setopt(e.get(), CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(e.get(), CURLOPT_CONNECTTIMEOUT_MS, 5000L);
    return Perform(e.get()) == CURLE_OK;
}

std::string GetURLText(const std::string& url) {
    Easy e = NewEasy();
    if (!e)
        return {};
    std::string body;
    curl_easy_setopt(e.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(e.get(), CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(e.get(), CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(e.get(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(Timeout().count()));
    curl_easy_setopt(e.get(), CURLOPT_WRITEFUNCTION, AppendToString);
    curl_easy_setopt(e.get(), CURLOPT_WRITEDATA, &body);
    if (Perform(e.get()) != CURLE_OK)
        return {};
    return TrimWhitespace(FromAnsi(body));
}

bool FtpDownload(const std::string& host, long port, const std::string& user,
                 const std::string& password, const std::string& remotePath,
                 const std::string& localPath) {
    Easy e = NewEasy();
    if (!e)
        return false;
    std::string path = remotePath;
    if (!path.empty() && path[0] == '/')
        path.erase(0, 1);
    const std::string url = "ftp://" + host + ":" + std::to_string(port) + "/" + path;
    std::FILE* out = std::fopen(localPath.c_str(), "wb");
    if (!out)
        return false;
    curl_easy_setopt(e.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(e.get(), CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(e.get(), CURLOPT_PASSWORD, password.c_str());
    curl_easy_setopt(e.get(), CURLOPT_FTP_USE_EPSV, 1L);
    curl_easy_setopt(e.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(Timeout().count()));
    curl_easy_setopt(e.get(), CURLOPT_WRITEFUNCTION, WriteToFile);
    curl_easy_setopt(e.get(), CURLOPT_WRITEDATA, out);
    const bool ok = Perform(e.get()) == CURLE_OK;
    std::fclose(out);
    if (!ok)
        std::remove(localPath.c_str());
    return ok;
}

std::string EncodeQueryValue(const std::string& value) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : ToAnsi(value)) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string LastNetworkError() {
    return LastError();
}

} // namespace zenta
