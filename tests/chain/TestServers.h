#pragma once

#include "TestSupport.h"

#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zenta::test {

// A helper server run by /usr/bin/python3 for the life of the object.
class PythonServer {
  public:
    PythonServer(const std::string& script, const std::vector<std::string>& args,
                 const std::string& readyFile);
    ~PythonServer();
    PythonServer(const PythonServer&) = delete;
    PythonServer& operator=(const PythonServer&) = delete;

  private:
    pid_t pid_ = -1;
};

// The head office's web service with scripted answers.
class HeadOfficeServer {
  public:
    HeadOfficeServer();
    // "127.0.0.1:<port>"
    std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }
    int Port() const { return port_; }
    // Sets the answer of one script path, e.g. "/tools/updateip.php".
    void Answer(const std::string& path, const std::string& text);
    void Delay(const std::string& path, double seconds);
    std::vector<std::string> Requests() const;

  private:
    void Save();
    TempDir dir_;
    std::map<std::string, std::string> answers_;
    int port_ = 0;
    std::unique_ptr<PythonServer> server_;
};

} // namespace zenta::test
