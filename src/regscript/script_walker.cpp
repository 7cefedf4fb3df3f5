// The walker of the registry-script interpreter: runs the root blocks of an
// expanded script and applies their items to the registry, in register or
// unregister mode.
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "regscript/script.h"

namespace tamsorel {

namespace {

std::size_t Length(const char16_t* s) { return std::char_traits<char16_t>::length(s); }

bool IsClosingBrace(const char16_t* token) { return token[0] == u'}'; }
bool IsAssignment(const char16_t* token) { return token[0] == u'='; }
bool IsOpeningBrace(const char16_t* token) { return token[0] == u'{' && token[1] == 0; }

// A key item names exactly one level of the registry: a non-empty name
// without a backslash.  The empty name would address the block's own key
// (and let ForceRemove wipe it, or unregistration delete a NoRemove key);
// a lone "{" is a block with no key item before it.  Names longer than
// kMaxNameUnits cannot be remembered for deletion.
bool IsKeyName(const char16_t* token) {
  std::size_t length = Length(token);
  if (length == 0 || length > kMaxNameUnits) return false;
  if (IsOpeningBrace(token)) return false;
  return std::char_traits<char16_t>::find(token, length, u'\\') == nullptr;
}

// Frees a block of the platform's allocator.
struct PlatformFree {
  RegistryPlatform* platform;
  void operator()(char16_t* block) const { platform->Free(block); }
};

// A scratch array that lives in the caller's frame when small and on the
// heap above that.
template <typename T>
class SmallBuffer {
 public:
  static constexpr std::size_t kFrameBytes = 256;
  bool Allocate(std::size_t count) {
    if (count * sizeof(T) <= kFrameBytes) {
      data_ = frame_;
      return true;
    }
    heap_.reset(new (std::nothrow) T[count]);
    data_ = heap_.get();
    return data_ != nullptr;
  }
  T* data() { return data_; }

 private:
  T frame_[kFrameBytes / sizeof(T)];
  std::unique_ptr<T[]> heap_;
  T* data_ = nullptr;
};

}  // namespace

HRESULT ScriptParser::RunScript(const char16_t* text, bool registerMode) {
  location_ = ScriptLocation();
  completedUnits_ = 0;
  undoFailures_ = 0;
  fatal_ = false;
  tokenStart_ = tokenEnd_ = nullptr;

  char16_t* expandedText = nullptr;
  HRESULT hr = ExpandReplacements(text, &expandedText);
  if (FAILED(hr)) {
    if (text && hr != E_OUTOFMEMORY) Locate(text, nullptr);
    return hr;
  }
  std::unique_ptr<char16_t, PlatformFree> expanded(expandedText, PlatformFree{&platform_});

  hr = WalkRootBlocks(expanded.get(), registerMode);
  if (FAILED(hr)) Locate(text, expanded.get());
  cursor_ = tokenStart_ = tokenEnd_ = nullptr;
  journal_.Clear();
  return hr;
}

HRESULT ScriptParser::WalkRootBlocks(const char16_t* expanded, bool registerMode) {
  cursor_ = expanded;
  if (!*cursor_) return S_OK;

  char16_t buffer[kTokenBufferUnits];
  for (;;) {
    completedUnits_ = static_cast<std::size_t>(cursor_ - expanded);
    HRESULT hr = NextToken(buffer);
    if (FAILED(hr)) return hr;
    const RootKeyEntry* root = nullptr;
    for (const RootKeyEntry& entry : RootKeyTable) {
      if (Equals(buffer, entry.name)) {
        root = &entry;
        break;
      }
    }
    if (!root) return DISP_E_EXCEPTION;
    RegKey rootKey = PredefinedKey(root->handleValue);

    hr = NextToken(buffer);
    if (FAILED(hr)) return hr;
    if (buffer[0] != u'{') return DISP_E_EXCEPTION;

    if (registerMode) {
      hr = journal_.Begin(rootKey);
      if (SUCCEEDED(hr)) hr = WalkKeyBlock(buffer, rootKey, true, false, 1, UndoJournal::kRootNode);
      if (FAILED(hr)) {
        // The failing root block is undone exactly; the blocks before it
        // stay written.  The first failure is the result.
        undoFailures_ = journal_.Undo(platform_);
        return hr;
      }
      journal_.Clear();
    } else {
      hr = WalkKeyBlock(buffer, rootKey, false, false, 1);
      if (FAILED(hr)) return hr;
    }

    SkipWhitespace();
    if (!*cursor_) return S_OK;
  }
}

HRESULT ScriptParser::WalkKeyBlock(char16_t* buffer, RegKey key, bool registerMode, bool absent,
                                   int depth, UndoJournal::Node node) {
  if (depth > kMaxBlockDepth) {
    fatal_ = true;
    return DISP_E_EXCEPTION;
  }
  RegKeyHolder current(platform_);

  HRESULT hr = NextToken(buffer);
  if (FAILED(hr)) return hr;
  if (IsClosingBrace(buffer)) return S_OK;

  for (;;) {
    bool mayDelete = true;
    bool done = false;  // the item has been read completely

    bool isDelete = Equals(buffer, u"Delete");
    if (isDelete || Equals(buffer, u"ForceRemove")) {
      hr = NextToken(buffer);
      if (FAILED(hr)) return hr;
      if (registerMode) {
        if (!IsKeyName(buffer)) return DISP_E_EXCEPTION;
        // The key need not exist, so the result is of no interest.  The
        // journal keeps the name as the registry spells it, so that an undo
        // brings the key back exactly.
        if (IsDeletableKeyName(buffer)) {
          char16_t spelled[kSubkeyNameUnits];
          DeleteKeyTree(key, node, SpelledKeyName(key, buffer, spelled));
        }
        if (isDelete) {
          hr = NextToken(buffer);
          if (FAILED(hr)) return hr;
          hr = SkipValueAssignment(buffer);
          if (FAILED(hr)) return hr;
          done = true;
        }
      }
    }

    if (!done) {
      if (Equals(buffer, u"NoRemove")) {
        mayDelete = false;
        hr = NextToken(buffer);
        if (FAILED(hr)) return hr;
      }
      if (Equals(buffer, u"Val")) {
        hr = WalkValueItem(buffer, key, node, registerMode, absent, mayDelete);
      } else if (registerMode) {
        hr = WalkRegisterKeyItem(buffer, key, node, &current, depth);
      } else {
        hr = WalkUnregisterKeyItem(buffer, key, &current, absent, mayDelete, depth);
      }
      if (FAILED(hr)) return hr;
    }

    if (IsClosingBrace(buffer)) return S_OK;  // `current` closes itself
  }
}

HRESULT ScriptParser::WalkRegisterKeyItem(char16_t* buffer, RegKey parent,
                                          UndoJournal::Node parentNode, RegKeyHolder* current,
                                          int depth) {
  RegKeyHolder& holder = *current;
  if (!IsKeyName(buffer)) return DISP_E_EXCEPTION;
  UndoJournal::Node node = UndoJournal::kRootNode;
  HRESULT hr = journal_.AddNode(parentNode, buffer, &node);
  if (FAILED(hr)) return hr;

  RegKey key = 0;
  long error = platform_.OpenKey(parent, buffer, kKeyReadWrite, &key);
  if (error != kErrorSuccess) error = platform_.OpenKey(parent, buffer, kKeyRead, &key);
  if (error != kErrorSuccess) {
    UndoJournal::Step step;
    hr = journal_.PrepareKeyCreated(node, &step);
    if (FAILED(hr)) return hr;
    bool created = false;
    error = platform_.CreateKey(parent, buffer, &key, &created);
    if (error == kErrorSuccess && created) journal_.Commit(std::move(step));
  }
  if (error != kErrorSuccess) return HResultFromWin32(error);
  holder.Reset(key);

  hr = NextToken(buffer);
  if (FAILED(hr)) return hr;
  if (IsAssignment(buffer)) {
    hr = WriteValue(key, node, nullptr, buffer);
    if (FAILED(hr)) return hr;
  }
  if (IsOpeningBrace(buffer)) {
    hr = WalkKeyBlock(buffer, key, true, false, depth + 1, node);
    if (FAILED(hr)) return hr;
    hr = NextToken(buffer);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT ScriptParser::WalkUnregisterKeyItem(char16_t* buffer, RegKey parent, RegKeyHolder* current,
                                            bool absent, bool mayDelete, int depth) {
  RegKeyHolder& holder = *current;
  if (!IsKeyName(buffer)) return DISP_E_EXCEPTION;

  char16_t name[kMaxNameUnits + 1];
  std::memcpy(name, buffer, (Length(buffer) + 1) * sizeof(char16_t));
  // A failure to remove the key is placed at its name.
  const char16_t* nameStart = tokenStart_;
  const char16_t* nameEnd = tokenEnd_;
  auto atName = [&](HRESULT hr) {
    tokenStart_ = nameStart;
    tokenEnd_ = nameEnd;
    return hr;
  };

  long openError = kErrorSuccess;
  bool childAbsent = absent;
  RegKey key = 0;
  if (!absent) {
    openError = platform_.OpenKey(parent, name, kKeyRead, &key);
    if (openError == kErrorSuccess) {
      holder.Reset(key);
    } else {
      key = 0;
      childAbsent = true;
    }
  }

  HRESULT hr = NextToken(buffer);
  if (FAILED(hr)) return hr;
  hr = SkipValueAssignment(buffer);
  if (FAILED(hr)) return hr;
  if (IsOpeningBrace(buffer)) {
    const char16_t* blockStart = cursor_;
    hr = WalkKeyBlock(buffer, key, false, childAbsent, depth + 1);
    if (FAILED(hr)) {
      // Below a key that is not there nothing is touched, so whatever went
      // wrong in its block does not matter.  The walk goes on after that
      // block's own closing brace: nothing inside it may be taken for an
      // item of this block.
      if (!childAbsent || fatal_) return hr;
      cursor_ = blockStart;
      hr = SkipBlock();
      if (FAILED(hr)) return hr;
    }
    hr = NextToken(buffer);
    if (FAILED(hr)) return hr;
  }

  if (absent) return S_OK;
  if (openError == kErrorFileNotFound) return S_OK;
  if (openError != kErrorSuccess) return atName(HResultFromWin32(openError));
  long error = holder.Close();
  if (error != kErrorSuccess) return atName(HResultFromWin32(error));
  if (mayDelete) {
    error = platform_.DeleteKey(parent, name);
    if (error != kErrorSuccess) return atName(HResultFromWin32(error));
  }
  return S_OK;
}

HRESULT ScriptParser::SkipBlock() {
  // Only the first units of each token matter here: braces, the "="
  // of an assignment and the item keywords.
  constexpr std::size_t kHeadUnits = 16;
  char16_t head[kHeadUnits];
  std::size_t length = 0;
  auto next = [&]() { return ScanToken(head, kHeadUnits, true, &length); };
  auto is = [&](const char16_t* word) { return length < kHeadUnits && Equals(head, word); };
  // "= type value": the two tokens after an assignment are never structure.
  auto skipAssignment = [&]() -> HRESULT {
    if (!IsAssignment(head)) return S_OK;
    HRESULT hr = next();
    if (SUCCEEDED(hr)) hr = next();
    if (SUCCEEDED(hr)) hr = next();
    return hr;
  };

  std::size_t depth = 1;
  HRESULT hr = next();
  while (SUCCEEDED(hr)) {
    if (IsClosingBrace(head)) {
      if (--depth == 0) return S_OK;
      hr = next();
      continue;
    }
    if (is(u"Delete") || is(u"ForceRemove")) {
      hr = next();
      if (FAILED(hr)) break;
    }
    if (is(u"NoRemove")) {
      hr = next();
      if (FAILED(hr)) break;
    }
    if (is(u"Val")) {
      hr = next();                     // the value's name
      if (SUCCEEDED(hr)) hr = next();  // "=", or whatever stands in its place
      if (SUCCEEDED(hr)) hr = skipAssignment();
      continue;
    }
    // A key item: its name, then an assignment and a block, both optional.
    hr = next();
    if (SUCCEEDED(hr)) hr = skipAssignment();
    if (SUCCEEDED(hr) && IsOpeningBrace(head)) {
      ++depth;
      hr = next();
    }
  }
  return hr;
}

HRESULT ScriptParser::WalkValueItem(char16_t* buffer, RegKey parent, UndoJournal::Node node,
                                    bool registerMode, bool absent, bool mayDelete) {
  HRESULT hr = NextToken(buffer);
  if (FAILED(hr)) return hr;
  std::size_t length = Length(buffer);
  if (length > kMaxNameUnits) return DISP_E_EXCEPTION;
  char16_t valueName[kMaxNameUnits + 1];
  std::memcpy(valueName, buffer, (length + 1) * sizeof(char16_t));
  const char16_t* nameStart = tokenStart_;
  const char16_t* nameEnd = tokenEnd_;

  hr = NextToken(buffer);
  if (FAILED(hr)) return hr;
  if (!IsAssignment(buffer)) return DISP_E_EXCEPTION;

  if (registerMode) return WriteValue(parent, node, valueName, buffer);

  if (!absent && mayDelete) {
    // A failure to remove the value is placed at its name.
    tokenStart_ = nameStart;
    tokenEnd_ = nameEnd;
    RegKey key = 0;
    long error = platform_.OpenKey(parent, nullptr, kKeyWrite, &key);
    if (error != kErrorSuccess) return HResultFromWin32(error);
    RegKeyHolder second(platform_);
    second.Reset(key);
    error = platform_.DeleteValue(key, valueName);
    if (error != kErrorSuccess && error != kErrorFileNotFound) return HResultFromWin32(error);
  }
  return SkipValueAssignment(buffer);
}

HRESULT ScriptParser::WriteValue(RegKey key, UndoJournal::Node node, const char16_t* valueName,
                                 char16_t* buffer) {
  char16_t text[kTokenBufferUnits];
  HRESULT hr = NextToken(text);
  if (FAILED(hr)) return hr;
  const ValueTypeEntry* type = nullptr;
  for (const ValueTypeEntry& entry : ValueTypeTable) {
    if (Equals(text, entry.letter)) {
      type = &entry;
      break;
    }
  }
  if (!type) return DISP_E_EXCEPTION;

  SkipWhitespace();
  hr = NextToken(text);
  if (FAILED(hr)) return hr;
  std::size_t length = Length(text);

  const void* data = nullptr;
  uint32_t size = 0;
  uint32_t number = 0;
  SmallBuffer<uint8_t> bytes;
  SmallBuffer<char16_t> strings;
  switch (type->registryType) {
    case kRegSz:
      data = text;
      size = static_cast<uint32_t>((length + 1) * sizeof(char16_t));
      break;

    case kRegDword:
      hr = platform_.ParseUInt32(text, &number);
      if (FAILED(hr)) return hr;
      data = &number;
      size = sizeof(number);
      break;

    case kRegBinary: {
      if (length % 2 != 0) return E_FAIL;
      if (!bytes.Allocate(length / 2)) return E_FAIL;
      std::memset(bytes.data(), 0, length / 2);
      for (std::size_t i = 0; i < length; ++i) {
        unsigned digit = HexDigitValue(text[i]);
        bytes.data()[i / 2] |= static_cast<uint8_t>(i % 2 == 0 ? digit << 4 : digit);
      }
      data = bytes.data();
      size = static_cast<uint32_t>(length / 2);
      break;
    }

    case kRegMultiSz: {
      // Room for the converted text, its terminator and, when the text does
      // not end its list itself, the closing empty string.
      if (!strings.Allocate(length + 2)) return E_OUTOFMEMORY;
      char16_t* out = strings.data();
      std::size_t used = 0;
      for (std::size_t i = 0; i < length; ++i) {
        if (text[i] == u'\\' && text[i + 1] == u'0') {
          out[used++] = 0;
          ++i;
        } else {
          out[used++] = text[i];
        }
      }
      out[used++] = 0;
      // The stored strings run up to and including the first empty one.
      std::size_t stored = 0;
      bool closed = false;
      for (std::size_t pos = 0; pos < used && !closed;) {
        std::size_t start = pos;
        while (out[pos]) ++pos;
        closed = pos == start;
        stored = ++pos;
      }
      if (!closed) out[stored++] = 0;
      data = out;
      size = static_cast<uint32_t>(stored * sizeof(char16_t));
      break;
    }
  }

  // What the value was before, so that a failing root block can put it back.
  UndoJournal::Step step;
  hr = journal_.PrepareValueWrite(platform_, key, node, valueName, &step);
  if (FAILED(hr)) return hr;
  long error = platform_.SetValue(key, valueName, type->registryType, data, size);
  if (error != kErrorSuccess) return HResultFromWin32(error);
  journal_.Commit(std::move(step));
  return NextToken(buffer);
}

HRESULT ScriptParser::SkipValueAssignment(char16_t* buffer) {
  if (!IsAssignment(buffer)) return S_OK;
  HRESULT hr = NextToken(buffer);
  if (FAILED(hr)) return hr;
  SkipWhitespace();
  char16_t text[kTokenBufferUnits];
  hr = NextToken(text);
  if (FAILED(hr)) return hr;
  return NextToken(buffer);
}

long ScriptParser::DeleteKeyTree(RegKey parent, UndoJournal::Node parentNode,
                                 const char16_t* name) {
  RegKey key = 0;
  long error = platform_.OpenKey(parent, name, kKeyReadWrite, &key);
  if (error != kErrorSuccess) return error;
  RegKeyHolder holder(platform_);
  holder.Reset(key);
  UndoJournal::Node node = UndoJournal::kRootNode;
  if (FAILED(journal_.AddNode(parentNode, name, &node))) return kErrorNotEnoughMemory;

  char16_t child[kSubkeyNameUnits];
  for (;;) {
    uint32_t size = kSubkeyNameUnits;
    if (platform_.EnumKey(key, 0, child, &size) != kErrorSuccess) break;
    error = DeleteKeyTree(key, node, child);
    if (error != kErrorSuccess) return error;
  }
  // A key is only deleted once its values are kept for the undo.
  UndoJournal::Step step;
  HRESULT hr = journal_.PrepareKeyDeletion(platform_, key, node, &step);
  if (FAILED(hr)) return hr == E_OUTOFMEMORY ? kErrorNotEnoughMemory : kErrorAccessDenied;
  holder.Close();
  error = platform_.DeleteKey(parent, name);
  if (error == kErrorSuccess) journal_.Commit(std::move(step));
  return error;
}

const char16_t* ScriptParser::SpelledKeyName(RegKey parent, const char16_t* name,
                                             char16_t* spelled) {
  for (uint32_t index = 0;; ++index) {
    uint32_t size = kSubkeyNameUnits;
    if (platform_.EnumKey(parent, index, spelled, &size) != kErrorSuccess) return name;
    if (Equals(spelled, name)) return spelled;
  }
}

bool ScriptParser::IsDeletableKeyName(const char16_t* name) {
  for (const char16_t* protectedName : ProtectedKeyNames) {
    if (Equals(name, protectedName)) return false;
  }
  return true;
}

unsigned ScriptParser::HexDigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return static_cast<unsigned>(c - u'0');
  if (c >= u'A' && c <= u'F') return static_cast<unsigned>(c - u'A' + 10);
  if (c >= u'a' && c <= u'f') return static_cast<unsigned>(c - u'a' + 10);
  return 0;
}

}  // namespace tamsorel
