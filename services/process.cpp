// Child processes: spawning with redirections, the feeding and draining loop, and reaping.
#include "services/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "core/runtime.h"

extern char** environ;

namespace kel {

namespace {

// File descriptors closed when the scope ends, whatever way it ends.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { close(); }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

bool make_pipe(Fd& read_end, Fd& write_end) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return false;
    read_end.fd = p[0];
    write_end.fd = p[1];
    return true;
}

int exit_code(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int wait_child(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return exit_code(status);
}

// Waiting on a child never blocks for longer than this between two looks at the halt request:
// a Ctrl-C that comes just before a poll or a sleep (no EINTR then) is seen within one slice.
constexpr int HALT_SLICE_MS = 50;

// A descriptor that becomes readable when the child ends (-1 where the kernel has none): the
// poll in wait_for_child wakes at once on the child's end instead of at the next slice.
int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return int(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Sleeps up to one slice or until the child (its pidfd) ends.
void sleep_slice(int pidfd, int ms) {
    if (pidfd >= 0) {
        pollfd p = {pidfd, POLLIN, 0};
        poll(&p, 1, ms);
        return;
    }
    struct timespec t = {0, long(ms) * 1000000L};
    nanosleep(&t, nullptr);
}

// Reaps the child if it has ended: true then, with its exit code in *code (-1 when it cannot be
// waited for at all).
bool reaped(pid_t pid, int* code) {
    int status = 0;
    pid_t r;
    do r = waitpid(pid, &status, WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r == 0) return false;
    *code = r == pid ? exit_code(status) : -1;
    return true;
}

// Waits for the child's end, looking at the halt request between slices. False when a halt came
// first: the child is then still running and not reaped.
bool wait_for_child(pid_t pid, int pidfd, int* code) {
    while (!reaped(pid, code)) {
        if (g_halt_requested) return false;
        sleep_slice(pidfd, HALT_SLICE_MS);
    }
    return true;
}

// Ends a child that is no longer waited for and reaps it: SIGTERM, a grace period for it to end,
// then SIGKILL for one that ignores or catches the request. A child that leads its own process
// group is ended with the whole group, so what it started in the background ends too: the group is
// killed once more after the child is reaped, for members that outlived it.
void end_child(pid_t pid, int pidfd, bool own_group) {
    constexpr int GRACE_MS = 1000;
    pid_t target = own_group ? -pid : pid;
    int code;
    kill(target, SIGTERM);
    bool ended = false;
    for (int waited = 0; waited < GRACE_MS && !ended; waited += HALT_SLICE_MS) {
        ended = reaped(pid, &code);
        if (!ended) sleep_slice(pidfd, HALT_SLICE_MS);
    }
    if (!ended && !reaped(pid, &code)) {
        kill(target, SIGKILL);
        wait_child(pid);
    }
    if (own_group) kill(target, SIGKILL);
}

// Feeds the input pipe and drains the output pipes until all three are done. False when a halt
// was requested first.
bool pump(Fd& in, const std::string& input, Fd& out, std::string& out_bytes, Fd& err, std::string& err_bytes) {
    size_t fed = 0;
    if (in.fd >= 0) {
        if (input.empty()) in.close();
        else fcntl(in.fd, F_SETFL, fcntl(in.fd, F_GETFL) | O_NONBLOCK);
    }
    char buffer[65536];
    while (in.fd >= 0 || out.fd >= 0 || err.fd >= 0) {
        pollfd fds[3];
        int n = 0;
        if (in.fd >= 0) fds[n++] = {in.fd, POLLOUT, 0};
        if (out.fd >= 0) fds[n++] = {out.fd, POLLIN, 0};
        if (err.fd >= 0) fds[n++] = {err.fd, POLLIN, 0};
        if (g_halt_requested) return false;
        if (poll(fds, nfds_t(n), HALT_SLICE_MS) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == in.fd) {
                ssize_t w = write(in.fd, input.data() + fed, input.size() - fed);
                if (w > 0) fed += size_t(w);
                if ((w < 0 && errno != EAGAIN && errno != EINTR) || fed == input.size()) in.close();
            } else {
                Fd& src = fds[i].fd == out.fd ? out : err;
                std::string& dst = fds[i].fd == out.fd ? out_bytes : err_bytes;
                ssize_t r = read(src.fd, buffer, sizeof buffer);
                if (r > 0) dst.append(buffer, size_t(r));
                else if (r == 0 || (errno != EAGAIN && errno != EINTR)) src.close();
            }
        }
    }
    return true;
}

struct Spawn {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    Spawn() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~Spawn() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

int spawn(pid_t* pid, const std::vector<std::string>& args, const Spawn& s) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return posix_spawnp(pid, argv[0], &s.actions, &s.attr, argv.data(), environ);
}

} // namespace

std::vector<std::string> split_command_line(const std::string& line) {
    std::vector<std::string> args;
    size_t i = 0, n = line.size();
    while (true) {
        while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= n) break;
        std::string arg;
        bool quoted = false;
        while (i < n && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            if (line[i] == '\\') {
                size_t run = 0;
                while (i < n && line[i] == '\\') ++run, ++i;
                if (i < n && line[i] == '"') {
                    arg.append(run / 2, '\\');
                    if (run % 2) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(run, '\\');
                }
            } else if (line[i] == '"') {
                quoted = !quoted;
                ++i;
            } else {
                arg += line[i++];
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

void reap_child_later(pid_t pid) {
    std::thread([pid] { wait_child(pid); }).detach();
}

CallResult call_process(const std::string& command, bool wait, bool shell, CallStream& in, CallStream& out,
                        CallStream& err) {
    CallResult result;
    using Kind = CallStream::Kind;
    if (in.kind != Kind::Default || out.kind != Kind::Default || err.kind != Kind::Default) wait = true;

    Fd null_out(open("/dev/null", O_WRONLY | O_CLOEXEC));
    Fd in_child, in_parent, out_child, out_parent, err_child, err_parent;
    if (in.kind == Kind::Bytes) {
        if (!make_pipe(in_child, in_parent)) return result;
    } else if (in.kind == Kind::File) {
        in_child.fd = open(in.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (in_child.fd < 0) return result;
    }
    auto output = [&](CallStream& s, Fd& child, Fd& parent) {
        if (s.kind == Kind::Capture) return make_pipe(parent, child);
        if (s.kind == Kind::File) {
            child.fd = open(s.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
            return child.fd >= 0;
        }
        return true;
    };
    if (!output(out, out_child, out_parent) || !output(err, err_child, err_parent)) return result;

    Spawn s;
    // A child that is waited for leads a process group of its own, so that a halt ends what it
    // started as well. Not when it reads the parent's terminal: a process outside the terminal's
    // foreground group is stopped as soon as it reads there.
    bool own_group = wait && !(in.kind == Kind::Default && isatty(STDIN_FILENO));
    if (own_group) {
        posix_spawnattr_setpgroup(&s.attr, 0);
        short flags = 0;
        posix_spawnattr_getflags(&s.attr, &flags);
        posix_spawnattr_setflags(&s.attr, short(flags | POSIX_SPAWN_SETPGROUP));
    }
    if (in_child.fd >= 0) posix_spawn_file_actions_adddup2(&s.actions, in_child.fd, 0);
    posix_spawn_file_actions_adddup2(&s.actions, out_child.fd >= 0 ? out_child.fd : null_out.fd, 1);
    posix_spawn_file_actions_adddup2(&s.actions, err_child.fd >= 0 ? err_child.fd : null_out.fd, 2);

    pid_t pid = -1;
    int failure = ENOENT;
    if (!shell) {
        std::vector<std::string> args = split_command_line(command);
        failure = args.empty() ? ENOENT : spawn(&pid, args, s);
    }
    if (failure == ENOENT) {   // the shell form, asked for or as the retry of a program not found
        result.shell = true;
        failure = spawn(&pid, {"/bin/sh", "-c", command}, s);
    }
    if (failure != 0) return result;

    in_child.close();
    out_child.close();
    err_child.close();
    out.bytes.clear();
    err.bytes.clear();

    if (wait) {
        Fd pidfd(open_pidfd(pid));
        int code = -1;
        if (pump(in_parent, in.bytes, out_parent, out.bytes, err_parent, err.bytes) &&
            wait_for_child(pid, pidfd.fd, &code)) {
            result.value = code;
        } else {
            end_child(pid, pidfd.fd, own_group);
            result.halted = true;
        }
    } else {
        result.value = pid;
        reap_child_later(pid);
    }
    return result;
}

} // namespace kel
