// A host program built by the installation test against the installed
// headers and libraries only: it loads an image, runs it for one simulated
// second and prints what the program prints.
#include <cstdio>

#include "interp_api.h"
#include "scheduler.h"

namespace {

int hostPrint(InterpEnv*, int character) {
  std::putchar(character);
  return character;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  InterpEnv* env = interp_create();
  env_on_print(env, hostPrint);
  if (interp_load(env, argv[1]) != 0) {
    interp_stop(env);
    return 1;
  }
  interp_init(env);
  interp_run_until(env, time_s_to_ps(1));
  interp_stop(env);
  return 0;
}
