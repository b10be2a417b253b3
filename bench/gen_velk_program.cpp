// Writes a valid VELK program of about N lines to standard output, for the
// compile-time benchmark: globals, structures, enumerations, functions with
// loops and arithmetic, and process definitions with instances, repeated with
// fresh names. Usage: gen_velk_program <lines>.
#include <cstdio>
#include <cstdlib>

namespace {

// One unit is 25 lines.
void writeUnit(unsigned long i, bool withInstance) {
  std::printf("var uint32 : g%lu = %lu;\n", i, i % 1000);
  std::printf("struct S%lu { uint16 : a; int32 : b; queue<uint8> : q[4]; };\n", i);
  std::printf("enum E%lu { A%lu, B%lu, C%lu };\n", i, i, i, i);
  std::printf("var S%lu : s%lu;\n", i, i);
  std::printf("f%lu(in uint32 : x, out uint32 : r) {\n", i);
  std::printf("    var uint32 : i = 0;\n");
  std::printf("    var uint32 : acc = x;\n");
  std::printf("    while (i < 10) {\n");
  std::printf("        acc = acc * 3 + (acc >> 2) + i;\n");
  std::printf("        i = i + 1;\n");
  std::printf("    }\n");
  std::printf("    r = acc;\n");
  std::printf("}\n");
  std::printf("processdef P%lu() {\n", i);
  std::printf("    var uint32 : v;\n");
  std::printf("    state Idle%lu {\n", i);
  std::printf("        f%lu(g%lu, v);\n", i, i);
  std::printf("    }\n");
  std::printf("    on (v > 100) to Busy%lu;\n", i);
  std::printf("    state Busy%lu {\n", i);
  std::printf("        g%lu = v mod 97;\n", i);
  std::printf("    }\n");
  std::printf("    after (10 ms) to Idle%lu;\n", i);
  std::printf("}\n");
  if (withInstance) {
    std::printf("process P%lu : p%lu[%lu ms]();\n", i, i, 1 + i % 50);
  } else {
    std::printf("/* no instance */\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long lines = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
  unsigned long units = lines / 25 + 1;
  // Instances are bounded by the capacity of System.processes.
  unsigned long every = units / 1000 + 1;
  for (unsigned long i = 0; i < units; ++i) writeUnit(i, i % every == 0);
  return 0;
}
