// SPDX-License-Identifier: MIT
// Guest side of the input device check: waits for the input device whose name starts with
// NAME, prints what a desktop decides from, then its events, until it goes away or SECONDS
// have passed since the start. One item a line:
//   NAME <name> | DIRECT <INPUT_PROP_DIRECT 0|1> | KEYS touch=<0|1> left=<0|1>
//   ABS <X|Y> <min> <max> <resolution>  (or "ABS <X|Y> none")
//   DOWN <x> <y>                        a touch held already when the device was opened
//   EV <sec.usec> <type> <code> <value>
//   GONE (the device was removed) | TIMEOUT (it never came, or outlived SECONDS)
// Usage: evcheck NAME SECONDS
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define BIT(bits, n) (((bits)[(n) / 8] >> ((n) % 8)) & 1)

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// The event node of the first device whose name starts with prefix, or -1.
static int find(const char* prefix, char* name, size_t size) {
    DIR* d = opendir("/dev/input");
    struct dirent* e;
    int fd = -1;
    while (d != NULL && fd < 0 && (e = readdir(d)) != NULL) {
        char path[300];
        snprintf(path, sizeof path, "/dev/input/%s", e->d_name);
        if (strncmp(e->d_name, "event", 5) != 0 || (fd = open(path, O_RDONLY)) < 0) {
            continue;
        }
        memset(name, 0, size);
        if (ioctl(fd, EVIOCGNAME(size - 1), name) < 0 || strncmp(name, prefix, strlen(prefix))) {
            close(fd);
            fd = -1;
        }
    }
    if (d != NULL) {
        closedir(d);
    }
    return fd;
}

// Prints the axis; returns its value now.
static int axis(int fd, int code, const char* label, const unsigned char* absbits) {
    struct input_absinfo a;
    if (!BIT(absbits, code) || ioctl(fd, EVIOCGABS(code), &a) < 0) {
        printf("ABS %s none\n", label);
        return -1;
    }
    printf("ABS %s %d %d %d\n", label, a.minimum, a.maximum, a.resolution);
    return a.value;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: evcheck NAME SECONDS\n");
        return 2;
    }
    const double end = now() + atof(argv[2]);
    char name[256];
    int fd;
    while ((fd = find(argv[1], name, sizeof name)) < 0 && now() < end) {
        usleep(10000);
    }
    unsigned char props[INPUT_PROP_CNT / 8 + 1] = {0}, keys[KEY_CNT / 8 + 1] = {0};
    unsigned char absbits[ABS_CNT / 8 + 1] = {0}, down[KEY_CNT / 8 + 1] = {0};
    // Reading the key state drops the key events queued so far: a press that came before we
    // found the device is seen once, as DOWN, not also as events.
    if (fd < 0 || ioctl(fd, EVIOCGPROP(sizeof props), props) < 0 ||
        ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys) < 0 ||
        ioctl(fd, EVIOCGBIT(EV_ABS, sizeof absbits), absbits) < 0 ||
        ioctl(fd, EVIOCGKEY(sizeof down), down) < 0) {
        puts(fd < 0 ? "TIMEOUT" : "evcheck: ioctl failed");
        return 1;
    }
    printf("NAME %s\nDIRECT %d\nKEYS touch=%d left=%d\n", name, BIT(props, INPUT_PROP_DIRECT),
           BIT(keys, BTN_TOUCH), BIT(keys, BTN_LEFT));
    const int x = axis(fd, ABS_X, "X", absbits), y = axis(fd, ABS_Y, "Y", absbits);
    if (BIT(down, BTN_TOUCH)) {
        printf("DOWN %d %d\n", x, y);
    }
    for (;;) {
        fflush(stdout);
        struct pollfd p = {fd, POLLIN, 0};
        struct input_event ev;
        const double left = end - now();
        if (left <= 0 || poll(&p, 1, (int)(left * 1000) + 1) == 0) {
            puts("TIMEOUT");
            return 1;
        }
        const ssize_t got = read(fd, &ev, sizeof ev);
        if (got == (ssize_t)sizeof ev) {
            printf("EV %ld.%06ld %u %u %d\n", (long)ev.input_event_sec, (long)ev.input_event_usec,
                   ev.type, ev.code, ev.value);
        } else if (got < 0 && errno != EINTR) {
            const int gone = errno == ENODEV;
            puts(gone ? "GONE" : "evcheck: read failed");
            return !gone;
        }
    }
}
