#include "regscript/undo_journal.h"

#include <algorithm>
#include <new>
#include <utility>

namespace tamsorel {

namespace {

// Longest value name the registry allows, terminator included.
constexpr uint32_t kValueNameUnits = 16384;
// A value that keeps growing between the size query and the read is given
// up on after this many tries.
constexpr int kReadAttempts = 4;

// Reads the value `name` of `key`; *exists false when there is none.
HRESULT ReadValue(RegistryPlatform& platform, RegKey key, const char16_t* name,
                  UndoJournal::SavedValue* out, bool* exists) {
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    uint32_t type = 0;
    uint32_t size = 0;
    long error = platform.QueryValue(key, name, &type, nullptr, &size);
    if (error == kErrorFileNotFound) {
      *exists = false;
      return S_OK;
    }
    if (error != kErrorSuccess) return HResultFromWin32(error);
    out->data.resize(std::max<uint32_t>(size, 1));
    uint32_t read = size;
    error = platform.QueryValue(key, name, &type, out->data.data(), &read);
    if (error == kErrorMoreData) continue;
    if (error != kErrorSuccess) return HResultFromWin32(error);
    out->data.resize(read);
    out->type = type;
    *exists = true;
    return S_OK;
  }
  return HResultFromWin32(kErrorMoreData);
}

}  // namespace

HRESULT UndoJournal::Begin(RegKey root) {
  Clear();
  root_ = root;
  try {
    nodes_.push_back(NodeEntry{kRootNode, std::u16string()});
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

void UndoJournal::Clear() {
  nodes_.clear();
  steps_.clear();
}

HRESULT UndoJournal::AddNode(Node parent, const char16_t* name, Node* node) {
  try {
    nodes_.push_back(NodeEntry{parent, std::u16string(name)});
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  *node = nodes_.size() - 1;
  return S_OK;
}

HRESULT UndoJournal::Reserve() {
  if (steps_.size() < steps_.capacity()) return S_OK;
  try {
    steps_.reserve(steps_.empty() ? 16 : steps_.size() * 2);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT UndoJournal::PrepareKeyCreated(Node node, Step* step) {
  step->kind = Kind::KeyCreated;
  step->node = node;
  return Reserve();
}

HRESULT UndoJournal::PrepareValueWrite(RegistryPlatform& platform, RegKey key, Node node,
                                       const char16_t* name, Step* step) {
  step->kind = Kind::ValueWritten;
  step->node = node;
  try {
    step->value.name = name ? name : u"";
    HRESULT hr = ReadValue(platform, key, name, &step->value, &step->hadValue);
    if (FAILED(hr)) return hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  return Reserve();
}

HRESULT UndoJournal::PrepareKeyDeletion(RegistryPlatform& platform, RegKey key, Node node,
                                        Step* step) {
  step->kind = Kind::KeyDeleted;
  step->node = node;
  try {
    std::u16string name(kValueNameUnits, u'\0');
    for (uint32_t index = 0;; ++index) {
      uint32_t nameSize = kValueNameUnits;
      uint32_t type = 0;
      uint32_t size = 0;
      long error = platform.EnumValue(key, index, &name[0], &nameSize, &type, nullptr, &size);
      if (error == kErrorNoMoreItems) break;
      if (error != kErrorSuccess) return HResultFromWin32(error);
      SavedValue value;
      value.data.resize(std::max<uint32_t>(size, 1));
      uint32_t read = size;
      nameSize = kValueNameUnits;
      error = platform.EnumValue(key, index, &name[0], &nameSize, &type, value.data.data(), &read);
      if (error != kErrorSuccess) return HResultFromWin32(error);
      value.name.assign(name.data(), nameSize);
      value.type = type;
      value.data.resize(read);
      step->values.push_back(std::move(value));
    }
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  return Reserve();
}

void UndoJournal::Commit(Step&& step) {
  // Reserve() made room, and moving a step moves its strings and vectors
  // without allocating.
  steps_.push_back(std::move(step));
}

bool UndoJournal::PathOf(Node node, std::u16string* path) const {
  try {
    path->clear();
    for (Node n = node; n != kRootNode; n = nodes_[n].parent) {
      if (!path->empty()) path->insert(0, 1, u'\\');
      path->insert(0, nodes_[n].name);
    }
  } catch (...) {
    return false;
  }
  return true;
}

bool UndoJournal::UndoStep(RegistryPlatform& platform, const Step& step) {
  std::u16string path;
  if (!PathOf(step.node, &path)) return false;
  switch (step.kind) {
    case Kind::KeyCreated:
      return platform.DeleteKey(root_, path.c_str()) == kErrorSuccess;

    case Kind::ValueWritten: {
      RegKey opened = 0;
      if (platform.OpenKey(root_, path.c_str(), kKeyWrite, &opened) != kErrorSuccess) return false;
      RegKeyHolder key(platform);
      key.Reset(opened);
      const SavedValue& value = step.value;
      if (step.hadValue) {
        return platform.SetValue(opened, value.name.c_str(), value.type, value.data.data(),
                                 static_cast<uint32_t>(value.data.size())) == kErrorSuccess;
      }
      long error = platform.DeleteValue(opened, value.name.c_str());
      return error == kErrorSuccess || error == kErrorFileNotFound;
    }

    case Kind::KeyDeleted: {
      RegKey created = 0;
      if (platform.CreateKey(root_, path.c_str(), &created, nullptr) != kErrorSuccess) return false;
      RegKeyHolder key(platform);
      key.Reset(created);
      bool restored = true;
      for (const SavedValue& value : step.values) {
        if (platform.SetValue(created, value.name.c_str(), value.type, value.data.data(),
                              static_cast<uint32_t>(value.data.size())) != kErrorSuccess) {
          restored = false;
        }
      }
      return restored;
    }
  }
  return false;
}

int UndoJournal::Undo(RegistryPlatform& platform) {
  int failed = 0;
  for (std::size_t i = steps_.size(); i-- > 0;) {
    if (!UndoStep(platform, steps_[i])) ++failed;
  }
  Clear();
  return failed;
}

}  // namespace tamsorel
