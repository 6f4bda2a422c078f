#include "platform/stdio.h"

int main() {
  tarnwick::platform::ignore_broken_pipes();
  return 0;
}
