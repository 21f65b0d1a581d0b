/* Preloaded into niclabel to make exactly one allocation size fail, so that
 * copying an -s name of the matching length runs out of memory while every
 * other allocation works. */
#include "niclabel_malloc_shim.h"

#include <stddef.h>

extern void *__libc_malloc(size_t size);

void *malloc(size_t size) {
  if (size == NICLABEL_REFUSED_ALLOCATION) return NULL;
  return __libc_malloc(size);
}
