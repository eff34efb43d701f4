#pragma once

#include "Variant.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zenta {

// Root handles and value types, as the suite's code names them.
constexpr std::int32_t HKEY_CLASSES_ROOT = static_cast<std::int32_t>(0x80000000u);
constexpr std::int32_t HKEY_CURRENT_USER = static_cast<std::int32_t>(0x80000001u);
constexpr std::int32_t HKEY_LOCAL_MACHINE = static_cast<std::int32_t>(0x80000002u);
constexpr std::int32_t HKEY_USERS = static_cast<std::int32_t>(0x80000003u);
constexpr std::int32_t HKEY_CURRENT_CONFIG = static_cast<std::int32_t>(0x80000005u);
constexpr long REG_SZ = 1, REG_EXPAND_SZ = 2, REG_BINARY = 3, REG_DWORD = 4, REG_MULTI_SZ = 7;
constexpr long ERROR_SUCCESS = 0, ERROR_FILE_NOT_FOUND = 2, ERROR_ACCESS_DENIED = 5,
               ERROR_BAD_NETPATH = 53, ERROR_INVALID_HANDLE = 6;

// The registry of this computer, kept in one text file in the layout of a registry export:
//   [HKEY_LOCAL_MACHINE\SOFTWARE\MySQL AB\MySQL ODBC Driver 3.51.28]
//   "Version"="3.1.15"
//   "Count"=dword:0000000a
//   "Data"=hex:01,02,ff
//   "Path"=expand:"%HOME%/x"
//   "List"=multi:"a","b"
// The file is named by ZENTA_REGISTRY, default /etc/opt/zentamarket/registry.reg. Lines it cannot
// read are kept as they stand when it is written back.
class RegistryStore {
  public:
    struct Value {
        long type = REG_SZ;
        std::string text;               // REG_SZ, REG_EXPAND_SZ
        std::vector<std::string> texts; // REG_MULTI_SZ
        Bytes bytes;                    // REG_BINARY
        std::uint32_t dword = 0;        // REG_DWORD
    };

    explicit RegistryStore(std::string path = DefaultPath());
    static std::string DefaultPath();
    const std::string& path() const { return path_; }

    bool KeyExists(std::int32_t root, const std::string& key) const;
    long CreateKey(std::int32_t root, const std::string& key);
    long DeleteKey(std::int32_t root, const std::string& key); // fails while it has sub-keys
    long DeleteValue(std::int32_t root, const std::string& key, const std::string& name);
    // Status and value; ERROR_FILE_NOT_FOUND when the key or the value is missing.
    std::pair<long, Value> QueryValue(std::int32_t root, const std::string& key,
                                      const std::string& name) const;
    long SetValue(std::int32_t root, const std::string& key, const std::string& name,
                  const Value& value);
    std::pair<long, std::vector<std::string>> EnumKeys(std::int32_t root,
                                                       const std::string& key) const;
    std::pair<long, std::vector<std::pair<std::string, Value>>>
    EnumValues(std::int32_t root, const std::string& key) const;

  private:
    std::string path_;
};

// The registry routines of the suite, over the store above. Every operation opens its key,
// works and closes it; nothing is held between calls.
class clsRegistryRoutines {
  public:
    explicit clsRegistryRoutines(RegistryStore store = RegistryStore())
        : store_(std::move(store)) {}

    std::int32_t hkey() const { return hkey_; }
    void hkey(std::int32_t v) { hkey_ = v; }
    const std::string& KeyRoot() const { return keyRoot_; }
    void KeyRoot(std::string v) { keyRoot_ = std::move(v); }
    const std::string& Subkey() const { return subkey_; }
    void Subkey(std::string v) { subkey_ = std::move(v); }

    bool KeyExists() const;
    // "0" on success, "" on failure. Without a name the current sub-key is created.
    std::string CreateKey(const std::optional<std::string>& keyName = std::nullopt);
    long DeleteKey(const std::string& keyName);
    long DeleteValue(const std::string& valueName);
    std::vector<std::string> EnumRegistryKeys(std::int32_t hkey, const std::string& keyName) const;
    std::vector<std::pair<std::string, Variant>>
    EnumRegistryValues(std::int32_t hkey, const std::string& keyName) const;
    Variant GetRegistryValue(const std::string& valueName,
                             const Variant& defaultValue = Variant()) const;
    bool SetRegistryValue(const std::string& valueName, const Variant& value, long dtype);
    // Another computer's registry cannot be reached here: these answer as a failed
    // connection does (the default, False).
    Variant ReadRemoteRegistryValue(const std::string& remoteComputer, std::int32_t hkey,
                                    const std::string& valueName,
                                    const std::string& keyPath = "") const;
    bool WriteRemoteRegistryValue(const std::string& remoteComputer, std::int32_t hkey,
                                  const std::string& valueName, const Variant& value, long dtype,
                                  const std::string& keyPath = "");
    static std::string TrimNull(const std::string& item);
    long DeleteMainKey(const std::string& keyName);

  private:
    std::string CurrentKey() const { return keyRoot_ + "\\" + subkey_; }
    static Variant ToVariant(const RegistryStore::Value& v);

    RegistryStore store_;
    std::int32_t hkey_ = 0;
    std::string keyRoot_;
    std::string subkey_;
};

// The version text of an installed ODBC driver, "" when not recorded.
std::string GetMySQLVersionFromRegistry(const std::string& productKeyName);

} // namespace zenta
