#pragma once

#include <string>

namespace zenta {

// The operating system this program runs on, as the backup manifest records it.
class clsSystem {
  public:
    // Reads the kernel release (uname) and the distribution's name (/etc/os-release).
    clsSystem();
    // For tests: the facts from given sources.
    clsSystem(const std::string& kernelRelease, const std::string& osReleaseText);

    const std::string& OSVersion() const { return osVersion_; }
    const std::string& OSName() const { return osName_; }
    bool IsMasVista() const { return isMasVista_; }
    // Only one Windows release ever had the answer True; never here.
    bool IsPosready2009() const { return false; }

  private:
    void Fill(const std::string& kernelRelease, const std::string& osReleaseText);

    std::string osVersion_;
    std::string osName_;
    bool isMasVista_ = false;
};

} // namespace zenta
