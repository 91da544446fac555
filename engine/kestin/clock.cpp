// The engine clock.
#include <chrono>

#include "tarnpak/kestin.h"

double GetCurTime() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}
