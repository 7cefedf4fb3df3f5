#include "regscript/memory_registry.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tamsorel {

namespace {

constexpr uint32_t kKeySetValue = 0x0002;
constexpr uint32_t kKeyCreateSubKey = 0x0004;
constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;
constexpr uint32_t kKeyAllAccess = 0xF003F;
constexpr std::size_t kMaxKeyNameUnits = 255;

const char* const kRootNames[7] = {"HKCR", "HKCU", "HKLM", "HKU", "HKPD", "HKCC", "HKDD"};

int Compare(const std::u16string& a, const std::u16string& b) {
  return portable_text::CompareNoCase(a.c_str(), b.c_str());
}

// Splits "A\\B\\C" into its components; empty components are skipped.
std::vector<std::u16string> SplitPath(const char16_t* path) {
  std::vector<std::u16string> parts;
  std::u16string part;
  for (const char16_t* p = path ? path : u""; *p; ++p) {
    if (*p == u'\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += *p;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

}  // namespace

struct MemoryRegistry::Key {
  struct Value {
    std::u16string name;
    uint32_t type;
    std::vector<uint8_t> data;
  };

  std::u16string name;
  Key* parent = nullptr;  // null for a root
  std::vector<std::shared_ptr<Key>> subkeys;  // in case-insensitive name order
  std::vector<Value> values;
  bool deleted = false;
  bool readOnly = false;

  std::shared_ptr<Key> Child(const std::u16string& childName) const {
    for (const auto& subkey : subkeys) {
      if (Compare(subkey->name, childName) == 0) return subkey;
    }
    return nullptr;
  }
  Value* FindValue(const std::u16string& valueName) {
    for (auto& value : values) {
      if (Compare(value.name, valueName) == 0) return &value;
    }
    return nullptr;
  }
  std::shared_ptr<Key> AddChild(const std::u16string& childName) {
    auto child = std::make_shared<Key>();
    child->name = childName;
    child->parent = this;
    auto at = std::find_if(subkeys.begin(), subkeys.end(), [&](const std::shared_ptr<Key>& k) {
      return Compare(k->name, childName) > 0;
    });
    subkeys.insert(at, child);
    return child;
  }
};

MemoryRegistry::MemoryRegistry() {
  for (int i = 0; i < 7; ++i) {
    roots_[i] = std::make_shared<Key>();
    roots_[i]->name = std::u16string(kRootNames[i], kRootNames[i] + std::strlen(kRootNames[i]));
  }
}

MemoryRegistry::~MemoryRegistry() = default;

bool MemoryRegistry::Consume(Op op, long* error) {
  int i = static_cast<int>(op);
  ++calls_[i];
  if (failAt_[i] > 0 && --failAt_[i] == 0) {
    *error = failWith_[i];
    return true;
  }
  return false;
}

void MemoryRegistry::FailCall(Op op, int nth, long error) {
  failAt_[static_cast<int>(op)] = nth;
  failWith_[static_cast<int>(op)] = error;
}

void MemoryRegistry::ClearFailures() {
  for (int& n : failAt_) n = 0;
}

int MemoryRegistry::CallCount(Op op) const { return calls_[static_cast<int>(op)]; }

long MemoryRegistry::Resolve(RegKey handle, std::shared_ptr<Key>* key, uint32_t* access) {
  for (uint32_t i = 0; i < 7; ++i) {
    if (handle == PredefinedKey(0x80000000u + i)) {
      *key = roots_[i];
      *access = kKeyAllAccess;
      return kErrorSuccess;
    }
  }
  auto it = handles_.find(handle);
  if (it == handles_.end()) return kErrorInvalidHandle;
  if (it->second.key->deleted) return kErrorKeyDeleted;
  *key = it->second.key;
  *access = it->second.access;
  return kErrorSuccess;
}

RegKey MemoryRegistry::NewHandle(std::shared_ptr<Key> key, uint32_t access) {
  RegKey handle = nextHandle_;
  nextHandle_ += 4;
  handles_[handle] = Handle{std::move(key), access};
  return handle;
}

long MemoryRegistry::OpenKey(RegKey parent, const char16_t* name, uint32_t access, RegKey* out) {
  long error;
  if (Consume(Op::Open, &error)) return error;
  std::shared_ptr<Key> key;
  uint32_t parentAccess;
  error = Resolve(parent, &key, &parentAccess);
  if (error) return error;
  for (const auto& part : SplitPath(name)) {
    if (part.size() > kMaxKeyNameUnits) return kErrorInvalidParameter;
    key = key->Child(part);
    if (!key) return kErrorFileNotFound;
  }
  if (key->readOnly && (access & (kKeySetValue | kKeyCreateSubKey))) return kErrorAccessDenied;
  *out = NewHandle(key, access);
  return kErrorSuccess;
}

long MemoryRegistry::CreateKey(RegKey parent, const char16_t* name, RegKey* out, bool* created) {
  long error;
  if (Consume(Op::Create, &error)) return error;
  std::shared_ptr<Key> key;
  uint32_t access;
  error = Resolve(parent, &key, &access);
  if (error) return error;
  bool isNew = false;
  for (const auto& part : SplitPath(name)) {
    if (part.size() > kMaxKeyNameUnits) return kErrorInvalidParameter;
    std::shared_ptr<Key> child = key->Child(part);
    if (!child) {
      if (!(access & kKeyCreateSubKey) || key->readOnly) return kErrorAccessDenied;
      child = key->AddChild(part);
      isNew = true;
    }
    key = child;
    access = kKeyAllAccess;
  }
  if (key->readOnly) return kErrorAccessDenied;
  *out = NewHandle(key, kKeyReadWrite);
  if (created) *created = isNew;
  return kErrorSuccess;
}

long MemoryRegistry::SetValue(RegKey handle, const char16_t* name, uint32_t type, const void* data,
                              uint32_t size) {
  long error;
  if (Consume(Op::SetValue, &error)) return error;
  std::shared_ptr<Key> key;
  uint32_t access;
  error = Resolve(handle, &key, &access);
  if (error) return error;
  if (!(access & kKeySetValue)) return kErrorAccessDenied;
  if (size && !data) return kErrorInvalidParameter;
  std::u16string valueName = name ? name : u"";
  const auto* bytes = static_cast<const uint8_t*>(data);
  std::vector<uint8_t> copy(bytes, bytes + size);
  if (Key::Value* value = key->FindValue(valueName)) {
    value->type = type;
    value->data = std::move(copy);
  } else {
    key->values.push_back(Key::Value{valueName, type, std::move(copy)});
  }
  return kErrorSuccess;
}

namespace {

// The size and data rules shared by QueryValue and EnumValue.
long CopyValueData(const std::vector<uint8_t>& stored, void* data, uint32_t* size) {
  const auto needed = static_cast<uint32_t>(stored.size());
  if (data) {
    if (!size) return kErrorInvalidParameter;
    if (*size < needed) {
      *size = needed;
      return kErrorMoreData;
    }
    if (needed) std::memcpy(data, stored.data(), needed);
  }
  if (size) *size = needed;
  return kErrorSuccess;
}

}  // namespace

long MemoryRegistry::QueryValue(RegKey handle, const char16_t* name, uint32_t* type, void* data,
                                uint32_t* size) {
  long error;
  if (Consume(Op::QueryValue, &error)) return error;
  std::shared_ptr<Key> key;
  uint32_t access;
  error = Resolve(handle, &key, &access);
  if (error) return error;
  if (!(access & kKeyQueryValue)) return kErrorAccessDenied;
  Key::Value* value = key->FindValue(name ? name : u"");
  if (!value) return kErrorFileNotFound;
  if (type) *type = value->type;
  return CopyValueData(value->data, data, size);
}

long MemoryRegistry::EnumValue(RegKey handle, uint32_t index, char16_t* name, uint32_t* nameSize,
                               uint32_t* type, void* data, uint32_t* dataSize) {
  long error;
  if (Consume(Op::EnumValue, &error)) return error;
  std::shared_ptr<Key> key;
  uint32_t access;
  error = Resolve(handle, &key, &access);
  if (error) return error;
  if (!(access & kKeyQueryValue)) return kErrorAccessDenied;
  if (!name || !nameSize) return kErrorInvalidParameter;
  if (index >= key->values.size()) return kErrorNoMoreItems;
  const Key::Value& value = key->values[index];
  if (value.name.size() + 1 > *nameSize) return kErrorMoreData;
  error = CopyValueData(value.data, data, dataSize);
  if (error) return error;
  std::memcpy(name, value.name.c_str(), (value.name.size() + 1) * sizeof(char16_t));
  *nameSize = static_cast<uint32_t>(value.name.size());
  if (type) *type = value.type;
  return kErrorSuccess;
}

long MemoryRegistry::DeleteValue(RegKey handle, const char16_t* name) {
  long error;
  if (Consume(Op::DeleteValue, &error)) return error;
  std::shared_ptr<Key> key;
  uint32_t access;
  error = Resolve(handle, &key, &access);
  if (error) return error;
  if (!(access & kKeySetValue)) return kErrorAccessDenied;
  std::u16string valueName = name ? name : u"";
  for (auto it = key->values.begin(); it != key->values.end(); ++it) {
    if (Compare(it->name, valueName) == 0) {
      key->values.erase(it);
      return kErrorSuccess;
    }
  }
  return kErrorFileNotFound;
}

long MemoryRegistry::DeleteKey(RegKey parent, const char16_t* name) {
  long error;
  if (Consume(Op::DeleteKey, &error)) return error;
  if (!name) return kErrorInvalidParameter;
  std::shared_ptr<Key> key;
  uint32_t access;
  error = Resolve(parent, &key, &access);
  if (error) return error;
  for (const auto& part : SplitPath(name)) {
    if (part.size() > kMaxKeyNameUnits) return kErrorInvalidParameter;
    key = key->Child(part);
    if (!key) return kErrorFileNotFound;
  }
  // An empty name deletes the key itself; the roots cannot be deleted.
  if (!key->parent || key->readOnly || !key->subkeys.empty()) return kErrorAccessDenied;
  auto& siblings = key->parent->subkeys;
  siblings.erase(std::find(siblings.begin(), siblings.end(), key));
  key->deleted = true;
  key->parent = nullptr;
  return kErrorSuccess;
}

long MemoryRegistry::EnumKey(RegKey handle, uint32_t index, char16_t* name, uint32_t* size) {
  long error;
  if (Consume(Op::EnumKey, &error)) return error;
  std::shared_ptr<Key> key;
  uint32_t access;
  error = Resolve(handle, &key, &access);
  if (error) return error;
  if (!(access & kKeyEnumerateSubKeys)) return kErrorAccessDenied;
  if (!name || !size) return kErrorInvalidParameter;
  if (index >= key->subkeys.size()) return kErrorNoMoreItems;
  const std::u16string& child = key->subkeys[index]->name;
  if (child.size() + 1 > *size) return kErrorMoreData;
  std::memcpy(name, child.c_str(), (child.size() + 1) * sizeof(char16_t));
  *size = static_cast<uint32_t>(child.size());
  return kErrorSuccess;
}

long MemoryRegistry::CloseKey(RegKey handle) {
  long error;
  if (Consume(Op::CloseKey, &error)) return error;
  for (uint32_t i = 0; i < 7; ++i) {
    if (handle == PredefinedKey(0x80000000u + i)) return kErrorSuccess;
  }
  auto it = handles_.find(handle);
  if (it == handles_.end()) return kErrorInvalidHandle;
  handles_.erase(it);
  return kErrorSuccess;
}

HRESULT MemoryRegistry::ParseUInt32(const char16_t* text, uint32_t* out) {
  return portable_text::ParseUInt32(text, out);
}

int MemoryRegistry::CompareNoCase(const char16_t* a, const char16_t* b) {
  return portable_text::CompareNoCase(a, b);
}

const char16_t* MemoryRegistry::NextChar(const char16_t* p) { return portable_text::NextChar(p); }

void* MemoryRegistry::Alloc(std::size_t bytes) {
  long unused;
  if (Consume(Op::Alloc, &unused)) return nullptr;
  void* block = std::malloc(bytes ? bytes : 1);
  if (block) ++blocks_;
  return block;
}

void* MemoryRegistry::Realloc(void* block, std::size_t bytes) {
  long unused;
  if (Consume(Op::Realloc, &unused)) return nullptr;
  void* grown = std::realloc(block, bytes ? bytes : 1);
  if (grown && !block) ++blocks_;
  return grown;
}

void MemoryRegistry::Free(void* block) {
  if (!block) return;
  std::free(block);
  --blocks_;
}

// ------------------------------------------------------------ test support

std::shared_ptr<MemoryRegistry::Key> MemoryRegistry::Find(const char16_t* path) const {
  std::vector<std::u16string> parts = SplitPath(path);
  if (parts.empty()) return nullptr;
  std::shared_ptr<Key> key;
  for (const auto& root : roots_) {
    if (Compare(root->name, parts[0]) == 0) key = root;
  }
  for (std::size_t i = 1; key && i < parts.size(); ++i) key = key->Child(parts[i]);
  return key;
}

bool MemoryRegistry::SetReadOnly(const char16_t* path, bool readOnly) {
  std::shared_ptr<Key> key = Find(path);
  if (!key) return false;
  key->readOnly = readOnly;
  return true;
}

bool MemoryRegistry::AddKey(const char16_t* path) {
  std::vector<std::u16string> parts = SplitPath(path);
  if (parts.empty()) return false;
  std::shared_ptr<Key> key = Find(parts[0].c_str());
  if (!key) return false;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    std::shared_ptr<Key> child = key->Child(parts[i]);
    key = child ? child : key->AddChild(parts[i]);
  }
  return true;
}

bool MemoryRegistry::PutValue(const char16_t* path, const char16_t* name, uint32_t type,
                              const std::vector<uint8_t>& data) {
  if (!AddKey(path)) return false;
  std::shared_ptr<Key> key = Find(path);
  std::u16string valueName = name ? name : u"";
  if (Key::Value* value = key->FindValue(valueName)) {
    value->type = type;
    value->data = data;
  } else {
    key->values.push_back(Key::Value{valueName, type, data});
  }
  return true;
}

bool MemoryRegistry::PutString(const char16_t* path, const char16_t* name, const char16_t* text) {
  std::size_t bytes = (std::char_traits<char16_t>::length(text) + 1) * sizeof(char16_t);
  const auto* p = reinterpret_cast<const uint8_t*>(text);
  return PutValue(path, name, kRegSz, std::vector<uint8_t>(p, p + bytes));
}

bool MemoryRegistry::KeyExists(const char16_t* path) const { return Find(path) != nullptr; }

bool MemoryRegistry::ReadValue(const char16_t* path, const char16_t* name, uint32_t* type,
                               std::vector<uint8_t>* data) const {
  std::shared_ptr<Key> key = Find(path);
  if (!key) return false;
  Key::Value* value = key->FindValue(name ? name : u"");
  if (!value) return false;
  if (type) *type = value->type;
  if (data) *data = value->data;
  return true;
}

namespace {

void DumpKey(const MemoryRegistry::Key& key, const std::string& path, bool listSelf,
             std::string* out);

}  // namespace

std::string DumpText(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
      out += escape;
    }
  }
  return out;
}

std::string FormatRegistryValue(const std::u16string& name, uint32_t type, const uint8_t* data,
                                std::size_t size) {
  std::string line = name.empty() ? "@" : "\"" + DumpText(name) + "\"";
  line += " = ";
  char number[32];
  switch (type) {
    case kRegSz:
    case kRegMultiSz: {
      line += type == kRegSz ? "REG_SZ \"" : "REG_MULTI_SZ \"";
      for (std::size_t i = 0; i + 1 < size; i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0) {
          line += "\\0";
        } else if (c == u'"' || c == u'\\') {
          line += '\\';
          line += static_cast<char>(c);
        } else {
          line += DumpText(std::u16string(1, c));
        }
      }
      line += "\"";
      if (size % 2) line += " +1 byte";
      return line;
    }
    case kRegDword:
      if (size == 4) {
        uint32_t v = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                     static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
        std::snprintf(number, sizeof number, "REG_DWORD 0x%08X", static_cast<unsigned>(v));
        return line + number;
      }
      break;
    case kRegBinary:
      line += "REG_BINARY";
      for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(number, sizeof number, " %02x", data[i]);
        line += number;
      }
      return line;
    default:
      break;
  }
  std::snprintf(number, sizeof number, "type %u", static_cast<unsigned>(type));
  line += number;
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(number, sizeof number, " %02x", data[i]);
    line += number;
  }
  return line;
}

namespace {

void DumpKey(const MemoryRegistry::Key& key, const std::string& path, bool listSelf,
             std::string* out) {
  if (listSelf || !key.values.empty()) *out += path + "\n";
  std::vector<const MemoryRegistry::Key::Value*> values;
  for (const auto& value : key.values) values.push_back(&value);
  std::sort(values.begin(), values.end(), [](const auto* a, const auto* b) {
    return Compare(a->name, b->name) < 0;
  });
  for (const auto* value : values) {
    *out += "  " + FormatRegistryValue(value->name, value->type, value->data.data(),
                                       value->data.size()) + "\n";
  }
  for (const auto& subkey : key.subkeys) {
    DumpKey(*subkey, path + "\\" + DumpText(subkey->name), true, out);
  }
}

}  // namespace

std::string MemoryRegistry::Dump() const {
  std::string out;
  for (const auto& root : roots_) DumpKey(*root, DumpText(root->name), false, &out);
  return out;
}

std::string MemoryRegistry::Dump(const char16_t* path) const {
  std::string out;
  std::shared_ptr<Key> key = Find(path);
  if (!key) return out;
  // The path as the registry spells it, whatever the caller's case.
  std::string spelled;
  for (const Key* k = key.get(); k; k = k->parent) {
    spelled = DumpText(k->name) + (spelled.empty() ? "" : "\\") + spelled;
  }
  DumpKey(*key, spelled, true, &out);
  return out;
}

}  // namespace tamsorel
