/* sync_shim.c: preloaded (LD_PRELOAD) into the server by the durability
 * tests, to see which syncs an append makes and to make them fail as a
 * failing disk would. Set in the server's environment:
 *   VESTIGOR_SHIM_FAIL  calls that fail with EIO instead of running:
 *                       "fdatasync", "fsync" or "fdatasync,fsync"
 *   VESTIGOR_SHIM_LOG   a file that gains one line per call, "<call> <path
 *                       of the descriptor>", failed calls included
 * Interposing works only on a dynamically linked server. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef int (*SyncFunction)(int);

static int should_fail(const char* call) {
  const char* list = getenv("VESTIGOR_SHIM_FAIL");
  const size_t length = strlen(call);
  for (const char* p = list; p != NULL && (p = strstr(p, call)) != NULL;
       p += length) {
    if ((p == list || p[-1] == ',') &&
        (p[length] == '\0' || p[length] == ',')) {
      return 1;
    }
  }
  return 0;
}

static void log_call(const char* call, int fd) {
  const char* log = getenv("VESTIGOR_SHIM_LOG");
  if (log == NULL) {
    return;
  }
  char link[64];
  char path[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof path - 1);
  if (n < 0) {
    n = 0;
  }
  path[n] = '\0';
  char line[PATH_MAX + 32];
  const int size = snprintf(line, sizeof line, "%s %s\n", call, path);
  const int out = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (out >= 0) {
    if (write(out, line, (size_t)size) < 0) {
      /* the test sees the missing line */
    }
    close(out);
  }
}

static int intercept(const char* call, int fd) {
  const int saved = errno;
  log_call(call, fd);
  errno = saved;
  if (should_fail(call)) {
    errno = EIO;
    return -1;
  }
  SyncFunction real = NULL;
  void* symbol = dlsym(RTLD_NEXT, call);
  memcpy(&real, &symbol, sizeof real);
  if (real == NULL) {
    errno = ENOSYS;
    return -1;
  }
  return real(fd);
}

int fdatasync(int fd) { return intercept("fdatasync", fd); }

int fsync(int fd) { return intercept("fsync", fd); }
