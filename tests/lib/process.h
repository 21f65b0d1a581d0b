// Programs run by the tests: started in the background with their output in
// files (a pipe could fill up and stall them), waited for with a bound, and
// their end said one way.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

extern char **environ;

namespace testlib {

using namespace std::chrono_literals;

struct Exit {
  static constexpr int never_ended = INT_MIN;
  // The exit status, or minus the signal that ended the program (as
  // Python's subprocess says it); never_ended when it outlived its limit.
  int status = never_ended;
  bool hung = false;  // outlived its limit: interrupted, then killed
  std::string out;
  std::string err;
  double cpu_seconds = 0;
};

// Holds back the programs started through it until open(), so that they
// start together.
class Gate {
 public:
  Gate() {
    if (pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
  }
  ~Gate() {
    open();
    if (fds_[0] >= 0) close(fds_[0]);
  }
  Gate(const Gate &) = delete;
  Gate &operator=(const Gate &) = delete;
  bool holding() const { return fds_[1] >= 0; }
  void open() {
    if (fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
  }
  // In the started child, before it runs the program.
  void pass() const {
    // The child's copy of the write end would keep its own read waiting.
    close(fds_[1]);
    char byte;
    while (read(fds_[0], &byte, 1) < 0 && errno == EINTR) {
    }
  }

 private:
  int fds_[2];
};

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A directory of the test's own, gone with everything in it at the end.
struct TemporaryDirectory {
  explicit TemporaryDirectory(const std::string &prefix = "zok-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    // Without it a test would write into (and remove) a path of nobody's.
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    path = pattern;
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory &) = delete;
  TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;
  std::filesystem::path path;
};

// Polls until holds() is true; false when limit passed first. For a state
// a test needs before it goes on: a loaded host reaches it late, not never.
template <class Predicate>
bool eventually(Predicate holds, std::chrono::milliseconds limit,
                std::chrono::milliseconds every = 1ms) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!holds()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(every);
  }
  return true;
}

// The ids of process pid's threads, with the name each gave itself.
inline std::vector<std::pair<pid_t, std::string>> threads_of(pid_t pid) {
  std::vector<std::pair<pid_t, std::string>> threads;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code gone;
  for (const auto &task : std::filesystem::directory_iterator(tasks, gone)) {
    std::string name = read_file(task.path().string() + "/comm");
    if (!name.empty() && name.back() == '\n') name.pop_back();
    threads.emplace_back(std::stoi(task.path().filename().string()), name);
  }
  return threads;
}

inline pid_t thread_named(pid_t pid, const std::string &name) {
  for (const auto &[tid, its_name] : threads_of(pid)) {
    if (its_name == name) return tid;
  }
  return -1;
}

// The system call thread tid of process pid sleeps in; -1 while it runs or
// waits for a CPU (the kernel says "running" then, even inside a call), so
// a thread seen here has come to rest, not merely been preempted.
inline long sleeping_in(pid_t pid, pid_t tid) {
  const std::string text =
      read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/syscall");
  if (text.empty() || text[0] < '0' || text[0] > '9') return -1;
  return std::stol(text);
}

struct StartOptions {
  std::string program;  // the file to run, when argv[0] is not it
  const Gate *gate = nullptr;
};

// What a program name runs: the name itself where it has a slash, else the
// first executable of that name on PATH; the name unchanged where none is.
inline std::string find_program(const std::string &program) {
  if (program.find('/') != std::string::npos) return program;
  const char *path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string file = (dir.empty() ? "." : dir) + "/" + program;
    if (access(file.c_str(), X_OK) == 0) return file;
  }
  return program;
}

class Process {
 public:
  // argv[0] names the program; one without a slash is looked up on PATH.
  explicit Process(const std::vector<std::string> &argv, const StartOptions &options = {}) {
    static int count = 0;
    const std::string base = output_dir() + "/" + std::to_string(++count);
    out_path_ = base + ".out";
    err_path_ = base + ".err";
    const int out = ::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const std::string file = find_program(options.program.empty() ? argv[0] : options.program);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    if (out >= 0 && err >= 0) pid_ = fork();
    if (pid_ == 0) {
      // Only what is safe between fork and exec in a threaded program.
      if (options.gate != nullptr) options.gate->pass();
      dup2(out, STDOUT_FILENO);
      dup2(err, STDERR_FILENO);
      execve(file.c_str(), args.data(), environ);
      _exit(127);
    }
    if (out >= 0) close(out);
    if (err >= 0) close(err);
  }
  Process(const std::string &program, const std::vector<std::string> &args)
      : Process(with_program(program, args)) {}
  ~Process() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
  }
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void signal(int sig) const {
    if (pid_ > 0 && !ended_) kill(pid_, sig);
  }

  // True once standard output (error) holds text; false where the program
  // ends or limit passes first.
  bool wait_for_out(const std::string &text, std::chrono::milliseconds limit) {
    return wait_for(out_path_, text, limit);
  }
  bool wait_for_err(const std::string &text, std::chrono::milliseconds limit) {
    return wait_for(err_path_, text, limit);
  }

  // True once the program has ended, waiting for that up to limit.
  bool ended_within(std::chrono::milliseconds limit) { return reaped_within(limit); }

  // Waits for the end and collects the output. At the limit the program is
  // interrupted (a receiver waiting for blocks that never came says why in
  // its report), and killed if that does not end it.
  Exit finish(std::chrono::milliseconds limit = 20s) {
    Exit e;
    if (!ended_ && !reaped_within(limit)) {
      e.hung = true;
      kill(pid_, SIGINT);
      if (!reaped_within(3s)) {
        kill(pid_, SIGKILL);
        reaped_within(24h);
      }
    }
    if (ended_ && !e.hung) {
      e.status = WIFEXITED(status_) ? WEXITSTATUS(status_) : -WTERMSIG(status_);
      e.cpu_seconds = static_cast<double>(usage_.ru_utime.tv_sec + usage_.ru_stime.tv_sec) +
                      static_cast<double>(usage_.ru_utime.tv_usec + usage_.ru_stime.tv_usec) / 1e6;
    }
    e.out = read_file(out_path_);
    e.err = read_file(err_path_);
    return e;
  }

 private:
  static std::string output_dir() {
    static const TemporaryDirectory dir;
    return dir.path.string();
  }
  static std::vector<std::string> with_program(const std::string &program,
                                               const std::vector<std::string> &args) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
  bool reaped() {
    if (ended_ || pid_ <= 0) return true;
    const pid_t r = wait4(pid_, &status_, WNOHANG, &usage_);
    if (r == pid_ || (r < 0 && errno != EINTR)) ended_ = true;
    return ended_;
  }
  bool reaped_within(std::chrono::milliseconds limit) {
    return eventually([this] { return reaped(); }, limit, 5ms);
  }
  bool wait_for(const std::string &path, const std::string &text, std::chrono::milliseconds limit) {
    bool found = false;
    eventually(
        [&] {
          // Read after checking for the end, so that the last words count.
          const bool gone = reaped();
          found = read_file(path).find(text) != std::string::npos;
          return found || gone;
        },
        limit, 5ms);
    return found;
  }

  pid_t pid_ = -1;
  bool ended_ = false;
  int status_ = 0;
  rusage usage_{};
  std::string out_path_;
  std::string err_path_;
};

}  // namespace testlib
