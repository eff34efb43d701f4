#pragma once

#include <memory>
#include <string>
#include <vector>

namespace pugi {
class xml_document;
}

namespace zenta {

// A section/name/value store kept as an XML document bound to one file: root "smil", one
// "section" element (attribute "name") per section, one "media" element (attributes "src" and
// "value") per item. Used for the media player's playlist of today's recordings.
class clsXMLWMPList {
  public:
    clsXMLWMPList();
    ~clsXMLWMPList();
    clsXMLWMPList(const clsXMLWMPList&) = delete;
    clsXMLWMPList& operator=(const clsXMLWMPList&) = delete;

    // Remembers the file; a missing file is created at once with an empty "smil" document.
    void LoadConfigurationFile(const std::string& fileName);
    std::string ReadValue(const std::string& section, const std::string& name) const;
    void WriteValue(const std::string& section, const std::string& name, const std::string& value);
    std::vector<std::string> EnumSectionItems(const std::string& section) const;
    // Saves to the remembered file; false when it could not be written.
    bool SaveConfigurationFile();

  private:
    std::string fileName_;
    std::unique_ptr<pugi::xml_document> document_;
};

} // namespace zenta
