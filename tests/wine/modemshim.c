/* Modem lines for pseudo-terminals, preloaded into wine for tests. Never shipped.
 *
 * Wine drives a COM port with the modem-line ioctls, which a pty slave refuses (ENOTTY/EINVAL). Wine then
 * fails EscapeCommFunction(SETDTR) and GetCommModemStatus, and its WaitCommEvent thread, which reads the
 * modem status every millisecond along with the input queue, gives up on the first failure: every
 * overlapped wait ends at once with ERROR_OPERATION_ABORTED.
 *
 * For pty slaves only (Unix98 slave majors 136 to 143), this library answers those ioctls as a cable whose
 * far end is ready would: DSR, CTS and CD on, DTR and RTS as last set (both on at first, as Linux raises
 * them when a port opens). Once the master has closed, the far end has hung up: the modem ioctls then
 * fail with EIO, as they do on an unplugged adapter, so that a pending wait ends instead of polling a dead
 * line forever. Every other descriptor and request goes to the real ioctl untouched. (Wine 8.0 polls the
 * lines rather than wait with TIOCMIWAIT, so that one is left alone too.)
 *
 * Build: gcc -shared -fPIC -O2 -o modemshim.so modemshim.c -ldl
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static ioctl_fn next_ioctl;
static pthread_once_t next_once = PTHREAD_ONCE_INIT;

static void find_next_ioctl(void)
{
    void *sym = dlsym(RTLD_NEXT, "ioctl");
    memcpy(&next_ioctl, &sym, sizeof sym); /* object to function pointer, without the cast ISO C forbids */
}

static int real_ioctl(int fd, unsigned long request, void *arg)
{
    pthread_once(&next_once, find_next_ioctl);
    if (!next_ioctl) {
        errno = ENOSYS;
        return -1;
    }
    return next_ioctl(fd, request, arg);
}

/* Output lines per pty, keyed by device number: wine opens and duplicates descriptors freely, and the
 * lines belong to the port, not to one descriptor. A handful of ports is plenty for a test. */
enum { max_ports = 16 };
static struct {
    dev_t rdev;
    int lines;
} ports[max_ports];
static int port_count;
static pthread_mutex_t ports_lock = PTHREAD_MUTEX_INITIALIZER;

/* Returns the slot for the pty, adding it if new; the caller holds ports_lock. */
static int *lines_of(dev_t rdev)
{
    for (int i = 0; i < port_count; ++i)
        if (ports[i].rdev == rdev)
            return &ports[i].lines;
    if (port_count == max_ports)
        port_count = 0; /* reuse from the start: old ptys are long gone by then */
    ports[port_count].rdev = rdev;
    ports[port_count].lines = TIOCM_DTR | TIOCM_RTS;
    return &ports[port_count++].lines;
}

static int is_pty_slave(int fd, dev_t *rdev)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    unsigned int maj = major(st.st_rdev);
    *rdev = st.st_rdev;
    return maj >= 136 && maj <= 143;
}

/* A slave reports POLLHUP once its master has closed. */
static int hung_up(int fd)
{
    struct pollfd p = {.fd = fd, .events = 0, .revents = 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);

    switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCGICOUNT:
        break;
    default:
        return real_ioctl(fd, request, arg);
    }
    dev_t rdev;
    if (!is_pty_slave(fd, &rdev))
        return real_ioctl(fd, request, arg);

    if (hung_up(fd)) {
        errno = EIO;
        return -1;
    }
    if (request == TIOCGICOUNT) {
        /* No line errors, breaks or counted interrupts on a pty. */
        memset(arg, 0, sizeof(struct serial_icounter_struct));
        return 0;
    }

    const int outputs = TIOCM_DTR | TIOCM_RTS;
    pthread_mutex_lock(&ports_lock);
    int *lines = lines_of(rdev);
    switch (request) {
    case TIOCMGET:
        *(int *)arg = *lines | TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;
        break;
    case TIOCMSET:
        *lines = *(const int *)arg & outputs;
        break;
    case TIOCMBIS:
        *lines |= *(const int *)arg & outputs;
        break;
    case TIOCMBIC:
        *lines &= ~*(const int *)arg;
        break;
    }
    pthread_mutex_unlock(&ports_lock);
    return 0;
}
