#include "zvc_strings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/zv_test_support.h"

namespace {

using zvtest::CaptureLog;

StringListPtr make_list(uint32_t limit, std::initializer_list<const char*> items) {
  StringListPtr list(strings::create(limit));
  for (const char* s : items) EXPECT_EQ(strings::add(list.get(), s), 1) << s;
  return list;
}

std::vector<std::string> walk(StringList* list, int direction) {
  std::vector<std::string> out;
  if (!strings::begin(list, direction)) return out;
  for (const char* s = strings::next(list); s; s = strings::next(list)) out.emplace_back(s);
  return out;
}

TEST(StringList, LimitKeepsTotalStrictlyBelowIt) {
  CaptureLog log(ZV_LOG_DEBUG);
  StringListPtr list(strings::create(10));
  EXPECT_EQ(strings::add(list.get(), "12345"), 1);
  EXPECT_EQ(strings::add(list.get(), "6789"), 1);
  EXPECT_EQ(list->total_length, 9u);
  EXPECT_EQ(strings::add(list.get(), "x"), 0);
  EXPECT_TRUE(log.has("zvlib: strings: new string(1) overcome limit (10) for whole(9)"));
  EXPECT_EQ(strings::count(list.get()), 2u);
  EXPECT_EQ(list->total_length, 9u);

  StringListPtr unlimited(strings::create(0));
  std::string big(100000, 'a');
  EXPECT_EQ(strings::add(unlimited.get(), big.c_str()), 1);
  EXPECT_EQ(strings::add(unlimited.get(), big.c_str()), 1);
  EXPECT_EQ(unlimited->total_length, 200000u);
}

TEST(StringList, NullAndEmptyInput) {
  CaptureLog log(ZV_LOG_DEBUG);
  StringListPtr list(strings::create(0));
  EXPECT_EQ(strings::add(list.get(), nullptr), 1);
  EXPECT_EQ(strings::add(list.get(), ""), 1);
  EXPECT_EQ(strings::count(list.get()), 0u);
  EXPECT_EQ(list->total_length, 0u);
  EXPECT_EQ(strings::add(nullptr, "x"), 0);
  EXPECT_EQ(strings::count(nullptr), 0u);
  EXPECT_FALSE(strings::join(nullptr, 0).has_value());
  EXPECT_EQ(strings::begin(nullptr, 0), 0);
  EXPECT_EQ(strings::next(nullptr), nullptr);
  strings::destroy(nullptr);
  EXPECT_EQ(log.texts(), (std::vector<std::string>{
                             "zvlib: strings: null string passed",
                             "zvlib: strings: zero-length string passed",
                             "zvlib: strings: null list passed",
                         }));
}

TEST(StringList, JoinBothDirectionsWithCache) {
  StringListPtr list = make_list(0, {"a", "bc", "d"});
  EXPECT_EQ(strings::join(list.get(), 0), "abcd");
  ASSERT_TRUE(list->joined.has_value());
  EXPECT_EQ(list->joined_direction, 0);
  EXPECT_EQ(strings::join(list.get(), 0), "abcd");  // served from the cache
  EXPECT_EQ(strings::join(list.get(), 1), "dbca");  // rebuilt for the other direction
  EXPECT_EQ(list->joined_direction, 1);
  EXPECT_EQ(strings::add(list.get(), "e"), 1);
  EXPECT_FALSE(list->joined.has_value());  // an add drops the cache
  EXPECT_EQ(strings::join(list.get(), 1), "edbca");
  EXPECT_FALSE(strings::join(list.get(), 2).has_value());
  EXPECT_FALSE(strings::join(list.get(), -1).has_value());

  StringListPtr empty(strings::create(0));
  EXPECT_EQ(strings::join(empty.get(), 0), "");
}

// Reading with range-for goes through a const list and leaves a running cursor where it
// was, so a reader in the middle of a walk is not disturbed by another read.
TEST(StringList, ConstWalkLeavesTheCursorAlone) {
  StringListPtr list = make_list(0, {"one", "two", "three"});
  ASSERT_EQ(strings::begin(list.get(), strings::kForward), 1);
  EXPECT_STREQ(strings::next(list.get()), "one");
  const StringList& reader = *list;
  std::vector<std::string> read;
  for (const std::string& s : reader) read.push_back(s);
  EXPECT_EQ(read, (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_STREQ(strings::next(list.get()), "two");

  StringListPtr empty(strings::create(0));
  EXPECT_EQ(empty->begin(), empty->end());
}

TEST(StringList, IterationBothWays) {
  StringListPtr list = make_list(0, {"one", "two", "three"});
  EXPECT_EQ(walk(list.get(), 0), (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(walk(list.get(), 1), (std::vector<std::string>{"three", "two", "one"}));
  EXPECT_EQ(strings::next(list.get()), nullptr);  // stays at the end
  EXPECT_EQ(strings::begin(list.get(), 2), 0);

  StringListPtr empty(strings::create(0));
  EXPECT_TRUE(walk(empty.get(), 0).empty());
  EXPECT_TRUE(walk(empty.get(), 1).empty());

  // Strings handed out stay valid while the list grows.
  strings::begin(list.get(), 0);
  const char* first = strings::next(list.get());
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(strings::add(list.get(), "more"), 1);
  EXPECT_STREQ(first, "one");
}

TEST(StringList, AppendListWithSeparator) {
  StringListPtr source = make_list(0, {"x", "y"});
  StringListPtr target(strings::create(0));
  EXPECT_EQ(strings::append_list(target.get(), source.get(), ","), 1);
  EXPECT_EQ(walk(target.get(), 0), (std::vector<std::string>{"x", ",", "y"}));
  EXPECT_EQ(strings::append_list(target.get(), source.get(), nullptr), 1);
  EXPECT_EQ(strings::join(target.get(), 0), "x,yxy");

  EXPECT_EQ(strings::append_list(target.get(), nullptr, ","), 1);
  EXPECT_EQ(strings::count(target.get()), 5u);
  EXPECT_EQ(strings::append_list(nullptr, source.get(), ","), 0);

  // The first failing add ends the call; what was added stays.
  StringListPtr capped(strings::create(4));
  StringListPtr three = make_list(0, {"ab", "cd", "ef"});
  EXPECT_EQ(strings::append_list(capped.get(), three.get(), "-"), 0);
  EXPECT_EQ(strings::join(capped.get(), 0), "ab-");
}

}  // namespace
