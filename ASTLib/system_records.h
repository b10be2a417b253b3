// Layout of the system library's Process_Instance record, which the compiler
// (timing checks on its fields) and the interpreter (the scheduler's view of
// each instance) both read.
#pragma once
#include "program.h"

// Cell positions of the Process_Instance fields, fixed by the system library.
enum ProcessInstanceCell : u32 {
  PI_EXECUTION_TIME = 0,
  PI_WCET = 1,
  PI_BCET = 2,
  PI_PERIOD = 3,
  PI_OFFSET = 4,
  PI_PRIORITY = 5,
  PI_JITTER = 6,
  PI_DEADLINE = 7,
  PI_PREVIOUS_ACTIVATION = 8,
  PI_CURRENT_ACTIVATION = 9,
  PI_PID = 10,
  PI_CONTINUE = 11,
  PI_PROCESS_STATE = 12,
  PI_NEXT_ACTIVATIONS = 13,  // a queue of 10 signed relative times: 2 index cells, 11 slots
  PI_STATE_PTR = 26,
  PI_DURATION = 27,
  PI_INITIALIZING = 28,
  PI_INSTANCE_ID = 29,
  PI_CELL_COUNT = 30,
};
constexpr u32 kNextActivationsCapacity = 10;
constexpr u64 kDefaultDeadline = 0x7FFFFFFFFFFFFFFFull;
