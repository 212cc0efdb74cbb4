// quorvex-restore-cli: the command-line front-end.
#include <cstdio>

int main(int, char**) {
  std::puts("quorvex-restore-cli");
  return 0;
}
