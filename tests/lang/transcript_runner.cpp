// Runs console transcripts (see transcript.h for the file format) against `kel --cli`.
//
//   kel_transcript_runner --kel PATH [--timeout SECONDS] [--verbose] FILE...
//
// How a file is run:
// - Each case runs in a console of its own: one `kel --cli` process per case, whose standard
//   input holds the case's input lines and then ends. A case thus starts from a fresh runtime,
//   and a crash, a hang or a stray exit status fails that case alone. A file with the option
//   "#! shared-state" runs all its cases, in order, in one process instead.
// - The output is cut into cases by the prompts the console prints before reading each line
//   (split_output in transcript.cpp). Inputs are not echoed when standard input is not a
//   terminal, so the output holds only prompts and what the inputs printed. Consequences for
//   transcript authors: keep the default prompt, and do not print a line that starts with the
//   prompt text; text printed without a line end (prin) is taken apart from the prompt that
//   follows it only when it is the case's last output.
// - A case passes when its output matches the expected lines and the process ended with status
//   0 within the time limit (default 60 s per process). stderr is not compared; it is shown
//   when a case fails.
// - The console width is fixed by setting COLUMNS=80 for the child; the rest of the
//   environment is passed on (so KEL_GC_STRESS reaches kel).
//
// A malformed file is not run: each of its problems is reported with its line and counts as a
// failure. The last line printed is "N passed, M failed"; the exit status is 0 when nothing
// failed, 1 otherwise, 2 for a usage error.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/lang/transcript.h"

extern char** environ;

namespace {

using kel::transcript::Case;
using kel::transcript::ExpectedLine;

struct RunResult {
  std::string out, err;
  bool started = false;
  bool timed_out = false;
  int status = 0;  // as waitpid reports it
};

// Starts `kel --cli` in a process group of its own, feeds it input, collects stdout and stderr
// until both close, and waits for it. Past the deadline the whole group is killed.
RunResult run_console(const std::string& kel, const std::string& input, double timeout_seconds) {
  RunResult r;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    r.err = std::string("pipe: ") + std::strerror(errno);
    return r;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);

  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "COLUMNS=", 8) != 0) env_strings.emplace_back(*e);
  env_strings.emplace_back("COLUMNS=80");
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string arg0 = kel, arg1 = "--cli";
  char* argv[] = {arg0.data(), arg1.data(), nullptr};

  pid_t pid = 0;
  const int rc = posix_spawn(&pid, kel.c_str(), &actions, &attr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    r.err = "cannot start " + kel + ": " + std::strerror(rc);
    return r;
  }
  r.started = true;

  fcntl(in[1], F_SETFL, O_NONBLOCK);
  int fds[3] = {in[1], out[0], err[0]};
  std::size_t written = 0;
  if (input.empty()) {
    close(fds[0]);
    fds[0] = -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
  char buffer[65536];
  while (fds[1] >= 0 || fds[2] >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      r.timed_out = true;
      break;
    }
    pollfd p[3] = {{fds[0], POLLOUT, 0}, {fds[1], POLLIN, 0}, {fds[2], POLLIN, 0}};
    if (poll(p, 3, static_cast<int>(left.count())) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0] >= 0 && p[0].revents) {
      const ssize_t n = write(fds[0], input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
        close(fds[0]);  // end of input: the console ends
        fds[0] = -1;
      }
    }
    for (int k = 1; k <= 2; ++k) {
      if (fds[k] < 0 || !p[k].revents) continue;
      const ssize_t n = read(fds[k], buffer, sizeof buffer);
      if (n > 0) {
        (k == 1 ? r.out : r.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        close(fds[k]);
        fds[k] = -1;
      }
    }
  }
  for (int fd : fds)
    if (fd >= 0) close(fd);

  // Output closed; the process may still linger (or ignore its input) until the deadline.
  while (!r.timed_out) {
    const pid_t w = waitpid(pid, &r.status, WNOHANG);
    if (w == pid) return r;
    if (w < 0 && errno != EINTR) return r;
    if (std::chrono::steady_clock::now() >= deadline) {
      r.timed_out = true;
      break;
    }
    usleep(2000);
  }
  kill(-pid, SIGKILL);
  while (waitpid(pid, &r.status, 0) < 0 && errno == EINTR) {
  }
  return r;
}

// Why a run does not count as a normal end, or empty.
std::string run_failure(const RunResult& r, double timeout_seconds) {
  if (!r.started) return r.err;
  if (r.timed_out) return "no end within " + std::to_string(static_cast<int>(timeout_seconds)) + " s (killed)";
  if (WIFSIGNALED(r.status)) {
    const int sig = WTERMSIG(r.status);
    return "killed by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
  }
  if (WIFEXITED(r.status) && WEXITSTATUS(r.status) != 0) return "exit status " + std::to_string(WEXITSTATUS(r.status));
  return {};
}

std::string join_inputs(const std::vector<const Case*>& cases) {
  std::string s;
  for (const Case* c : cases)
    for (const auto& line : c->inputs) s += line + '\n';
  return s;
}

void print_block(std::ostream& os, std::string_view text, std::size_t limit = 4000) {
  if (text.size() > limit) text = text.substr(0, limit);
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    os << "    | " << text.substr(pos, end - pos) << '\n';
    pos = end + 1;
  }
}

struct Counts {
  int passed = 0, failed = 0;
};

class Runner {
 public:
  Runner(std::string kel, double timeout, bool verbose) : kel_(std::move(kel)), timeout_(timeout), verbose_(verbose) {}

  void run_file(const std::string& path, Counts& counts) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
      std::cout << path << ": cannot read the file\n";
      ++counts.failed;
      return;
    }
    std::stringstream ss;
    ss << f.rdbuf();
    const auto t = kel::transcript::parse(ss.str());
    if (!t.problems.empty()) {
      for (const auto& p : t.problems) std::cout << path << ':' << p.line << ": malformed transcript: " << p.message << '\n';
      counts.failed += static_cast<int>(t.problems.size());
      return;
    }
    if (t.shared_state) {
      std::vector<const Case*> all;
      for (const auto& c : t.cases) all.push_back(&c);
      run_group(path, all, counts);
    } else {
      for (const auto& c : t.cases) run_group(path, {&c}, counts);
    }
  }

 private:
  // Runs the cases in one console and checks each of them.
  void run_group(const std::string& path, const std::vector<const Case*>& cases, Counts& counts) {
    const RunResult r = run_console(kel_, join_inputs(cases), timeout_);
    const std::string failure = run_failure(r, timeout_);
    std::vector<std::size_t> sizes;
    for (const Case* c : cases) sizes.push_back(c->inputs.size());
    const auto split = kel::transcript::split_output(r.out, sizes);

    for (std::size_t k = 0; k < cases.size(); ++k) {
      const Case& c = *cases[k];
      std::string why;
      kel::transcript::Comparison cmp;
      static const std::vector<std::string> kNone;
      const auto& actual = split.prompt_found ? split.per_case[k] : kNone;
      if (!split.prompt_found) {
        why = "no prompt in the output";
      } else {
        cmp = kel::transcript::compare(c.expected, actual);
        if (!cmp.match) why = "output differs";
      }
      // In a shared console a bad end is charged to the last case only (it is reported once).
      if (!failure.empty() && (cases.size() == 1 || k + 1 == cases.size()))
        why += (why.empty() ? "" : "; ") + std::string("kel: ") + failure;
      if (why.empty()) {
        ++counts.passed;
        if (verbose_) std::cout << "PASS " << path << ':' << c.line << ": " << c.title << '\n';
        continue;
      }
      ++counts.failed;
      report(path, c, actual, cmp, why, r, !split.prompt_found || !failure.empty());
    }
  }

  static void report(const std::string& path, const Case& c, const std::vector<std::string>& actual,
                     const kel::transcript::Comparison& cmp, const std::string& why, const RunResult& r,
                     bool show_raw) {
    std::ostream& os = std::cout;
    os << "FAIL " << path << ':' << c.line << ": " << c.title << " -- " << why << '\n';
    os << "  input:\n";
    for (const auto& in : c.inputs) os << "    >> " << in << '\n';
    os << "  expected:\n";
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
      const ExpectedLine& e = c.expected[i];
      os << (!cmp.match && i == cmp.expected_index ? "  ! " : "    ") << e.text
         << (e.report ? "    [first line of an error report]" : "") << '\n';
    }
    if (!cmp.match && cmp.expected_index == c.expected.size()) os << "  ! (end)\n";
    os << "  got:\n";
    for (std::size_t j = 0; j < actual.size(); ++j)
      os << (!cmp.match && j == cmp.actual_index ? "  ! " : "    ") << actual[j] << '\n';
    if (!cmp.match && cmp.actual_index == actual.size()) os << "  ! (end)\n";
    if (!cmp.match) {
      if (cmp.expected_index < c.expected.size())
        os << "  first difference: " << path << ':' << c.expected[cmp.expected_index].line << '\n';
      else
        os << "  first difference: output past the expected lines\n";
    }
    if (show_raw) {
      os << "  stdout:\n";
      print_block(os, r.out);
    }
    if (!r.err.empty()) {
      os << "  stderr:\n";
      print_block(os, r.err);
    }
  }

  std::string kel_;
  double timeout_;
  bool verbose_;
};

int usage() {
  std::cerr << "usage: kel_transcript_runner --kel PATH [--timeout SECONDS] [--verbose] FILE...\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string kel;
  double timeout = 60;
  bool verbose = false;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--kel" && i + 1 < argc) {
      kel = argv[++i];
    } else if (a == "--timeout" && i + 1 < argc) {
      char* end = nullptr;
      timeout = std::strtod(argv[++i], &end);
      if (*end != '\0' || !(timeout > 0)) return usage();
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a.starts_with("--")) {
      return usage();
    } else {
      files.push_back(a);
    }
  }
  if (kel.empty() || files.empty()) return usage();
  if (access(kel.c_str(), X_OK) != 0) {
    std::cerr << "kel_transcript_runner: " << kel << " is not an executable\n";
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);

  Runner runner(kel, timeout, verbose);
  Counts counts;
  for (const auto& f : files) runner.run_file(f, counts);
  std::cout << counts.passed << " passed, " << counts.failed << " failed" << std::endl;
  return counts.failed == 0 ? 0 : 1;
}
