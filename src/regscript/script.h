// Registry-script interpreter: replacement pairs (ScriptRun), the text layer
// (expansion of %NAME% sequences, tokenizer) and the walker that applies a
// script to the registry in register or unregister mode (ScriptParser).
//
// Typical use, from the registration code:
//
//   tamsorel::Win32Registry registry;           // or MemoryRegistry natively
//   tamsorel::ScriptRun run;
//   HRESULT hr = run.AddPair(u"APPID", u"{C2E79123-B1D3-4352-BDA8-75FC0DFDF96F}");
//   if (SUCCEEDED(hr)) hr = run.AddPair(u"Module", doubledPath);
//   ...
//   tamsorel::ScriptParser parser(registry, &run);
//   if (SUCCEEDED(hr)) hr = parser.RunScript(wideText, /*registerMode=*/true);
//
// `wideText` is the NUL-terminated UTF-16 script.  The run keeps its pairs
// until it is destroyed or ClearPairs is called and can serve several
// RunScript calls.  Results: S_OK, DISP_E_EXCEPTION for every syntax error,
// E_FAIL for an over-long replacement name or an odd binary value,
// E_OUTOFMEMORY, or the HRESULT of a failing registry operation.  After a
// failure, parser.FailureLocation() tells where in `wideText` the run
// stopped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/hresult.h"
#include "regscript/registry_platform.h"
#include "regscript/undo_journal.h"

namespace tamsorel {

// Every token is read into a buffer of this many UTF-16 units: at most 4094
// units of text plus the terminator.
constexpr std::size_t kTokenBufferUnits = 4096;
// Longest replacement name between two percent signs.
constexpr std::size_t kMaxReplacementName = 31;
// Longest value name of a "Val" item, and longest key name kept for deletion.
constexpr std::size_t kMaxNameUnits = 259;
// Subkey names read back while deleting a tree.
constexpr std::size_t kSubkeyNameUnits = 256;
// Deepest nesting of key blocks (the root block is level 1).  Each level is
// one recursive call, so a hostile script must not choose the depth.
constexpr int kMaxBlockDepth = 64;

struct RootKeyEntry {
  const char16_t* name;
  uint32_t handleValue;  // 0x80000000.. ; see PredefinedKey
};

// Root names in search order.  "HKDD" and "HKCC" are not in handle order.
extern const RootKeyEntry RootKeyTable[14];
// Key names that ForceRemove and Delete never remove.
extern const char16_t* const ProtectedKeyNames[12];

// The value types a script can write, in lookup order.
struct ValueTypeEntry {
  const char16_t* letter;
  uint32_t registryType;
};
extern const ValueTypeEntry ValueTypeTable[4];

// The replacement pairs of one run.  Keys need not be unique; lookups find
// the earliest pair.  Not reference-counted: the creator owns it for one
// scope.  The first three operations keep the shape of an IUnknown without
// its behaviour.
class ScriptRun {
 public:
  ScriptRun() = default;
  virtual ~ScriptRun();
  ScriptRun(const ScriptRun&) = delete;
  ScriptRun& operator=(const ScriptRun&) = delete;

  virtual HRESULT QueryInterface(const void* iid, void** object);  // E_NOTIMPL, writes nothing
  virtual unsigned long AddRef();                                 // 1, counts nothing
  virtual unsigned long Release();                                // 0, frees nothing

  // Copies both strings.  E_INVALIDARG for a null key or value,
  // E_OUTOFMEMORY (run unchanged) when a copy or the growth fails.
  virtual HRESULT AddPair(const char16_t* key, const char16_t* value);
  // Frees every pair; S_OK.
  virtual HRESULT ClearPairs();

  // The value of the first pair whose key equals `name` case-insensitively
  // (compared with `text.CompareNoCase`), or null.
  const char16_t* FindReplacement(const char16_t* name, RegistryPlatform& text) const;

  int Count() const { return count_; }
  const char16_t* KeyAt(int i) const { return keys_[i]; }
  const char16_t* ValueAt(int i) const { return values_[i]; }

 private:
  char16_t** keys_ = nullptr;
  char16_t** values_ = nullptr;
  int count_ = 0;
};

// Writes `source` into `destination` with every apostrophe written twice, as
// a replacement value must be to stand inside a quoted string of a script
// ('C:\Bob''s Tools\Tamsorel.dll'): the value can then neither end the
// string nor add items of its own.  `destination` holds
// 2 * length(source) + 1 units.  Returns the units written, terminator
// excluded.
std::size_t DoubleApostrophes(char16_t* destination, const char16_t* source);

// Where a failed run stopped, in the text given to RunScript: the token the
// walker had read when the failure showed (for a failing removal, the name
// of the key or value), or the replacement that could not be expanded.  A
// token that came from a replacement is placed at the replacement's '%'.
struct ScriptLocation {
  static constexpr std::size_t kTokenUnits = 64;

  bool known = false;    // false after success, or for a failure with no place
                         // in the text (out of memory before the walk)
  bool atEnd = false;    // the text ended where more was needed
  uint32_t line = 0;     // 1-based; lines end at LF
  uint32_t column = 0;   // 1-based, in characters (a surrogate pair is one)
  // The token as written, quotes included, cut to kTokenUnits units.
  char16_t token[kTokenUnits + 1] = {};
  bool tokenCut = false;
};

// One run of the interpreter over one text.  Owns nothing: the platform and
// the run belong to the caller and must outlive the parser.
class ScriptParser {
 public:
  ScriptParser(RegistryPlatform& platform, ScriptRun* run) : platform_(platform), run_(run) {}

  // Expands the text, then walks its root blocks.  Register mode creates
  // keys and writes values (after removing ForceRemove/Delete subtrees); a
  // root block that fails is undone exactly, and the blocks before it stay
  // written.  Unregister mode removes what the script names except NoRemove
  // items; below a key that does not exist nothing is touched and a failure
  // there is passed over up to the end of that key's block.
  HRESULT RunScript(const char16_t* text, bool registerMode);

  // --- After a run ---

  // Where the last run failed (see ScriptLocation).
  const ScriptLocation& FailureLocation() const { return location_; }
  // After a failed register run: the expanded text up to this many units
  // holds the root blocks that completed and stay written.
  std::size_t CompletedTextUnits() const { return completedUnits_; }
  // Steps of the last undo that could not be carried out (0 when the failed
  // root block was restored exactly, or nothing had to be undone).
  int UndoFailures() const { return undoFailures_; }

  // --- Text layer ---

  // Replaces every %NAME% by the value of its pair ("%%" gives "%").  On
  // success *out is a block from platform.Alloc that the caller releases
  // with platform.Free.
  HRESULT ExpandReplacements(const char16_t* text, char16_t** out);
  // Steps over TAB, LF, CR and space.
  void SkipWhitespace();
  // Reads the next token into `buffer` (kTokenBufferUnits units).
  HRESULT NextToken(char16_t* buffer);
  // Passes over the rest of a block whose opening brace has been read, up to
  // and including its matching closing brace, reading the items as
  // unregister mode does but accepting anything between the braces.  Nested
  // blocks are counted, not recursed into.  DISP_E_EXCEPTION when the text
  // ends first.
  HRESULT SkipBlock();

  const char16_t* Cursor() const { return cursor_; }
  void SetCursor(const char16_t* cursor) { cursor_ = cursor; }

  // --- Walker steps ---

  // Walks the items of one block after its opening brace, up to and
  // including its closing brace.  `key` is the block's key, `absent` marks
  // (in unregister mode) a block whose key does not exist, `depth` is the
  // nesting level of this block and `node` (in register mode) the block's
  // key in the undo journal.
  HRESULT WalkKeyBlock(char16_t* buffer, RegKey key, bool registerMode, bool absent, int depth,
                       UndoJournal::Node node = UndoJournal::kRootNode);
  // Reads "type value" after an assignment and writes the value (name null
  // for the default value) into `key` (journal node `node`), then reads the
  // next token into `buffer`.
  HRESULT WriteValue(RegKey key, UndoJournal::Node node, const char16_t* valueName,
                     char16_t* buffer);
  // Passes over "= type value" when `buffer` holds an assignment.
  HRESULT SkipValueAssignment(char16_t* buffer);
  // Deletes parent\name and its whole subtree, journaling each key it
  // deletes with its values under `parentNode`; a Win32 error code.  A key
  // whose values cannot be read for the journal is not deleted.
  long DeleteKeyTree(RegKey parent, UndoJournal::Node parentNode, const char16_t* name);
  // The name of parent's subkey `name` as the registry spells it (found by
  // enumeration into `spelled`, kSubkeyNameUnits units), or `name` itself
  // when there is no such subkey.
  const char16_t* SpelledKeyName(RegKey parent, const char16_t* name, char16_t* spelled);
  // False for the names in ProtectedKeyNames.
  bool IsDeletableKeyName(const char16_t* name);
  // "0"-"9", "A"-"F", "a"-"f" give 0..15; anything else 0.
  static unsigned HexDigitValue(char16_t c);

 private:
  HRESULT WalkRegisterKeyItem(char16_t* buffer, RegKey parent, UndoJournal::Node parentNode,
                              RegKeyHolder* current, int depth);
  HRESULT WalkUnregisterKeyItem(char16_t* buffer, RegKey parent, RegKeyHolder* current, bool absent,
                                bool mayDelete, int depth);
  HRESULT WalkValueItem(char16_t* buffer, RegKey parent, UndoJournal::Node node,
                        bool registerMode, bool absent, bool mayDelete);
  bool Equals(const char16_t* a, const char16_t* b) { return platform_.CompareNoCase(a, b) == 0; }
  // The character after `p`, never past the terminator and always at least
  // one unit forward unless `p` is at the terminator.
  const char16_t* Step(const char16_t* p);
  // Reads the next token, storing at most `capacity` - 2 units of it in
  // `buffer`.  `cut` false: a longer token fails; true: the rest is passed
  // over and *length still counts every unit.  Notes where the token lies.
  HRESULT ScanToken(char16_t* buffer, std::size_t capacity, bool cut, std::size_t* length);
  // Fills location_ for a failure; `original` is the text given to RunScript
  // and `expanded` its expansion (null when the expansion failed).
  void Locate(const char16_t* original, const char16_t* expanded);
  // Follows the expansion of `original` up to the unit at `offset` of the
  // expanded text and returns where that unit comes from: the character
  // itself, or the '%' of the replacement it belongs to.  Stops earlier at
  // the '%' where expansion fails, and returns the terminator when the
  // expansion is shorter.
  const char16_t* OriginalPosition(const char16_t* original, std::size_t offset);
  // Walks the root blocks of the expanded text.
  HRESULT WalkRootBlocks(const char16_t* expanded, bool registerMode);

  RegistryPlatform& platform_;
  ScriptRun* run_;
  const char16_t* cursor_ = nullptr;
  // The span of the token read last, in the expanded text.
  const char16_t* tokenStart_ = nullptr;
  const char16_t* tokenEnd_ = nullptr;
  // A failure no skipping can pass over: the text ended, or blocks nest
  // deeper than kMaxBlockDepth.
  bool fatal_ = false;
  UndoJournal journal_;
  ScriptLocation location_;
  std::size_t completedUnits_ = 0;
  int undoFailures_ = 0;
};

}  // namespace tamsorel
