// An in-memory registry behind the RegistryPlatform seam, for tests, native
// tools and the fuzzer.  It behaves like the Windows registry wherever the
// script interpreter can tell:
//   - key and value names compare without regard to case; subkeys enumerate
//     in case-insensitive name order;
//   - the predefined roots are the handles PredefinedKey(0x80000000..6);
//     closing them succeeds and does nothing;
//   - a null or empty name opens the key itself again;
//   - handles carry their access mask: writing values needs KEY_SET_VALUE,
//     creating a new subkey KEY_CREATE_SUB_KEY, enumeration
//     KEY_ENUMERATE_SUB_KEYS, reading values KEY_QUERY_VALUE
//     (ERROR_ACCESS_DENIED otherwise);
//   - DeleteKey refuses a key with subkeys (ERROR_ACCESS_DENIED); missing
//     keys and values are ERROR_FILE_NOT_FOUND; enumeration ends with
//     ERROR_NO_MORE_ITEMS and reports ERROR_MORE_DATA for a name or data
//     that does not fit; values enumerate in the order they were created; handles to a deleted key answer ERROR_KEY_DELETED;
//   - key name components longer than 255 units are ERROR_INVALID_PARAMETER.
// Text services are the portable ones; the allocator is malloc with a count
// of live blocks.  Tests can dump the state, inject failures and count
// handles and blocks still open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "regscript/registry_platform.h"

namespace tamsorel {

class MemoryRegistry : public RegistryPlatform {
 public:
  // Operations whose calls can be counted and made to fail.
  enum class Op {
    Open, Create, SetValue, DeleteValue, DeleteKey, EnumKey, CloseKey, Alloc, Realloc,
    QueryValue, EnumValue
  };
  static constexpr int kOpCount = 11;

  MemoryRegistry();
  ~MemoryRegistry() override;
  MemoryRegistry(const MemoryRegistry&) = delete;
  MemoryRegistry& operator=(const MemoryRegistry&) = delete;

  long OpenKey(RegKey parent, const char16_t* name, uint32_t access, RegKey* out) override;
  long CreateKey(RegKey parent, const char16_t* name, RegKey* out, bool* created) override;
  long SetValue(RegKey key, const char16_t* name, uint32_t type, const void* data,
                uint32_t size) override;
  long QueryValue(RegKey key, const char16_t* name, uint32_t* type, void* data,
                  uint32_t* size) override;
  long EnumValue(RegKey key, uint32_t index, char16_t* name, uint32_t* nameSize, uint32_t* type,
                 void* data, uint32_t* dataSize) override;
  long DeleteValue(RegKey key, const char16_t* name) override;
  long DeleteKey(RegKey parent, const char16_t* name) override;
  long EnumKey(RegKey key, uint32_t index, char16_t* name, uint32_t* size) override;
  long CloseKey(RegKey key) override;

  HRESULT ParseUInt32(const char16_t* text, uint32_t* out) override;
  int CompareNoCase(const char16_t* a, const char16_t* b) override;
  const char16_t* NextChar(const char16_t* p) override;

  void* Alloc(std::size_t bytes) override;
  void* Realloc(void* block, std::size_t bytes) override;
  void Free(void* block) override;

  // --- Test support ---

  // The `nth` next call of `op` (1 = the very next) fails with `error` and
  // changes nothing; Alloc and Realloc fail by returning null.  One pending
  // failure per operation.
  void FailCall(Op op, int nth, long error = kErrorAccessDenied);
  void ClearFailures();
  // Calls of `op` so far.
  int CallCount(Op op) const;
  // Handles opened and not yet closed (predefined roots excluded).
  std::size_t OpenHandleCount() const { return handles_.size(); }
  // Blocks from Alloc/Realloc not yet freed.
  std::size_t LiveBlockCount() const { return blocks_; }

  // Makes the key at `path` ("HKCU\\A\\B") refuse write access and deletion,
  // like a key whose security denies the caller.  False if it is missing.
  bool SetReadOnly(const char16_t* path, bool readOnly);
  // Creates every key on `path`; false on failure.
  bool AddKey(const char16_t* path);
  // Creates the key at `path` and sets one value (name null: the default).
  bool PutValue(const char16_t* path, const char16_t* name, uint32_t type,
                const std::vector<uint8_t>& data);
  bool PutString(const char16_t* path, const char16_t* name, const char16_t* text);
  bool KeyExists(const char16_t* path) const;
  // Reads a value; false if the key or value is missing.
  bool ReadValue(const char16_t* path, const char16_t* name, uint32_t* type,
                 std::vector<uint8_t>* data) const;

  // Text listing of every key below the roots (or of the subtree at `path`,
  // its own line included) and their values, in name order, one key per
  // line with its values indented below it.  Same input, same text: used to
  // compare registry states.
  std::string Dump() const;
  std::string Dump(const char16_t* path) const;

  struct Key;

 private:
  struct Handle {
    std::shared_ptr<Key> key;
    uint32_t access;
  };

  bool Consume(Op op, long* error);
  long Resolve(RegKey handle, std::shared_ptr<Key>* key, uint32_t* access);
  std::shared_ptr<Key> Find(const char16_t* path) const;
  RegKey NewHandle(std::shared_ptr<Key> key, uint32_t access);

  std::shared_ptr<Key> roots_[7];
  std::map<RegKey, Handle> handles_;
  RegKey nextHandle_ = 0x1000;
  std::size_t blocks_ = 0;
  int calls_[kOpCount] = {};
  int failAt_[kOpCount] = {};
  long failWith_[kOpCount] = {};
};

// One line of a dump for a value: `name` ("@" for the default) and the data
// in a readable form, e.g.  "AppID" = REG_SZ "{...}".  Shared with the
// Windows tests, which dump the real registry the same way.
std::string FormatRegistryValue(const std::u16string& name, uint32_t type, const uint8_t* data,
                                std::size_t size);
// A UTF-16 name in the dump's spelling: ASCII as is, other units as \uXXXX.
std::string DumpText(const std::u16string& text);

}  // namespace tamsorel
