// Races the server's writes as a process in the working directory can:
// exchanges every `.tarnwick-*.tmp` entry of DIR with DIR/DECOY over and
// over (a random number of times per pass, so it stops in either state).
// Races from a line "go" on standard input to the next line, then prints
// the number of exchanges it made and waits for the next "go"; ends with
// its input.
//   exchange_temp DIR DECOY
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

bool line_waiting() {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  return ::poll(&input, 1, 0) > 0;
}

/// Reads one line of standard input; false at its end.
bool read_line() {
  for (char c = 0;;) {
    if (::read(STDIN_FILENO, &c, 1) != 1) return false;
    if (c == '\n') return true;
  }
}

std::vector<std::string> temp_entries(const char* dir) {
  std::vector<std::string> names;
  DIR* listing = ::opendir(dir);
  if (listing == nullptr) return names;
  while (const dirent* entry = ::readdir(listing)) {
    std::string_view name = entry->d_name;
    if (name.starts_with(".tarnwick-") && name.ends_with(".tmp")) names.emplace_back(name);
  }
  ::closedir(listing);
  return names;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: exchange_temp DIR DECOY\n");
    return 2;
  }
  int dir = ::open(argv[1], O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    std::perror("open");
    return 1;
  }
  unsigned seed = static_cast<unsigned>(::getpid());
  while (read_line()) {
    std::printf("going\n");
    std::fflush(stdout);
    unsigned long exchanges = 0;
    while (!line_waiting()) {
      for (const std::string& temp : temp_entries(argv[1])) {
        for (int n = 1 + ::rand_r(&seed) % 64; n > 0; --n) {
          if (::renameat2(dir, temp.c_str(), dir, argv[2], RENAME_EXCHANGE) != 0) break;
          ++exchanges;
        }
      }
    }
    if (!read_line()) return 0;
    std::printf("%lu\n", exchanges);
    std::fflush(stdout);
  }
  return 0;
}
