#include "Registry.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

namespace zenta {

namespace {

std::string RootName(std::int32_t root) {
    switch (static_cast<std::uint32_t>(root)) {
    case 0x80000000u:
        return "HKEY_CLASSES_ROOT";
    case 0x80000001u:
        return "HKEY_CURRENT_USER";
    case 0x80000002u:
        return "HKEY_LOCAL_MACHINE";
    case 0x80000003u:
        return "HKEY_USERS";
    case 0x80000005u:
        return "HKEY_CURRENT_CONFIG";
    default:
        return {};
    }
}

std::string Upper(std::string s) {
    for (auto& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// "ROOT\A\B" with single separators and no trailing one; "" for an unknown root.
std::string FullKey(std::int32_t root, const std::string& key) {
    std::string r = RootName(root);
    if (r.empty())
        return {};
    std::string out = r;
    std::string part;
    for (char c : key + "\\") {
        if (c == '\\' || c == '/') {
            if (!part.empty())
                out += "\\" + part;
            part.clear();
        } else {
            part += c;
        }
    }
    return out;
}

std::string Quote(const std::string& s) {
    std::string o = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"')
            o += '\\', o += c;
        else if (c == '\n')
            o += "\\n";
        else if (c == '\r')
            o += "\\r";
        else
            o += c;
    }
    return o + "\"";
}

// Reads a quoted string at pos; advances pos past it.
bool Unquote(const std::string& s, size_t& pos, std::string& out) {
    if (pos >= s.size() || s[pos] != '"')
        return false;
    out.clear();
    for (size_t i = pos + 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\\') {
            if (++i >= s.size())
                return false;
            char e = s[i];
            out += e == 'n' ? '\n' : e == 'r' ? '\r' : e;
        } else if (c == '"') {
            pos = i + 1;
            return true;
        } else {
            out += c;
        }
    }
    return false;
}

bool ParseValueLine(const std::string& line, std::string& name, RegistryStore::Value& v) {
    size_t pos = 0;
    if (!Unquote(line, pos, name) || pos >= line.size() || line[pos] != '=')
        return false;
    std::string rest = line.substr(pos + 1);
    auto startsWith = [&](const char* p) { return rest.rfind(p, 0) == 0; };
    if (!rest.empty() && rest[0] == '"') {
        size_t p = 0;
        v.type = REG_SZ;
        return Unquote(rest, p, v.text) && p == rest.size();
    }
    if (startsWith("expand:")) {
        size_t p = 7;
        v.type = REG_EXPAND_SZ;
        return Unquote(rest, p, v.text) && p == rest.size();
    }
    if (startsWith("dword:")) {
        std::string hex = rest.substr(6);
        if (hex.size() != 8 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        v.type = REG_DWORD;
        v.dword = static_cast<std::uint32_t>(std::strtoul(hex.c_str(), nullptr, 16));
        return true;
    }
    if (startsWith("hex:")) {
        v.type = REG_BINARY;
        std::string hex = rest.substr(4);
        if (hex.empty())
            return true;
        std::stringstream ss(hex);
        std::string b;
        while (std::getline(ss, b, ',')) {
            if (b.size() != 2 || b.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return false;
            v.bytes.push_back(static_cast<unsigned char>(std::strtoul(b.c_str(), nullptr, 16)));
        }
        return true;
    }
    if (startsWith("multi:")) {
        v.type = REG_MULTI_SZ;
        size_t p = 6;
        while (p < rest.size()) {
            std::string one;
            if (!Unquote(rest, p, one))
                return false;
            v.texts.push_back(one);
            if (p < rest.size()) {
                if (rest[p] != ',')
                    return false;
                ++p;
            }
        }
        return true;
    }
    return false;
}

std::string FormatValueLine(const std::string& name, const RegistryStore::Value& v) {
    std::string out = Quote(name) + "=";
    char buf[16];
    switch (v.type) {
    case REG_EXPAND_SZ:
        return out + "expand:" + Quote(v.text);
    case REG_DWORD:
        std::snprintf(buf, sizeof buf, "%08x", v.dword);
        return out + "dword:" + buf;
    case REG_BINARY: {
        out += "hex:";
        for (size_t i = 0; i < v.bytes.size(); ++i) {
            std::snprintf(buf, sizeof buf, "%s%02x", i ? "," : "", v.bytes[i]);
            out += buf;
        }
        return out;
    }
    case REG_MULTI_SZ: {
        out += "multi:";
        for (size_t i = 0; i < v.texts.size(); ++i)
            out += (i ? "," : "") + Quote(v.texts[i]);
        return out;
    }
    default:
        return out + Quote(v.text);
    }
}

struct Doc {
    struct Line {
        std::string raw;
        bool isValue = false;
        std::string name;
        RegistryStore::Value value;
    };
    struct Section {
        std::string header; // raw header line
        std::string key;    // normalised, upper case for matching
        std::string spelled;
        std::vector<Line> lines;
    };
    std::vector<std::string> preamble;
    std::vector<Section> sections;

    static Doc Load(const std::string& path) {
        Doc d;
        std::ifstream in(path, std::ios::binary);
        std::string line;
        while (in && std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
                Section s;
                s.header = line;
                s.spelled = line.substr(1, line.size() - 2);
                s.key = Upper(s.spelled);
                d.sections.push_back(std::move(s));
                continue;
            }
            Line l;
            l.raw = line;
            if (!d.sections.empty())
                l.isValue = ParseValueLine(line, l.name, l.value);
            if (d.sections.empty())
                d.preamble.push_back(line);
            else
                d.sections.back().lines.push_back(std::move(l));
        }
        return d;
    }

    bool Save(const std::string& path) const {
        std::string out;
        if (preamble.empty() && !sections.empty())
            out += "Windows Registry Editor Version 5.00\n\n";
        for (auto& p : preamble)
            out += p + "\n";
        for (auto& s : sections) {
            out += s.header + "\n";
            for (auto& l : s.lines)
                out += l.raw + "\n";
        }
        std::string tmp = path + ".tmp" + std::to_string(::getpid());
        {
            std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
            if (!f)
                return false;
            f << out;
            if (!f.flush())
                return false;
        }
        if (std::rename(tmp.c_str(), path.c_str()) != 0) {
            ::unlink(tmp.c_str());
            return false;
        }
        return true;
    }

    Section* Find(const std::string& full) {
        std::string k = Upper(full);
        for (auto& s : sections)
            if (s.key == k)
                return &s;
        return nullptr;
    }
    const Section* Find(const std::string& full) const {
        return const_cast<Doc*>(this)->Find(full);
    }
    bool Exists(const std::string& full) const {
        std::string k = Upper(full);
        for (auto& s : sections)
            if (s.key == k || s.key.rfind(k + "\\", 0) == 0)
                return true;
        return false;
    }
    Section& Ensure(const std::string& full) {
        if (auto s = Find(full))
            return *s;
        Section s;
        s.spelled = full;
        s.key = Upper(full);
        s.header = "[" + full + "]";
        if (!sections.empty() && !sections.back().lines.empty() &&
            !sections.back().lines.back().raw.empty())
            sections.back().lines.push_back({});
        sections.push_back(std::move(s));
        return sections.back();
    }
};

// Serialises writers of the store, including other processes.
class WriteLock {
  public:
    explicit WriteLock(const std::string& path)
        : fd_(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_ >= 0)
            ::flock(fd_, LOCK_EX);
    }
    ~WriteLock() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

  private:
    int fd_;
};

} // namespace

RegistryStore::RegistryStore(std::string path) : path_(std::move(path)) {}

std::string RegistryStore::DefaultPath() {
    const char* p = std::getenv("ZENTA_REGISTRY");
    return (p && *p) ? p : "/etc/opt/zentamarket/registry.reg";
}

bool RegistryStore::KeyExists(std::int32_t root, const std::string& key) const {
    std::string full = FullKey(root, key);
    if (full.empty())
        return false;
    if (full == RootName(root))
        return true;
    return Doc::Load(path_).Exists(full);
}

long RegistryStore::CreateKey(std::int32_t root, const std::string& key) {
    std::string full = FullKey(root, key);
    if (full.empty())
        return ERROR_INVALID_HANDLE;
    WriteLock lock(path_);
    Doc d = Doc::Load(path_);
    if (d.Find(full))
        return ERROR_SUCCESS;
    d.Ensure(full);
    return d.Save(path_) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

long RegistryStore::DeleteKey(std::int32_t root, const std::string& key) {
    std::string full = FullKey(root, key);
    if (full.empty())
        return ERROR_INVALID_HANDLE;
    WriteLock lock(path_);
    Doc d = Doc::Load(path_);
    if (!d.Exists(full))
        return ERROR_FILE_NOT_FOUND;
    std::string k = Upper(full) + "\\";
    for (auto& s : d.sections)
        if (s.key.rfind(k, 0) == 0)
            return ERROR_ACCESS_DENIED;
    std::erase_if(d.sections, [&](const Doc::Section& s) { return s.key == Upper(full); });
    return d.Save(path_) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

long RegistryStore::DeleteValue(std::int32_t root, const std::string& key,
                                const std::string& name) {
    std::string full = FullKey(root, key);
    WriteLock lock(path_);
    Doc d = Doc::Load(path_);
    Doc::Section* s = full.empty() ? nullptr : d.Find(full);
    if (!s)
        return ERROR_FILE_NOT_FOUND;
    auto before = s->lines.size();
    std::erase_if(s->lines,
                  [&](const Doc::Line& l) { return l.isValue && Upper(l.name) == Upper(name); });
    if (s->lines.size() == before)
        return ERROR_FILE_NOT_FOUND;
    return d.Save(path_) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

std::pair<long, RegistryStore::Value> RegistryStore::QueryValue(std::int32_t root,
                                                                const std::string& key,
                                                                const std::string& name) const {
    std::string full = FullKey(root, key);
    Doc d = Doc::Load(path_);
    const Doc::Section* s = full.empty() ? nullptr : d.Find(full);
    if (!s)
        return {ERROR_FILE_NOT_FOUND, {}};
    for (auto& l : s->lines)
        if (l.isValue && Upper(l.name) == Upper(name))
            return {ERROR_SUCCESS, l.value};
    return {ERROR_FILE_NOT_FOUND, {}};
}

long RegistryStore::SetValue(std::int32_t root, const std::string& key, const std::string& name,
                             const Value& value) {
    std::string full = FullKey(root, key);
    if (full.empty())
        return ERROR_INVALID_HANDLE;
    WriteLock lock(path_);
    Doc d = Doc::Load(path_);
    Doc::Section& s = d.Ensure(full);
    Doc::Line line;
    line.isValue = true;
    line.name = name;
    line.value = value;
    line.raw = FormatValueLine(name, value);
    bool replaced = false;
    for (auto& l : s.lines)
        if (l.isValue && Upper(l.name) == Upper(name)) {
            l = line;
            replaced = true;
            break;
        }
    if (!replaced) {
        // Before any blank lines that close the section.
        size_t at = s.lines.size();
        while (at > 0 && s.lines[at - 1].raw.empty())
            --at;
        s.lines.insert(s.lines.begin() + static_cast<long>(at), line);
    }
    return d.Save(path_) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

std::pair<long, std::vector<std::string>> RegistryStore::EnumKeys(std::int32_t root,
                                                                  const std::string& key) const {
    std::string full = FullKey(root, key);
    if (full.empty())
        return {ERROR_INVALID_HANDLE, {}};
    Doc d = Doc::Load(path_);
    if (full != RootName(root) && !d.Exists(full))
        return {ERROR_FILE_NOT_FOUND, {}};
    std::vector<std::string> names;
    std::string prefix = Upper(full) + "\\";
    for (auto& s : d.sections) {
        if (s.key.rfind(prefix, 0) != 0)
            continue;
        std::string child = s.spelled.substr(prefix.size());
        child = child.substr(0, child.find('\\'));
        bool seen = false;
        for (auto& n : names)
            seen = seen || Upper(n) == Upper(child);
        if (!seen && !child.empty())
            names.push_back(child);
    }
    return {ERROR_SUCCESS, names};
}

std::pair<long, std::vector<std::pair<std::string, RegistryStore::Value>>>
RegistryStore::EnumValues(std::int32_t root, const std::string& key) const {
    std::string full = FullKey(root, key);
    Doc d = Doc::Load(path_);
    const Doc::Section* s = full.empty() ? nullptr : d.Find(full);
    if (!s)
        return {ERROR_FILE_NOT_FOUND, {}};
    std::vector<std::pair<std::string, Value>> out;
    for (auto& l : s->lines)
        if (l.isValue)
            out.emplace_back(l.name, l.value);
    return {ERROR_SUCCESS, out};
}

// ---- clsRegistryRoutines ----

namespace {
std::string ExpandEnvironment(const std::string& s) {
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        size_t a = s.find('%', i);
        if (a == std::string::npos) {
            out += s.substr(i);
            break;
        }
        size_t b = s.find('%', a + 1);
        if (b == std::string::npos) {
            out += s.substr(i);
            break;
        }
        out += s.substr(i, a - i);
        std::string name = s.substr(a + 1, b - a - 1);
        const char* v = name.empty() ? nullptr : std::getenv(name.c_str());
        out += v ? std::string(v) : s.substr(a, b - a + 1);
        i = b + 1;
    }
    return out;
}
} // namespace

Variant clsRegistryRoutines::ToVariant(const RegistryStore::Value& v) {
    switch (v.type) {
    case REG_SZ:
        return TrimNull(v.text);
    case REG_EXPAND_SZ:
        return ExpandEnvironment(TrimNull(v.text));
    case REG_BINARY:
        return v.bytes;
    case REG_DWORD:
        return static_cast<std::int64_t>(static_cast<std::int32_t>(v.dword));
    case REG_MULTI_SZ:
        return v.texts.empty() ? std::string() : v.texts.front();
    default:
        return Variant();
    }
}

bool clsRegistryRoutines::KeyExists() const {
    return store_.KeyExists(hkey_, CurrentKey());
}

std::string clsRegistryRoutines::CreateKey(const std::optional<std::string>& keyName) {
    std::string name = keyName ? *keyName : subkey_;
    return store_.CreateKey(hkey_, keyRoot_ + "\\" + name) == ERROR_SUCCESS ? "0" : "";
}

long clsRegistryRoutines::DeleteKey(const std::string& keyName) {
    return store_.DeleteKey(hkey_, keyRoot_ + "\\" + keyName);
}

long clsRegistryRoutines::DeleteValue(const std::string& valueName) {
    if (!store_.KeyExists(hkey_, CurrentKey()))
        return ERROR_FILE_NOT_FOUND;
    return store_.DeleteValue(hkey_, CurrentKey(), valueName);
}

std::vector<std::string> clsRegistryRoutines::EnumRegistryKeys(std::int32_t hkey,
                                                               const std::string& keyName) const {
    return store_.EnumKeys(hkey, keyName).second;
}

std::vector<std::pair<std::string, Variant>>
clsRegistryRoutines::EnumRegistryValues(std::int32_t hkey, const std::string& keyName) const {
    std::vector<std::pair<std::string, Variant>> out;
    for (auto& [n, v] : store_.EnumValues(hkey, keyName).second)
        out.emplace_back(n, ToVariant(v));
    return out;
}

Variant clsRegistryRoutines::GetRegistryValue(const std::string& valueName,
                                              const Variant& defaultValue) const {
    auto [status, v] = store_.QueryValue(hkey_, CurrentKey(), valueName);
    if (status != ERROR_SUCCESS)
        return defaultValue;
    if (v.type == REG_MULTI_SZ && (v.texts.empty() || v.texts.front().empty()))
        return defaultValue;
    Variant r = ToVariant(v);
    return r.IsEmpty() ? defaultValue : r;
}

bool clsRegistryRoutines::SetRegistryValue(const std::string& valueName, const Variant& value,
                                           long dtype) {
    RegistryStore::Value v;
    v.type = dtype;
    switch (dtype) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        v.text = value.ToString();
        break;
    case REG_BINARY:
        if (auto b = value.get<Bytes>())
            v.bytes = *b;
        else {
            std::string s = value.ToString();
            v.bytes.assign(s.begin(), s.end());
        }
        break;
    case REG_DWORD:
        v.dword = static_cast<std::uint32_t>(value.ToInt64());
        break;
    case REG_MULTI_SZ:
        v.texts = {value.ToString()};
        break;
    default:
        return false;
    }
    return store_.SetValue(hkey_, CurrentKey(), valueName, v) == ERROR_SUCCESS;
}

Variant clsRegistryRoutines::ReadRemoteRegistryValue(const std::string&, std::int32_t,
                                                     const std::string&, const std::string&) const {
    return Variant();
}

bool clsRegistryRoutines::WriteRemoteRegistryValue(const std::string&, std::int32_t,
                                                   const std::string&, const Variant&, long,
                                                   const std::string&) {
    return false;
}

std::string clsRegistryRoutines::TrimNull(const std::string& item) {
    size_t p = item.find('\0');
    return p == std::string::npos ? item : item.substr(0, p);
}

long clsRegistryRoutines::DeleteMainKey(const std::string& keyName) {
    long status = ERROR_SUCCESS;
    for (const auto& sub : EnumRegistryKeys(hkey_, keyRoot_ + "\\" + keyName))
        status = DeleteMainKey(keyName + "\\" + sub);
    status = store_.DeleteKey(hkey_, keyRoot_ + "\\" + keyName);
    return status;
}

std::string GetMySQLVersionFromRegistry(const std::string& productKeyName) {
    clsRegistryRoutines reg;
    reg.hkey(HKEY_LOCAL_MACHINE);
    reg.KeyRoot("SOFTWARE\\MySQL AB\\" + productKeyName);
    return reg.GetRegistryValue("Version", std::string()).ToString();
}

} // namespace zenta
