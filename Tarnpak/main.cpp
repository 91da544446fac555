// The Tarnpak tool: unpacks a group file, or packs a directory by its build list.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("Usage: Tarnpak <path>\n", stdout);
    return 2;
  }
  (void)argv;
  return 1;
}
