// String lists. Adding is amortised constant time, count and total length are kept, and
// the joined text is cached per direction until the next add.
#include "zvc_strings.h"

#include <cstring>
#include <new>

#include "zv_log.h"

namespace strings {

StringList* create(uint32_t limit) {
  StringList* list = new (std::nothrow) StringList;
  if (list) list->limit = limit;
  return list;
}

void destroy(StringList* list) {
  delete list;
}

int add(StringList* list, const char* text) {
  if (list == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: strings: null list passed");
    return 0;
  }
  if (text == nullptr) {
    zv_log(ZV_LOG_DEBUG, "zvlib: strings: null string passed");
    return 1;
  }
  size_t len = strlen(text);
  if (len == 0) {
    zv_log(ZV_LOG_DEBUG, "zvlib: strings: zero-length string passed");
    return 1;
  }
  if (len >= UINT32_MAX - list->total_length ||
      (list->limit != 0 && list->total_length + len >= list->limit)) {
    zv_log(ZV_LOG_DEBUG, "zvlib: strings: new string(%d) overcome limit (%d) for whole(%d)",
           static_cast<int>(len), static_cast<int>(list->limit),
           static_cast<int>(list->total_length));
    return 0;
  }
  try {
    list->items.emplace_back(text, len);
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_DEBUG, "zvlib: %s(%d) - cannot allocate memory", "zvc_strings", __LINE__);
    return 0;
  }
  list->total_length += static_cast<uint32_t>(len);
  ++list->count;
  list->joined.reset();
  return 1;
}

int add(StringList* list, const std::string& text) {
  return add(list, text.c_str());
}

uint32_t count(const StringList* list) {
  return list ? list->count : 0;
}

std::optional<std::string> join(StringList* list, int direction) {
  if (list == nullptr || direction < 0 || direction > 1) return std::nullopt;
  try {
    if (list->joined && list->joined_direction == direction) return *list->joined;
    list->joined.reset();
    list->joined_direction = direction;
    std::string text;
    text.reserve(list->total_length);
    auto append = [&](const std::string& s) {
      if (s.size() > list->total_length - text.size()) {
        zv_log(ZV_LOG_DEBUG, "zvlib: strings: STRANGE list(%d.%d) with corrupted size",
               static_cast<int>(list->total_length), static_cast<int>(list->limit));
        return false;
      }
      text += s;
      return true;
    };
    if (direction == kForward) {
      for (const auto& s : list->items)
        if (!append(s)) break;
    } else {
      for (auto it = list->items.rbegin(); it != list->items.rend(); ++it)
        if (!append(*it)) break;
    }
    list->joined = std::move(text);
    return *list->joined;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

int begin(StringList* list, int direction) {
  if (list == nullptr || direction < 0 || direction > 1) return 0;
  list->iter_direction = direction;
  list->iter_active = list->count > 0;
  list->iter_cursor = direction == kForward ? 0 : list->items.size() - (list->count > 0 ? 1 : 0);
  return 1;
}

const char* next(StringList* list) {
  if (list == nullptr || !list->iter_active || list->iter_cursor >= list->items.size())
    return nullptr;
  const char* text = list->items[list->iter_cursor].c_str();
  if (list->iter_direction == kForward) {
    ++list->iter_cursor;
    if (list->iter_cursor >= list->items.size()) list->iter_active = false;
  } else if (list->iter_cursor == 0) {
    list->iter_active = false;
  } else {
    --list->iter_cursor;
  }
  return text;
}

int append_list(StringList* target, StringList* source, const char* separator) {
  if (target == nullptr) return 0;
  if (source == nullptr) return 1;
  begin(source, kForward);
  uint32_t left = source->count;
  for (const char* s = next(source); s != nullptr; s = next(source)) {
    if (add(target, s) != 1) return 0;
    if (--left > 0 && separator != nullptr && add(target, separator) != 1) return 0;
  }
  return 1;
}

}  // namespace strings
