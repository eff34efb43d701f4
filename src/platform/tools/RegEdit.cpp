// Command-line access to the program's registry store, for set-up scripts and technicians:
//   zenta-regedit get KEY NAME
//   zenta-regedit set KEY NAME TEXT          (a REG_SZ value)
//   zenta-regedit set-dword KEY NAME NUMBER
// KEY is written as "HKEY_LOCAL_MACHINE\SOFTWARE\...". The store is the one named by
// ZENTA_REGISTRY (default /etc/opt/zentamarket/registry.reg).
#include "Registry.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace zenta;

namespace {

bool SplitKey(const std::string& key, std::int32_t& root, std::string& rest) {
    size_t p = key.find('\\');
    std::string r = key.substr(0, p);
    rest = p == std::string::npos ? std::string() : key.substr(p + 1);
    if (r == "HKEY_LOCAL_MACHINE" || r == "HKLM")
        root = HKEY_LOCAL_MACHINE;
    else if (r == "HKEY_CURRENT_USER" || r == "HKCU")
        root = HKEY_CURRENT_USER;
    else if (r == "HKEY_CLASSES_ROOT")
        root = HKEY_CLASSES_ROOT;
    else if (r == "HKEY_USERS")
        root = HKEY_USERS;
    else
        return false;
    return true;
}

int Usage() {
    std::fprintf(stderr, "usage: zenta-regedit get KEY NAME | set KEY NAME TEXT | "
                         "set-dword KEY NAME NUMBER\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4)
        return Usage();
    const std::string cmd = argv[1];
    std::int32_t root = 0;
    std::string key;
    if (!SplitKey(argv[2], root, key))
        return Usage();
    RegistryStore store;
    if (cmd == "get") {
        auto [status, v] = store.QueryValue(root, key, argv[3]);
        if (status != ERROR_SUCCESS)
            return 1;
        if (v.type == REG_DWORD)
            std::printf("%u\n", v.dword);
        else
            std::printf("%s\n", v.text.c_str());
        return 0;
    }
    if (argc < 5)
        return Usage();
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(store.path()).parent_path(), ec);
    RegistryStore::Value v;
    if (cmd == "set") {
        v.type = REG_SZ;
        v.text = argv[4];
    } else if (cmd == "set-dword") {
        v.type = REG_DWORD;
        v.dword = static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10));
    } else {
        return Usage();
    }
    if (store.SetValue(root, key, argv[3], v) != ERROR_SUCCESS) {
        std::fprintf(stderr, "zenta-regedit: cannot write %s\n", store.path().c_str());
        return 1;
    }
    return 0;
}
