/* LD_PRELOAD test equipment for Wine on a pseudo-terminal; it never ships.
 *
 * Wine asks a serial port for its modem lines and interrupt counters (TIOCMGET,
 * TIOCGICOUNT) before it completes a WaitCommEvent; a pty refuses both, and Wine then
 * aborts the wait with ERROR_OPERATION_ABORTED. Only when the real ioctl fails on a
 * /dev/pts/N descriptor do we answer as a quiet serial line would: DSR, CTS and CD on,
 * modem-line changes accepted, all counters zero. Every other call passes through
 * untouched.
 *
 * 32-bit Wine is built with 64-bit time and calls __ioctl_time64 instead of ioctl: the shim
 * wraps both, and is built once for each word size (the native build lays them out so that
 * one LD_PRELOAD path with $LIB serves 64-bit and 32-bit processes alike). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static ioctl_fn real_ioctl;
static ioctl_fn real_ioctl_time64;
static pthread_once_t real_ioctl_once = PTHREAD_ONCE_INIT;

static void find_real_ioctl(void) {
    real_ioctl = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    real_ioctl_time64 = (ioctl_fn)dlsym(RTLD_NEXT, "__ioctl_time64");
}

static int is_pts(int fd) {
    char link[64];
    char target[64];
    ssize_t length;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    length = readlink(link, target, sizeof target - 1);
    if (length < 0) {
        return 0;
    }
    target[length] = '\0';
    return strncmp(target, "/dev/pts/", 9) == 0;
}

/* Answers request on a pty the way a serial line would; 0 when the request is not ours. */
static int answer(unsigned long request, void* argument) {
    switch (request) {
    case TIOCMGET:
        *(int*)argument = TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;
        return 1;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
        return 1;
    case TIOCGICOUNT:
        memset(argument, 0, sizeof(struct serial_icounter_struct));
        return 1;
    default:
        return 0;
    }
}

/* The real call, then our answer when it failed on a pty. */
static int shimmed(ioctl_fn real, int fd, unsigned long request, void* argument) {
    int result;
    int saved_errno;

    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    result = real(fd, request, argument);
    if (result != -1) {
        return result;
    }
    saved_errno = errno;
    if (argument != NULL && is_pts(fd) && answer(request, argument)) {
        return 0;
    }
    errno = saved_errno;
    return result;
}

/* Both entry points take one pointer argument after the request, as every request here does. */
#define SHIMMED_ENTRY(name, real_expression)                                                                 \
    int name(int fd, unsigned long request, ...) {                                                           \
        va_list arguments;                                                                                   \
        void* argument;                                                                                      \
        va_start(arguments, request);                                                                        \
        argument = va_arg(arguments, void*);                                                                 \
        va_end(arguments);                                                                                   \
        pthread_once(&real_ioctl_once, find_real_ioctl);                                                     \
        return shimmed(real_expression, fd, request, argument);                                              \
    }

int __ioctl_time64(int fd, unsigned long request, ...);

SHIMMED_ENTRY(ioctl, real_ioctl)
SHIMMED_ENTRY(__ioctl_time64, real_ioctl_time64 != NULL ? real_ioctl_time64 : real_ioctl)
