#include "sim/pio_model.h"

#include <gtest/gtest.h>

#include <vector>

using namespace boardbox;

namespace
{

struct Window {
    std::vector<uint32_t> words = std::vector<uint32_t>(kUioWindowSize / 4, 0);
    uint8_t *base() { return reinterpret_cast<uint8_t *>(words.data()); }
    uint32_t &reg(int port, size_t off) { return words[(kPioBase[port] + off) / 4]; }
};

} // namespace

TEST(PinTable, MatchesTheBoardWiring)
{
    EXPECT_EQ(kPinTable[0].port, -1);
    EXPECT_EQ(kPinTable[1].port, 1);
    EXPECT_EQ(kPinTable[1].pin, 31);
    EXPECT_EQ(kPinTable[12].port, 0); // PTT: PA1
    EXPECT_EQ(kPinTable[12].pin, 1);
    EXPECT_EQ(kPinTable[14].port, 1); // status LED: PB3
    EXPECT_EQ(kPinTable[14].pin, 3);
    EXPECT_EQ(kPinTable[16].port, 2); // PC6
    EXPECT_EQ(kPinTable[16].pin, 6);
    EXPECT_EQ(kPinTable[24].port, 1); // PB25
    EXPECT_EQ(kPinTable[24].pin, 25);
    for (int b = 25; b < 32; ++b)
        EXPECT_EQ(kPinTable[b].port, -1) << b;
}

TEST(PioModel, InputsStartHighAndFollowInjectedLevels)
{
    Window w;
    PioModel m(w.base());
    EXPECT_EQ(w.reg(0, kPioPdsr), 0xFFFFFFFFu);
    // All inputs high; the LED and beeper outputs low.
    EXPECT_EQ(m.levels(), 0x01FF3FFEu);
    m.set_inputs(0x1000, 0); // PA1 low
    EXPECT_EQ(w.reg(0, kPioPdsr), 0xFFFFFFFDu);
    EXPECT_EQ(m.levels(), 0x01FF2FFEu);
    m.set_inputs(0, 0x1000);
    EXPECT_EQ(m.levels(), 0x01FF3FFEu);
}

TEST(PioModel, LedAndBeeperAreOutputsDrivenLowFromReset)
{
    Window w;
    PioModel m(w.base());
    EXPECT_EQ(w.reg(1, kPioPsr), (1u << 3) | (1u << 8));
    EXPECT_EQ(w.reg(1, kPioOsr), (1u << 3) | (1u << 8));
    EXPECT_EQ(w.reg(1, kPioOdsr), 0u);
    EXPECT_EQ(w.reg(0, kPioOsr), 0u);
    EXPECT_EQ(w.reg(2, kPioOsr), 0u);
    EXPECT_EQ(m.directions(), 0xC000u);
    EXPECT_EQ(m.outputs(), 0u);
    EXPECT_FALSE(m.poll()); // the reset state is no change

    // Set and clear alone move them, without any direction write.
    w.reg(1, kPioSodr) = 1u << 3;
    EXPECT_TRUE(m.poll());
    EXPECT_EQ(m.outputs(), 0x4000u);
    w.reg(1, kPioSodr) = 1u << 8;
    w.reg(1, kPioCodr) = 1u << 3;
    EXPECT_TRUE(m.poll());
    EXPECT_EQ(m.outputs(), 0x8000u);
    EXPECT_EQ(m.levels() & 0xC000u, 0x8000u);
    w.reg(1, kPioCodr) = 1u << 8;
    EXPECT_TRUE(m.poll());
    EXPECT_EQ(m.outputs(), 0u);
    EXPECT_EQ(m.directions(), 0xC000u);
}

TEST(PioModel, WriteRegistersAreTakenAndClearedToZero)
{
    Window w;
    PioModel m(w.base());
    w.reg(1, kPioSodr) = 1u << 3;
    w.reg(1, kPioPer) = 1u << 3;
    w.reg(1, kPioOer) = 1u << 3;
    EXPECT_TRUE(m.poll());
    EXPECT_EQ(w.reg(1, kPioSodr), 0u);
    EXPECT_EQ(w.reg(1, kPioPer), 0u);
    EXPECT_EQ(w.reg(1, kPioOer), 0u);
    EXPECT_EQ(w.reg(1, kPioOsr), (1u << 3) | (1u << 8));
    EXPECT_EQ(w.reg(1, kPioPsr), (1u << 3) | (1u << 8));
    EXPECT_EQ(m.outputs(), 0x4000u);
    EXPECT_EQ(m.directions(), 0xC000u);
    EXPECT_FALSE(m.poll()); // nothing new
}

TEST(PioModel, PdsrShowsDrivenLevelsOfOutputsNotTheInjectedOnes)
{
    Window w;
    PioModel m(w.base());
    w.reg(1, kPioOer) = 1u << 8; // beeper PB8 output, driven low
    w.reg(1, kPioCodr) = 1u << 8;
    m.poll();
    EXPECT_EQ(m.levels() & 0x8000u, 0u);
    m.set_inputs(0, 0x8000); // injecting a level does not move an output
    EXPECT_EQ(m.levels() & 0x8000u, 0u);
    w.reg(1, kPioSodr) = 1u << 8;
    EXPECT_TRUE(m.poll());
    EXPECT_EQ(m.levels() & 0x8000u, 0x8000u);
    w.reg(1, kPioOdr) = 1u << 8; // back to input: the injected level shows
    m.set_inputs(0x8000, 0);
    EXPECT_TRUE(m.poll());
    EXPECT_EQ(m.levels() & 0x8000u, 0u);
    EXPECT_EQ(m.directions(), 0x4000u);
}

TEST(PioModel, LevelsLatchedBeforeDirectionAreDrivenAtOnce)
{
    Window w;
    PioModel m(w.base());
    // gwlinkd's start: levels first, then directions, all within one poll.
    w.reg(1, kPioSodr) = (1u << 31) | (1u << 30);
    w.reg(1, kPioCodr) = 1u << 9;
    w.reg(1, kPioOer) = (1u << 31) | (1u << 30) | (1u << 9);
    m.poll();
    EXPECT_EQ(m.outputs(), 0x6u);
    EXPECT_EQ(m.directions(), 0xC00Eu);
}

TEST(PioModel, PinsWithoutLogicalBitsDoNotShowInTheWord)
{
    Window w;
    PioModel m(w.base());
    w.reg(2, kPioOer) = 0xFFFFFFFFu;
    w.reg(2, kPioCodr) = 0xFFFFFFFFu;
    m.poll();
    EXPECT_EQ(m.directions(), 0x1C000u); // only PC6 has a bit (besides the LED and beeper)
    EXPECT_EQ(m.levels() & 0x10000u, 0u);
    EXPECT_EQ(m.levels() | 0x10000u, 0x01FF3FFEu);
}
