// Configuration file reader. Reads the file once, front to back, with a 1024-byte line
// buffer; read_section() steps back over one line at most (the header that ends its
// section). Everything it allocates is released on every failure path.
#include "zv_conf.h"

#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "zv_log.h"
#include "zv_owned.h"
#include "zvc_strings.h"

namespace {

constexpr int kLineBuffer = 1024;
constexpr int kMaxKey = 255;

const ConfObsoleteSection* g_obsolete_sections = nullptr;      // set once at start-up
const ConfObsoleteParameter* g_obsolete_parameters = nullptr;  // set once at start-up
// The hooks of the read_conf_with() call in progress and the path it reads; null outside
// such a call. Main thread only.
const ConfHooks* g_hooks = nullptr;
const char* g_hooks_path = nullptr;

using zv::UniqueFile;

// Normalises one raw line in place: leading white space skipped, then every white-space
// character outside double quotes removed. Returns the start of the normalised text, or
// null for a comment (empty, newline or "#" first).
char* normalise_line(char* raw) {
  char* p = raw;
  while (*p && isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p == '\0' || *p == '\n' || *p == '#') return nullptr;
  char* out = p;
  bool quoted = false;
  for (char* in = p; *in; ++in) {
    if (*in == '"') quoted = !quoted;
    if (!quoted && isspace(static_cast<unsigned char>(*in))) continue;
    *out++ = *in;
  }
  *out = '\0';
  return p;
}

bool prefix_match(const char* text, const char* prefix) {
  return strncasecmp(text, prefix, strlen(prefix)) == 0;
}

bool valid_separator(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return c != '\0' && c != '"' && c != '#' && c != '_' && !isspace(u) && !isalpha(u) && !isdigit(u);
}

void remove_quotes(std::string& s) {
  std::erase(s, '"');
}

// Frees what the reader allocated in entries [0, end): capacity-0 strings and lists.
void release_variables(ConfVariable* vars, int end) {
  for (int i = 0; i < end && vars[i].type != 0; ++i) {
    ConfVariable& v = vars[i];
    if (v.storage == nullptr) continue;
    if (v.type == CONF_STRING && v.capacity == 0) {
      char** slot = static_cast<char**>(v.storage);
      free(*slot);
      *slot = nullptr;
    } else if (v.type == CONF_STRLIST) {
      StringList** slot = static_cast<StringList**>(v.storage);
      strings::destroy(*slot);
      *slot = nullptr;
    }
  }
}

// Parses a decimal or octal integer as the scan formats would, with the digits first
// (after an optional sign) and anything after them ignored. False when no digit starts
// the text or the number does not fit the given range.
bool scan_integer(const char* text, int base, long long min, long long max, long long* out) {
  const char* p = text;
  if (*p == '+' || *p == '-') ++p;
  if (!isdigit(static_cast<unsigned char>(*p)) || (base == 8 && (*p == '8' || *p == '9')))
    return false;
  errno = 0;
  char* end = nullptr;
  long long v = strtoll(text, &end, base);
  if (errno == ERANGE || v < min || v > max) return false;
  *out = v;
  return true;
}

// The int-sized types: the storage must be 4 bytes.
bool store_int_default(const char* section, ConfVariable& v, int index) {
  if (v.capacity != 4) {
    zv_log(ZV_LOG_ERRORS,
           "zvlib: read_section(%s): wrong len (%d) of storage for %d variable passed", section,
           v.capacity, index);
    return false;
  }
  int32_t* slot = static_cast<int32_t*>(v.storage);
  *slot = v.default_int;
  zv_log(ZV_LOG_DEBUG, "zvlib: read_section(%s): for %s default = %d, value = %d", section, v.name,
         v.default_int, *slot);
  return true;
}

// A text: a heap copy (capacity 0) or a copy into the caller's buffer of `capacity` bytes.
bool store_string_default(const char* section, ConfVariable& v, int index) {
  char** slot = static_cast<char**>(v.storage);
  if (v.default_text == nullptr) {
    if (v.capacity == 0) {
      free(*slot);
      *slot = nullptr;
    }
    zv_log(ZV_LOG_DEBUG, "zvlib: read_section(%s): null default for %d variable passed", section,
           index);
    zv_log(ZV_LOG_DEBUG, "zvlib: read_section(%s): for %s default = NULL, value = NULL", section,
           v.name);
    return true;
  }
  if (v.capacity == 0) {
    char* copy = strdup(v.default_text);
    if (copy == nullptr) {
      zv_log(ZV_LOG_DEBUG,
             "zvlib: read_section(%s): cannot allocate storage for %d variable passed", section,
             index);
      return false;
    }
    // A section read a second time starts again from its defaults.
    free(*slot);
    *slot = copy;
  } else {
    int len = static_cast<int>(strlen(v.default_text));
    if (v.capacity < len + 1) {
      zv_log(ZV_LOG_ERRORS,
             "zvlib: read_section(%s): storage not enough (%d) for default (%d) for %d "
             "variable passed",
             section, v.capacity, len, index);
      return false;
    }
    memcpy(*slot, v.default_text, static_cast<size_t>(len) + 1);
    (*slot)[v.capacity - 1] = '\0';
  }
  zv_log(ZV_LOG_DEBUG, "zvlib: read_section(%s): for %s default = %s, value = %s", section, v.name,
         v.default_text, *slot);
  return true;
}

// A string list starts empty: no default can be given.
bool store_list_default(const char* section, ConfVariable& v, int index) {
  if (v.default_text != nullptr) {
    zv_log(ZV_LOG_ERRORS,
           "zvlib: read_section(%s): default value for string list currently not supported",
           section);
    return false;
  }
  zv_log(ZV_LOG_DEBUG, "zvlib: read_section(%s): null default for %d variable passed", section,
         index);
  StringList** slot = static_cast<StringList**>(v.storage);
  strings::destroy(*slot);
  *slot = nullptr;
  return true;
}

bool store_default(const char* section, ConfVariable& v, int index) {
  if (v.name == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: read_section(%s): null name for %d variable passed", section,
           index);
    return false;
  }
  if (v.storage == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: read_section(%s): null pointer to value for %d variable passed",
           section, index);
    return false;
  }
  switch (v.type) {
    case CONF_INT:
    case CONF_UINT:
    case CONF_BOOL:
    case CONF_OCTAL:
      return store_int_default(section, v, index);
    case CONF_STRING:
      return store_string_default(section, v, index);
    case CONF_STRLIST:
      return store_list_default(section, v, index);
    default:
      zv_log(ZV_LOG_ERRORS,
             "zvlib: read_section(%s): wrong type (%d) of value for %d variable passed", section,
             v.type, index);
      return false;
  }
}

// The list case of read_section: replaces the stored list with the value's items.
bool getstringlist(const char* value, StringList** slot, char list_separator) {
  StringListPtr list(strings::create(0));
  if (!list) {
    zv_log(ZV_LOG_ERRORS, "zvlib: getstringlist: cannot create string list");
    strings::destroy(*slot);
    *slot = nullptr;
    return false;
  }
  const char* p = value;
  for (;;) {
    const char* end = strchr(p, list_separator);
    size_t n = end ? static_cast<size_t>(end - p) : strlen(p);
    bool ok = true;
    std::string piece;
    try {
      piece.assign(p, n);
      remove_quotes(piece);
    } catch (const std::bad_alloc&) {
      ok = false;
    }
    if (!ok || strings::add(list.get(), piece.c_str()) != 1) {
      zv_log(ZV_LOG_ERRORS, "zvlib: getstringlist: cannot add %s to list", piece.c_str());
      strings::destroy(*slot);
      *slot = nullptr;
      return false;
    }
    if (!end) break;
    p = end + 1;
  }
  strings::destroy(*slot);
  *slot = list.release();
  return true;
}

// Converts `value` into the entry's storage; false for an illegal value.
bool store_value(ConfVariable& v, const char* value, char list_separator) {
  switch (v.type) {
    case CONF_INT: {
      long long n;
      if (!scan_integer(value, 10, INT_MIN, INT_MAX, &n)) return false;
      *static_cast<int32_t*>(v.storage) = static_cast<int32_t>(n);
      return true;
    }
    case CONF_UINT: {
      long long n;
      if (!scan_integer(value, 10, 0, INT32_MAX, &n)) return false;
      *static_cast<int32_t*>(v.storage) = static_cast<int32_t>(n);
      return true;
    }
    case CONF_OCTAL: {
      long long n;
      if (!scan_integer(value, 8, INT_MIN, UINT32_MAX, &n)) return false;
      *static_cast<int32_t*>(v.storage) = static_cast<int32_t>(static_cast<uint32_t>(n));
      return true;
    }
    case CONF_BOOL: {
      std::string word(value);
      remove_quotes(word);
      const char* w = word.c_str();
      int32_t* slot = static_cast<int32_t*>(v.storage);
      if (!strcasecmp(w, "yes") || !strcasecmp(w, "on") || !strcasecmp(w, "true")) {
        *slot = 1;
        return true;
      }
      if (!strcasecmp(w, "no") || !strcasecmp(w, "off") || !strcasecmp(w, "false")) {
        *slot = 0;
        return true;
      }
      return false;
    }
    case CONF_STRING:
      return getstring(value, static_cast<char**>(v.storage), v.capacity) == 1;
    case CONF_STRLIST:
      return getstringlist(value, static_cast<StringList**>(v.storage), list_separator);
    default:
      return false;
  }
}

}  // namespace

void conf_set_obsolete_tables(const ConfObsoleteSection* sections,
                              const ConfObsoleteParameter* parameters) {
  g_obsolete_sections = sections;
  g_obsolete_parameters = parameters;
}

int getstring(const char* value, char** storage, int capacity) {
  std::string text;
  try {
    text = value ? value : "";
    remove_quotes(text);
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "zvlib: getstring: no memory for <%s>", value);
    return 0;
  }
  if (capacity == 0) {
    char* copy = strdup(text.c_str());
    if (copy == nullptr) {
      zv_log(ZV_LOG_ERRORS, "zvlib: getstring: no memory for <%s>", text.c_str());
      return 0;
    }
    free(*storage);
    *storage = copy;
    return 1;
  }
  if (static_cast<long long>(text.size()) >= capacity) {
    zv_log(ZV_LOG_ERRORS, "zvlib: getstring: storage not enough (%d) for value (%d) <%s>", capacity,
           static_cast<int>(text.size()), text.c_str());
    return 0;
  }
  memcpy(*storage, text.c_str(), text.size() + 1);
  (*storage)[capacity - 1] = '\0';
  return 1;
}

namespace {

// Stores every entry's default; *count becomes the number of entries. False (logged,
// the defaults stored so far released) when an entry is malformed.
bool store_defaults(const char* name, ConfVariable* variables, int* count) {
  for (*count = 0; variables[*count].type != 0; ++*count) {
    if (!store_default(name, variables[*count], *count + 1)) {
      release_variables(variables, *count);
      return false;
    }
  }
  return true;
}

// The lines of one section, read after its header line until the next header or the end
// of the file.
class SectionReader {
 public:
  SectionReader(FILE* stream, int* line, const char* name, ConfVariable* variables, int count,
                char separator, char list_separator)
      : stream_(stream),
        line_(line),
        name_(name),
        variables_(variables),
        count_(count),
        separator_(separator),
        list_separator_(list_separator) {}

  // 0 at the next header (the stream set back to its start) or at the end of the file;
  // -1 (logged) on a line that cannot be read.
  int read() {
    if (!log_key_pattern()) return -1;
    long saved = ftell(stream_);
    char raw[kLineBuffer];
    while (fgets(raw, sizeof(raw), stream_) != nullptr) {
      char* text = normalise_line(raw);
      if (text != nullptr && text[0] == '[') return rewind_to(saved);
      if (text != nullptr && !read_setting(text)) return -1;
      ++*line_;
      saved = ftell(stream_);
    }
    return 0;
  }

 private:
  // The scan pattern of a key, logged for the record.
  bool log_key_pattern() {
    char pattern[31];
    int n = snprintf(pattern, sizeof(pattern), "%%%d[a-zA-Z_.]%c", kMaxKey, separator_);
    if (n < 0 || n >= static_cast<int>(sizeof(pattern))) {
      zv_log(ZV_LOG_ERRORS, "zvlib: read_section(%s): cannot create format string for parser",
             name_);
      return false;
    }
    zv_log(ZV_LOG_DEBUG, "zvlib: read_section(%s): format string = <%s>", name_, pattern);
    return true;
  }

  // Puts the stream back at the start of the next section's header line. 0 or -1.
  int rewind_to(long saved) {
    if (saved < 0) {
      zv_log(ZV_LOG_ERRORS, "zvlib: read_section(%s): invalid saved offset %d", name_,
             static_cast<int>(saved));
      return -1;
    }
    if (fseek(stream_, saved, SEEK_SET) != 0) {
      zv_log(ZV_LOG_ERRORS, "zvlib: read_section(%s): cannot rewind file stream on %d offset - %s",
             name_, static_cast<int>(saved), stdlib_errno_text());
      return -1;
    }
    return 0;
  }

  // One "key = value" line: the value goes into the key's entry; an unknown key is
  // skipped. False (logged) when the line or its value is refused.
  bool read_setting(const char* text) {
    char key[kMaxKey + 1];
    int klen = 0;
    while (klen < kMaxKey && (isalpha(static_cast<unsigned char>(text[klen])) ||
                              text[klen] == '_' || text[klen] == '.')) {
      key[klen] = text[klen];
      ++klen;
    }
    key[klen] = '\0';
    if (klen == 0) {
      zv_log(ZV_LOG_ERRORS, "zvlib: read_section(%s): illegal line %d", name_, *line_);
      return false;
    }
    const char* sep = strchr(text, separator_);
    if (sep == nullptr) {
      zv_log(ZV_LOG_ERRORS, "zvlib: read_section(%s): no separator (%c) in line %d", name_,
             separator_, *line_);
      return false;
    }
    if (obsolete_parameter_stops(key)) return false;
    ConfVariable* var = find_variable(key);
    if (var == nullptr) {
      zv_log(ZV_LOG_VERBOSE, "zvlib: read_section(%s): unknown variable %s in line %d", name_, key,
             *line_);
      if (g_hooks != nullptr && g_hooks->unknown_key != nullptr)
        g_hooks->unknown_key(g_hooks_path, *line_, name_, key, g_hooks->context);
      return true;
    }
    bool ok;
    try {
      ok = store_value(*var, sep + 1, list_separator_);
    } catch (const std::bad_alloc&) {
      ok = false;
    }
    if (!ok) {
      zv_log(ZV_LOG_ERRORS, "zvlib: read_section(%s): illegal value in line %d", name_, *line_);
      return false;
    }
    return true;
  }

  // Warns of an obsolete key; true (logged) when it stops the reading.
  bool obsolete_parameter_stops(const char* key) const {
    if (g_obsolete_parameters == nullptr) return false;
    for (const ConfObsoleteParameter* o = g_obsolete_parameters; o->section; ++o) {
      if (!prefix_match(name_, o->section) || !prefix_match(key, o->key)) continue;
      if (o->disposition == CONF_OBSOLETE_STOP) {
        zv_log(ZV_LOG_ERRORS,
               "zvlib: read_section(%s): parameter %s is obsolete - stop parsing, please read "
               "documentation",
               name_, key);
        return true;
      }
      zv_log(ZV_LOG_ALERTS,
             "zvlib: read_section(%s): parameter %s is obsolete - continue, but please read "
             "documentation",
             name_, key);
      return false;
    }
    return false;
  }

  ConfVariable* find_variable(const char* key) const {
    for (int i = 0; i < count_; ++i)
      if (strcasecmp(variables_[i].name, key) == 0) return &variables_[i];
    return nullptr;
  }

  FILE* stream_;
  int* line_;
  const char* name_;
  ConfVariable* variables_;
  int count_;
  char separator_;
  char list_separator_;
};

}  // namespace

int read_section(FILE* stream, int* line, const char* name, ConfVariable* variables, char separator,
                 char list_separator) {
  for (char sep : {separator, list_separator}) {
    if (!valid_separator(sep)) {
      zv_log(ZV_LOG_ERRORS, "zvlib: read_section(%s): invalid separator (%c) passed", name, sep);
      return -1;
    }
  }
  int count = 0;
  if (!store_defaults(name, variables, &count)) return -1;
  SectionReader reader(stream, line, name, variables, count, separator, list_separator);
  if (reader.read() != 0) {
    release_variables(variables, count);
    return -1;
  }
  return 0;
}

int release_sections(ConfSection* sections) {
  if (sections == nullptr) return 0;
  for (ConfSection* s = sections; s->name != nullptr; ++s) {
    if (!s->loaded) continue;
    if (s->release) s->release(s->name, s->argument);
    s->loaded = 0;
  }
  return 0;
}

namespace {

// The file must be named and not be a directory. False (logged) otherwise.
bool check_conf_path(const char* path, const ConfSection* sections) {
  if (path == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: read_conf: null filename passed");
    return false;
  }
  if (sections == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: read_conf(%s): null task list passed", path);
    return false;
  }
  struct stat st;
  if (stat(path, &st) != 0) {
    zv_log(ZV_LOG_ERRORS, "zvlib: read_conf(%s): %s", path, stdlib_errno_text());
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    zv_log(ZV_LOG_ERRORS,
           "zvlib: read_conf(%s): full pathname should be specified, not directory only", path);
    return false;
  }
  return true;
}

// Warns of an obsolete section; true (logged) when it stops the reading. `text` is the
// header line as written.
bool obsolete_section_stops(const char* path, const char* text) {
  if (g_obsolete_sections == nullptr) return false;
  for (const ConfObsoleteSection* o = g_obsolete_sections; o->name; ++o) {
    if (!prefix_match(text + 1, o->name)) continue;
    if (o->disposition == CONF_OBSOLETE_STOP) {
      zv_log(ZV_LOG_ERRORS,
             "zvlib: read_conf(%s): section %s is obsolete - stop parsing, please read "
             "documentation",
             path, text);
      return true;
    }
    zv_log(ZV_LOG_ALERTS,
           "zvlib: read_conf(%s): section %s is obsolete - continue, but please read "
           "documentation",
           path, text);
    return false;
  }
  return false;
}

ConfSection* find_section(ConfSection* sections, const char* header) {
  for (ConfSection* s = sections; s->name != nullptr; ++s)
    if (prefix_match(header, s->name)) return s;
  return nullptr;
}

// Reads the file's sections through their readers, skipping what lies outside known
// sections. False (logged) when a section or the file cannot be read.
bool read_sections(FILE* file, const char* path, ConfSection* sections) {
  int line = 1;
  char raw[kLineBuffer];
  while (fgets(raw, sizeof(raw), file) != nullptr) {
    char* text = normalise_line(raw);
    if (text == nullptr || text[0] != '[') {
      ++line;
      continue;
    }
    if (obsolete_section_stops(path, text)) return false;
    ConfSection* section = find_section(sections, text + 1);
    if (section == nullptr) {
      zv_log(ZV_LOG_INFO, "zvlib: read_conf(%s): unknown section %s", path, text);
      ++line;
      continue;
    }
    ++line;
    if (section->read == nullptr ||
        section->read(file, &line, section->name, section->argument) == 0) {
      zv_log(ZV_LOG_INFO, "zvlib: read_conf(%s): error in section [%s]", path, section->name);
      return false;
    }
    section->loaded = 1;
  }
  if (ferror(file)) {
    zv_log(ZV_LOG_ERRORS, "zvlib: read_conf(%s): error at reading file - %s", path,
           stdlib_errno_text());
    return false;
  }
  return true;
}

// Every section that is not optional must have been read. False (logged) otherwise.
bool required_sections_loaded(const char* path, const ConfSection* sections) {
  for (const ConfSection* s = sections; s->name != nullptr; ++s) {
    if (!s->loaded && !s->optional) {
      zv_log(ZV_LOG_ERRORS, "zvlib: read_conf(%s): section [%s] missed", path, s->name);
      return false;
    }
  }
  return true;
}

}  // namespace

namespace {

// Puts the hooks of one read_conf_with() call in force and takes them away again.
class HooksInForce {
 public:
  HooksInForce(const ConfHooks* hooks, const char* path) : hooks_(g_hooks), path_(g_hooks_path) {
    g_hooks = hooks;
    g_hooks_path = path;
  }
  ~HooksInForce() {
    g_hooks = hooks_;
    g_hooks_path = path_;
  }
  HooksInForce(const HooksInForce&) = delete;
  HooksInForce& operator=(const HooksInForce&) = delete;

 private:
  const ConfHooks* hooks_;
  const char* path_;
};

}  // namespace

int read_conf(const char* path, ConfSection* sections) {
  return read_conf_with(path, sections, nullptr);
}

int read_conf_with(const char* path, ConfSection* sections, const ConfHooks* hooks) {
  if (!check_conf_path(path, sections)) return -1;
  UniqueFile file(fopen(path, "re"));
  if (!file) {
    zv_log(ZV_LOG_ERRORS, "zvlib: read_conf(%s): cannot open - %s", path, stdlib_errno_text());
    release_sections(sections);
    return -1;
  }
  HooksInForce in_force(hooks, path);
  if (hooks != nullptr && hooks->check_file != nullptr &&
      hooks->check_file(fileno(file.get()), path, hooks->context) == 0) {
    file.reset();
    release_sections(sections);
    return -1;
  }
  if (!read_sections(file.get(), path, sections)) {
    file.reset();
    release_sections(sections);
    return -1;
  }
  if (zv::close_file(file) != 0) {
    zv_log(ZV_LOG_ERRORS, "zvlib: read_conf(%s): cannot close file - %s", path,
           stdlib_errno_text());
    release_sections(sections);
    return -1;
  }
  if (!required_sections_loaded(path, sections)) {
    release_sections(sections);
    return -1;
  }
  zv_log(ZV_LOG_INFO, "zvlib: read_conf(%s): successfully loaded", path);
  return 0;
}

int lookup_name(const char* value, const NameCode* table, int* code) {
  if (value == nullptr || table == nullptr || code == nullptr) return 0;
  size_t length = strlen(value);
  for (const NameCode* entry = table; entry->name != nullptr; ++entry) {
    if (strncasecmp(entry->name, value, length) == 0) {
      *code = entry->code;
      return 1;
    }
  }
  return 0;
}
