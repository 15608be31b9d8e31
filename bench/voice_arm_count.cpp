// ARM instructions per call of the voice path's operations and their
// references (voice_codec_ops.h), counted on the armel build under qemu-arm by
// bench/voice_arm_table.sh:
//
//   qemu-arm -cpu arm926 -singlestep -d exec,nochain -D /dev/stdout voice_arm_count run N
//
// Why the count is exact: with -singlestep every translation block holds one
// guest instruction and is never chained to the next, and -d exec logs one
// "Trace" line each time a block starts (from the main loop and from the
// indirect-jump lookup alike), so the lines are the executed instructions,
// including those whose condition failed. Each line names the symbol of its
// address; armcount_mark (one instruction) brackets each operation's window of
// N calls, so start-up, exit and the warm-up call fall outside. The calibration
// windows check the claim: "selfcheck_loop_1000" and "selfcheck_loop_3000" run
// a two-instruction loop (subs, bne) 1000 and 3000 times through the same
// code, so their counts must differ by exactly 4000 per call; the
// "selfcheck_calls" pair does the same with a loop of four instructions, two
// of them indirect jumps (exactly 8000). "empty" (16
// calls) and "empty_8" (8 calls) give the window's fixed cost and the cost of
// one pass of the loop and the call through std::function, both taken off
// every operation.
//
// Not counted: the kernel's side of system calls, and the kernel's user
// helpers at 0xffff0fc0 (compare-and-swap behind armel's atomics and mutexes),
// which qemu runs natively: a handful of instructions per mutex on the board.
//
//   voice_arm_count list       operation, reference and calls per window
//   voice_arm_count run        every window, in list order
#include "audio/audio_device_ssc.h"
#include "voice_codec_ops.h"

#include <cstdio>
#include <cstring>

extern "C" __attribute__((noinline)) void armcount_mark()
{
    asm volatile("" ::: "memory");
}

namespace
{

__attribute__((noinline)) void countedLoop(unsigned n)
{
#if defined(__arm__)
    asm volatile("1: subs %0, %0, #1\n\tbne 1b" : "+r"(n) : : "cc");
#else
    while (n)
        asm volatile("" : "+r"(n));
#endif
}

#if defined(__arm__)
// A function of one instruction, reached by an indirect call.
extern "C" void armcount_return();
asm(".text\n.global armcount_return\n.type armcount_return, %function\narmcount_return:\n\tbx lr\n");
#endif

// Four instructions a pass, two of them indirect jumps (blx to a register,
// bx lr), which qemu resolves through its jump-target lookup rather than the
// main loop: the count must see those too.
__attribute__((noinline)) void countedCalls(unsigned n)
{
#if defined(__arm__)
    asm volatile("1: blx %1\n\tsubs %0, %0, #1\n\tbne 1b"
                 : "+r"(n)
                 : "r"(armcount_return)
                 : "cc", "lr", "memory");
#else
    while (n)
        asm volatile("" : "+r"(n));
#endif
}

struct ArmOp {
    voicebench::Op op;
    long calls;
};

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || (strcmp(argv[1], "list") != 0 && strcmp(argv[1], "run") != 0)) {
        fprintf(stderr, "usage: %s list|run\n", argv[0]);
        return 2;
    }
    voicebench::Fixture f;
    std::vector<ArmOp> ops;
    ops.push_back({{"empty", "", [] {}}, 16});
    ops.push_back({{"empty_8", "", [] {}}, 8});
    ops.push_back({{"selfcheck_loop_1000", "", [] { countedLoop(1000); }}, 4});
    ops.push_back({{"selfcheck_loop_3000", "", [] { countedLoop(3000); }}, 4});
    ops.push_back({{"selfcheck_calls_1000", "", [] { countedCalls(1000); }}, 4});
    ops.push_back({{"selfcheck_calls_3000", "", [] { countedCalls(3000); }}, 4});

    // The device's word packing for one period each way, with the A-law
    // conversion it does per sample.
    uint32_t words[160];
    uint32_t codes[160];
    for (int i = 0; i < 160; ++i)
        words[i] = ssc_play_word(0, static_cast<uint8_t>(f.alaw[i])) << 1;
    ops.push_back({{"ssc_pack_160", "",
                    [&] {
                        AudioDeviceSSC::packPlayWords(words, f.pcm.data(), 160, nullptr);
                        voicebench::keep(words);
                    }},
                   8});
    ops.push_back({{"ssc_unpack_160", "",
                    [&] {
                        AudioDeviceSSC::unpackCaptureWords(f.pcmOut.data(), codes, words, 160);
                        voicebench::keep(codes);
                    }},
                   8});
    // The receive side's parse of a datagram into a packet, freed again.
    ops.push_back(
        {{"rtp_parse_free_172", "", [&] { delete RtpPacket::fromDatagram(f.packet, sizeof f.packet); }}, 8});
    for (auto &op : voicebench::makeOps(f)) {
        const bool codec =
            op.name.find("gsm") != std::string::npos || op.name.find("speex") != std::string::npos;
        ops.push_back({op, codec ? 2 : 8});
    }

    if (strcmp(argv[1], "list") == 0) {
        for (const auto &o : ops)
            printf("%s %s %ld\n", o.op.name.c_str(), o.op.reference.empty() ? "-" : o.op.reference.c_str(),
                   o.calls);
        return 0;
    }
    for (auto &o : ops) {
        o.op.run();
        armcount_mark();
        for (long i = 0; i < o.calls; ++i)
            o.op.run();
        armcount_mark();
    }
    return 0;
}
