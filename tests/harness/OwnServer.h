#pragma once

#include "TestSupport.h"

#include <string>

namespace zenta::test {

// A MariaDB of the test's own (killing it disturbs no other test), with the suite's schema;
// `environment` is put before scripts/local-mariadb (another user, secure_file_priv).
class OwnServer {
  public:
    // `bind`: the addresses it listens on ("127.0.0.2": a server of "another computer").
    OwnServer(const std::string& name, int port, const std::string& bind = "127.0.0.1")
        : bind_(bind), port_(port) {
        dir_ = BinaryDir() + "/testenv/" + name;
        script_ = SourceDir() + "/scripts/local-mariadb";
    }
    ~OwnServer() { Shell(script_ + " stop '" + dir_ + "' >/dev/null 2>&1"); }
    OwnServer(const OwnServer&) = delete;
    OwnServer& operator=(const OwnServer&) = delete;
    // (Re)starts it; false when it did not come up.
    bool Start(const std::string& environment = "") {
        Shell(script_ + " stop '" + dir_ + "' >/dev/null 2>&1");
        return Shell(environment + " " + script_ + " start '" + dir_ + "' " +
                     std::to_string(port_) + " " + bind_ + " >/dev/null") == 0;
    }
    // Starts it with nothing of an earlier run (data, binary logs).
    bool StartFresh(const std::string& environment = "") {
        Shell(script_ + " stop '" + dir_ + "' >/dev/null 2>&1; rm -rf '" + dir_ + "'");
        return Start(environment);
    }
    // A fresh zentasupermarket with the schema, then `statements`.
    bool Load(const std::string& statements) {
        const std::string client =
            "mariadb --no-defaults -uroot --socket='" + dir_ + "/mysqld.sock' ";
        return Shell(client +
                     "-e 'DROP DATABASE IF EXISTS zentasupermarket; CREATE DATABASE "
                     "zentasupermarket;' && " +
                     client + "zentasupermarket < '" + SourceDir() +
                     "/schema/zentasupermarket.sql' && " + client + "zentasupermarket -e \"" +
                     statements + "\"") == 0;
    }
    // Points the program folder's settings at it.
    void Use(const std::string& programFolder) const {
        WriteFile(programFolder + "zentamarket.ini",
                  "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=" + std::to_string(port_) + "\r\n");
    }
    std::string KillCommand() const { return "kill -9 $(cat '" + dir_ + "/mysqld.pid')"; }
    const std::string& dir() const { return dir_; }

  private:
    std::string dir_, script_, bind_;
    int port_;
};

} // namespace zenta::test
