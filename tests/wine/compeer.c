/* compeer: the device at the far end of a COM port, for a Windows test program run under wine.
 *
 *   compeer --com N [--shim PATH] -- COMMAND ARGS...
 *
 * Opens a pseudo-terminal, points $WINEPREFIX/dosdevices/comN and $WINEPREFIX/compeer-comN (the name
 * under which scripts/wine-test.sh registers the port with wine) at its slave and runs COMMAND with
 * LIAISON_PEER_COM=N (and LD_PRELOAD=PATH with --shim). The program commands the device through its
 * standard output and reads the answers on its standard input (the commands tests/rig/commandpeer.h lists,
 * but break); standard error passes through. Answers never wait for data. attr gives ispeed, ospeed, csize,
 * parenb, cstopb, crtscts, ixon, ixoff, clocal and cread of the program's side; after hangup the port the
 * program opens next is a fresh line.
 *
 * The line is read all the time, so a program that writes a lot never blocks on a full pty. compeer exits
 * with the program's exit status (128 + signal when killed) and removes the link.
 */
#define _GNU_SOURCE
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

/* The kernel's termios2, for the speeds as numbers; <asm/termbits.h> clashes with <termios.h>. */
struct kernel_termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
#define GET_TERMIOS2 _IOR('T', 0x2A, struct kernel_termios2)

enum { send_timeout_ms = 10000 };

static int master_fd = -1;
static int slave_fd = -1; /* held open so the line lives between the program's opens */
static char slave_path[PATH_MAX];
static char link_path[PATH_MAX];
static char line_path[PATH_MAX]; /* $WINEPREFIX/compeer-comN: the line under a name that stays */
static pid_t child = -1;
static int sig_pipe[2] = {-1, -1};
static pid_t holder = -1; /* see hold_terminal() */
static int holder_gate = -1;

/* Bytes received from the program, oldest at head: far more than any test sends. */
enum { rx_cap = 1 << 22 };
static unsigned char rx[rx_cap];
static size_t rx_head, rx_len;
/* An answer: at most every received byte in hex. */
static char answer[2 * rx_cap + 512];

static void remove_one_link(const char *path)
{
    char target[PATH_MAX];
    ssize_t n = path[0] ? readlink(path, target, sizeof target - 1) : -1;
    if (n >= 0) {
        target[n] = '\0';
        if (strcmp(target, slave_path) == 0)
            unlink(path);
    }
}

static void remove_link(void)
{
    remove_one_link(link_path);
    remove_one_link(line_path);
}

/* Points `path` at the slave, replacing any old link atomically: a new link beside it, renamed over it. */
static int link_line(const char *path)
{
    char tmp[PATH_MAX + 32];
    snprintf(tmp, sizeof tmp, "%s.compeer.%d", path, (int)getpid());
    unlink(tmp);
    if (symlink(slave_path, tmp) != 0 || rename(tmp, path) != 0) {
        unlink(tmp);
        return -1;
    }
    return 0;
}

static void release_terminal(void)
{
    if (holder > 0) {
        close(holder_gate); /* the holder's read returns: it ends */
        waitpid(holder, NULL, 0);
        holder = -1;
    }
}

static void die(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("compeer: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    remove_link();
    release_terminal();
    exit(2);
}

static void on_signal(int sig)
{
    int saved = errno;
    if (sig == SIGCHLD) {
        char c = 0;
        if (write(sig_pipe[1], &c, 1) < 0) {
            /* the pipe is full: a wake-up is already pending */
        }
    } else if (child > 0) {
        kill(child, sig); /* pass an interrupt or termination on; the program's end ends us */
    }
    errno = saved;
}

static void rx_append(const unsigned char *data, size_t n)
{
    if (rx_head + rx_len + n > rx_cap) {
        memmove(rx, rx + rx_head, rx_len);
        rx_head = 0;
        if (rx_len + n > rx_cap)
            die("more than %d bytes received and not taken", (int)rx_cap);
    }
    memcpy(rx + rx_head + rx_len, data, n);
    rx_len += n;
}

/* Reads what the line holds now, without waiting. */
static void drain_master(void)
{
    unsigned char buf[65536];
    while (master_fd >= 0) {
        ssize_t n = read(master_fd, buf, sizeof buf);
        if (n > 0) {
            rx_append(buf, (size_t)n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        /* EAGAIN: nothing more now. EIO cannot last while we hold the slave; nothing to read either way. */
        return;
    }
}

static int write_all(int fd, const char *data, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        data += w;
        n -= (size_t)w;
    }
    return 0;
}

static long long now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Writes to the line while still reading it, so that a program busy writing cannot stall us. */
static int send_bytes(const unsigned char *data, size_t n, size_t *sent)
{
    long long deadline = now_ms() + send_timeout_ms;
    *sent = 0;
    while (*sent < n) {
        ssize_t w = write(master_fd, data + *sent, n - *sent);
        if (w > 0) {
            *sent += (size_t)w;
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR)
            return -1;
        long long left = deadline - now_ms();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        struct pollfd p = {.fd = master_fd, .events = POLLIN | POLLOUT, .revents = 0};
        if (poll(&p, 1, (int)(left < 100 ? left : 100)) > 0 && (p.revents & POLLIN))
            drain_master();
    }
    return 0;
}

static const char *answer_attr(char *out, size_t size)
{
    struct termios t;
    struct kernel_termios2 t2;
    if (tcgetattr(slave_fd, &t) != 0 || ioctl(slave_fd, GET_TERMIOS2, &t2) != 0) {
        snprintf(out, size, "error cannot read the line settings: %s", strerror(errno));
        return out;
    }
    int csize = (t.c_cflag & CSIZE) == CS5   ? 5
                : (t.c_cflag & CSIZE) == CS6 ? 6
                : (t.c_cflag & CSIZE) == CS7 ? 7
                                             : 8;
    snprintf(out, size,
             "attr ispeed=%u ospeed=%u csize=%d parenb=%d cstopb=%d crtscts=%d ixon=%d ixoff=%d clocal=%d "
             "cread=%d",
             (unsigned)t2.c_ispeed, (unsigned)t2.c_ospeed, csize, !!(t.c_cflag & PARENB),
             !!(t.c_cflag & CSTOPB), !!(t.c_cflag & CRTSCTS), !!(t.c_iflag & IXON), !!(t.c_iflag & IXOFF),
             !!(t.c_cflag & CLOCAL), !!(t.c_cflag & CREAD));
    return out;
}

static void new_line(void);

/* Answers one command line; the answer goes out with a newline. */
static void serve(char *line, int answer_fd)
{
    size_t len = strlen(line);
    while (len > 0 && (line[len - 1] == '\r' || line[len - 1] == ' '))
        line[--len] = '\0';

    drain_master(); /* so that recv sees everything written before the command */
    const size_t answer_cap = sizeof answer;

    if (strncmp(line, "recv ", 5) == 0) {
        char *end;
        errno = 0;
        long long max = strtoll(line + 5, &end, 10);
        if (end == line + 5 || *end != '\0' || max < 0 || errno) {
            snprintf(answer, answer_cap, "error recv needs a byte count, not \"%s\"", line + 5);
        } else {
            size_t n = (unsigned long long)max < rx_len ? (size_t)max : rx_len;
            char *p = answer + sprintf(answer, "data ");
            for (size_t i = 0; i < n; ++i)
                p += sprintf(p, "%02x", rx[rx_head + i]);
            rx_head += n;
            rx_len -= n;
            if (rx_len == 0)
                rx_head = 0;
        }
    } else if (strncmp(line, "send ", 5) == 0 || strcmp(line, "send") == 0) {
        const char *hex = line[4] ? line + 5 : "";
        size_t hex_len = strlen(hex);
        unsigned char *bytes = malloc(hex_len / 2 + 1);
        size_t n = 0;
        int bad = hex_len % 2 != 0 || !bytes;
        for (size_t i = 0; !bad && i < hex_len; i += 2)
            bad = !isxdigit((unsigned char)hex[i]) || !isxdigit((unsigned char)hex[i + 1]) ||
                  sscanf(hex + i, "%2hhx", &bytes[n++]) != 1;
        size_t sent = 0;
        if (bad)
            snprintf(answer, answer_cap, "error send needs pairs of hex digits");
        else if (send_bytes(bytes, n, &sent) != 0)
            snprintf(answer, answer_cap, "error send wrote %zu of %zu bytes: %s", sent, n, strerror(errno));
        else
            snprintf(answer, answer_cap, "ok");
        free(bytes);
    } else if (strcmp(line, "attr") == 0) {
        answer_attr(answer, answer_cap);
    } else if (strcmp(line, "hangup") == 0) {
        /* What the program wrote before stays readable with recv; the program's handle sees the far end
         * go, and the port it opens next is a fresh line. */
        drain_master();
        close(master_fd);
        close(slave_fd);
        release_terminal();
        new_line();
        snprintf(answer, answer_cap, "ok");
    } else {
        snprintf(answer, answer_cap, "error unknown command \"%.200s\"", line);
        fprintf(stderr, "compeer: unknown command from the program: \"%.200s\"\n", line);
    }
    strcat(answer, "\n");
    if (write_all(answer_fd, answer, strlen(answer)) != 0 && errno != EPIPE)
        fprintf(stderr, "compeer: cannot answer the program: %s\n", strerror(errno));
}

/* Wine's server opens the port without O_NOCTTY and is a session leader with no terminal, so it would take
 * the pty as its controlling terminal and get SIGHUP (and print its object dump) on a hang-up. A child that
 * owns the pty as its own controlling terminal, and ignores SIGHUP, prevents that; it ends when we do. */
static void hold_terminal(void)
{
    int gate[2];
    if (pipe2(gate, O_CLOEXEC) != 0)
        die("cannot create a pipe: %s", strerror(errno));
    holder = fork();
    if (holder < 0)
        die("cannot fork: %s", strerror(errno));
    if (holder == 0) {
        close(master_fd);
        close(gate[1]);
        signal(SIGHUP, SIG_IGN);
        signal(SIGINT, SIG_IGN);
        if (setsid() < 0 || ioctl(slave_fd, TIOCSCTTY, 0) != 0)
            fprintf(stderr, "compeer: cannot hold %s as a controlling terminal: %s\n", slave_path,
                    strerror(errno));
        char c;
        while (read(gate[0], &c, 1) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    close(gate[0]);
    holder_gate = gate[1]; /* unseen by the program: close-on-exec */
}

/* A fresh pseudo-terminal, which the links then name: the port a program opens next. */
static void new_line(void)
{
    if (openpty(&master_fd, &slave_fd, slave_path, NULL, NULL) != 0)
        die("cannot open a pseudo-terminal: %s", strerror(errno));
    struct termios raw;
    tcgetattr(master_fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(master_fd, TCSANOW, &raw);
    fcntl(master_fd, F_SETFL, fcntl(master_fd, F_GETFL) | O_NONBLOCK);
    fcntl(master_fd, F_SETFD, FD_CLOEXEC); /* only we hold the master: closing it must hang up */
    fcntl(slave_fd, F_SETFD, FD_CLOEXEC);
    hold_terminal();
    /* Wine lists only the ports it registers when it starts (HKLM\Software\Wine\Ports names them):
     * a port registered as line_path, which stays from run to run, is listed and reaches this line. */
    if (link_line(link_path) != 0 || link_line(line_path) != 0)
        die("cannot link %s and %s to %s: %s", link_path, line_path, slave_path, strerror(errno));
}

static void open_line(int com)
{
    const char *prefix = getenv("WINEPREFIX");
    if (!prefix || !*prefix)
        die("WINEPREFIX is not set: it must name the wine prefix whose COM%d to provide", com);
    char dir[PATH_MAX];
    snprintf(dir, sizeof dir, "%s/dosdevices", prefix);
    struct stat st;
    if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode))
        die("%s is not a directory: create the prefix first (wineboot -i)", dir);

    if (snprintf(link_path, sizeof link_path, "%s/com%d", dir, com) >= (int)sizeof link_path ||
        snprintf(line_path, sizeof line_path, "%s/compeer-com%d", prefix, com) >= (int)sizeof line_path)
        die("the prefix path is too long: %s", prefix);
    new_line();
}

static void usage(void)
{
    fputs("usage: compeer --com N [--shim PATH] -- COMMAND ARGS...\n", stderr);
    exit(2);
}

int main(int argc, char **argv)
{
    int com = 0;
    const char *shim = NULL;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        if (strcmp(argv[i], "--com") == 0 && i + 1 < argc) {
            char *end;
            long n = strtol(argv[++i], &end, 10);
            if (*end != '\0' || n < 1 || n > 256)
                die("--com needs a port number from 1 to 256, not \"%s\"", argv[i]);
            com = (int)n;
        } else if (strcmp(argv[i], "--shim") == 0 && i + 1 < argc) {
            shim = argv[++i];
        } else {
            usage();
        }
    }
    if (com == 0 || i + 1 >= argc)
        usage();
    char **command = argv + i + 1;

    char shim_path[PATH_MAX];
    if (shim && !realpath(shim, shim_path)) /* wine's processes change directory: give ld.so a full path */
        die("cannot find the shim %s: %s", shim, strerror(errno));

    open_line(com);

    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0 ||
        pipe2(sig_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        die("cannot create pipes: %s", strerror(errno));

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGHUP, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);

    child = fork();
    if (child < 0)
        die("cannot fork: %s", strerror(errno));
    if (child == 0) {
        dup2(to_child[0], STDIN_FILENO);
        dup2(from_child[1], STDOUT_FILENO);
        signal(SIGPIPE, SIG_DFL);
        char number[16];
        snprintf(number, sizeof number, "%d", com);
        setenv("LIAISON_PEER_COM", number, 1);
        if (shim)
            setenv("LD_PRELOAD", shim_path, 1);
        execvp(command[0], command);
        fprintf(stderr, "compeer: cannot run %s: %s\n", command[0], strerror(errno));
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    int answer_fd = to_child[1];
    int command_fd = from_child[0];

    static char line[1 << 20];
    size_t line_len = 0;
    int status = 0;
    for (;;) {
        struct pollfd fds[3] = {
            {.fd = sig_pipe[0], .events = POLLIN, .revents = 0},
            {.fd = command_fd, .events = POLLIN, .revents = 0},
            {.fd = master_fd, .events = POLLIN, .revents = 0},
        };
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            die("poll failed: %s", strerror(errno));
        }
        if (fds[2].revents & POLLIN)
            drain_master();
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[65536];
            ssize_t n = read(command_fd, buf, sizeof buf);
            if (n <= 0 && !(n < 0 && errno == EINTR)) {
                close(command_fd); /* the program is done asking; wait for it to end */
                command_fd = -1;
            }
            for (ssize_t k = 0; k < n; ++k) {
                if (buf[k] == '\n') {
                    line[line_len] = '\0';
                    serve(line, answer_fd);
                    line_len = 0;
                    continue;
                }
                if (line_len + 2 > sizeof line)
                    die("a command line longer than %zu bytes", sizeof line);
                line[line_len++] = buf[k];
            }
        }
        if (fds[0].revents & POLLIN) {
            char c[16];
            while (read(sig_pipe[0], c, sizeof c) > 0) {
            }
            pid_t done = waitpid(child, &status, WNOHANG);
            if (done == child)
                break;
        }
    }
    remove_link();
    release_terminal();
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}
