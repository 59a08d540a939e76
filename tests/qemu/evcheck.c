// SPDX-License-Identifier: MIT
// Guest side of the input device check: waits for the input device whose name starts with
// NAME, prints what a desktop decides from (name, properties, keys, axes), then its events,
// one a line, until the device goes away or SECONDS have passed since the start:
//   NAME <name>
//   DIRECT <0|1>            INPUT_PROP_DIRECT
//   KEYS touch=<0|1> left=<0|1>
//   ABS <X|Y> <min> <max> <resolution>   (or "ABS <X|Y> none")
//   DOWN <x> <y>            a touch already held when the device was opened
//   EV <sec.usec> <type> <code> <value>
//   GONE                    the device was removed (read fails with ENODEV)
//   TIMEOUT                 it never appeared, or outlived SECONDS
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
        if (strncmp(e->d_name, "event", 5) != 0) {
            continue;
        }
        snprintf(path, sizeof path, "/dev/input/%s", e->d_name);
        fd = open(path, O_RDONLY | O_NONBLOCK);
        if (fd < 0) {
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
    while ((fd = find(argv[1], name, sizeof name)) < 0) {
        if (now() > end) {
            puts("TIMEOUT");
            return 1;
        }
        usleep(10000);
    }
    unsigned char props[INPUT_PROP_CNT / 8 + 1] = {0};
    unsigned char keys[KEY_CNT / 8 + 1] = {0};
    unsigned char absbits[ABS_CNT / 8 + 1] = {0};
    if (ioctl(fd, EVIOCGPROP(sizeof props), props) < 0 ||
        ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys) < 0 ||
        ioctl(fd, EVIOCGBIT(EV_ABS, sizeof absbits), absbits) < 0) {
        perror("evcheck: ioctl");
        return 1;
    }
    printf("NAME %s\nDIRECT %d\nKEYS touch=%d left=%d\n", name, BIT(props, INPUT_PROP_DIRECT),
           BIT(keys, BTN_TOUCH), BIT(keys, BTN_LEFT));
    // The device may have been pressed before we found it. Reading the key state drops the
    // key events queued for us so far, so that a press is seen once, as state or as events.
    unsigned char down[KEY_CNT / 8 + 1] = {0};
    if (ioctl(fd, EVIOCGKEY(sizeof down), down) < 0) {
        perror("evcheck: EVIOCGKEY");
        return 1;
    }
    const int x = axis(fd, ABS_X, "X", absbits);
    const int y = axis(fd, ABS_Y, "Y", absbits);
    if (BIT(down, BTN_TOUCH)) {
        printf("DOWN %d %d\n", x, y);
    }
    fflush(stdout);
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        const double left = end - now();
        if (left <= 0 || poll(&p, 1, (int)(left * 1000) + 1) == 0) {
            puts("TIMEOUT");
            return 1;
        }
        struct input_event ev;
        ssize_t got = read(fd, &ev, sizeof ev);
        if (got == (ssize_t)sizeof ev) {
            printf("EV %ld.%06ld %u %u %d\n", (long)ev.input_event_sec, (long)ev.input_event_usec,
                   ev.type, ev.code, ev.value);
            fflush(stdout);
        } else if (got < 0 && errno == ENODEV) {
            puts("GONE");
            return 0;
        } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
            perror("evcheck: read");
            return 1;
        }
    }
}
