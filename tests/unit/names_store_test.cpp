#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "adapters_id_internal.h"
#include "lib/process.h"
#include "names_format_internal.h"
#include "names_store_internal.h"

namespace {

namespace fs = std::filesystem;
using zok::adapters::Mac;
using zok::names::NameTable;

using testlib::TemporaryDirectory;

Mac numbered_mac(int n) {
  return Mac{0x02, 0, 0, 0, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
}

TEST(NamesStore, NoFileAndNoDirectoryMeanNoNames) {
  TemporaryDirectory temp;
  ASSERT_FALSE(temp.path.empty());
  NameTable names = {{Mac{}, "stale"}};
  EXPECT_EQ(zok::names::read_names((temp.path / "absent").string(), names), 0);
  EXPECT_TRUE(names.empty());
  // Reading creates nothing.
  EXPECT_FALSE(fs::exists(temp.path / "absent"));
}

TEST(NamesStore, UpdateCreatesTheDirectoryAndReadsBack) {
  TemporaryDirectory temp;
  const std::string directory = (temp.path / "a" / "b").string();
  ASSERT_EQ(zok::names::update_names(directory, [](NameTable &names) { names[Mac{}] = "one"; }), 0);
  ASSERT_EQ(
      zok::names::update_names(directory, [](NameTable &names) { names[numbered_mac(1)] = "two"; }),
      0);
  NameTable names;
  ASSERT_EQ(zok::names::read_names(directory, names), 0);
  EXPECT_EQ(names, (NameTable{{Mac{}, "one"}, {numbered_mac(1), "two"}}));
  EXPECT_EQ((fs::status(directory).permissions() & fs::perms::all),
            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                fs::perms::others_read | fs::perms::others_exec);
  // Only the file and its lock remain: no temporary file is left behind.
  std::vector<std::string> entries;
  for (const auto &entry : fs::directory_iterator(directory))
    entries.push_back(entry.path().filename().string());
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"names", "names.lock"}));
  EXPECT_EQ(fs::status(fs::path(directory) / "names").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);
}

TEST(NamesStore, AnUpdateClearsTemporaryFilesOfWritersThatDied) {
  TemporaryDirectory temp;
  std::ofstream(temp.path / ".names.AbC123") << "00:00:00:00:00:00 half writ";
  std::ofstream(temp.path / "unrelated") << "stays\n";
  ASSERT_EQ(zok::names::update_names(temp.path.string(), [](NameTable &) {}), 0);
  EXPECT_FALSE(fs::exists(temp.path / ".names.AbC123"));
  EXPECT_TRUE(fs::exists(temp.path / "unrelated"));
  NameTable names;
  ASSERT_EQ(zok::names::read_names(temp.path.string(), names), 0);
  EXPECT_TRUE(names.empty());
}

TEST(NamesStore, AnUpdateDropsDamagedLinesAndKeepsTheRest) {
  TemporaryDirectory temp;
  const fs::path file = temp.path / "names";
  std::ofstream(file) << "00:00:00:00:00:00 keep me\n"
                         "\x01\x02 binary junk \xff\n"
                         "02:00:00:00:00:07 "
                      << std::string(80, 'y') << "\n"
                      << "02:00:00:00:00:01 me too\n";
  NameTable names;
  ASSERT_EQ(zok::names::read_names(temp.path.string(), names), 0);
  EXPECT_EQ(names, (NameTable{{Mac{}, "keep me"}, {numbered_mac(1), "me too"}}));

  ASSERT_EQ(zok::names::update_names(temp.path.string(),
                                     [](NameTable &table) { table[numbered_mac(2)] = "new"; }),
            0);
  const auto parsed = zok::names::parse_names(testlib::read_file(file));
  EXPECT_EQ(parsed.damaged_lines, 0u);
  EXPECT_EQ(parsed.names,
            (NameTable{{Mac{}, "keep me"}, {numbered_mac(1), "me too"}, {numbered_mac(2), "new"}}));
}

TEST(NamesStore, ReportsAStateDirectoryThatIsAFile) {
  TemporaryDirectory temp;
  const fs::path occupied = temp.path / "file";
  std::ofstream(occupied) << "not a directory\n";
  EXPECT_EQ(zok::names::update_names(occupied.string(), [](NameTable &) {}), ENOTDIR);
  EXPECT_EQ(zok::names::update_names((occupied / "below").string(), [](NameTable &) {}), ENOTDIR);
  EXPECT_EQ(testlib::read_file(occupied), "not a directory\n");
}

TEST(NamesStore, RefusesANamesPathThatIsNoFile) {
  TemporaryDirectory temp;
  fs::create_directory(temp.path / "names");
  NameTable names;
  EXPECT_NE(zok::names::read_names(temp.path.string(), names), 0);
  EXPECT_NE(zok::names::update_names(temp.path.string(), [](NameTable &) {}), 0);
  // A FIFO must not hang a reader waiting for a writer that never comes.
  fs::remove(temp.path / "names");
  ASSERT_EQ(::mkfifo((temp.path / "names").c_str(), 0600), 0);
  EXPECT_EQ(zok::names::read_names(temp.path.string(), names), EIO);
}

TEST(NamesStore, ConcurrentUpdatesLoseNothing) {
  // Each thread opens the lock file itself, so the lock serialises threads
  // of one process just as it does processes.
  TemporaryDirectory temp;
  const std::string directory = temp.path.string();
  constexpr int threads = 6;
  constexpr int updates = 15;
  std::vector<int> failures(threads, 0);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int u = 0; u < updates; ++u) {
        const int n = t * updates + u;
        if (zok::names::update_names(directory, [n](NameTable &names) {
              names[numbered_mac(n)] = "name " + std::to_string(n);
            }) != 0)
          ++failures[t];
      }
    });
  }
  for (auto &worker : workers) worker.join();
  EXPECT_EQ(failures, std::vector<int>(threads, 0));
  NameTable names;
  ASSERT_EQ(zok::names::read_names(directory, names), 0);
  ASSERT_EQ(names.size(), static_cast<std::size_t>(threads * updates));
  for (int n = 0; n < threads * updates; ++n)
    EXPECT_EQ(names[numbered_mac(n)], "name " + std::to_string(n));
}

TEST(NamesStore, StateDirectoryComesFromTheEnvironment) {
  const char *saved = std::getenv("ZOK_STATE_DIR");
  const std::string restore = saved != nullptr ? saved : "";
  ::setenv("ZOK_STATE_DIR", "/somewhere/else", 1);
  EXPECT_EQ(zok::names::state_directory(), "/somewhere/else");
  ::setenv("ZOK_STATE_DIR", "", 1);
  EXPECT_EQ(zok::names::state_directory(), "/var/lib/zok");
  ::unsetenv("ZOK_STATE_DIR");
  EXPECT_EQ(zok::names::state_directory(), "/var/lib/zok");
  if (saved != nullptr) ::setenv("ZOK_STATE_DIR", restore.c_str(), 1);
}

}  // namespace
