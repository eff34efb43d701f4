#pragma once

#include <string>

namespace zenta {

// The suite's helper programs beside the monitor: started hidden from the program folder,
// probed on their local ports.
constexpr int kRecorderPort = 5680;
constexpr int kLiveStreamPort = 5681;
constexpr int kServerHelperPort = 9296;

void StartDVRService();
void StartServerService();
bool IsDVRRunning();
bool IsServerRunning();
// Sends a request to localhost:port within 1000 ms; True when the reply starts with 201.
bool ProbeHelper(int port, const std::string& request);
// Sends a request without waiting for an answer (the recorder's "101").
bool SendToHelper(int port, const std::string& request);
// Copies <name>.bin over <name>.dll in the program folder and starts the latter hidden.
// False when there was nothing to start.
bool CopyAndStartHelper(const std::string& baseName);
// Starts a program of the program folder hidden, not waiting for it.
bool StartHidden(const std::string& fileName);

} // namespace zenta
