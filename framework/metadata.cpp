#include "framework/metadata.h"

#include <cstdlib>
#include <istream>
#include <sstream>

namespace {

std::string ReadLine(std::istream& stream) {
  std::string line;
  std::getline(stream, line);
  return line;
}

}  // namespace

// ---- MetadataTag ----------------------------------------------------------------

MetadataTag::MetadataTag(const char* name, const char* deviceLabel, bool readOnly)
    : name_(name ? name : ""), deviceLabel_(deviceLabel ? deviceLabel : ""), readOnly_(readOnly) {}

std::string MetadataTag::GetQualifiedName() const {
  if (deviceLabel_ == "_") return name_;
  return deviceLabel_ + "-" + name_;
}

// ---- MetadataSingleTag ----------------------------------------------------------

MetadataTag* MetadataSingleTag::Clone() const {
  return new MetadataSingleTag(*this);
}

std::string MetadataSingleTag::Serialize() const {
  std::string text;
  text.reserve(name_.size() + deviceLabel_.size() + value_.size() + 6);
  text += name_;
  text += '\n';
  text += deviceLabel_;
  text += '\n';
  text += readOnly_ ? "1" : "0";
  text += '\n';
  text += value_;
  text += '\n';
  return text;
}

bool MetadataSingleTag::Restore(const char* text) {
  std::istringstream stream(text ? text : "");
  return Restore(stream);
}

bool MetadataSingleTag::Restore(std::istream& stream) {
  name_ = ReadLine(stream);
  deviceLabel_ = ReadLine(stream);
  readOnly_ = std::strtol(ReadLine(stream).c_str(), nullptr, 10) != 0;
  value_ = ReadLine(stream);
  return true;
}

// ---- MetadataSet ----------------------------------------------------------------

MetadataSet::MetadataSet(const MetadataSet& other) {
  for (const auto& entry : other.tags_) tags_.emplace(entry.first, entry.second->Clone());
}

MetadataSet& MetadataSet::operator=(const MetadataSet& other) {
  if (this != &other) {
    MetadataSet copy(other);
    tags_ = std::move(copy.tags_);
  }
  return *this;
}

void MetadataSet::PutTag(const char* name, const char* deviceLabel, const char* value) {
  MetadataSingleTag tag(name, deviceLabel, true);
  tag.SetValue(value);
  SetTag(tag);
}

void MetadataSet::SetTag(const MetadataTag& tag) {
  tags_[tag.GetQualifiedName()].reset(tag.Clone());
}

void MetadataSet::RemoveTag(const char* key) {
  if (key) tags_.erase(key);
}

std::vector<std::string> MetadataSet::GetKeys() const {
  std::vector<std::string> keys;
  keys.reserve(tags_.size());
  for (const auto& entry : tags_) keys.push_back(entry.first);
  return keys;
}

const MetadataTag& MetadataSet::GetTag(const char* key) const {
  auto entry = key ? tags_.find(key) : tags_.end();
  if (entry == tags_.end()) throw MetadataKeyError();
  return *entry->second;
}

std::string MetadataSet::GetValue(const char* key) const {
  const MetadataSingleTag* single = GetTag(key).ToSingleTag();
  return single ? single->GetValue() : std::string();
}

std::string MetadataSet::Serialize() const {
  std::string text = std::to_string(tags_.size());
  text += '\n';
  for (const auto& entry : tags_) {
    text += entry.second->ToArrayTag() ? "a\n" : "s\n";
    text += entry.second->Serialize();
  }
  return text;
}
