#include "clsXMLWMPList.h"

#include "Common.h"
#include "ErrorMode.h"

#include <pugixml.hpp>

namespace zenta {

clsXMLWMPList::clsXMLWMPList() = default;
clsXMLWMPList::~clsXMLWMPList() = default;

void clsXMLWMPList::LoadConfigurationFile(const std::string& fileName) {
    fileName_ = fileName;
    document_ = std::make_unique<pugi::xml_document>();
    if (!FileExists(fileName)) {
        document_->append_child("smil");
        SaveConfigurationFile();
    }
    pugi::xml_document loaded;
    if (loaded.load_file(fileName.c_str()))
        document_->reset(loaded);
    else
        ReportFailure("clsXMLWMPList", "cannot read " + fileName);
    if (!document_->child("smil"))
        document_->append_child("smil");
}

std::string clsXMLWMPList::ReadValue(const std::string& section, const std::string& name) const {
    if (!document_)
        return {};
    auto sec = document_->child("smil").find_child_by_attribute("section", "name", section.c_str());
    auto item = sec.find_child_by_attribute("media", "src", name.c_str());
    return item.attribute("value").as_string();
}

void clsXMLWMPList::WriteValue(const std::string& section, const std::string& name,
                               const std::string& value) {
    if (!document_)
        return;
    auto root = document_->child("smil");
    auto sec = root.find_child_by_attribute("section", "name", section.c_str());
    if (!sec) {
        sec = root.append_child("section");
        sec.append_attribute("name") = section.c_str();
    }
    auto item = sec.find_child_by_attribute("media", "src", name.c_str());
    if (!item) {
        item = sec.append_child("media");
        item.append_attribute("src") = name.c_str();
        item.append_attribute("value") = value.c_str();
    } else {
        item.attribute("value") = value.c_str();
    }
}

std::vector<std::string> clsXMLWMPList::EnumSectionItems(const std::string& section) const {
    std::vector<std::string> out;
    if (!document_)
        return out;
    auto sec = document_->child("smil").find_child_by_attribute("section", "name", section.c_str());
    for (auto item : sec.children("media"))
        out.push_back(item.attribute("src").as_string());
    return out;
}

bool clsXMLWMPList::SaveConfigurationFile() {
    if (!document_)
        return false;
    if (!document_->save_file(fileName_.c_str(), "  ")) {
        ReportFailure("clsXMLWMPList", "cannot write " + fileName_);
        return false;
    }
    return true;
}

} // namespace zenta
