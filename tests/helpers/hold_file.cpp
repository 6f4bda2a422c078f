/// Holds a file open for writing until its standard input closes, so tests
/// can look for the processes that hold a file. Prints "ready" once the file is open.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: hold_file PATH\n");
    return 2;
  }
  int fd = ::open(argv[1], O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror("open");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  char buffer[256];
  while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
  ::close(fd);
  return 0;
}
