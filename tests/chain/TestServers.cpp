#include "TestServers.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zenta::test {

PythonServer::PythonServer(const std::string& script, const std::vector<std::string>& args,
                           const std::string& readyFile) {
    std::vector<std::string> all = {"/usr/bin/python3", SourceDir() + "/tests/chain/" + script};
    all.insert(all.end(), args.begin(), args.end());
    pid_ = ::fork();
    if (pid_ == 0) {
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    for (int i = 0; i < 300; ++i) {
        if (std::filesystem::exists(readyFile) && std::filesystem::file_size(readyFile) > 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("test server " + script + " did not start");
}

PythonServer::~PythonServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

HeadOfficeServer::HeadOfficeServer() : dir_("headoffice") {
    Save();
    server_ = std::make_unique<PythonServer>("headoffice_server.py",
                                             std::vector<std::string>{dir_.path() + "port",
                                                                      dir_.path() + "answers.json",
                                                                      dir_.path() + "requests.log"},
                                             dir_.path() + "port");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    port_ = std::stoi(ReadFile(dir_.path() + "port"));
}

void HeadOfficeServer::Answer(const std::string& path, const std::string& text) {
    answers_[path] = "\"" + text + "\"";
    Save();
}

void HeadOfficeServer::Delay(const std::string& path, double seconds) {
    answers_[path] = "{\"delay\": " + std::to_string(seconds) + "}";
    Save();
}

void HeadOfficeServer::Save() {
    std::string json = "{";
    for (auto& [k, v] : answers_)
        json += (json.size() > 1 ? ", " : "") + ("\"" + k + "\": " + v);
    json += "}";
    const std::string tmp = dir_.path() + "answers.tmp";
    WriteFile(tmp, json);
    std::filesystem::rename(tmp, dir_.path() + "answers.json");
}

std::vector<std::string> HeadOfficeServer::Requests() const {
    std::vector<std::string> out;
    std::istringstream in(ReadFile(dir_.path() + "requests.log"));
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

} // namespace zenta::test
