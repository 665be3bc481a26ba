// Metadata tags, keys and the text that accompanies every image.
#include <gtest/gtest.h>

#include <exception>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "framework/metadata.h"

static_assert(!std::is_base_of<std::exception, MetadataError>::value,
              "hosts catch metadata errors by their own type");
static_assert(std::is_base_of<MetadataError, MetadataKeyError>::value, "key errors are errors");

TEST(MetadataSet, PutReplacesUnderTheQualifiedKey) {
  MetadataSet set;
  set.PutTag("Exposure", "Cam1", "10");
  set.PutTag("Exposure", "Cam1", "20");
  EXPECT_EQ(set.GetKeys(), std::vector<std::string>{"Cam1-Exposure"});
  EXPECT_EQ(set.GetValue("Cam1-Exposure"), "20");

  set.PutTag("Binning", "_", nullptr);
  EXPECT_EQ(set.GetValue("Binning"), "");
  set.RemoveTag("Exposure");  // not its key
  EXPECT_EQ(set.Size(), 2u);
  set.RemoveTag("Cam1-Exposure");
  set.RemoveTag(nullptr);
  EXPECT_EQ(set.GetKeys(), std::vector<std::string>{"Binning"});
}

TEST(MetadataSet, KeysInByteOrder) {
  MetadataSet set;
  set.PutTag("B", "_", "1");
  set.PutTag("a", "_", "2");
  set.PutTag("x", "A", "3");
  EXPECT_EQ(set.GetKeys(), (std::vector<std::string>{"A-x", "B", "a"}));
}

TEST(MetadataSet, MissingKeyRaisesKeyError) {
  MetadataSet set;
  set.PutTag("Here", "_", "1");
  try {
    set.GetValue("Gone");
    FAIL() << "no exception";
  } catch (const MetadataError& error) {
    EXPECT_EQ(error.GetMessage(), "Undefined metadata key");
    EXPECT_NE(dynamic_cast<const MetadataKeyError*>(&error), nullptr);
  }
  EXPECT_THROW(set.GetValue(nullptr), MetadataKeyError);
}

TEST(MetadataSet, SerialisesCountThenTypedTagsInKeyOrder) {
  MetadataSet set;
  EXPECT_EQ(set.Serialize(), "0\n");
  set.PutTag("Camera", "_", "Cam1");
  EXPECT_EQ(set.Serialize(), "1\ns\nCamera\n_\n1\nCam1\n");
  MetadataSingleTag writable("Gain", "Cam1", false);
  writable.SetValue("2");
  set.SetTag(writable);
  // "Cam1-Gain" sorts before "Camera"; a tag writes its own name, not its key.
  EXPECT_EQ(set.Serialize(), "2\ns\nGain\nCam1\n0\n2\ns\nCamera\n_\n1\nCam1\n");
}

TEST(MetadataSet, CopiesAreIndependent) {
  MetadataSet original;
  original.PutTag("A", "_", "1");
  MetadataSet copy(original);
  copy.PutTag("A", "_", "2");
  EXPECT_EQ(original.GetValue("A"), "1");
  EXPECT_EQ(copy.GetValue("A"), "2");
}

TEST(MetadataSingleTag, RestoresItsOwnSerialisation) {
  MetadataSingleTag tag("Name", "Dev", true);
  tag.SetValue("v a l");
  MetadataSingleTag restored;
  EXPECT_TRUE(restored.Restore(tag.Serialize().c_str()));
  EXPECT_EQ(restored.Serialize(), tag.Serialize());
  EXPECT_EQ(restored.GetQualifiedName(), "Dev-Name");

  std::istringstream stream("N\n_\n7\nvalue\nrest\n");
  EXPECT_TRUE(restored.Restore(stream));
  EXPECT_TRUE(restored.IsReadOnly());
  EXPECT_EQ(restored.GetValue(), "value");
  EXPECT_EQ(restored.GetQualifiedName(), "N");

  std::unique_ptr<MetadataTag> clone(restored.Clone());
  EXPECT_EQ(clone->Serialize(), restored.Serialize());
  EXPECT_EQ(clone->ToSingleTag()->GetValue(), "value");
  EXPECT_EQ(clone->ToArrayTag(), nullptr);
}
