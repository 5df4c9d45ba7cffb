// The guest's file tree against a temporary host directory: every call's
// answers, and every way out of the sandbox (.., symbolic links absolute
// and relative, renames and links through them, special files), with a
// check after each test that nothing outside the temporary root changed.
#include "r3k/fs.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace stdfs = std::filesystem;
using namespace r3k::fs;
using r3k::Err;

constexpr OpenFlags kRead{};
constexpr OpenFlags kReadWrite{Access::ReadWrite};
constexpr OpenFlags kCreate{Access::ReadWrite, true};
constexpr OpenFlags kCreateExcl{Access::ReadWrite, true, true};

std::string slurp(const stdfs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// TMP/root is the guest's "/"; TMP/outside (a file) and TMP/outdir (an
// empty directory) are what an escape would reach.
class FsTree : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (stdfs::temp_directory_path() / "r3k-fs-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    top_ = tmpl;
    root_ = top_ / "root";
    stdfs::create_directories(root_ / "dir/sub");
    stdfs::create_directory(root_ / "empty");
    stdfs::create_directory(top_ / "outdir");
    std::ofstream(top_ / "outside") << "secret";
    std::ofstream(root_ / "file") << "hello";
    std::ofstream(root_ / "dir/inner") << "x";
    stdfs::create_directory_symlink("/", root_ / "abs");
    stdfs::create_directory_symlink("/", root_ / "dir/sub/toroot");
    stdfs::create_directory_symlink("../..", root_ / "up");
    stdfs::create_symlink(top_ / "outside", root_ / "out");
    stdfs::create_directory_symlink(top_ / "outdir", root_ / "outlink");
    stdfs::create_directory_symlink("dir", root_ / "dirlink");
    stdfs::create_symlink("loop2", root_ / "loop1");
    stdfs::create_symlink("loop1", root_ / "loop2");
    stdfs::create_symlink("nowhere", root_ / "dangling");
    // c1 -> c2 -> ... -> c33 -> file: 33 links from c1, 32 from c2.
    for (int i = 1; i <= 33; ++i) {
      stdfs::create_symlink(i == 33 ? "file" : "c" + std::to_string(i + 1), root_ / ("c" + std::to_string(i)));
    }
    ASSERT_EQ(mkfifo((root_ / "fifo").c_str(), 0600), 0);
    make_socket(root_ / "sock");
    tree_ = Tree::open_root(root_.string());
  }

  void TearDown() override {
    tree_.reset();
    EXPECT_EQ(slurp(top_ / "outside"), "secret");
    EXPECT_TRUE(stdfs::is_empty(top_ / "outdir"));
    std::vector<std::string> names;
    for (const auto& e : stdfs::directory_iterator(top_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"outdir", "outside", "root"}));
    stdfs::remove_all(top_);
  }

  void make_socket(const stdfs::path& p) {
    sock_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(p.string().size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, p.c_str());
    ASSERT_EQ(bind(sock_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(sock_);
  }

  ino_t host_ino(const stdfs::path& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 ? st.st_ino : 0;
  }

  std::unique_ptr<File> open(std::string_view path, OpenFlags flags = kRead) {
    auto r = tree_->open("/", path, flags, 0644);
    EXPECT_TRUE(r.ok()) << path << ": " << r.error.why;
    return std::move(r.value);
  }

  stdfs::path top_, root_;
  int sock_ = -1;
  std::unique_ptr<Tree> tree_;
};

// Where each path leads, followed (stat) or not (lstat): the host file it
// is, or the error.  None leaves the root.
TEST_F(FsTree, PathsResolveInsideTheRoot) {
  const std::string long_ok = "/" + std::string(r3k::fs::kMaxPath - 1, '/');
  const std::string too_long = long_ok + "/";
  struct Row {
    std::string cwd, path;
    bool follow;
    Err err;
    const char* host;  // under the root, for success
  } rows[] = {
      {"/", "/", true, r3k::kEOK, ""},
      {"/", "/..", true, r3k::kEOK, ""},
      {"/dir/sub", "../../../..", true, r3k::kEOK, ""},
      {"/", "abs/file", true, r3k::kEOK, "file"},
      {"/", "abs/../../abs/file", true, r3k::kEOK, "file"},
      {"/dir", "sub/toroot/file", true, r3k::kEOK, "file"},
      {"/", "up/file", true, r3k::kEOK, "file"},
      {"/", "up/up/dir/sub", true, r3k::kEOK, "dir/sub"},
      {"/", "out", true, r3k::kENOENT, nullptr},  // the host path, inside the root
      {"/", "outlink/x", true, r3k::kENOENT, nullptr},
      {"/", "out", false, r3k::kEOK, "out"},
      {"/", "dirlink/inner", true, r3k::kEOK, "dir/inner"},
      {"/dir", "inner", true, r3k::kEOK, "dir/inner"},
      {"/dir", "../file", true, r3k::kEOK, "file"},
      {"/dir/sub", "../../dirlink/./inner", true, r3k::kEOK, "dir/inner"},
      {"/", "dir//sub/", true, r3k::kEOK, "dir/sub"},
      {"/", "dirlink/", false, r3k::kEOK, "dir"},  // a trailing slash follows
      {"/", "loop1", true, r3k::kEINVAL, nullptr},
      {"/", "loop1", false, r3k::kEOK, "loop1"},
      {"/", "loop1/x", false, r3k::kEINVAL, nullptr},
      {"/", "c1", true, r3k::kEINVAL, nullptr},  // 33 links
      {"/", "c2", true, r3k::kEOK, "file"},      // 32
      {"/", "dangling", true, r3k::kENOENT, nullptr},
      {"/", "dangling", false, r3k::kEOK, "dangling"},
      {"/", "file/", true, r3k::kENOTDIR, nullptr},
      {"/", "file/x", true, r3k::kENOTDIR, nullptr},
      {"/", "missing/x", true, r3k::kENOENT, nullptr},
      {"/", "", true, r3k::kENOENT, nullptr},
      {"/", long_ok, true, r3k::kEOK, ""},
      {"/", too_long, true, r3k::kENAMETOOLONG, nullptr},
      {"/", std::string(256, 'n'), true, r3k::kENAMETOOLONG, nullptr},
      {"/", "fifo", true, r3k::kEOK, "fifo"},
      {"/", "fifo/x", true, r3k::kENOTDIR, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.cwd + " " + row.path.substr(0, 40) + (row.follow ? " stat" : " lstat"));
    const Result<Stat> r = row.follow ? tree_->stat(row.cwd, row.path) : tree_->lstat(row.cwd, row.path);
    EXPECT_EQ(r.error.err, row.err) << r.error.why;
    if (row.host != nullptr && r.ok()) {
      EXPECT_EQ(r.value.ino, host_ino(root_ / row.host));
    }
  }
  EXPECT_EQ(tree_->lstat("/", "fifo").value.type, Type::Fifo);
  EXPECT_EQ(tree_->lstat("/", "sock").value.type, Type::Socket);
  EXPECT_EQ(tree_->lstat("/", "abs").value.type, Type::Symlink);
  EXPECT_EQ(tree_->stat("/", "c1").error.why, "more than 32 symbolic links");
}

TEST_F(FsTree, OpenRefusesSpecialFilesAndFollowsFlags) {
  struct Row {
    const char* path;
    OpenFlags flags;
    Err err;
    const char* made;  // a file the call creates, under the root
  } rows[] = {
      {"fifo", kRead, r3k::kENXIO, nullptr},
      {"fifo", kReadWrite, r3k::kENXIO, nullptr},
      {"sock", kRead, r3k::kENXIO, nullptr},
      {"dir", kReadWrite, r3k::kEISDIR, nullptr},
      {"dir", kCreate, r3k::kEISDIR, nullptr},
      {"dir", {Access::Read, false, false, true}, r3k::kEISDIR, nullptr},
      {"missing", kRead, r3k::kENOENT, nullptr},
      {"file", kCreateExcl, r3k::kEEXIST, nullptr},
      {"dangling", kCreateExcl, r3k::kEEXIST, nullptr},  // not followed
      {"dangling", kCreate, r3k::kEOK, "nowhere"},       // followed
      {"new/", kCreate, r3k::kEISDIR, nullptr},
      {"abs/../../made", kCreate, r3k::kEOK, "made"},
      {"up/made2", kCreateExcl, r3k::kEOK, "made2"},
      {"out", kCreate, r3k::kENOENT, nullptr},  // its target's directory is not in the root
      {"outlink/x", kCreate, r3k::kENOENT, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const auto r = tree_->open("/", row.path, row.flags, 0600);
    EXPECT_EQ(r.error.err, row.err) << r.error.why;
    if (row.made != nullptr) {
      EXPECT_TRUE(stdfs::is_regular_file(root_ / row.made));
    }
  }
  EXPECT_EQ(tree_->open("/", "fifo", kRead, 0).error.why, "special file: FIFO");
  EXPECT_EQ(tree_->read_executable("/", "fifo", 1000).error.err, r3k::kENOEXEC);
  EXPECT_EQ(tree_->read_executable("/", "dir", 1000).error.err, r3k::kEISDIR);
  EXPECT_EQ(tree_->read_executable("/", "file", 4).error.err, r3k::kENOEXEC);
  EXPECT_EQ(tree_->read_executable("/", "c2", 5).value, (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
}

// Calls on names, each row on the tree as SetUp made it; after a success,
// `check` holds on the host.
TEST_F(FsTree, NameCallsAnswerAndStayInside) {
  using Call = std::function<Error(Tree&)>;
  const auto is = [this](const char* p) {
    return [this, p] { return stdfs::exists(stdfs::symlink_status(root_ / p)); };
  };
  struct Row {
    const char* what;
    Call call;
    Err err;
    std::function<bool()> check;
  } rows[] = {
      {"mkdir", [](Tree& t) { return t.mkdir("/", "newdir", 0755); }, r3k::kEOK, is("newdir")},
      {"mkdir up", [](Tree& t) { return t.mkdir("/dir", "../up/up/esc", 0755); }, r3k::kEOK, is("esc")},
      {"mkdir slash", [](Tree& t) { return t.mkdir("/", "nd/", 0755); }, r3k::kEOK, is("nd")},
      {"mkdir exists", [](Tree& t) { return t.mkdir("/", "dir", 0755); }, r3k::kEEXIST, nullptr},
      {"mkdir .", [](Tree& t) { return t.mkdir("/dir", ".", 0755); }, r3k::kEEXIST, nullptr},
      {"mkdir a/..", [](Tree& t) { return t.mkdir("/", "dir/..", 0755); }, r3k::kEEXIST, nullptr},
      {"mkdir dangling", [](Tree& t) { return t.mkdir("/", "dangling", 0755); }, r3k::kEEXIST, nullptr},
      {"mkdir deep", [](Tree& t) { return t.mkdir("/", "nope/x", 0755); }, r3k::kENOENT, nullptr},
      {"rmdir", [](Tree& t) { return t.rmdir("/", "empty/"); }, r3k::kEOK,
       [this] { return !stdfs::exists(root_ / "empty"); }},
      {"rmdir .", [](Tree& t) { return t.rmdir("/empty", "."); }, r3k::kEINVAL, nullptr},
      {"rmdir ..", [](Tree& t) { return t.rmdir("/empty", ".."); }, r3k::kEINVAL, nullptr},
      {"rmdir /", [](Tree& t) { return t.rmdir("/", "/"); }, r3k::kEBUSY, nullptr},
      {"rmdir full", [](Tree& t) { return t.rmdir("/", "dir"); }, r3k::kENOTEMPTY, nullptr},
      {"rmdir file", [](Tree& t) { return t.rmdir("/", "file"); }, r3k::kENOTDIR, nullptr},
      {"rmdir link", [](Tree& t) { return t.rmdir("/", "dirlink"); }, r3k::kENOTDIR, nullptr},
      {"remove", [](Tree& t) { return t.remove("/", "file"); }, r3k::kEOK,
       [this] { return !stdfs::exists(root_ / "file"); }},
      {"remove link", [](Tree& t) { return t.remove("/", "abs"); }, r3k::kEOK, is("dir")},
      {"remove dir", [](Tree& t) { return t.remove("/", "dir"); }, r3k::kEISDIR, nullptr},
      {"remove /", [](Tree& t) { return t.remove("/", "/"); }, r3k::kEISDIR, nullptr},
      {"remove missing", [](Tree& t) { return t.remove("/", "missing"); }, r3k::kENOENT, nullptr},
      {"remove file/", [](Tree& t) { return t.remove("/", "file/"); }, r3k::kENOTDIR, nullptr},
      {"rename up", [](Tree& t) { return t.rename("/", "file", "up/up/moved"); }, r3k::kEOK, is("moved")},
      {"rename ..", [](Tree& t) { return t.rename("/dir", "../../file", "../../../moved"); }, r3k::kEOK, is("moved")},
      {"rename abs", [](Tree& t) { return t.rename("/", "/abs/file", "/abs/abs/moved"); }, r3k::kEOK, is("moved")},
      {"rename outlink", [](Tree& t) { return t.rename("/", "file", "outlink/moved"); }, r3k::kENOENT, nullptr},
      {"rename into itself", [](Tree& t) { return t.rename("/", "dir", "dir/sub/x"); }, r3k::kEINVAL, nullptr},
      {"rename /", [](Tree& t) { return t.rename("/", "/", "x"); }, r3k::kEBUSY, nullptr},
      {"rename .", [](Tree& t) { return t.rename("/dir", ".", "/x"); }, r3k::kEINVAL, nullptr},
      {"rename over dir", [](Tree& t) { return t.rename("/", "file", "empty"); }, r3k::kEISDIR, nullptr},
      {"rename file/", [](Tree& t) { return t.rename("/", "file", "newname/"); }, r3k::kENOTDIR, nullptr},
      {"link", [](Tree& t) { return t.link("/", "abs/file", "up/linked"); }, r3k::kEOK, is("linked")},
      {"link symlink", [](Tree& t) { return t.link("/", "out", "out2"); }, r3k::kEOK, is("out2")},
      {"link dir", [](Tree& t) { return t.link("/", "dir", "x"); }, r3k::kEISDIR, nullptr},
      {"link exists", [](Tree& t) { return t.link("/", "file", "dangling"); }, r3k::kEEXIST, nullptr},
      {"link outlink", [](Tree& t) { return t.link("/", "file", "outlink/x"); }, r3k::kENOENT, nullptr},
      {"symlink", [](Tree& t) { return t.symlink("/", "../../x", "sl"); }, r3k::kEOK, is("sl")},
      {"symlink exists", [](Tree& t) { return t.symlink("/", "x", "file"); }, r3k::kEEXIST, nullptr},
      {"symlink empty", [](Tree& t) { return t.symlink("/", "", "sl"); }, r3k::kENOENT, nullptr},
      {"symlink long", [](Tree& t) { return t.symlink("/", std::string(1025, 'x'), "sl"); }, r3k::kENAMETOOLONG,
       nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const Error e = row.call(*tree_);
    EXPECT_EQ(e.err, row.err) << e.why;
    if (row.check) {
      EXPECT_TRUE(row.check());
    }
    if (e.ok()) {  // the next row gets the tree as it was
      TearDown();
      SetUp();
    }
  }
  EXPECT_EQ(tree_->readlink("/", "up").value, "../..");
  EXPECT_EQ(tree_->readlink("/", "file").error.err, r3k::kEINVAL);
  EXPECT_EQ(tree_->readlink("/", "dirlink/").error.err, r3k::kEINVAL);
}

TEST_F(FsTree, ChdirGivesTheCanonicalPath) {
  struct Row {
    const char *cwd, *path, *expect;
    Err err;
  } rows[] = {
      {"/", "dirlink", "/dir", r3k::kEOK},
      {"/", "abs/dir/sub/..", "/dir", r3k::kEOK},
      {"/dir/sub", "../../..", "/", r3k::kEOK},
      {"/dir", "sub/", "/dir/sub", r3k::kEOK},
      {"/", "up/dirlink/./sub", "/dir/sub", r3k::kEOK},
      {"/dir/sub", "toroot/dir", "/dir", r3k::kEOK},
      {"/", "file", "", r3k::kENOTDIR},
      {"/", "missing", "", r3k::kENOENT},
      {"/gone", ".", "", r3k::kENOENT},
  };
  for (const Row& row : rows) {
    const Result<std::string> r = tree_->chdir(row.cwd, row.path);
    EXPECT_EQ(r.error.err, row.err) << row.path;
    EXPECT_EQ(r.value, row.expect) << row.path;
  }
  // A directory whose canonical path outgrows the limit cannot become current.
  std::string deep;
  for (int i = 0; i < 4; ++i) {
    const std::string name(250, 'a' + i);
    ASSERT_TRUE(tree_->mkdir(deep.empty() ? "/" : deep, name, 0755).ok());
    deep += "/" + name;
  }
  EXPECT_EQ(tree_->chdir("/", deep).value, deep);
  const std::string sub(30, 's');  // 1004 + 31 bytes
  ASSERT_TRUE(tree_->mkdir(deep, sub, 0755).ok());
  EXPECT_EQ(tree_->chdir(deep, sub).error.err, r3k::kENAMETOOLONG);
}

TEST_F(FsTree, FilesReadWriteAppendAndTruncate) {
  auto f = open("new", kCreate);
  const std::string text = "abcdef";
  EXPECT_EQ(f->write(0, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}).value, 6u);
  EXPECT_EQ(f->write(10, {reinterpret_cast<const uint8_t*>("Z"), 1}).value, 1u);
  const File::Appended a = f->append({reinterpret_cast<const uint8_t*>("!!"), 2}).value;
  EXPECT_EQ(a.end, 13u);
  EXPECT_EQ(slurp(root_ / "new"), std::string("abcdef\0\0\0\0Z!!", 13));
  uint8_t buf[8];
  EXPECT_EQ(f->read(4, buf).value, 8u);
  EXPECT_EQ(f->read(13, buf).value, 0u);
  EXPECT_EQ(f->read(uint64_t{1} << 63, buf).value, 0u);
  EXPECT_EQ(f->write(uint64_t{1} << 63, buf).error.err, r3k::kEINVAL);
  EXPECT_TRUE(f->truncate(3).ok());
  EXPECT_EQ(f->stat().value.size, 3);
  EXPECT_TRUE(f->sync().ok());
  auto ro = open("file");
  EXPECT_EQ(ro->write(0, buf).error.err, r3k::kEBADF);
  EXPECT_EQ(ro->truncate(0).err, r3k::kEINVAL);
  EXPECT_EQ(open("file", {Access::Write, false, false, true})->stat().value.size, 0);
}

TEST_F(FsTree, TheQuotaCountsWhatTheRunAdds) {
  tree_ = Tree::open_root(root_.string(), kNodeCost + 100);
  auto f = open("q", kCreate);
  EXPECT_EQ(tree_->disk_used(), kNodeCost);
  std::vector<uint8_t> bytes(150, 'q');
  EXPECT_EQ(f->write(0, bytes).value, 100u);  // what fits
  EXPECT_EQ(f->write(100, {bytes.data(), 1}).error.err, r3k::kENOSPC);
  EXPECT_EQ(f->write(50, {bytes.data(), 50}).value, 50u);  // overwriting is free
  EXPECT_EQ(f->truncate(101).err, r3k::kENOSPC);
  EXPECT_EQ(tree_->mkdir("/", "d", 0755).err, r3k::kENOSPC);
  EXPECT_TRUE(f->truncate(40).ok());
  EXPECT_EQ(tree_->disk_used(), kNodeCost + 40);
  EXPECT_TRUE(tree_->remove("/", "file").ok());  // not the run's: gives nothing back
  EXPECT_EQ(tree_->disk_used(), kNodeCost + 40);
  EXPECT_EQ(tree_->link("/", "q", "q2").err, r3k::kENOSPC);
  EXPECT_TRUE(tree_->remove("/", "q").ok());
  EXPECT_EQ(tree_->disk_used(), 0u);
  EXPECT_EQ(Tree::open_root(root_.string())->max_disk() <= kDefaultMaxDisk, true);
}

TEST_F(FsTree, ListingsAreSortedSnapshots) {
  std::ofstream(root_ / "empty/b");
  std::ofstream(root_ / "empty/\xff");
  std::ofstream(root_ / "empty/A");
  auto d = open("empty");
  const auto names = [&] {
    std::vector<std::string> out;
    for (uint64_t i = 0;; ++i) {
      const Result<std::string_view> r = d->entry(i);
      if (!r.ok() || r.value.empty()) break;
      out.emplace_back(r.value);
    }
    return out;
  };
  EXPECT_EQ(names(), (std::vector<std::string>{".", "..", "A", "b", "\xff"}));
  EXPECT_EQ(d->entry(1).value, "..");
  std::ofstream(root_ / "empty/a");
  EXPECT_EQ(d->entry(3).value, "b");  // the snapshot holds
  EXPECT_EQ(d->entry(0).value, ".");  // index 0 takes a new one
  EXPECT_EQ(d->entry(3).value, "a");
  EXPECT_EQ(d->read(0, {}).error.err, r3k::kEISDIR);
  auto here = std::move(tree_->open("/dir", ".", kRead, 0).value);
  EXPECT_EQ(here->entry(2).value, "inner");
  EXPECT_EQ(open("file")->entry(0).error.err, r3k::kENOTDIR);
}

TEST_F(FsTree, ReadOnlyAndEmptyTreesRefuseEveryChange) {
  for (auto& tree : {Tree::open_root(root_.string() + ":ro"), Tree::empty()}) {
    const Error changes[] = {
        tree->mkdir("/", "n", 0755),
        tree->rmdir("/", "empty"),
        tree->remove("/", "file"),
        tree->rename("/", "file", "n"),
        tree->link("/", "file", "n"),
        tree->symlink("/", "x", "n"),
        tree->open("/", "n", kCreate, 0).error,
        tree->open("/", "file", kReadWrite, 0).error,
    };
    for (const Error& e : changes) {
      EXPECT_EQ(e.err, r3k::kEIO);
      EXPECT_EQ(e.why, "read-only tree");
    }
    EXPECT_TRUE(tree->read_only());
  }
  auto ro = Tree::open_root(root_.string() + ":ro");
  EXPECT_TRUE(ro->open("/", "file", kRead, 0).ok());
  EXPECT_TRUE(ro->open("/", "file", OpenFlags{Access::Read, true}, 0).ok());  // creates nothing
  auto none = Tree::empty();
  EXPECT_EQ(none->stat("/", "/..").value.type, Type::Directory);
  EXPECT_EQ(none->stat("/", "file").error.why, "empty tree");
  EXPECT_EQ(none->chdir("/", "x/..").error.err, r3k::kENOENT);
  auto root = std::move(none->open("/", ".", kRead, 0).value);
  EXPECT_EQ(root->entry(0).value, ".");
  EXPECT_EQ(root->entry(1).value, "..");
  EXPECT_EQ(root->entry(2).value, "");
}

TEST(FsSetup, RootArgumentsAndHostErrors) {
  EXPECT_THROW(Tree::open_root("/nonexistent-r3k-root"), SetupError);
  EXPECT_THROW(Tree::open_root(R3K_SOURCE_DIR "/CMakeLists.txt"), SetupError);
  EXPECT_THROW(Tree::open_root(":ro"), SetupError);
  try {
    Tree::open_root("/nonexistent-r3k-root:ro");
  } catch (const SetupError& e) {
    EXPECT_STREQ(e.what(), "root directory /nonexistent-r3k-root: No such file or directory");
  }
  EXPECT_FALSE(Tree::open_root(R3K_SOURCE_DIR ":rw")->read_only());
  struct Row {
    int host;
    Err err;
    const char* why;
  } rows[] = {
      {EACCES, r3k::kEIO, "EACCES"},    {EROFS, r3k::kEIO, "EROFS"},
      {ELOOP, r3k::kEINVAL, "ELOOP"},   {EDQUOT, r3k::kENOSPC, "EDQUOT"},
      {EMFILE, r3k::kENFILE, "EMFILE"}, {EHOSTDOWN, r3k::kEIO, "EHOSTDOWN"},
      {ENOENT, r3k::kENOENT, "ENOENT"}, {9999, r3k::kEIO, "unknown host error"},
  };
  for (const Row& row : rows) {
    const Error e = host_error(row.host);
    EXPECT_EQ(e.err, row.err) << row.why;
    EXPECT_EQ(e.why, row.why);
  }
}

}  // namespace
