// String lists: an ordered list of owned strings with an optional cap on their total
// length, walked in either direction and joined into one text (the join is cached until
// the next add). A list belongs to one thread at a time and carries no lock.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

struct StringList {
  uint32_t count = 0;                 // number of strings
  uint32_t total_length = 0;          // sum of string lengths, terminators not counted
  uint32_t limit = 0;                 // cap on total_length (kept strictly below); 0 = none
  int iter_direction = 0;             // direction of the running iteration
  size_t iter_cursor = 0;             // index of the next string to hand out (0-based)
  bool iter_active = false;           // false once the iteration ran past its end
  std::optional<std::string> joined;  // cached result of the last join
  int joined_direction = 0;
  // std::deque keeps every element in place as the list grows, so strings handed out by
  // iteration stay valid until the list is deleted.
  std::deque<std::string> items;

  // A read-only walk, first to last, for range-for. Unlike strings::begin()/next() it
  // leaves the list's cursor alone, so a const list (a const envelope's recipients) can
  // be read without changing it, and by several readers at once.
  std::deque<std::string>::const_iterator begin() const { return items.cbegin(); }
  std::deque<std::string>::const_iterator end() const { return items.cend(); }
};

namespace strings {

inline constexpr int kForward = 0;   // first to last, the order of adding
inline constexpr int kBackward = 1;  // last to first

// A new empty list, or null when memory runs out.
[[nodiscard]] StringList* create(uint32_t limit);
// Frees the list and everything it owns; null is ignored. (`delete` in the design.)
void destroy(StringList* list);
// Appends a copy of `text`. 1 on success, also for null or empty text (nothing added);
// 0 for a null list, a text that would reach the cap, or no memory.
[[nodiscard]] int add(StringList* list, const char* text);
int add(StringList* list, const std::string& text);
// Number of strings; 0 for null.
uint32_t count(const StringList* list);
// All strings one after the other, without separator; none for a null list, a bad
// direction, or no memory.
[[nodiscard]] std::optional<std::string> join(StringList* list, int direction);
// Starts an iteration at the first (0) or last (1) string; 1, or 0 for null/bad direction.
// The cursor lives in the list: use it where the walk's position is itself the point
// (a backward walk, a walk resumed later); otherwise read with range-for.
int begin(StringList* list, int direction);
// The string at the cursor, moving on; null at the end or for a null list. The text is
// owned by the list.
const char* next(StringList* list);
// Appends every string of `source` to `target`, with `separator` (if not null) between
// consecutive strings. 0 for a null target or the first failing add; 1 otherwise.
[[nodiscard]] int append_list(StringList* target, StringList* source, const char* separator);

}  // namespace strings

struct StringListDeleter {
  void operator()(StringList* l) const { strings::destroy(l); }
};
using StringListPtr = std::unique_ptr<StringList, StringListDeleter>;
