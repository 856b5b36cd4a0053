/* sync_shim.c: preloaded (LD_PRELOAD) into the server by the durability
 * tests, to see which syncs an append makes and to make them fail as a
 * failing disk would. Set in the server's environment:
 *   VESTIGOR_SHIM_FAIL  calls that fail instead of running, comma-
 *                       separated: "fdatasync" and "fsync" with EIO, as a
 *                       failing disk; "link" with EPERM, as a file system
 *                       without hard links; "renameat2" with EINVAL, as
 *                       one that cannot rename without replacing
 *   VESTIGOR_SHIM_LOG   a file that gains one line per call, failed calls
 *                       included: "<call> <path>" for a folder, "<call>
 *                       inode <number>" for a file, "link" for link,
 *                       "renameat2" for renameat2
 * Interposing works only on a dynamically linked server. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
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
  /* A folder by its path; a file by its inode, since the name it was
   * opened under may be a temporary one that is gone by now. */
  char what[PATH_MAX + 32];
  struct stat st;
  if (fd < 0) {
    what[0] = '\0';
  } else if (fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode)) {
    snprintf(what, sizeof what, "inode %llu", (unsigned long long)st.st_ino);
  } else {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, what, sizeof what - 1);
    what[n < 0 ? 0 : n] = '\0';
  }
  char line[PATH_MAX + 64];
  const int size = snprintf(line, sizeof line, "%s%s%s\n", call,
                            what[0] == '\0' ? "" : " ", what);
  const int out = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (out >= 0) {
    if (write(out, line, (size_t)size) < 0) {
      /* the test sees the missing line */
    }
    close(out);
  }
}

/* Logs the call; then the real function, or NULL with errno set when the
 * call is to fail (with `failure`) or has no next definition. */
static void* enter(const char* call, int fd, int failure) {
  const int saved = errno;
  log_call(call, fd);
  errno = saved;
  if (should_fail(call)) {
    errno = failure;
    return NULL;
  }
  void* symbol = dlsym(RTLD_NEXT, call);
  if (symbol == NULL) {
    errno = ENOSYS;
  }
  return symbol;
}

static int intercept(const char* call, int fd) {
  SyncFunction real = NULL;
  void* symbol = enter(call, fd, EIO);
  memcpy(&real, &symbol, sizeof real);
  return real == NULL ? -1 : real(fd);
}

int fdatasync(int fd) { return intercept("fdatasync", fd); }

int fsync(int fd) { return intercept("fsync", fd); }

typedef int (*LinkFunction)(const char*, const char*);

int link(const char* from, const char* to) {
  LinkFunction real = NULL;
  void* symbol = enter("link", -1, EPERM);
  memcpy(&real, &symbol, sizeof real);
  return real == NULL ? -1 : real(from, to);
}

typedef int (*RenameFunction)(int, const char*, int, const char*, unsigned);

int renameat2(int from_dir, const char* from, int to_dir, const char* to,
              unsigned flags) {
  RenameFunction real = NULL;
  void* symbol = enter("renameat2", -1, EINVAL);
  memcpy(&real, &symbol, sizeof real);
  return real == NULL ? -1 : real(from_dir, from, to_dir, to, flags);
}
