#pragma once

#include <chrono>
#include <string>

namespace zenta {

// Whether a web host answers: a TCP connection to its HTTP port (the port of the URL, else
// 80) within a few seconds. A URL without a scheme is taken as http://.
bool IsURLReachable(const std::string& url);
// The text of a URL fetched with GET (http:// when the URL has no scheme), decoded from the
// suite's code page and trimmed; "" on any failure, an HTTP error status or the time-out.
std::string GetURLText(const std::string& url);
// Downloads one file by FTP (passive mode) to a local path; false on failure.
bool FtpDownload(const std::string& host, long port, const std::string& user,
                 const std::string& password, const std::string& remotePath,
                 const std::string& localPath);

// Why the last request failed: the host and the HTTP client's reason ("" after a success).
std::string LastNetworkError();

// The request time-out of GetURLText, 60 s unless changed (tests shorten it).
void SetURLTimeout(std::chrono::milliseconds timeout);
std::chrono::milliseconds URLTimeout();

// A query value with every byte except letters, digits and "-._~" percent-encoded (after
// conversion to the suite's code page).
std::string EncodeQueryValue(const std::string& value);

} // namespace zenta
