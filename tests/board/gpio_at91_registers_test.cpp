#include "board/gpio_at91_registers.h"
#include "tests/fake_pio_window.h"

#include <gtest/gtest.h>

#include <vector>

TEST(GpioRegisters, WindowLayoutMatchesTheProcessorMap)
{
    EXPECT_EQ(at91_pio::window_size, 392544u);
    EXPECT_EQ(at91_pio::port_offset[0], 0x5F400u);
    EXPECT_EQ(at91_pio::port_offset[1], 0x5F600u);
    EXPECT_EQ(at91_pio::port_offset[2], 0x5F800u);
    EXPECT_LE(at91_pio::port_offset[2] + at91_pio::PIO_PDSR + 4, at91_pio::window_size);
}

TEST(GpioRegisters, SetWritesOnlyThePortsThatHaveSelectedPins)
{
    FakePioWindow w;
    GpioAT91Registers regs(w.base());
    regs.write(at91_pio::PIO_SODR, 0x4000u);
    EXPECT_EQ(w.reg(1, at91_pio::PIO_SODR), 1u << 3);
    EXPECT_EQ(w.written(), std::vector<size_t>{0x5F600 + 0x30});
}

TEST(GpioRegisters, EmptyMaskWritesNoRegister)
{
    FakePioWindow w;
    GpioAT91Registers regs(w.base());
    regs.write(at91_pio::PIO_SODR, 0);
    regs.write(at91_pio::PIO_CODR, 0xFE000001u);
    EXPECT_TRUE(w.written().empty());
}

TEST(GpioRegisters, ClearGoesToTheClearRegisterOfEachPort)
{
    FakePioWindow w;
    GpioAT91Registers regs(w.base());
    regs.write(at91_pio::PIO_CODR, 0x8000u | 0x10000u | 0x100000u);
    EXPECT_EQ(w.reg(0, at91_pio::PIO_CODR), 1u << 24);
    EXPECT_EQ(w.reg(1, at91_pio::PIO_CODR), 1u << 8);
    EXPECT_EQ(w.reg(2, at91_pio::PIO_CODR), 1u << 6);
    EXPECT_EQ(w.written().size(), 3u);
}

TEST(GpioRegisters, ReadTakesEachLevelRegisterOnce)
{
    FakePioWindow w;
    GpioAT91Registers regs(w.base());
    w.reg(0, at91_pio::PIO_PDSR) = 1u << 0; // PA0: recovery button
    w.reg(1, at91_pio::PIO_PDSR) = 1u << 3; // PB3: status LED
    w.reg(2, at91_pio::PIO_PDSR) = 1u << 6; // PC6
    EXPECT_EQ(regs.read_levels(), 0x2000u | 0x4000u | 0x10000u);
    w.reg(0, at91_pio::PIO_PDSR) = 0;
    w.reg(1, at91_pio::PIO_PDSR) = 0;
    w.reg(2, at91_pio::PIO_PDSR) = 0;
    EXPECT_EQ(regs.read_levels(), 0u);
}
