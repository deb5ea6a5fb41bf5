#include "base/IniFile.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <fmt/format.h>

namespace telvaro {
namespace {

std::string MapKey(std::string_view section, std::string_view key) {
  return IniFile::Lower(section) + '\n' + IniFile::Lower(key);
}

}  // namespace

std::string IniFile::Lower(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

std::string_view IniFile::Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

IniFile::IniFile(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    notes_.push_back(errno == ENOENT || errno == 0
                         ? fmt::format("Settings: {} not found; using defaults", name)
                         : fmt::format("Settings: {} cannot be read ({}); using defaults", name, std::strerror(errno)));
    return;
  }
  std::string line, section;
  for (int number = 1; std::getline(in, line); ++number) {
    // Editors on Windows may start the file with a UTF-8 byte-order mark.
    if (number == 1 && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
    std::string_view l = IniFile::Trim(line);
    if (l.empty() || l.front() == ';') continue;
    if (l.front() == '[') {
      const auto end = l.find(']');
      section = IniFile::Trim(l.substr(1, end == std::string_view::npos ? l.npos : end - 1));
      sections_.emplace_back(section, number);
      continue;
    }
    const auto eq = l.find('=');
    if (eq == std::string_view::npos) {
      notes_.push_back(
          fmt::format("Settings: line {} of {} is neither a [section] nor a key=value line; left out", number, name));
      continue;
    }
    std::string_view value = IniFile::Trim(l.substr(eq + 1));
    if (value.size() >= 2 && ((value.front() == '"' && value.back() == '"') ||
                              (value.front() == '\'' && value.back() == '\'')))
      value = value.substr(1, value.size() - 2);
    const std::string_view key = IniFile::Trim(l.substr(0, eq));
    first_.emplace(MapKey(section, key), entries_.size());
    entries_.push_back({section, std::string(key), std::string(value), number});
  }
  if (in.bad()) notes_.push_back(fmt::format("Settings: {} could not be read to its end", name));
}

const IniFile::Entry* IniFile::Lookup(std::string_view section, std::string_view key) {
  askedSections_.insert(IniFile::Lower(section));
  const std::string k = MapKey(section, key);
  askedKeys_.insert(k);
  const auto it = first_.find(k);
  return it == first_.end() ? nullptr : &entries_[it->second];
}

std::optional<std::string> IniFile::Find(std::string_view section, std::string_view key) {
  const Entry* e = Lookup(section, key);
  if (!e) return std::nullopt;
  return e->value;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key, std::string def) {
  auto v = Find(section, key);
  return v ? *v : std::move(def);
}

std::int64_t IniFile::ReadInt64(std::string_view section, std::string_view key, std::int64_t def, std::int64_t lo,
                                std::int64_t hi) {
  const Entry* e = Lookup(section, key);
  if (!e) return def;
  const auto parsed = ParseInt(e->value);
  if (!parsed) {
    NoteValue(section, key, fmt::format("is not a number; using {}", def));
    return def;
  }
  if (*parsed < lo || *parsed > hi) {
    NoteValue(section, key, fmt::format("is outside {} to {}; using {}", lo, hi, def));
    return def;
  }
  return *parsed;
}

std::int32_t IniFile::ReadInt(std::string_view section, std::string_view key, std::int32_t def) {
  return static_cast<std::int32_t>(ReadInt64(section, key, def, INT32_MIN, INT32_MAX));
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool def) {
  return ReadInt(section, key, def ? 1 : 0) != 0;
}

void IniFile::NoteValue(std::string_view section, std::string_view key, std::string_view what) {
  const Entry* e = Lookup(section, key);
  if (!e) return;
  notes_.push_back(fmt::format("Settings: [{}] {}={} {}", e->section, e->key, e->value, what));
}

std::optional<std::int64_t> IniFile::ParseInt(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  } else if (s.size() > 1 && s[0] == '$') {
    base = 16;
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  std::int64_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return std::nullopt;
    // A value past the 64-bit range is no number of any key.
    if (v > (INT64_MAX - d) / base) return std::nullopt;
    v = v * base + d;
  }
  return negative ? -v : v;
}

std::vector<std::string> IniFile::UnknownNotes() const {
  std::vector<std::string> notes;
  std::set<std::string> reported;
  for (const auto& [section, line] : sections_)
    if (!askedSections_.contains(IniFile::Lower(section)) && reported.insert(IniFile::Lower(section)).second)
      notes.push_back(fmt::format("Settings: unknown section [{}]", section));
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    const std::string k = MapKey(e.section, e.key);
    if (askedKeys_.contains(k)) {
      if (first_.at(k) != i)
        notes.push_back(
            fmt::format("Settings: [{}] {} is given again on line {}; the first one counts", e.section, e.key, e.line));
    } else if (first_.at(k) == i) {
      if (e.section.empty() && !askedSections_.contains(""))
        notes.push_back(fmt::format("Settings: unknown key {} before the first section", e.key));
      else if (askedSections_.contains(IniFile::Lower(e.section)))
        notes.push_back(fmt::format("Settings: unknown key [{}] {}", e.section, e.key));
    }
  }
  return notes;
}

}  // namespace telvaro
