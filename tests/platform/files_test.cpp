#include <sys/wait.h>
#include <unistd.h>

#include "test_support.h"

namespace {

using plat::Disposition;
using plat::UniqueHandle;
using testsupport::HostFileExists;
using testsupport::ReadHostFile;
using testsupport::TempDeviceRoot;
using testsupport::WriteHostFile;

constexpr uint32_t kReadWrite = plat::kAccessRead | plat::kAccessWrite;
const wchar_t* const kLog = L"\\My Documents\\flwright.log";
const char* const kLogHost = "My Documents/flwright.log";

class Files : public ::testing::Test {
 protected:
  UniqueHandle Open(uint32_t share, Disposition disposition, const wchar_t* path = kLog) {
    return UniqueHandle(plat::OpenFile(path, kReadWrite, share, disposition));
  }
  void WriteAll(plat::Handle h, const std::string& data) {
    uint32_t done = 0;
    ASSERT_TRUE(plat::Write(h, data.data(), static_cast<uint32_t>(data.size()), &done));
    ASSERT_EQ(done, data.size());
  }
  TempDeviceRoot root_;
};

struct DispositionCase {
  Disposition disposition;
  bool exists;
  plat::ErrorCode error;  // LastError() after the open (kErrNone or an error of a failed open)
  bool opens;
  uint64_t size_at_open;
  std::string after;  // contents after writing "new" at the start; "" with !exists: no file
};

const DispositionCase kDispositionCases[] = {
    {Disposition::kCreateNew, false, plat::kErrNone, true, 0, "new"},
    {Disposition::kCreateNew, true, plat::kErrAlreadyExists, false, 0, "old contents"},
    {Disposition::kCreateAlways, false, plat::kErrNone, true, 0, "new"},
    {Disposition::kCreateAlways, true, plat::kErrAlreadyExists, true, 0, "new"},
    {Disposition::kOpenExisting, false, plat::kErrNotFound, false, 0, ""},
    {Disposition::kOpenExisting, true, plat::kErrNone, true, 12, "new contents"},
    {Disposition::kOpenAlways, false, plat::kErrNone, true, 0, "new"},
    {Disposition::kOpenAlways, true, plat::kErrAlreadyExists, true, 12, "new contents"},
};

TEST_F(Files, DispositionsCreateTruncateOrKeep) {
  for (const DispositionCase& c : kDispositionCases) {
    SCOPED_TRACE(::testing::Message() << "disposition " << static_cast<int>(c.disposition)
                                      << (c.exists ? ", file exists" : ", no file"));
    unlink(root_.Host(kLogHost).c_str());
    if (c.exists) WriteHostFile(root_.Host(kLogHost), "old contents");
    {
      UniqueHandle h = Open(plat::kShareNone, c.disposition);
      EXPECT_EQ(plat::LastError(), c.error);
      ASSERT_EQ(h.valid(), c.opens);
      if (c.opens) {
        uint64_t size = 99;
        EXPECT_TRUE(plat::FileSize(h.get(), &size));
        EXPECT_EQ(size, c.size_at_open);
        WriteAll(h.get(), "new");
      }
    }
    EXPECT_EQ(HostFileExists(root_.Host(kLogHost)), !c.after.empty());
    if (!c.after.empty()) {
      EXPECT_EQ(ReadHostFile(root_.Host(kLogHost)), c.after);
    }
  }
}

struct SharingCase {
  uint32_t first;
  uint32_t second;
  bool second_opens;
};

const SharingCase kSharingCases[] = {
    {plat::kShareNone, plat::kShareNone, false},
    {plat::kShareNone, plat::kShareRead | plat::kShareWrite, false},
    {plat::kShareRead, plat::kShareNone, false},
    {plat::kShareRead, plat::kShareRead, true},
    {plat::kShareRead | plat::kShareWrite, plat::kShareWrite, true},
};

TEST_F(Files, NoSharingOpenExcludesOtherOpensInTheProcess) {
  WriteHostFile(root_.Host(kLogHost), "old contents");
  for (const SharingCase& c : kSharingCases) {
    SCOPED_TRACE(::testing::Message() << "share " << c.first << " then " << c.second);
    UniqueHandle first = Open(c.first, Disposition::kOpenExisting);
    ASSERT_TRUE(first.valid());
    UniqueHandle second = Open(c.second, Disposition::kOpenExisting);
    EXPECT_EQ(second.valid(), c.second_opens);
    if (!c.second_opens) {
      EXPECT_EQ(plat::LastError(), plat::kErrSharingViolation);
      // A refused create-always truncates nothing.
      EXPECT_FALSE(Open(c.second, Disposition::kCreateAlways).valid());
      EXPECT_EQ(plat::LastError(), plat::kErrSharingViolation);
      EXPECT_EQ(ReadHostFile(root_.Host(kLogHost)), "old contents");
    }
  }
  // Everything closed: a no-sharing open works again.
  EXPECT_TRUE(Open(plat::kShareNone, Disposition::kOpenExisting).valid());
}

TEST_F(Files, NoSharingOpenExcludesAnotherProcess) {
  WriteHostFile(root_.Host(kLogHost), "old contents");
  int to_parent[2], to_child[2];
  ASSERT_EQ(pipe(to_parent), 0);
  ASSERT_EQ(pipe(to_child), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child holds the file until the parent has tried.
    plat::Handle h = plat::OpenFile(kLog, kReadWrite, plat::kShareNone, Disposition::kOpenExisting);
    char c = h != plat::kInvalidHandle ? 'y' : 'n';
    if (write(to_parent[1], &c, 1) != 1 || read(to_child[0], &c, 1) != 1) _exit(2);
    _exit(0);
  }
  char held = 0;
  ASSERT_EQ(read(to_parent[0], &held, 1), 1);
  EXPECT_EQ(held, 'y');
  EXPECT_FALSE(Open(plat::kShareRead, Disposition::kOpenExisting).valid());
  EXPECT_EQ(plat::LastError(), plat::kErrSharingViolation);
  EXPECT_FALSE(Open(plat::kShareNone, Disposition::kCreateAlways).valid());
  EXPECT_EQ(plat::LastError(), plat::kErrSharingViolation);
  EXPECT_EQ(ReadHostFile(root_.Host(kLogHost)), "old contents");
  EXPECT_FALSE(plat::DeleteFileAt(kLog));
  EXPECT_EQ(plat::LastError(), plat::kErrSharingViolation);

  char go = 'x';
  ASSERT_EQ(write(to_child[1], &go, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]}) close(fd);
  EXPECT_TRUE(Open(plat::kShareNone, Disposition::kOpenExisting).valid());
}

TEST_F(Files, ReadWriteSeekAndSize) {
  UniqueHandle h = Open(plat::kShareNone, Disposition::kCreateAlways);
  ASSERT_TRUE(h.valid());
  WriteAll(h.get(), "0123456789");
  uint64_t pos = 0;
  ASSERT_TRUE(plat::Seek(h.get(), -4, plat::SeekFrom::kEnd, &pos));
  EXPECT_EQ(pos, 6u);
  char buf[16] = {};
  uint32_t done = 0;
  ASSERT_TRUE(plat::Read(h.get(), buf, sizeof buf, &done));
  EXPECT_EQ(std::string(buf, done), "6789");
  // At the end: success with nothing read.
  ASSERT_TRUE(plat::Read(h.get(), buf, sizeof buf, &done));
  EXPECT_EQ(done, 0u);
  ASSERT_TRUE(plat::Seek(h.get(), 2, plat::SeekFrom::kBegin));
  ASSERT_TRUE(plat::Seek(h.get(), 1, plat::SeekFrom::kCurrent, &pos));
  EXPECT_EQ(pos, 3u);
  EXPECT_FALSE(plat::Seek(h.get(), -1, plat::SeekFrom::kBegin));
  EXPECT_EQ(plat::LastError(), plat::kErrInvalidParameter);
  uint64_t size = 0;
  ASSERT_TRUE(plat::FileSize(h.get(), &size));
  EXPECT_EQ(size, 10u);
}

TEST_F(Files, AccessAndHandleErrors) {
  WriteHostFile(root_.Host(kLogHost), "abc");
  UniqueHandle reader(plat::OpenFile(kLog, plat::kAccessRead, plat::kShareRead, Disposition::kOpenExisting));
  ASSERT_TRUE(reader.valid());
  uint32_t done = 7;
  EXPECT_FALSE(plat::Write(reader.get(), "x", 1, &done));
  EXPECT_EQ(plat::LastError(), plat::kErrAccessDenied);
  EXPECT_EQ(done, 0u);

  plat::Handle h = reader.release();
  EXPECT_EQ(h % 4, 0u);
  EXPECT_GE(h, 0x40u);
  EXPECT_TRUE(plat::CloseHandle(h));
  EXPECT_FALSE(plat::CloseHandle(h));
  EXPECT_EQ(plat::LastError(), plat::kErrInvalidHandle);
  char c;
  EXPECT_FALSE(plat::Read(h, &c, 1, &done));
  EXPECT_EQ(plat::LastError(), plat::kErrInvalidHandle);
  EXPECT_FALSE(plat::Seek(plat::kInvalidHandle, 0, plat::SeekFrom::kBegin));
  EXPECT_EQ(plat::LastError(), plat::kErrInvalidHandle);

  // Folders are not files, and a missing folder is not created on the way.
  EXPECT_FALSE(Open(plat::kShareNone, Disposition::kOpenExisting, L"\\My Documents").valid());
  EXPECT_EQ(plat::LastError(), plat::kErrAccessDenied);
  EXPECT_FALSE(Open(plat::kShareNone, Disposition::kOpenAlways, L"\\No Folder\\x.log").valid());
  EXPECT_EQ(plat::LastError(), plat::kErrNotFound);
}

TEST_F(Files, FoldersExistenceAndDeletion) {
  const wchar_t* deep = L"\\My Documents\\Pr\u00FCfung\\\u03A9mega";
  EXPECT_FALSE(plat::DirectoryExists(deep));
  EXPECT_EQ(plat::LastError(), plat::kErrNotFound);
  ASSERT_TRUE(plat::CreateDirectories(deep));
  ASSERT_TRUE(plat::CreateDirectories(L"\\my documents\\PR\u00DCFUNG\\\u03C9MEGA"));  // the same folder
  EXPECT_TRUE(plat::DirectoryExists(deep));
  EXPECT_TRUE(HostFileExists(root_.Host("My Documents/Pr\xC3\xBC" "fung/\xCE\xA9mega")));
  EXPECT_FALSE(plat::FileExists(deep));

  const wchar_t* file = L"\\My Documents\\Pr\u00FCfung\\\u03A9mega.bin";
  ASSERT_TRUE(Open(plat::kShareNone, Disposition::kCreateNew, file).valid());
  EXPECT_TRUE(plat::FileExists(L"\\MY DOCUMENTS\\PR\u00DCFUNG\\\u03C9MEGA.BIN"));
  EXPECT_FALSE(plat::CreateDirectories(file));
  EXPECT_EQ(plat::LastError(), plat::kErrAlreadyExists);
  {
    UniqueHandle held = Open(plat::kShareRead, Disposition::kOpenExisting, file);
    EXPECT_FALSE(plat::DeleteFileAt(file));
    EXPECT_EQ(plat::LastError(), plat::kErrSharingViolation);
  }
  EXPECT_TRUE(plat::DeleteFileAt(file));
  EXPECT_FALSE(plat::FileExists(file));
  EXPECT_FALSE(plat::DeleteFileAt(file));
  EXPECT_EQ(plat::LastError(), plat::kErrNotFound);
  EXPECT_FALSE(plat::DeleteFileAt(deep));
  EXPECT_EQ(plat::LastError(), plat::kErrAccessDenied);
}

struct FindCase {
  const wchar_t* pattern;
  std::vector<std::wstring> names;  // empty: fails with kErrNotFound
};

const FindCase kFindCases[] = {
    {L"\\My Documents\\*.bin", {L"a1.bin", L"ab.bin", L"Alpha.BIN", L"beta.bin"}},
    {L"\\my documents\\A?.BIN", {L"a1.bin", L"ab.bin"}},
    {L"\\My Documents\\*", {L"a1.bin", L"ab.bin", L"Alpha.BIN", L"beta.bin", L"gamma.raw", L"Sub"}},
    {L"\\My Documents\\*.*", {L"a1.bin", L"ab.bin", L"Alpha.BIN", L"beta.bin", L"gamma.raw", L"Sub"}},
    {L"\\My Documents\\*a*.r?w", {L"gamma.raw"}},
    {L"\\My Documents\\beta.bin", {L"beta.bin"}},
    {L"\\My Documents\\*.xyz", {}},
    {L"\\No Folder\\*", {}},
};

TEST_F(Files, FindFilesMatchesWildcardsIgnoringCase) {
  for (const char* name : {"a1.bin", "ab.bin", "Alpha.BIN", "beta.bin", "gamma.raw"}) {
    WriteHostFile(root_.Host(std::string("My Documents/") + name), "12345");
  }
  WriteHostFile(root_.Host("My Documents/Sub/inner.bin"), "");
  for (const FindCase& c : kFindCases) {
    SCOPED_TRACE(plat::Narrow(c.pattern));
    std::vector<plat::FindEntry> found = {plat::FindEntry{}};
    bool ok = plat::FindFiles(c.pattern, &found);
    EXPECT_EQ(ok, !c.names.empty());
    if (!ok) {
      EXPECT_EQ(plat::LastError(), plat::kErrNotFound);
    }
    std::vector<std::wstring> names;
    for (const auto& e : found) {
      names.push_back(e.name);
      EXPECT_EQ(e.is_directory, e.name == L"Sub");
      EXPECT_EQ(e.size, e.is_directory ? 0u : 5u);
    }
    EXPECT_EQ(names, c.names);
  }
}

}  // namespace
