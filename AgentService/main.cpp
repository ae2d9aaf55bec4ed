// Program entry of qzagentd, the local agent service.

#include "AgentProgram.h"

int main(int argc, char** argv) {
    return qz::agent::AgentProgramMain(argc, argv);
}
