// Image metadata: tags, the key-ordered tag set and its line-based text.
//
// Text of a set: the tag count, then per tag in key order a type line ("s" or
// "a") and the tag's four lines (name, device label, read-only 1/0, value);
// every line ends in a line feed. Values are not escaped.
//
// Not thread-safe: a set belongs to one thread at a time (the camera base
// guards its own set with its tag lock).
#pragma once

#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

class MetadataSingleTag;
class MetadataArrayTag;  // no array tags are made here; the type line still knows them

class MetadataTag {
 public:
  MetadataTag(const char* name, const char* deviceLabel, bool readOnly);
  virtual ~MetadataTag() = default;                          // 0, 1
  virtual const MetadataSingleTag* ToSingleTag() const = 0;  // 2
  virtual const MetadataArrayTag* ToArrayTag() const = 0;    // 3
  virtual MetadataTag* Clone() const = 0;                    // 4
  virtual std::string Serialize() const = 0;                 // 5
  virtual bool Restore(const char* text) = 0;                // 6
  virtual bool Restore(std::istream& stream) = 0;            // 7

  const std::string& GetName() const { return name_; }
  const std::string& GetDevice() const { return deviceLabel_; }
  bool IsReadOnly() const { return readOnly_; }
  // Device label + "-" + name; the name alone for the device label "_".
  std::string GetQualifiedName() const;

 protected:
  std::string name_;
  std::string deviceLabel_;
  bool readOnly_;
};

class MetadataSingleTag : public MetadataTag {
 public:
  MetadataSingleTag() : MetadataTag("", "", false) {}
  MetadataSingleTag(const char* name, const char* deviceLabel, bool readOnly)
      : MetadataTag(name, deviceLabel, readOnly) {}

  const MetadataSingleTag* ToSingleTag() const override { return this; }
  const MetadataArrayTag* ToArrayTag() const override { return nullptr; }
  MetadataTag* Clone() const override;
  std::string Serialize() const override;
  bool Restore(const char* text) override;
  bool Restore(std::istream& stream) override;

  const std::string& GetValue() const { return value_; }
  void SetValue(const char* value) { value_ = value ? value : ""; }

 private:
  std::string value_;
};

// Not derived from std::exception: callers catch it by its own type.
class MetadataError {
 public:
  explicit MetadataError(const char* message) : message_(message ? message : "") {}
  virtual ~MetadataError() = default;                          // 0, 1
  virtual std::string GetMessage() const { return message_; }  // 2

 private:
  std::string message_;
};

class MetadataKeyError : public MetadataError {
 public:
  MetadataKeyError() : MetadataError("Undefined metadata key") {}
};

class MetadataSet {
 public:
  MetadataSet() = default;
  MetadataSet(const MetadataSet& other);
  MetadataSet& operator=(const MetadataSet& other);
  MetadataSet(MetadataSet&&) = default;
  MetadataSet& operator=(MetadataSet&&) = default;
  ~MetadataSet() = default;

  // Stores a read-only single tag (null value: empty) under its qualified
  // key, replacing the tag stored there.
  void PutTag(const char* name, const char* deviceLabel, const char* value);
  // Stores a copy of `tag` under its qualified key.
  void SetTag(const MetadataTag& tag);
  // Removes the tag stored under exactly `key`; nothing when there is none.
  void RemoveTag(const char* key);
  std::vector<std::string> GetKeys() const;  // ascending key order
  // Throws MetadataKeyError when no tag has `key`.
  std::string GetValue(const char* key) const;
  // Throws MetadataKeyError when no tag has `key`.
  const MetadataTag& GetTag(const char* key) const;
  size_t Size() const { return tags_.size(); }
  void Clear() { tags_.clear(); }
  std::string Serialize() const;

 private:
  std::map<std::string, std::unique_ptr<MetadataTag>> tags_;
};
