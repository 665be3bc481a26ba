// Metadata serialisation and restore.
//   - A tag restored from any text serialises to a text that restores to the
//     same tag (restore reaches a fixed point after one round).
//   - A set built from any tags serialises to the documented text: the count,
//     then per tag in key order a type line and the tag's four lines; when no
//     field holds a line feed the text reads back into the same tags.
//   - Value lookup of a key that is not stored raises MetadataKeyError.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "framework/metadata.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void RestoreReachesAFixedPoint(const std::string& text) {
  MetadataSingleTag first;
  Check(first.Restore(text.c_str()));
  const std::string serialised = first.Serialize();
  MetadataSingleTag second;
  Check(second.Restore(serialised.c_str()));
  Check(second.GetName() == first.GetName());
  Check(second.GetDevice() == first.GetDevice());
  Check(second.IsReadOnly() == first.IsReadOnly());
  Check(second.GetValue() == first.GetValue());
  Check(second.Serialize() == serialised);
  std::unique_ptr<MetadataTag> clone(second.Clone());
  Check(clone->Serialize() == serialised);
}

struct Fields {
  std::string name, label, value;
};

// Texts reach the set as C strings, so a zero byte would end them early.
std::string Text(FuzzedDataProvider& data, size_t maxLength) {
  std::string text = data.ConsumeRandomLengthString(maxLength);
  text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
  return text;
}

bool HasLineFeed(const Fields& f) {
  return (f.name + f.label + f.value).find('\n') != std::string::npos;
}

void SetRoundTrip(FuzzedDataProvider& data) {
  MetadataSet set;
  std::map<std::string, Fields> model;  // what the set must hold, by key
  bool lineFeeds = false;
  const int operations = data.ConsumeIntegralInRange<int>(0, 12);
  for (int i = 0; i < operations; ++i) {
    Fields f;
    f.name = Text(data, 24);
    f.label = data.ConsumeBool() ? "_" : Text(data, 8);
    f.value = Text(data, 48);
    const std::string key = f.label == "_" ? f.name : f.label + "-" + f.name;
    if (data.ConsumeIntegralInRange<int>(0, 3) == 0) {
      set.RemoveTag(key.c_str());
      model.erase(key);
      continue;
    }
    set.PutTag(f.name.c_str(), f.label.c_str(), f.value.c_str());
    model[key] = f;
  }
  for (const auto& entry : model) lineFeeds = lineFeeds || HasLineFeed(entry.second);

  Check(set.Size() == model.size());
  std::vector<std::string> keys = set.GetKeys();
  Check(keys.size() == model.size());
  size_t i = 0;
  for (const auto& entry : model) {
    Check(keys[i++] == entry.first);
    Check(set.GetValue(entry.first.c_str()) == entry.second.value);
  }
  const std::string missing = Text(data, 16);
  if (model.count(missing) == 0) {
    bool raised = false;
    try {
      set.GetValue(missing.c_str());
    } catch (const MetadataKeyError& error) {
      raised = error.GetMessage() == "Undefined metadata key";
    }
    Check(raised);
  }

  const std::string text = set.Serialize();
  Check(!text.empty() && text.back() == '\n');
  if (lineFeeds) return;  // values are not escaped: the lines no longer match
  std::istringstream stream(text);
  std::string line;
  std::getline(stream, line);
  Check(line == std::to_string(model.size()));
  for (const auto& entry : model) {
    std::getline(stream, line);
    Check(line == "s");
    MetadataSingleTag tag;
    Check(tag.Restore(stream));
    Check(tag.GetName() == entry.second.name);
    Check(tag.GetDevice() == entry.second.label);
    Check(tag.IsReadOnly());
    Check(tag.GetValue() == entry.second.value);
    Check(tag.GetQualifiedName() == entry.first);
  }
  Check(!std::getline(stream, line));

  MetadataSet copy(set);
  Check(copy.Serialize() == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  if (data.ConsumeBool()) {
    RestoreReachesAFixedPoint(data.ConsumeRemainingBytesAsString());
  } else {
    SetRoundTrip(data);
  }
  return 0;
}
