#include <quorrel.h>
#include <stdio.h>

int main(void) {
  int major = -1, minor = -1, patch = -1;
  if (quorrel_initialize() != 0 || quorrel_get_version(&major, &minor, &patch) != 0) return 1;
  printf("quorrel %d.%d.%d\n", major, minor, patch);
  return quorrel_finalize() != 0;
}
