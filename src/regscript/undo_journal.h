// What a register-mode root block has changed so far, kept so that a block
// that fails can be undone exactly: each key the walker created, each value
// it created or overwrote (with the previous type and data) and each key a
// ForceRemove or Delete took away (with its values).  Undo restores those,
// newest first, and touches nothing else.
//
// Keys are named by nodes: each node is one key name below its parent node,
// and node 0 is the root key of the block.  A node holds one name, so the
// journal grows with the script and with what the block removed, never with
// the depth of the paths.
//
// Changes are journaled in two steps so that a change is never made without
// its record: Prepare* builds the record (the only step that allocates; it
// fails with E_OUTOFMEMORY and changes nothing), the caller changes the
// registry, and Commit keeps the record only when the change was made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/hresult.h"
#include "regscript/registry_platform.h"

namespace tamsorel {

class UndoJournal {
 public:
  using Node = std::size_t;
  static constexpr Node kRootNode = 0;

  struct SavedValue {
    std::u16string name;  // empty for the default value
    uint32_t type = 0;
    std::vector<uint8_t> data;
  };

  enum class Kind { KeyCreated, ValueWritten, KeyDeleted };

  struct Step {
    Kind kind = Kind::KeyCreated;
    Node node = kRootNode;
    bool hadValue = false;           // ValueWritten: a value of that name existed
    SavedValue value;                // ValueWritten: its name, previous type and data
    std::vector<SavedValue> values;  // KeyDeleted: every value the key had
  };

  // Starts the journal of a root block over `root`.  E_OUTOFMEMORY.
  HRESULT Begin(RegKey root);
  // Drops every record (after a block that completed).
  void Clear();

  // The node for the key `name` below `parent`.  E_OUTOFMEMORY.
  HRESULT AddNode(Node parent, const char16_t* name, Node* node);

  // A record that the key of `node` was created.
  HRESULT PrepareKeyCreated(Node node, Step* step);
  // A record of the value `name` (null: the default value) of the open key
  // `key` (at `node`) as it is now, before it is written.  A failure to read
  // it is returned as the HRESULT of the registry's error.
  HRESULT PrepareValueWrite(RegistryPlatform& platform, RegKey key, Node node,
                            const char16_t* name, Step* step);
  // A record of the open key `key` (at `node`) with all its values, before
  // it is deleted.
  HRESULT PrepareKeyDeletion(RegistryPlatform& platform, RegKey key, Node node, Step* step);

  // Keeps a prepared record once its change has been made; never fails.
  void Commit(Step&& step);

  // Undoes every kept record, newest first, and empties the journal.  A step
  // that fails does not stop the others.  Returns the number of steps that
  // could not be undone.
  int Undo(RegistryPlatform& platform);

  std::size_t StepCount() const { return steps_.size(); }

 private:
  struct NodeEntry {
    Node parent;
    std::u16string name;
  };

  // Makes room for one more record, so that Commit cannot fail.
  HRESULT Reserve();
  // "A\\B\\C": the path of `node` below the root.
  bool PathOf(Node node, std::u16string* path) const;
  bool UndoStep(RegistryPlatform& platform, const Step& step);

  RegKey root_ = 0;
  std::vector<NodeEntry> nodes_;
  std::vector<Step> steps_;
};

}  // namespace tamsorel
