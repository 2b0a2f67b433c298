/* Preloaded into the tool by cli_test.py: every file mapped read-only whose path contains
 * $SHORTEN_MAPPED is cut to nothing right after it is mapped, as if another process truncated it
 * while the tool was working on it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
  static void *(*real)(void *, size_t, int, int, int, off_t);
  if (real == NULL) real = (void *(*)(void *, size_t, int, int, int, off_t))dlsym(RTLD_NEXT, "mmap");
  void *p = real(addr, len, prot, flags, fd, off);
  const char *want = getenv("SHORTEN_MAPPED");
  if (p != MAP_FAILED && fd >= 0 && prot == PROT_READ && want != NULL) {
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n > 0) {
      path[n] = '\0';
      if (strstr(path, want) != NULL && truncate(path, 0) != 0) perror("shorten_mapped");
    }
  }
  return p;
}
