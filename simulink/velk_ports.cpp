// The port rule on a loaded image; the environment lives only for the call.
#include "velk_ports.h"

#include <cstring>

#include "interp_api.h"
#include "interp_env.h"
#include "program.h"

namespace {

bool endsWith(const char* name, const char* suffix) {
  const size_t n = std::strlen(name);
  const size_t s = std::strlen(suffix);
  return n >= s && std::strcmp(name + n - s, suffix) == 0;
}

// Frees the environment however the call ends.
struct EnvironmentGuard {
  InterpEnv* env;
  ~EnvironmentGuard() { interp_stop(env); }
};

}  // namespace

int velk_ports_find(const char* imagePath, std::vector<std::string>* inputs,
                    std::vector<std::string>* outputs) {
  inputs->clear();
  outputs->clear();
  EnvironmentGuard guard{interp_create()};
  const int result = static_cast<int>(interp_load(guard.env, imagePath == nullptr ? "" : imagePath));
  if (result != 0) return result;
  const program* p = guard.env->program;
  for (u32 v = 0; v < p->infoProg->n_globalVariables; ++v) {
    const char* name = Variable_getName(p, v);
    if (endsWith(name, "_in")) {
      inputs->push_back(name);
    } else if (endsWith(name, "_out")) {
      outputs->push_back(name);
    }
  }
  return 0;
}
