// Property values, conversions, limits and allowed values.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "framework/property.h"

namespace {

std::string TextOf(const MM::PropertyBase& property) {
  std::string text;
  property.Get(text);
  return text;
}

double DoubleOf(const MM::PropertyBase& property) {
  double value = 0;
  property.Get(value);
  return value;
}

long LongOf(const MM::PropertyBase& property) {
  long value = 0;
  property.Get(value);
  return value;
}

class CountingAction : public MM::ActionFunctor {
 public:
  explicit CountingAction(int* deleted) : deleted_(deleted) {}
  ~CountingAction() override { ++*deleted_; }
  int Execute(MM::PropertyBase*, MM::ActionKind) override { return 0; }

 private:
  int* deleted_;
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

TEST(FloatProperty, RoundsToFourDecimalsHalvesAwayFromZero) {
  MM::FloatProperty property("F");
  EXPECT_TRUE(property.Set("0.123456"));
  EXPECT_DOUBLE_EQ(DoubleOf(property), 0.1235);
  EXPECT_EQ(TextOf(property), "0.1235");
  EXPECT_TRUE(property.Set("-0.00005"));
  EXPECT_EQ(TextOf(property), "-0.0001");
  EXPECT_TRUE(property.Set(10L));
  EXPECT_EQ(TextOf(property), "10.0000");
  EXPECT_TRUE(property.Set(-0.00004));
  EXPECT_EQ(TextOf(property), "0.0000");  // no negative zero
  EXPECT_TRUE(property.Set("abc"));
  EXPECT_EQ(DoubleOf(property), 0.0);
}

TEST(FloatProperty, LimitsAreRoundedInwardAndInclusive) {
  MM::FloatProperty property("F");
  EXPECT_TRUE(property.SetLimits(0.00001, 1.99999));
  EXPECT_DOUBLE_EQ(property.GetLowerLimit(), 0.0001);
  EXPECT_DOUBLE_EQ(property.GetUpperLimit(), 1.9999);
  ASSERT_TRUE(property.Set(1.5));
  EXPECT_FALSE(property.Set(1.99995));  // rounds to 2.0
  EXPECT_DOUBLE_EQ(DoubleOf(property), 1.5);
  EXPECT_TRUE(property.Set(1.9999));
  EXPECT_TRUE(property.Set(0.0001));
  EXPECT_FALSE(property.Set(0.00004));  // rounds to 0.0
}

TEST(FloatProperty, RefusesNonFiniteAndOversizedValues) {
  MM::FloatProperty property("F");
  ASSERT_TRUE(property.Set(2.5));
  for (double bad : {kNaN, kInf, -kInf, 1e60, -1e300}) {
    EXPECT_FALSE(property.Set(bad)) << bad;
  }
  for (const char* bad : {"nan", "inf", "-infinity", "1e400"}) {
    EXPECT_FALSE(property.Set(bad)) << bad;
  }
  EXPECT_DOUBLE_EQ(DoubleOf(property), 2.5);
  EXPECT_FALSE(property.SetLimits(kNaN, 1.0));
  EXPECT_FALSE(property.HasLimits());
  EXPECT_FALSE(property.SetLimits(0.0, kInf));
}

TEST(FloatProperty, IntegerReadTruncatesAndReportsOutOfRange) {
  MM::FloatProperty property("F");
  ASSERT_TRUE(property.Set(-2.75));
  EXPECT_EQ(LongOf(property), -2);
  ASSERT_TRUE(property.Set(1e30));
  long value = 0;
  EXPECT_FALSE(property.Get(value));
  EXPECT_EQ(value, LONG_MAX);
}

TEST(IntegerProperty, ConvertsDoublesAndTextLikeTheHostExpects) {
  MM::IntegerProperty property("I");
  EXPECT_TRUE(property.Set(2.9));
  EXPECT_EQ(LongOf(property), 2);
  EXPECT_TRUE(property.Set(-2.9));
  EXPECT_EQ(LongOf(property), -2);
  EXPECT_TRUE(property.Set("12abc"));
  EXPECT_EQ(TextOf(property), "12");
  EXPECT_TRUE(property.Set("abc"));
  EXPECT_EQ(LongOf(property), 0);
  EXPECT_TRUE(property.Set(-9223372036854775808.0));
  EXPECT_EQ(LongOf(property), LONG_MIN);
  EXPECT_TRUE(property.Set("9223372036854775807"));
  EXPECT_EQ(LongOf(property), LONG_MAX);
}

TEST(IntegerProperty, RefusesValuesOutsideTheSixtyFourBitRange) {
  MM::IntegerProperty property("I");
  ASSERT_TRUE(property.Set(5L));
  for (double bad : {kNaN, kInf, -kInf, 9223372036854775808.0, -1e19}) {
    EXPECT_FALSE(property.Set(bad)) << bad;
  }
  EXPECT_FALSE(property.Set("99999999999999999999"));
  EXPECT_FALSE(property.Set("-99999999999999999999"));
  EXPECT_EQ(LongOf(property), 5);
}

TEST(IntegerProperty, EmptyOrInvertedRangeIsRefused) {
  MM::IntegerProperty property("I");
  EXPECT_FALSE(property.SetLimits(5, 5));
  EXPECT_FALSE(property.HasLimits());
  EXPECT_TRUE(property.Set(1000L));
  EXPECT_FALSE(property.SetLimits(6, 5));
  ASSERT_TRUE(property.SetLimits(-3, 3));
  EXPECT_TRUE(property.Set(3L));
  EXPECT_TRUE(property.Set(-3L));
  EXPECT_FALSE(property.Set(4L));
  EXPECT_EQ(LongOf(property), -3);
}

TEST(PropertyLimits, AllowedValuesAndLimitsExcludeEachOther) {
  MM::IntegerProperty property("I");
  ASSERT_TRUE(property.SetLimits(0, 10));
  property.SetAllowedValues({"1", "2"});
  EXPECT_FALSE(property.HasLimits());
  EXPECT_EQ(property.GetLowerLimit(), 0.0);
  EXPECT_EQ(property.GetUpperLimit(), 0.0);
  EXPECT_FALSE(property.SetLimits(0, 10));  // stored, but no limits
  EXPECT_EQ(property.GetUpperLimit(), 0.0);
  property.SetAllowedValues({});
  EXPECT_TRUE(property.SetLimits(0, 10));
  EXPECT_EQ(property.GetUpperLimit(), 10.0);
}

TEST(PropertyAllowedValues, ListedInByteOrderWithoutDuplicates) {
  MM::StringProperty property("S");
  property.SetAllowedValues({"Off", "On", "Once", "Continuous", "On", "O"});
  EXPECT_EQ(property.GetAllowedValues(),
            (std::vector<std::string>{"Continuous", "O", "Off", "On", "Once"}));
  EXPECT_TRUE(property.IsAllowed("Once"));
  EXPECT_FALSE(property.IsAllowed("once"));
  EXPECT_FALSE(property.IsAllowed(nullptr));
  property.SetAllowedValues({"b", "B", "\xc3\xa9", "a"});
  EXPECT_EQ(property.GetAllowedValues(),
            (std::vector<std::string>{"B", "a", "b", "\xc3\xa9"}));  // bytes above 0x7f last
}

TEST(StringProperty, NumbersAreFormattedShort) {
  MM::StringProperty property("S");
  EXPECT_TRUE(property.Set(1234.5));
  EXPECT_EQ(TextOf(property), "1.2e+03");
  EXPECT_TRUE(property.Set(-42L));
  EXPECT_EQ(TextOf(property), "-42");
  EXPECT_EQ(LongOf(property), -42);
  EXPECT_FALSE(property.SetLimits(0, 1));
  EXPECT_FALSE(property.HasLimits());
  property.Set("1e999999");
  long value = 0;
  EXPECT_TRUE(property.Get(value));  // strtol reads the leading 1
  property.Set("123456789012345678901234567890");
  EXPECT_FALSE(property.Get(value));
  EXPECT_EQ(value, LONG_MAX);
}

TEST(PropertySequence, StoresBeyondTheMaximumButReportsIt) {
  MM::IntegerProperty property("I");
  property.SetSequenceable(2);
  EXPECT_TRUE(property.IsSequenceable());
  EXPECT_EQ(property.AddToSequence("1"), 0);
  EXPECT_EQ(property.AddToSequence("2"), 0);
  EXPECT_EQ(property.AddToSequence("3"), 39);
  EXPECT_EQ(property.GetSequence().size(), 3u);
  EXPECT_EQ(property.AddToSequence(nullptr), 1);
  EXPECT_EQ(property.SendSequence(), 0);  // no action
  property.SetSequenceable(0);
  EXPECT_FALSE(property.IsSequenceable());
}

TEST(PropertyAction, OwnedAndReplacedActionsAreDeleted) {
  int deleted = 0;
  {
    MM::StringProperty property("S");
    property.RegisterAction(new CountingAction(&deleted));
    property.RegisterAction(new CountingAction(&deleted));
    EXPECT_EQ(deleted, 1);
  }
  EXPECT_EQ(deleted, 2);
}
