/* Preloaded before umockdev's own preload library in the device-stack tests: opens of
 * an emulated hidraw node that the test bed marks as not openable fail with EACCES, as
 * the kernel refuses a user without the node's permissions. The mark is a file
 * $UMOCKDEV_DIR/rv270-denied/hidrawN. Root passes every permission check, so neither a
 * mode change nor umockdev can make an open fail; this is the only thing this library
 * does besides the next point. Every other open goes on unchanged.
 *
 * The test bed backs a hidraw node with a pseudo-terminal, which an open without O_NOCTTY
 * makes the controlling terminal of a session leader that has none (Wine's driver
 * process); unplugging hangs the terminal up and the kernel would then kill that
 * process with SIGHUP. A real hidraw node is no terminal: its opens get O_NOCTTY. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char kNodePrefix[] = "/dev/hidraw";

static int is_node(const char *path) { return path && strncmp(path, kNodePrefix, sizeof(kNodePrefix) - 1) == 0; }

static int node_flags(const char *path, int flags) { return is_node(path) ? flags | O_NOCTTY : flags; }

static int denied(const char *path) {
  const char *root;
  char mark[4096];
  struct stat st;
  if (!is_node(path)) return 0;
  root = getenv("UMOCKDEV_DIR");
  if (!root || !*root) return 0;
  if (snprintf(mark, sizeof(mark), "%s/rv270-denied/%s", root, path + 5) >= (int)sizeof(mark)) return 0;
  return stat(mark, &st) == 0;
}

static mode_t mode_arg(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}

#define NEXT(name, type) ((type)dlsym(RTLD_NEXT, name))

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef int (*open2_fn)(const char *, int);

/* The mode argument an open takes when it may create a file. */
#define TAKE_MODE(flags, mode)  \
  do {                          \
    va_list ap;                 \
    va_start(ap, flags);        \
    mode = mode_arg(flags, ap); \
    va_end(ap);                 \
  } while (0)

#define REFUSE_IF_DENIED(path) \
  do {                         \
    if (denied(path)) {        \
      errno = EACCES;          \
      return -1;               \
    }                          \
  } while (0)

#define WRAP_OPEN(name)                             \
  int name(const char *path, int flags, ...) {      \
    mode_t mode;                                    \
    TAKE_MODE(flags, mode);                         \
    REFUSE_IF_DENIED(path);                         \
    return NEXT(#name, open_fn)(path, node_flags(path, flags), mode); \
  }

#define WRAP_OPENAT(name)                                    \
  int name(int dirfd, const char *path, int flags, ...) {    \
    mode_t mode;                                             \
    TAKE_MODE(flags, mode);                                  \
    REFUSE_IF_DENIED(path);                                  \
    return NEXT(#name, openat_fn)(dirfd, path, node_flags(path, flags), mode); \
  }

#define WRAP_OPEN2(name)                       \
  int name(const char *path, int flags) {      \
    REFUSE_IF_DENIED(path);                    \
    return NEXT(#name, open2_fn)(path, node_flags(path, flags)); \
  }

WRAP_OPEN(open)
WRAP_OPEN(open64)
WRAP_OPENAT(openat)
WRAP_OPENAT(openat64)
WRAP_OPEN2(__open_2)
WRAP_OPEN2(__open64_2)
