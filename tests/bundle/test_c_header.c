/* Compiled as C: the public headers must stay valid C and the calls must link from C. */
#include <stdio.h>
#include <string.h>

#include "vesk/vesk.h"
#include "vesk/vesk_a2x.h"
#include "vesk/vesk_tessera.h"

int main(void) {
  char dst[8];
  if (vesk_host_kp_rows() != 21) return 1;
  if (strcmp(vesk_last_error(), "") != 0) return 2;
  if (vesk_bundle_resolve_handle(NULL, dst, sizeof dst) != -1) return 3;
  if (vesk_bundle_resolve_handle("/", dst, sizeof dst) != 1 || strcmp(dst, "/") != 0) return 4;
  if (vesk_tessera_slot_count() != 4 || vesk_tessera_members_open(NULL, dst, (int)sizeof dst) != NULL) return 5;
  if (strcmp(dst, "vesk_te") != 0) return 6;
  puts("C header test passed");
  return 0;
}
