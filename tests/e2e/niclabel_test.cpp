// niclabel and the names operations of the real library, run against the
// interfaces of a network namespace of the tests' own (or, where none can
// be made, this host's), with the names file in a temporary state directory.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>
#include <zok/zok.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "lib/process.h"
#include "niclabel_malloc_shim.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testlib::Exit;
using testlib::Process;
using testlib::read_file;

// One adapter as the kernel shows it in sysfs, independently of the
// library's own listing.
struct HostAdapter {
  std::string mac;  // lower case
  std::string interface_name;
  unsigned serial = 0;
};

std::string first_line(const fs::path &file) {
  std::string text = read_file(file);
  return text.substr(0, text.find('\n'));
}

std::vector<HostAdapter> host_adapters() {
  std::map<std::string, std::pair<unsigned, std::string>> by_mac;  // mac -> lowest index, name
  std::error_code error;
  for (const auto &entry : fs::directory_iterator("/sys/class/net", error)) {
    if (first_line(entry.path() / "addr_len") != "6") continue;
    std::string mac = first_line(entry.path() / "address");
    std::transform(mac.begin(), mac.end(), mac.begin(), ::tolower);
    const unsigned index = std::stoul("0" + first_line(entry.path() / "ifindex"));
    const auto known = by_mac.find(mac);
    if (known == by_mac.end() || index < known->second.first)
      by_mac[mac] = {index, entry.path().filename().string()};
  }
  std::vector<HostAdapter> adapters;
  for (const auto &[mac, found] : by_mac) {
    const unsigned serial =
        std::stoul(mac.substr(9, 2) + mac.substr(12, 2) + mac.substr(15, 2), nullptr, 16);
    adapters.push_back({mac, found.second, serial});
  }
  return adapters;
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), ::toupper);
  return text;
}

struct StateDirectory {
  StateDirectory() {
    ::setenv("ZOK_STATE_DIR", state.c_str(), 1);
    // The programs must load the real engine even when they were linked
    // against the double for development.
    ::setenv("LD_LIBRARY_PATH", ZOK_LIBRARY_DIR, 1);
  }
  ~StateDirectory() { ::unsetenv("ZOK_STATE_DIR"); }
  fs::path names_file() const { return state / "names"; }

  testlib::TemporaryDirectory temp{"zok-niclabel"};
  const fs::path root = temp.path;
  const fs::path state = root / "state";
};

// niclabel as a user starts it: its usage names it after argv[0].
std::unique_ptr<Process> start_niclabel(const std::vector<std::string> &args,
                                        const testlib::Gate *gate = nullptr) {
  std::vector<std::string> argv{"niclabel"};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<Process>(argv, testlib::StartOptions{NICLABEL_PATH, gate});
}

Exit niclabel(const std::vector<std::string> &args) {
  return start_niclabel(args)->finish(60s);
}

// What niclabel prints for a name that came back.
std::string shown(const std::string &adapter, const std::string &name) {
  return adapter + ": " + name + "\n";
}

std::string name_via_library(const std::string &adapter) {
  char *name = nullptr;
  const int rc = zok_get_name(adapter.c_str(), &name);
  std::string text = rc == 0 && name != nullptr ? name : "<rc=" + std::to_string(rc) + ">";
  std::free(name);
  return text;
}

// Every line of the names file is a comment or "<lower-case mac> <name>",
// and no address appears twice.
void expect_well_formed(const fs::path &file) {
  static const std::regex entry("[0-9a-f]{2}(:[0-9a-f]{2}){5} [\\x20-\\x7e]{1,63}");
  std::istringstream lines(read_file(file));
  std::set<std::string> seen;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    EXPECT_TRUE(std::regex_match(line, entry)) << "line: " << line;
    EXPECT_TRUE(seen.insert(line.substr(0, 17)).second) << "twice: " << line;
  }
}

// An address that no interface of this host has.
std::string absent_mac(const std::vector<HostAdapter> &adapters) {
  for (unsigned n = 0xfe;; --n) {
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:00:5e:00:53:%02x", n);
    if (std::none_of(adapters.begin(), adapters.end(),
                     [&](const HostAdapter &a) { return a.mac == mac; }))
      return mac;
  }
}

unsigned absent_serial(const std::vector<HostAdapter> &adapters) {
  for (unsigned serial = 0xfffffe;; --serial) {
    if (std::none_of(adapters.begin(), adapters.end(),
                     [&](const HostAdapter &a) { return a.serial == serial; }))
      return serial;
  }
}

TEST(Niclabel, SetsReadsBackInANewProcessAndResets) {
  StateDirectory dir;
  ASSERT_FALSE(dir.root.empty());
  Exit run = niclabel({"S=0"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, shown("S=0", "lo"));

  run = niclabel({"-s", "front camera", "M=00:00:00:00:00:00"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, shown("M=00:00:00:00:00:00", "front camera"));
  EXPECT_EQ(run.err, "");

  run = niclabel({"S=0"});
  EXPECT_EQ(run.out, shown("S=0", "front camera"));

  run = niclabel({"-r", "S=0"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, shown("S=0", "lo"));
  expect_well_formed(dir.names_file());

  // A reset and a set in one run: the set comes last.
  run = niclabel({"-r", "-s", "new", "S=0"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, shown("S=0", "new"));
}

TEST(Niclabel, ResetAllRestoresEveryInterfaceName) {
  StateDirectory dir;
  const auto adapters = host_adapters();
  ASSERT_FALSE(adapters.empty());
  for (const HostAdapter &adapter : adapters) {
    const std::string id = "M=" + adapter.mac;
    ASSERT_EQ(niclabel({"-s", "named " + adapter.interface_name, id}).status, 0);
  }
  Exit run = niclabel({"-v", "-R"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "(main): Resetting all adapter names.\n");
  for (const HostAdapter &adapter : adapters) {
    const std::string id = "M=" + adapter.mac;
    run = niclabel({id});
    EXPECT_EQ(run.out, shown(id, adapter.interface_name));
  }
  expect_well_formed(dir.names_file());
}

TEST(Niclabel, SerialAndAddressNameTheSameAdapter) {
  StateDirectory dir;
  ASSERT_EQ(zok_init(ZOK_INTERFACE_VERSION), 0);
  const auto adapters = host_adapters();
  std::map<unsigned, int> serial_count;
  for (const HostAdapter &adapter : adapters) ++serial_count[adapter.serial];
  for (const HostAdapter &adapter : adapters) {
    if (serial_count[adapter.serial] > 1) continue;
    const std::string serial = "S=" + std::to_string(adapter.serial);
    const std::string name = "via serial " + serial;
    Exit run = niclabel({"-s", name, serial});
    EXPECT_EQ(run.out, shown(serial, name));
    EXPECT_EQ(name_via_library("M=" + adapter.mac), name);
    EXPECT_EQ(name_via_library("M=" + upper(adapter.mac)), name);

    ASSERT_EQ(zok_set_name(("M=" + upper(adapter.mac)).c_str(), "via address"), 0);
    run = niclabel({serial});
    EXPECT_EQ(run.out, shown(serial, "via address"));
  }
}

TEST(Niclabel, BadIdentifiersAreInvalid) {
  StateDirectory dir;
  ASSERT_EQ(zok_init(ZOK_INTERFACE_VERSION), 0);
  for (const char *text : {"M=01:23", "S=abc", "X=1", "", "S=16777216", "M=00:00:00:00:00:00 "}) {
    const std::string id = text;
    char *name = nullptr;
    EXPECT_EQ(zok_get_name(id.c_str(), &name), EINVAL) << id;
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(zok_set_name(id.c_str(), "x"), EINVAL) << id;
    EXPECT_EQ(zok_reset_name(id.c_str()), EINVAL) << id;

    const Exit run = niclabel({"-s", "x", id});
    EXPECT_EQ(run.out, "Failed to set adapter name for adapter=" + id + ", name=x, rc=22\n" +
                           "Failed to get adapter name for adapter=" + id + ", rc=22\n");
    EXPECT_EQ(run.err, "Adapter name is NULL : Unknown error -1 (errno=-1)\n");
    EXPECT_EQ(run.status, 255);
  }
  const Exit run = niclabel({"-r", "S=abc"});
  EXPECT_EQ(run.out, "Failed to reset adapter name for adapter=S=abc, rc=22\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(fs::exists(dir.names_file()));
}

TEST(Niclabel, AnAdapterThatIsNotHereIsNoDevice) {
  StateDirectory dir;
  ASSERT_EQ(zok_init(ZOK_INTERFACE_VERSION), 0);
  const auto adapters = host_adapters();
  const std::string by_mac = "M=" + upper(absent_mac(adapters));
  const std::string by_serial = "S=" + std::to_string(absent_serial(adapters));
  for (const std::string &id : {by_mac, by_serial}) {
    char *name = nullptr;
    EXPECT_EQ(zok_get_name(id.c_str(), &name), ENODEV) << id;
    EXPECT_EQ(zok_set_name(id.c_str(), "ghost"), ENODEV) << id;
    EXPECT_EQ(zok_reset_name(id.c_str()), ENODEV) << id;
    const Exit run = niclabel({"-r", id});
    EXPECT_EQ(run.out, "Failed to reset adapter name for adapter=" + id + ", rc=19\n");
    EXPECT_EQ(run.status, 1);
  }
}

TEST(Niclabel, BadNamesAreInvalidAndChangeNothing) {
  StateDirectory dir;
  ASSERT_EQ(zok_init(ZOK_INTERFACE_VERSION), 0);
  ASSERT_EQ(zok_set_name("S=0", "kept"), 0);
  for (const std::string &name :
       {std::string("two\nlines"), std::string(64, 'n'), std::string(), std::string("tab\t")}) {
    EXPECT_EQ(zok_set_name("S=0", name.c_str()), EINVAL) << name;
    const Exit run = niclabel({"-s", name, "S=0"});
    EXPECT_EQ(run.out, "Failed to set adapter name for adapter=S=0, name=" + name + ", rc=22\n" +
                           shown("S=0", "kept"));
    EXPECT_EQ(run.status, 1);  // the name in force is shown, but none was set
  }
  // Checked before the adapter is looked up.
  EXPECT_EQ(zok_set_name(("M=" + absent_mac(host_adapters())).c_str(), ""), EINVAL);
  EXPECT_EQ(zok_set_name("S=0", nullptr), EINVAL);
  EXPECT_EQ(zok_get_name("S=0", nullptr), EINVAL);
  EXPECT_EQ(zok_get_name(nullptr, nullptr), EINVAL);
  EXPECT_EQ(zok_reset_name(nullptr), EINVAL);
  const std::string longest(63, '~');
  EXPECT_EQ(zok_set_name("S=0", longest.c_str()), 0);
  EXPECT_EQ(name_via_library("S=0"), longest);
}

TEST(Niclabel, ConcurrentWritersLoseNoUpdate) {
  StateDirectory dir;
  const auto adapters = host_adapters();
  ASSERT_FALSE(adapters.empty());
  constexpr int writers = 20;
  testlib::Gate gate;
  ASSERT_TRUE(gate.holding());
  std::vector<std::unique_ptr<Process>> runs;
  std::map<std::string, std::set<std::string>> written;  // mac -> names
  for (int n = 0; n < writers; ++n) {
    const HostAdapter &adapter = adapters[n % adapters.size()];
    const std::string name = "writer " + std::to_string(n);
    written[adapter.mac].insert(name);
    runs.push_back(start_niclabel({"-s", name, "M=" + adapter.mac}, &gate));
  }
  gate.open();  // every writer at once
  for (const auto &process : runs) {
    const Exit run = process->finish(60s);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
  }
  expect_well_formed(dir.names_file());
  ASSERT_EQ(zok_init(ZOK_INTERFACE_VERSION), 0);
  for (const HostAdapter &adapter : adapters) {
    const std::string name = name_via_library("M=" + adapter.mac);
    EXPECT_EQ(written[adapter.mac].count(name), 1u) << adapter.interface_name << ": " << name;
  }
  // No temporary file survives.
  for (const auto &entry : fs::directory_iterator(dir.state))
    EXPECT_TRUE(entry.path().filename() == "names" || entry.path().filename() == "names.lock")
        << entry.path();
}

TEST(Niclabel, AGarbageLineCostsOnlyItself) {
  StateDirectory dir;
  const auto adapters = host_adapters();
  const std::string elsewhere = absent_mac(adapters);
  fs::create_directories(dir.state);
  std::ofstream(dir.names_file()) << "00:00:00:00:00:00 good loopback\n"
                                  << "this line is garbage \x01\xff\n"
                                  << "00:00:00:00:00:01\n"
                                  << elsewhere << " card on the shelf\n";
  Exit run = niclabel({"S=0"});
  EXPECT_EQ(run.out, shown("S=0", "good loopback"));
  EXPECT_EQ(run.status, 0);

  // A rewrite keeps the good entries, that of an absent adapter included,
  // and drops the damaged ones.
  run = niclabel({"-r", "S=0"});
  EXPECT_EQ(run.out, shown("S=0", "lo"));
  const std::string text = read_file(dir.names_file());
  EXPECT_NE(text.find(elsewhere + " card on the shelf\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("garbage"), std::string::npos) << text;
  expect_well_formed(dir.names_file());
}

TEST(Niclabel, AStateDirectoryThatCannotBeMadeIsReported) {
  StateDirectory dir;
  fs::create_directories(dir.root);
  std::ofstream(dir.root / "plain") << "a file\n";
  ::setenv("ZOK_STATE_DIR", (dir.root / "plain" / "state").c_str(), 1);
  Exit run = niclabel({"-R"});
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.err, std::string("Failed to reset all adapter names. : ") + std::strerror(ENOTDIR) +
                         " (errno=" + std::to_string(ENOTDIR) + ")\n");
  run = niclabel({"-s", "x", "S=0"});
  EXPECT_EQ(run.out,
            "Failed to set adapter name for adapter=S=0, name=x, rc=20\n" + shown("S=0", "lo"));
}

TEST(Niclabel, NoMemoryForTheNameCopyEndsBeforeTheLibrary) {
#ifdef NICLABEL_MALLOC_SHIM
  StateDirectory dir;
  ::setenv("LD_PRELOAD", NICLABEL_MALLOC_SHIM, 1);
  const Exit run = niclabel({"-s", std::string(NICLABEL_REFUSED_ALLOCATION - 1, 'n'), "S=0"});
  ::unsetenv("LD_PRELOAD");
  EXPECT_EQ(run.status, 12);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1), "Failed to allocate name to be set\n");
  EXPECT_NE(run.err.find("\nUsage: niclabel [args] <which_adapter>\n"), std::string::npos)
      << run.err;
  EXPECT_FALSE(fs::exists(dir.state));
  // Any other length is copied as usual (and refused by the library as too
  // long a name: status 1, not 12).
  EXPECT_EQ(niclabel({"-s", std::string(NICLABEL_REFUSED_ALLOCATION, 'n'), "S=0"}).status, 1);
#else
  GTEST_SKIP() << "the malloc shim cannot run under a sanitizer";
#endif
}

TEST(NamesLibrary, RefusesEveryNameOperationBeforeInit) {
  // A process of its own, since this one may have initialised already.
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const std::string command = "'" + self + "' --before-init";
  FILE *child = ::popen(command.c_str(), "r");
  ASSERT_NE(child, nullptr);
  char line[128] = {};
  const bool got = std::fgets(line, sizeof line, child) != nullptr;
  EXPECT_EQ(::pclose(child), 0);
  ASSERT_TRUE(got);
  const std::string eperm = std::to_string(EPERM);
  EXPECT_EQ(std::string(line), eperm + " " + eperm + " " + eperm + " " + eperm + " null\n");
}

bool write_file(const char *path, const std::string &text) {
  std::ofstream out(path);
  return static_cast<bool>(out << text << std::flush);
}

// Interfaces that others add and remove beside the tests (other tests' veth
// pairs, a container runtime's) would come and go under them: where the
// kernel allows, the tests move into a network namespace of their own (in a
// user namespace when not root) with lo and two veth pairs, 02:7a:6f:00:00:01
// to 04. Returns why not, or "" when they did.
std::string own_network() {
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  if (::unshare(CLONE_NEWNET | CLONE_NEWNS | (uid == 0 ? 0 : CLONE_NEWUSER)) != 0)
    return std::string("no namespace of its own: ") + std::strerror(errno);
  if (uid != 0 && !(write_file("/proc/self/setgroups", "deny") &&
                    write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
                    write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))) {
    std::perror("user namespace");
    std::exit(1);
  }
  // sysfs shows the interfaces of the namespace that mounted it.
  if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
    std::perror("sysfs for the new namespace");
    std::exit(1);
  }
  if (std::system("ip link set lo up") != 0) std::exit(1);
  for (int k = 1; k < 4; k += 2) {
    char command[160];
    std::snprintf(command, sizeof command,
                  "ip link add zokveth%d address 02:7a:6f:00:00:%02x type veth "
                  "peer name zokveth%d address 02:7a:6f:00:00:%02x",
                  k, k, k + 1, k + 1);
    if (std::system(command) != 0) std::exit(1);
  }
  return "";
}

int before_init() {
  char *name = nullptr;
  std::printf("%d %d %d %d %s\n", zok_get_name("S=0", &name), zok_set_name("S=0", "x"),
              zok_reset_name("S=0"), zok_reset_all_name(), name == nullptr ? "null" : name);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && std::strcmp(argv[1], "--before-init") == 0) return before_init();
  ::testing::InitGoogleTest(&argc, argv);
  if (!::testing::GTEST_FLAG(list_tests)) {
    if (const std::string why = own_network(); !why.empty())
      std::fprintf(stderr, "niclabel tests on this host's adapters (%s)\n", why.c_str());
  }
  return RUN_ALL_TESTS();
}
