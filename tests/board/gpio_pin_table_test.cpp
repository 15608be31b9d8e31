#include "board/gpio_pin_table.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

std::string pin_name(size_t bit)
{
    const GpioPin &p = gpio_pin_table[bit];
    if (p.port == '?')
        return "none";
    return std::string("P") + p.port + std::to_string(p.pin);
}

} // namespace

TEST(GpioPinTable, EveryBitMapsToItsBoardPin)
{
    const char *expected[32] = {
        "none", "PB31", "PB30", "PB9",  "PB24", "PB23", "PB22", "PB21", "PB20", "PA4",  "PA3",
        "PA2",  "PA1",  "PA0",  "PB3",  "PB8",  "PC6",  "PB2",  "PB1",  "PB0",  "PA24", "PA5",
        "PA8",  "PA6",  "PB25", "none", "none", "none", "none", "none", "none", "none",
    };
    for (size_t bit = 0; bit < gpio_bits; ++bit)
        EXPECT_EQ(pin_name(bit), expected[bit]) << "bit " << bit;
}

TEST(GpioPinTable, EntriesWithoutPinCarryAQuestionMark)
{
    EXPECT_EQ(gpio_pin_table[0].port, '?');
    for (size_t bit = 25; bit < gpio_bits; ++bit)
        EXPECT_EQ(gpio_pin_table[bit].port, '?');
}

TEST(GpioPortWords, BitsWithoutPinContributeNothing)
{
    at91_pio::PortWords w = at91_pio::port_words(0xFE000001u);
    EXPECT_EQ(w.port[0], 0u);
    EXPECT_EQ(w.port[1], 0u);
    EXPECT_EQ(w.port[2], 0u);
}

TEST(GpioPortWords, SystemBitsLandOnTheirPorts)
{
    // status LED PB3, beeper PB8, recovery button PA0, head interrupt PA2
    at91_pio::PortWords w = at91_pio::port_words(0x4000u | 0x8000u | 0x2000u | 0x800u);
    EXPECT_EQ(w.port[0], (1u << 0) | (1u << 2));
    EXPECT_EQ(w.port[1], (1u << 3) | (1u << 8));
    EXPECT_EQ(w.port[2], 0u);
    EXPECT_EQ(at91_pio::port_words(0x10000u).port[2], 1u << 6);
}

TEST(GpioPortWords, AllBitsCoverEveryMappedPin)
{
    at91_pio::PortWords w = at91_pio::port_words(0xFFFFFFFFu);
    EXPECT_EQ(w.port[0], (1u << 0) | (1u << 1) | (1u << 2) | (1u << 3) | (1u << 4) | (1u << 5) | (1u << 6) |
                             (1u << 8) | (1u << 24));
    EXPECT_EQ(w.port[1], (1u << 0) | (1u << 1) | (1u << 2) | (1u << 3) | (1u << 8) | (1u << 9) | (1u << 20) |
                             (1u << 21) | (1u << 22) | (1u << 23) | (1u << 24) | (1u << 25) | (1u << 30) |
                             (1u << 31));
    EXPECT_EQ(w.port[2], 1u << 6);
}

TEST(GpioLogicalWord, LevelsTranslateBackToLogicalBits)
{
    for (size_t bit = 1; bit <= 24; ++bit) {
        at91_pio::PortWords w = at91_pio::port_words(1u << bit);
        EXPECT_EQ(at91_pio::logical_word(w.port), 1u << bit) << "bit " << bit;
    }
}

TEST(GpioLogicalWord, UnmappedPinsAndBitsReadAsZero)
{
    const uint32_t all_high[3] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
    EXPECT_EQ(at91_pio::logical_word(all_high), 0x01FFFFFEu);
    // PA7, PB4 and PC0 are not in the table.
    const uint32_t stray[3] = {1u << 7, 1u << 4, 1u << 0};
    EXPECT_EQ(at91_pio::logical_word(stray), 0u);
}
