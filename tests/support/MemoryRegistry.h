// An in-memory registry for the port scan, following the Win32 buffer rules: keys are found
// ignoring letter case, values and subkeys enumerate in the order they were added, and open
// handles are tracked so that tests can check every key gets closed. Shared by the scan's tests
// and the root-listing benchmark.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/PortDiscovery.h"

inline std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

class TMemoryRegistry : public platform::IRegistryAccess {
 public:
  struct TValue {
    std::string Name;
    uint32_t Type;
    std::string Data;
  };
  struct TNode {
    std::string Name;
    std::vector<TValue> Values;
    std::vector<std::unique_ptr<TNode>> Children;
    // Children by lower-case name, so that a lookup costs what it costs in the real registry,
    // not a walk over every sibling (the root-listing benchmark has thousands).
    std::map<std::string, TNode*> ByName;
  };

  void SetRaw(const std::string& Path, const std::string& Name, uint32_t Type,
              const std::string& Data) {
    TNode& node = Create(Path);
    for (TValue& v : node.Values)
      if (Lower(v.Name) == Lower(Name)) {
        v = {Name, Type, Data};
        return;
      }
    node.Values.push_back({Name, Type, Data});
  }
  void SetString(const std::string& Path, const std::string& Name, const std::string& Text,
                 uint32_t Type = platform::kRegSz) {
    SetRaw(Path, Name, Type, Text + std::string(1, '\0'));
  }
  void SetMultiString(const std::string& Path, const std::string& Name,
                      const std::vector<std::string>& Texts) {
    std::string data;
    for (const std::string& t : Texts) data += t + std::string(1, '\0');
    SetRaw(Path, Name, platform::kRegMultiSz, data + std::string(1, '\0'));
  }
  TNode& Create(const std::string& Path) {
    TNode* node = &Root;
    for (const std::string& part : Split(Path)) {
      TNode* next = Child(*node, part);
      if (!next) {
        node->Children.push_back(std::make_unique<TNode>());
        next = node->Children.back().get();
        next->Name = part;
        node->ByName[Lower(part)] = next;
        Found.clear();  // a path missing so far may lead somewhere now
      }
      node = next;
    }
    return *node;
  }
  // A key that exists but refuses to open.
  void Deny(const std::string& Path) { Denied.insert(Lower(Path)); }

  platform::TRegKey OpenKey(const std::string& Path) override {
    ++Opens;
    const std::string lower = Lower(Path);
    if (Denied.count(lower)) return 0;
    auto found = Found.find(lower);
    if (found == Found.end()) found = Found.emplace(lower, Walk(Path)).first;
    TNode* const node = found->second;
    if (!node) return 0;
    const platform::TRegKey key = NextKey++;
    OpenKeys[key] = node;
    PeakOpen = std::max(PeakOpen, OpenKeys.size());
    return key;
  }
  int32_t EnumValue(platform::TRegKey Key, uint32_t Index, char* Name, uint32_t& NameLength,
                    uint32_t& Type, uint8_t* Data, uint32_t& DataSize) override {
    TNode* node = Node(Key);
    if (!node) return 6;  // ERROR_INVALID_HANDLE
    if (Index >= node->Values.size()) return platform::kRegNoMoreItems;
    const TValue& v = node->Values[Index];
    if (v.Name.size() + 1 > NameLength || v.Data.size() > DataSize) return platform::kRegMoreData;
    std::memcpy(Name, v.Name.c_str(), v.Name.size() + 1);
    NameLength = static_cast<uint32_t>(v.Name.size());
    std::memcpy(Data, v.Data.data(), v.Data.size());
    DataSize = static_cast<uint32_t>(v.Data.size());
    Type = v.Type;
    return platform::kRegSuccess;
  }
  int32_t EnumKey(platform::TRegKey Key, uint32_t Index, char* Name,
                  uint32_t& NameLength) override {
    TNode* node = Node(Key);
    if (!node) return 6;
    if (Index >= node->Children.size()) return platform::kRegNoMoreItems;
    const std::string& name = node->Children[Index]->Name;
    if (name.size() + 1 > NameLength) return platform::kRegMoreData;
    std::memcpy(Name, name.c_str(), name.size() + 1);
    NameLength = static_cast<uint32_t>(name.size());
    return platform::kRegSuccess;
  }
  int32_t QueryValue(platform::TRegKey Key, const std::string& ValueName, uint32_t& Type,
                     uint8_t* Data, uint32_t& DataSize) override {
    TNode* node = Node(Key);
    if (!node) return 6;
    for (const TValue& v : node->Values) {
      if (Lower(v.Name) != Lower(ValueName)) continue;
      Type = v.Type;
      const uint32_t size = static_cast<uint32_t>(v.Data.size());
      if (Data && size > DataSize) {
        DataSize = size;
        return platform::kRegMoreData;
      }
      if (Data) std::memcpy(Data, v.Data.data(), size);
      DataSize = size;
      return platform::kRegSuccess;
    }
    return platform::kRegFileNotFound;
  }
  void CloseKey(platform::TRegKey Key) override {
    if (OpenKeys.erase(Key) == 0) ++BadCloses;
  }

  TNode Root;
  std::set<std::string> Denied;
  std::map<platform::TRegKey, TNode*> OpenKeys;
  size_t PeakOpen = 0;
  size_t Opens = 0;
  int BadCloses = 0;

 private:
  static std::vector<std::string> Split(const std::string& Path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= Path.size()) {
      size_t end = Path.find('\\', start);
      if (end == std::string::npos) end = Path.size();
      if (end > start) parts.push_back(Path.substr(start, end - start));
      start = end + 1;
    }
    return parts;
  }
  TNode* Walk(const std::string& Path) {
    TNode* node = &Root;
    for (const std::string& part : Split(Path)) {
      node = Child(*node, part);
      if (!node) return nullptr;
    }
    return node;
  }
  static TNode* Child(TNode& Node, const std::string& Name) {
    auto it = Node.ByName.find(Lower(Name));
    return it == Node.ByName.end() ? nullptr : it->second;
  }
  TNode* Node(platform::TRegKey Key) {
    auto it = OpenKeys.find(Key);
    return it == OpenKeys.end() ? nullptr : it->second;
  }
  platform::TRegKey NextKey = 0x100;
  // Keys opened before, by lower-case path (nullptr: not there), as a scan opens the same paths
  // again and again; cleared when a key is added.
  std::unordered_map<std::string, TNode*> Found;
};
