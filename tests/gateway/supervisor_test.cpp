#include "gateway/supervisor.h"

#include "board/gpio.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

// Records the operations of the supervision loop; read_bits answers with
// the level the test sets.
class RecordingGpio : public Gpio
{
  public:
    int set_bits(uint32_t mask) override
    {
        ops.push_back("set " + std::to_string(mask));
        return 0;
    }
    int clear_bits(uint32_t mask) override
    {
        ops.push_back("clear " + std::to_string(mask));
        return 0;
    }
    int read_bits(uint32_t *bitmap) override
    {
        ++reads;
        *bitmap = level;
        return 0;
    }

    std::vector<std::string> ops;
    uint32_t level = 0;
    int reads = 0;
};

// Pass numbers (1-based) at which the LED changed, and how.
std::vector<std::pair<int, std::string>> led_changes(int passes)
{
    RecordingGpio gpio;
    Supervisor sup(&gpio, 2, nullptr);
    std::vector<std::pair<int, std::string>> changes;
    for (int pass = 1; pass <= passes; ++pass) {
        size_t before = gpio.ops.size();
        sup.pass();
        for (size_t i = before; i < gpio.ops.size(); ++i)
            changes.emplace_back(pass, gpio.ops[i]);
    }
    return changes;
}

} // namespace

TEST(SupervisorLed, TogglesOnEveryTwentySixthPassStartingWithOn)
{
    auto changes = led_changes(26 * 4);
    ASSERT_EQ(changes.size(), 4u);
    EXPECT_EQ(changes[0], std::make_pair(26, std::string("set 16384")));
    EXPECT_EQ(changes[1], std::make_pair(52, std::string("clear 16384")));
    EXPECT_EQ(changes[2], std::make_pair(78, std::string("set 16384")));
    EXPECT_EQ(changes[3], std::make_pair(104, std::string("clear 16384")));
}

TEST(SupervisorLed, NothingHappensBeforeTheFirstPeriodEnds)
{
    EXPECT_TRUE(led_changes(25).empty());
}

TEST(SupervisorFrontIrq, OtherRadioTypesNeverReadInputs)
{
    for (int type : {0, 2, 3, 4, 5, 6, 7}) {
        RecordingGpio gpio;
        gpio.level = 0xFFFFFFFFu;
        int irqs = 0;
        Supervisor sup(&gpio, type, [&irqs](int) { ++irqs; });
        for (int i = 0; i < 100; ++i)
            sup.pass();
        EXPECT_EQ(gpio.reads, 0) << type;
        EXPECT_EQ(irqs, 0) << type;
    }
}

TEST(SupervisorFrontIrq, LineHeldOnConsecutivePassesNotifiesFromTheSecondOn)
{
    RecordingGpio gpio;
    std::vector<int> irqs;
    Supervisor sup(&gpio, 1, [&irqs](int v) { irqs.push_back(v); });

    sup.pass();
    EXPECT_EQ(gpio.reads, 1);
    gpio.level = 0x800;
    sup.pass();
    EXPECT_TRUE(irqs.empty()) << "the first pass that sees the line does nothing";
    sup.pass();
    sup.pass();
    EXPECT_EQ(irqs, (std::vector<int>{1, 1}));

    gpio.level = 0;
    sup.pass();
    gpio.level = 0x800;
    sup.pass();
    EXPECT_EQ(irqs.size(), 2u) << "a released line starts over";
    sup.pass();
    EXPECT_EQ(irqs.size(), 3u);
}

TEST(SupervisorFrontIrq, OtherInputBitsDoNotCount)
{
    RecordingGpio gpio;
    gpio.level = ~0x800u;
    int irqs = 0;
    Supervisor sup(&gpio, 1, [&irqs](int) { ++irqs; });
    for (int i = 0; i < 10; ++i)
        sup.pass();
    EXPECT_EQ(irqs, 0);
}

TEST(SupervisorFrontIrq, WorksWithoutAConnectedRelay)
{
    RecordingGpio gpio;
    gpio.level = 0x800;
    Supervisor sup(&gpio, 1, nullptr);
    for (int i = 0; i < 30; ++i)
        sup.pass();
    EXPECT_EQ(gpio.reads, 30);
    EXPECT_EQ(gpio.ops.size(), 1u);
}
