// Text layer of the registry-script interpreter: the language tables, the
// replacement pairs of a run, %NAME% expansion and the tokenizer.
#include <cstdlib>
#include <cstring>
#include <string>

#include "regscript/script.h"

namespace tamsorel {

std::size_t DoubleApostrophes(char16_t* destination, const char16_t* source) {
  char16_t* const start = destination;
  for (; *source; ++source) {
    *destination++ = *source;
    if (*source == u'\'') *destination++ = u'\'';
  }
  *destination = u'\0';
  return static_cast<std::size_t>(destination - start);
}

const RootKeyEntry RootKeyTable[14] = {
    {u"HKCR", 0x80000000u},
    {u"HKCU", 0x80000001u},
    {u"HKLM", 0x80000002u},
    {u"HKU", 0x80000003u},
    {u"HKPD", 0x80000004u},
    {u"HKDD", 0x80000006u},
    {u"HKCC", 0x80000005u},
    {u"HKEY_CLASSES_ROOT", 0x80000000u},
    {u"HKEY_CURRENT_USER", 0x80000001u},
    {u"HKEY_LOCAL_MACHINE", 0x80000002u},
    {u"HKEY_USERS", 0x80000003u},
    {u"HKEY_PERFORMANCE_DATA", 0x80000004u},
    {u"HKEY_DYN_DATA", 0x80000006u},
    {u"HKEY_CURRENT_CONFIG", 0x80000005u},
};

const char16_t* const ProtectedKeyNames[12] = {
    u"AppID",    u"CLSID", u"Component Categories", u"FileType", u"Interface", u"Hardware",
    u"Mime",     u"SAM",   u"SECURITY",             u"SYSTEM",   u"Software",  u"TypeLib",
};

const ValueTypeEntry ValueTypeTable[4] = {
    {u"S", kRegSz},
    {u"M", kRegMultiSz},
    {u"D", kRegDword},
    {u"B", kRegBinary},
};

namespace {

std::size_t Length(const char16_t* s) { return std::char_traits<char16_t>::length(s); }

// A heap copy of `s` with its terminator, or null when memory runs out.
char16_t* CopyString(const char16_t* s) {
  std::size_t bytes = (Length(s) + 1) * sizeof(char16_t);
  auto* copy = static_cast<char16_t*>(std::malloc(bytes));
  if (copy) std::memcpy(copy, s, bytes);
  return copy;
}

bool IsWhitespace(char16_t c) { return c == u'\t' || c == u'\n' || c == u'\r' || c == u' '; }

// Largest expanded text, in units.  Keeps every size computation far from
// overflow on 32-bit builds.
constexpr std::size_t kMaxExpandedUnits = 0x10000000;

// The growing text that ExpandReplacements builds, in a block of the
// platform's allocator.  Frees the block unless it has been handed out.
class ExpansionBuffer {
 public:
  explicit ExpansionBuffer(RegistryPlatform& platform) : platform_(platform) {}
  ~ExpansionBuffer() {
    if (data_) platform_.Free(data_);
  }
  ExpansionBuffer(const ExpansionBuffer&) = delete;
  ExpansionBuffer& operator=(const ExpansionBuffer&) = delete;

  bool Init(std::size_t capacity) {
    data_ = static_cast<char16_t*>(platform_.Alloc(capacity * sizeof(char16_t)));
    if (!data_) return false;
    capacity_ = capacity;
    length_ = 0;
    data_[0] = 0;
    return true;
  }

  bool Append(const char16_t* units, std::size_t n) {
    if (length_ + n + 1 >= capacity_) {
      std::size_t capacity = capacity_;
      while (length_ + n + 1 >= capacity) {
        if (capacity > kMaxExpandedUnits) return false;
        capacity *= 2;
      }
      // On failure the old block stays ours and is freed by the destructor.
      void* grown = platform_.Realloc(data_, capacity * sizeof(char16_t));
      if (!grown) return false;
      data_ = static_cast<char16_t*>(grown);
      capacity_ = capacity;
    }
    std::memcpy(data_ + length_, units, n * sizeof(char16_t));
    length_ += n;
    data_[length_] = 0;
    return true;
  }

  char16_t* Release() {
    char16_t* data = data_;
    data_ = nullptr;
    return data;
  }

 private:
  RegistryPlatform& platform_;
  std::size_t length_ = 0;
  std::size_t capacity_ = 0;
  char16_t* data_ = nullptr;
};

}  // namespace

// ---------------------------------------------------------------- ScriptRun

ScriptRun::~ScriptRun() { ClearPairs(); }

HRESULT ScriptRun::QueryInterface(const void*, void**) { return E_NOTIMPL; }
unsigned long ScriptRun::AddRef() { return 1; }
unsigned long ScriptRun::Release() { return 0; }

HRESULT ScriptRun::AddPair(const char16_t* key, const char16_t* value) {
  if (!key || !value) return E_INVALIDARG;
  char16_t* keyCopy = CopyString(key);
  char16_t* valueCopy = CopyString(value);
  if (!keyCopy || !valueCopy) {
    std::free(keyCopy);
    std::free(valueCopy);
    return E_OUTOFMEMORY;
  }
  // Both arrays grow to exactly count + 1 slots.  If the second growth
  // fails the first array is merely larger than needed: the run itself is
  // unchanged.
  std::size_t slots = static_cast<std::size_t>(count_) + 1;
  auto* keys = static_cast<char16_t**>(std::realloc(keys_, slots * sizeof(char16_t*)));
  if (keys) keys_ = keys;
  auto* values = keys ? static_cast<char16_t**>(std::realloc(values_, slots * sizeof(char16_t*)))
                      : nullptr;
  if (values) values_ = values;
  if (!keys || !values) {
    std::free(keyCopy);
    std::free(valueCopy);
    return E_OUTOFMEMORY;
  }
  keys_[count_] = keyCopy;
  values_[count_] = valueCopy;
  ++count_;
  return S_OK;
}

HRESULT ScriptRun::ClearPairs() {
  for (int i = 0; i < count_; ++i) {
    std::free(keys_[i]);
    std::free(values_[i]);
  }
  std::free(keys_);
  std::free(values_);
  keys_ = nullptr;
  values_ = nullptr;
  count_ = 0;
  return S_OK;
}

const char16_t* ScriptRun::FindReplacement(const char16_t* name, RegistryPlatform& text) const {
  for (int i = 0; i < count_; ++i) {
    if (text.CompareNoCase(keys_[i], name) == 0) return values_[i];
  }
  return nullptr;
}

// ------------------------------------------------------------- text layer

const char16_t* ScriptParser::Step(const char16_t* p) {
  if (!*p) return p;
  const char16_t* next = platform_.NextChar(p);
  if (next <= p) return p + 1;
  // A character never extends over the terminator.
  for (const char16_t* q = p + 1; q < next; ++q) {
    if (!*q) return q;
  }
  return next;
}

HRESULT ScriptParser::ExpandReplacements(const char16_t* text, char16_t** out) {
  if (!text || !out) return E_POINTER;
  *out = nullptr;

  std::size_t length = Length(text);
  if (length > kMaxExpandedUnits) return E_OUTOFMEMORY;
  std::size_t capacity = 2 * length;
  if (capacity < 100) capacity = 1000;
  ExpansionBuffer expanded(platform_);
  if (!expanded.Init(capacity)) return E_OUTOFMEMORY;

  const char16_t* p = text;
  while (*p) {
    if (*p != u'%') {
      // Every unit of the character is kept, combining marks included.
      const char16_t* next = Step(p);
      if (!expanded.Append(p, static_cast<std::size_t>(next - p))) return E_OUTOFMEMORY;
      p = next;
      continue;
    }
    ++p;
    if (*p == u'%') {
      if (!expanded.Append(u"%", 1)) return E_OUTOFMEMORY;
      ++p;
      continue;
    }
    const char16_t* name = p;
    while (*p && *p != u'%') p = Step(p);
    if (!*p) return DISP_E_EXCEPTION;
    std::size_t nameLength = static_cast<std::size_t>(p - name);
    if (nameLength > kMaxReplacementName) return E_FAIL;
    char16_t nameBuffer[kMaxReplacementName + 1];
    std::memcpy(nameBuffer, name, nameLength * sizeof(char16_t));
    nameBuffer[nameLength] = 0;
    const char16_t* value = run_ ? run_->FindReplacement(nameBuffer, platform_) : nullptr;
    if (!value) return DISP_E_EXCEPTION;
    if (!expanded.Append(value, Length(value))) return E_OUTOFMEMORY;
    ++p;  // the closing percent sign
  }
  *out = expanded.Release();
  return S_OK;
}

void ScriptParser::SkipWhitespace() {
  while (cursor_ && IsWhitespace(*cursor_)) ++cursor_;
}

HRESULT ScriptParser::NextToken(char16_t* buffer) {
  std::size_t length = 0;
  return ScanToken(buffer, kTokenBufferUnits, false, &length);
}

HRESULT ScriptParser::ScanToken(char16_t* buffer, std::size_t capacity, bool cut,
                                std::size_t* length) {
  SkipWhitespace();
  tokenStart_ = tokenEnd_ = cursor_;
  if (!cursor_ || !*cursor_) {
    fatal_ = true;
    return DISP_E_EXCEPTION;
  }

  std::size_t stored = 0;
  std::size_t total = 0;
  bool full = false;
  // Takes the character at the cursor and steps past it.  At most
  // capacity - 2 units are stored; a character of several units must fit
  // whole with the terminator.  Once one character did not fit, no later
  // one is stored either.
  auto take = [&]() -> bool {
    const char16_t* next = Step(cursor_);
    std::size_t units = static_cast<std::size_t>(next - cursor_);
    if (full || stored + 2 >= capacity || stored + units + 1 > capacity) {
      if (!cut) return false;
      full = true;
    } else {
      std::memcpy(buffer + stored, cursor_, units * sizeof(char16_t));
      stored += units;
    }
    total += units;
    cursor_ = next;
    return true;
  };
  auto fail = [&]() {
    tokenEnd_ = cursor_;
    return DISP_E_EXCEPTION;
  };

  if (*cursor_ != u'\'') {
    while (*cursor_ && !IsWhitespace(*cursor_)) {
      if (!take()) return fail();
    }
  } else {
    ++cursor_;
    while (*cursor_) {
      if (*cursor_ == u'\'') {
        if (cursor_[1] != u'\'') break;  // the closing apostrophe
        ++cursor_;                       // first of a doubled pair
      }
      if (!take()) return fail();
    }
    if (!*cursor_) {
      fatal_ = true;
      return fail();
    }
    ++cursor_;
  }
  buffer[stored] = 0;
  *length = total;
  tokenEnd_ = cursor_;
  return S_OK;
}

const char16_t* ScriptParser::OriginalPosition(const char16_t* original, std::size_t offset) {
  std::size_t produced = 0;
  const char16_t* p = original;
  while (*p) {
    if (*p != u'%') {
      const char16_t* next = Step(p);
      std::size_t units = static_cast<std::size_t>(next - p);
      if (offset < produced + units) return p;
      produced += units;
      p = next;
      continue;
    }
    const char16_t* percent = p++;
    if (*p == u'%') {
      if (offset < produced + 1) return percent;
      ++produced;
      ++p;
      continue;
    }
    const char16_t* name = p;
    while (*p && *p != u'%') p = Step(p);
    std::size_t nameLength = static_cast<std::size_t>(p - name);
    if (!*p || nameLength > kMaxReplacementName) return percent;
    char16_t nameBuffer[kMaxReplacementName + 1];
    std::memcpy(nameBuffer, name, nameLength * sizeof(char16_t));
    nameBuffer[nameLength] = 0;
    const char16_t* value = run_ ? run_->FindReplacement(nameBuffer, platform_) : nullptr;
    if (!value) return percent;
    std::size_t units = Length(value);
    if (offset < produced + units) return percent;
    produced += units;
    ++p;
  }
  return p;
}

void ScriptParser::Locate(const char16_t* original, const char16_t* expanded) {
  location_ = ScriptLocation();
  const char16_t* at = nullptr;
  const char16_t* tokenFrom = nullptr;
  const char16_t* tokenTo = nullptr;
  if (!expanded) {
    // The replacement that does not expand: from its '%' to the closing one.
    at = OriginalPosition(original, static_cast<std::size_t>(-1));
    if (!*at) return;
    tokenFrom = at;
    tokenTo = at + 1;
    while (*tokenTo && *tokenTo != u'%') tokenTo = Step(tokenTo);
    if (*tokenTo) ++tokenTo;
  } else {
    if (!tokenStart_) return;
    at = OriginalPosition(original, static_cast<std::size_t>(tokenStart_ - expanded));
    tokenFrom = tokenStart_;
    tokenTo = tokenEnd_;
    location_.atEnd = !*tokenStart_;
  }

  location_.known = true;
  location_.line = 1;
  location_.column = 1;
  for (const char16_t* p = original; p < at; p = Step(p)) {
    if (*p == u'\n') {
      ++location_.line;
      location_.column = 1;
    } else {
      ++location_.column;
    }
  }
  std::size_t units = static_cast<std::size_t>(tokenTo - tokenFrom);
  location_.tokenCut = units > ScriptLocation::kTokenUnits;
  if (location_.tokenCut) units = ScriptLocation::kTokenUnits;
  std::memcpy(location_.token, tokenFrom, units * sizeof(char16_t));
  location_.token[units] = 0;
}

// ------------------------------------------------------- portable text

namespace portable_text {

namespace {
char16_t Fold(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  return c;
}
}  // namespace

int CompareNoCase(const char16_t* a, const char16_t* b) {
  for (;; ++a, ++b) {
    char16_t x = Fold(*a);
    char16_t y = Fold(*b);
    if (x != y) return x < y ? -1 : 1;
    if (!x) return 0;
  }
}

const char16_t* NextChar(const char16_t* p) {
  if (!*p) return p;
  if (p[0] >= 0xD800 && p[0] <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) return p + 2;
  return p + 1;
}

HRESULT ParseUInt32(const char16_t* text, uint32_t* out) {
  if (!text || !*text) return DISP_E_TYPEMISMATCH;
  uint64_t value = 0;
  bool overflow = false;
  for (const char16_t* p = text; *p; ++p) {
    if (*p < u'0' || *p > u'9') return DISP_E_TYPEMISMATCH;
    value = value * 10 + static_cast<uint64_t>(*p - u'0');
    if (value > 0xFFFFFFFFull) {
      overflow = true;
      value = 0xFFFFFFFFull + 1;  // stays large without wrapping
    }
  }
  if (overflow) return DISP_E_OVERFLOW;
  *out = static_cast<uint32_t>(value);
  return S_OK;
}

}  // namespace portable_text

}  // namespace tamsorel
