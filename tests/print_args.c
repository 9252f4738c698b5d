/* Stands in for a diagnostic tool: prints its arguments and environment. */
#include <stdio.h>

extern char** environ;

int main(int argc, char** argv) {
  printf("argc=%d", argc);
  for (int i = 0; i < argc; ++i) printf(" [%s]", argv[i]);
  printf("\nenv:");
  for (char** e = environ; *e; ++e) printf(" [%s]", *e);
  printf("\n");
  return 7;
}
