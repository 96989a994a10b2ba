/* Preloaded into Wine by the Windows end-to-end tests: a pseudo-terminal
 * answers the modem-line and line-status requests as a UART with a modem
 * attached does. A bare pty refuses TIOCMGET, so Wine ends every
 * WaitCommEvent at once; here the lines read as present (CTS, DSR, carrier),
 * DTR and RTS keep what was set, the interrupt counters stay at zero and the
 * transmitter reads empty when the output queue is. Wine's WaitCommEvent
 * then stays pending until a character arrives, as it does on a real port.
 * With UART_SHIM_REFUSE_SETTINGS set, the line refuses every new setting
 * (tcsetattr fails with EINVAL), as a driver does a rate it cannot make;
 * with UART_SHIM_LINE_ERRORS set, a framing error comes with every look at
 * the interrupt counters.
 * Every other descriptor and request goes to the C library untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

/* UNIX98 pty slaves: majors 136 to 143. */
static int IsPtySlave(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

/* DTR and RTS as last set, per descriptor; raised at open, as a UART does. */
enum { kFds = 4096 };
static int cleared_lines[kFds];

static int (*RealIoctl(void))(int, unsigned long, ...) {
    static int (*next)(int, unsigned long, ...);
    if (next == NULL) next = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    return next;
}

static int OutputQueue(int fd) {
    int queued = 0;
    if (RealIoctl()(fd, TIOCOUTQ, &queued) != 0) return 0;
    return queued;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (fd < 0 || fd >= kFds || !IsPtySlave(fd)) return RealIoctl()(fd, request, arg);
    int* bits = arg;
    switch (request) {
    case TIOCMGET:
        *bits = (TIOCM_DTR | TIOCM_RTS) & ~__atomic_load_n(&cleared_lines[fd], __ATOMIC_RELAXED);
        *bits |= TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
        return 0;
    case TIOCMSET:
        __atomic_store_n(&cleared_lines[fd], ~*bits & (TIOCM_DTR | TIOCM_RTS), __ATOMIC_RELAXED);
        return 0;
    case TIOCMBIS:
        __atomic_and_fetch(&cleared_lines[fd], ~*bits, __ATOMIC_RELAXED);
        return 0;
    case TIOCMBIC:
        __atomic_or_fetch(&cleared_lines[fd], *bits & (TIOCM_DTR | TIOCM_RTS), __ATOMIC_RELAXED);
        return 0;
    case TIOCGICOUNT: {
        static int frame_errors;
        struct serial_icounter_struct* counts = arg;
        memset(counts, 0, sizeof *counts);
        if (getenv("UART_SHIM_LINE_ERRORS") != NULL)
            counts->frame = __atomic_add_fetch(&frame_errors, 1, __ATOMIC_RELAXED);
        return 0;
    }
    case TIOCSERGETLSR:
        *bits = OutputQueue(fd) == 0 ? TIOCSER_TEMT : 0;
        return 0;
    case TIOCGSERIAL: {
        struct serial_struct* s = arg;
        memset(s, 0, sizeof *s);
        s->type = PORT_16550A;
        s->line = fd;
        s->baud_base = 115200;
        s->xmit_fifo_size = 16;
        return 0;
    }
    case TIOCSSERIAL:
        return 0;
    default:
        return RealIoctl()(fd, request, arg);
    }
}

int tcsetattr(int fd, int action, const struct termios* settings) {
    static int (*next)(int, int, const struct termios*);
    if (next == NULL) next = (int (*)(int, int, const struct termios*))dlsym(RTLD_NEXT, "tcsetattr");
    if (getenv("UART_SHIM_REFUSE_SETTINGS") != NULL && IsPtySlave(fd)) {
        errno = EINVAL;
        return -1;
    }
    return next(fd, action, settings);
}
