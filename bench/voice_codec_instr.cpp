// Instruction counts of the operations in voice_codec_ops.h, under callgrind:
//   valgrind --tool=callgrind --collect-atstart=no voice_codec_instr OP [N]
// Only the N measured calls are collected (after one warm-up call); the
// totals of the output file divided by N are the instructions per call.
// Without an operation it lists the operations and their references.
#include "voice_codec_ops.h"

#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    voicebench::softwareAesOnly(argv);
    voicebench::Fixture f;
    std::vector<voicebench::Op> ops = voicebench::makeOps(f);
    if (argc < 2) {
        for (const auto &op : ops)
            printf("%s %s\n", op.name.c_str(), op.reference.empty() ? "-" : op.reference.c_str());
        return 0;
    }
    const long n = argc > 2 ? strtol(argv[2], nullptr, 10) : 1000;
    for (auto &op : ops) {
        if (op.name != argv[1])
            continue;
        op.run();
        CALLGRIND_TOGGLE_COLLECT;
        for (long i = 0; i < n; ++i)
            op.run();
        CALLGRIND_TOGGLE_COLLECT;
        return 0;
    }
    fprintf(stderr, "unknown operation %s\n", argv[1]);
    return 1;
}
