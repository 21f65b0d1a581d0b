/* Built against an installed libzok, from CMake and from pkg-config. It is C
 * on purpose: the header must serve C callers as it serves the C++ tools. */
#include <errno.h>
#include <stdio.h>
#include <zok/zok.h>

int main(void) {
  /* A refused version proves the call reached the real library, not a stub
   * that says yes to everything. */
  int rc = zok_init(ZOK_INTERFACE_VERSION - 1);
  if (rc != EPROTONOSUPPORT) {
    fprintf(stderr, "zok_init(%u) gave %d, expected %d\n", ZOK_INTERFACE_VERSION - 1, rc,
            EPROTONOSUPPORT);
    return 1;
  }
  rc = zok_init(ZOK_INTERFACE_VERSION);
  if (rc != 0) {
    fprintf(stderr, "zok_init(%u) gave %d\n", ZOK_INTERFACE_VERSION, rc);
    return 1;
  }
  printf("consumer: libzok interface %u ready\n", ZOK_INTERFACE_VERSION);
  return 0;
}
