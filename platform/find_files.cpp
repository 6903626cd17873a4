// Directory search with the handheld's wildcards, ignoring case.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "paths_internal.h"

namespace plat {

namespace detail {

// "*" matches any run of characters (also none), "?" exactly one. Both sides
// are already case-folded.
bool WildcardMatch(const std::wstring& pattern, const std::wstring& name) {
  size_t p = 0, n = 0;
  size_t star = std::wstring::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == L'?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == L'*') {
      star = p++;
      resume = n;
    } else if (star != std::wstring::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

}  // namespace detail

namespace {

struct Candidate {
  std::wstring key;  // folded name, the sort order
  FindEntry entry;
};

}  // namespace

bool FindFiles(const wchar_t* pattern, std::vector<FindEntry>* out) {
  if (pattern == nullptr || out == nullptr) {
    SetLastErrorCode(kErrInvalidParameter);
    return false;
  }
  out->clear();
  std::wstring full = pattern;
  size_t cut = full.find_last_of(L"\\/");
  std::wstring folder = cut == std::wstring::npos ? L"" : full.substr(0, cut);
  std::wstring wanted = detail::FoldCase(cut == std::wstring::npos ? full : full.substr(cut + 1));
  if (wanted == L"*.*") wanted = L"*";  // the handheld's "every file", dot or not
  // A host pattern ("/tmp/x/*.bin") keeps its host folder; "/x" has folder "/".
  std::string host_folder = (folder.empty() && !full.empty() && full[0] == L'/') ? "/" : HostPath(folder.c_str());

  DIR* dir = opendir(host_folder.c_str());
  if (dir == nullptr) {
    detail::SetLastErrorFromErrno(errno);
    return false;
  }
  std::vector<Candidate> found;
  while (dirent* d = readdir(dir)) {
    std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    Candidate c;
    c.entry.name = Widen(name);
    c.key = detail::FoldCase(c.entry.name);
    if (!detail::WildcardMatch(wanted, c.key)) continue;
    std::string host = host_folder + (host_folder.back() == '/' ? "" : "/") + name;
    struct stat st{};
    if (stat(host.c_str(), &st) == 0 || lstat(host.c_str(), &st) == 0) {
      c.entry.is_directory = S_ISDIR(st.st_mode);
      c.entry.size = c.entry.is_directory ? 0 : static_cast<uint64_t>(st.st_size);
    }
    found.push_back(std::move(c));
  }
  closedir(dir);
  if (found.empty()) {
    SetLastErrorCode(kErrNotFound);
    return false;
  }
  std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    return a.key != b.key ? a.key < b.key : a.entry.name < b.entry.name;
  });
  out->reserve(found.size());
  for (Candidate& c : found) out->push_back(std::move(c.entry));
  SetLastErrorCode(kErrNone);
  return true;
}

}  // namespace plat
