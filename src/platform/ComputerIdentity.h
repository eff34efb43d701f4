#pragma once

#include <cstdint>
#include <string>

namespace zenta {

constexpr std::uint32_t INADDR_NONE_VALUE = 0xFFFFFFFFu;

// The folder of the running executable, ending in "/".
std::string GetAppPath();
// The running executable's file name without folder and extension.
std::string GetExecutableName();
// The host name's first label, at most 15 characters.
std::string GetLocalComputerName();
// This computer's name resolved to a dotted IPv4 address; "255.255.255.255" when it cannot be.
std::string GetLocalIP();
// A dotted address comes back as it is; a name is resolved (IPv4); "255.255.255.255" on failure.
std::string GetIPFromHostName(const std::string& host);
// IPv4 address in network byte order; all bits set when there is none.
std::uint32_t ResolveHostAddress(const std::string& host);
std::string AddressToText(std::uint32_t address);
// Four parts of 0–255, the first not zero.
bool IsIPAddress(const std::string& text);
// Whether `host` names this computer: "localhost", its name, 127.0.0.1 or the address its name
// resolves to (IsMySQLServerLocal's rule).
bool IsThisComputer(const std::string& host);
// Name resolution needs no start-up on this platform; kept for the callers' symmetry.
bool SocketsInitialize(std::string& description);
void SocketsCleanup();

} // namespace zenta
