// The Actions section of the configuration: its read and release callbacks. The action
// parser, the address normaliser and the configuration trace it also holds are declared
// with the configuration record in zv_options.h.
#pragma once

#include <cstdio>
#include <cstdlib>

// Helpers shared by the section readers of the configuration.
namespace confsection {

// A heap text read into a temporary; freed when the guard goes.
struct HeapText {
  char* text = nullptr;
  HeapText() = default;
  HeapText(const HeapText&) = delete;
  HeapText& operator=(const HeapText&) = delete;
  ~HeapText() { free(text); }
  bool given() const { return text != nullptr; }
  bool empty() const { return text == nullptr || text[0] == '\0'; }
};

// Frees a text the reader stored and sets it to none.
inline void free_text(char*& text) {
  free(text);
  text = nullptr;
}

}  // namespace confsection

// Reads and checks the Actions section into its ActionsConfig (`argument`); 1 on success,
// 0 with the sub-record released.
int read_actions(FILE* stream, int* line, const char* name, void* argument);
// Frees every text and list the Actions section stored and sets it to none.
void release_actions(const char* name, void* argument);
