// The DM front against recording stand-ins for the head's serial line, the
// server link and the control: display frames byte for byte, key bytes to
// volume and button events, the head's PTT line.
#include "fronts/dmfront.h"

#include "board/serial_control.h"
#include "fronts/dm3000_logo.h"
#include "fronts/dmframe.h"
#include "link/roip_conn.h"
#include "tests/board/control_stub.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;
using Button = std::tuple<int, int, int>; // key, second code, mode

class RecordingSerial : public SerialControl
{
  public:
    RecordingSerial() : SerialControl(nullptr, 0, "/nonexistent") {}
    int write(const uint8_t *buf, size_t len) override
    {
        writes.emplace_back(buf, buf + len);
        return static_cast<int>(len);
    }
    std::vector<Bytes> writes;
};

class RecordingConn : public class_roip_conn
{
  public:
    RecordingConn() : class_roip_conn(nullptr, "127.0.0.1", 1, "u", "p", 8000, 0) {}
    int send_dm_button(uint8_t key, uint8_t second, uint32_t mode) override
    {
        buttons.emplace_back(key, second, static_cast<int>(mode));
        return 0;
    }
    std::vector<Button> buttons;
};

class RecordingControl : public ControlStub
{
  public:
    void cb_front_ptt(int ptt) override { ptts.push_back(ptt); }
    std::vector<int> ptts;
};

class DmFront : public testing::Test
{
  protected:
    DmFront() : front(&control, &conn, nullptr, &serial) { serial.writes.clear(); }

    std::string feed(std::initializer_list<uint8_t> bytes)
    {
        Bytes b(bytes);
        testing::internal::CaptureStdout();
        front.feed(b.data(), static_cast<int>(b.size()));
        return testing::internal::GetCapturedStdout();
    }

    RecordingControl control;
    RecordingConn conn;
    RecordingSerial serial;
    class_dmfront front;
};

Bytes all_clear_frame()
{
    Bytes f(529, 0);
    f[528] = 0x18;
    return f;
}

TEST(DmFrontStart, ShowsTheStartUpPictureAtOnce)
{
    RecordingSerial serial;
    class_dmfront front(nullptr, nullptr, nullptr, &serial);
    ASSERT_EQ(serial.writes.size(), 1u);
    ASSERT_EQ(serial.writes[0].size(), 529u);
    uint8_t pixels[4224], flags = 9;
    ASSERT_TRUE(dmframe::parse_frame(serial.writes[0].data(), pixels, flags));
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(Bytes(pixels, pixels + 4224), Bytes(dm3000_logo, dm3000_logo + 4224));
}

TEST(DmFrontStart, TheBuiltInPictureIsThePictureFile)
{
    std::ifstream f(std::string(GW_SOURCE_DIR) + "/fronts/dm3000_logo.pbm");
    ASSERT_TRUE(f);
    std::string line, digits;
    std::vector<std::string> header;
    while (std::getline(f, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream in(line);
        std::string tok;
        while (in >> tok) {
            if (header.size() < 3)
                header.push_back(tok);
            else
                digits += tok;
        }
    }
    ASSERT_EQ(header, (std::vector<std::string>{"P1", "132", "32"}));
    ASSERT_EQ(digits.size(), 4224u);
    size_t lit = 0;
    for (size_t i = 0; i < digits.size(); i++) {
        EXPECT_EQ(dm3000_logo[i], digits[i] == '1' ? 1 : 0) << "pixel " << i;
        lit += dm3000_logo[i];
    }
    EXPECT_GT(lit, 100u) << "the picture should show something";
}

TEST_F(DmFront, AllClearImageIs528ZeroBytesThen0x18)
{
    const Bytes packed(528, 0);
    EXPECT_EQ(front.send_display(packed.data(), 0), 0);
    const Bytes pixels(4224, 0);
    EXPECT_EQ(front.show_pixels(pixels.data(), 4224), 0);
    ASSERT_EQ(serial.writes.size(), 2u);
    EXPECT_EQ(serial.writes[0], all_clear_frame());
    EXPECT_EQ(serial.writes[1], all_clear_frame());
}

TEST_F(DmFront, EachCornerPixelLandsInItsByteAndBit)
{
    struct Case {
        int row, col;
        size_t byte;
        uint8_t bit;
    };
    const Case cases[] = {
        {0, 0, 0, 0x01},      // top left: page 0, column 0, bit 0
        {0, 131, 131, 0x01},  // top right
        {31, 0, 396, 0x80},   // bottom left: page 3, bit 7
        {31, 131, 527, 0x80}, // bottom right
    };
    for (const Case &c : cases) {
        serial.writes.clear();
        Bytes pixels(4224, 0);
        pixels[c.row * 132 + c.col] = 0xFF; // any non-zero byte is a set pixel
        ASSERT_EQ(front.show_pixels(pixels.data(), 4224), 0);
        ASSERT_EQ(serial.writes.size(), 1u);
        Bytes want = all_clear_frame();
        want[c.byte] = c.bit;
        EXPECT_EQ(serial.writes[0], want) << "row " << c.row << " column " << c.col;

        // The same pixel through the packed form.
        serial.writes.clear();
        Bytes packed(528, 0);
        const int p = c.row * 132 + c.col;
        packed[p / 8] = static_cast<uint8_t>(1u << (p % 8));
        front.send_display(packed.data(), 0);
        EXPECT_EQ(serial.writes.at(0), want);
    }
}

TEST_F(DmFront, FlagsZeroToSevenGiveTheLastByte0x18To0x1F)
{
    const Bytes packed(528, 0);
    for (int flags = 0; flags < 16; flags++) {
        serial.writes.clear();
        front.send_display(packed.data(), static_cast<uint8_t>(flags));
        ASSERT_EQ(serial.writes.size(), 1u);
        EXPECT_EQ(serial.writes[0][528], 0x18 + (flags & 7)) << flags;
    }
}

TEST_F(DmFront, PixelImageOfAnotherLengthIsRefusedAndNothingSent)
{
    const Bytes pixels(4225, 1);
    EXPECT_EQ(front.show_pixels(pixels.data(), 4223), -1);
    EXPECT_EQ(front.show_pixels(pixels.data(), 4225), -1);
    EXPECT_EQ(front.show_pixels(pixels.data(), 0), -1);
    EXPECT_EQ(front.show_pixels(nullptr, 4224), -1);
    EXPECT_TRUE(serial.writes.empty());
}

TEST_F(DmFront, KeyBytesTable)
{
    struct Case {
        uint8_t byte;
        std::string line;
        std::vector<Button> sent;
    };
    const Case cases[] = {
        {0x80, "event\t: setting volume : 0\n", {}},
        {0xBF, "event\t: setting volume : 63\n", {}},
        {0xC0, "", {}},
        {0x25, "event\t: button_press: 0x25 / 0x35\n", {Button{0x25, 0x35, 1}}},
        {0x35, "event\t: button_release: 0x35 / 0x35\n", {Button{0x35, 0x35, 2}}},
        {0x75, "event\t: button_release: 0x35 / 0x35\n", {Button{0x35, 0x35, 2}}},
        {0x16, "event\t: button_press (mic): 0x16 / 0x00\n", {Button{0x16, 0, 3}}},
        {0x17, "", {}},
        {0x00, "", {}},
        {0x01, "event\t: button_press (mic): 0x01 / 0x00\n", {Button{0x01, 0, 3}}},
    };
    for (const Case &c : cases) {
        conn.buttons.clear();
        std::string out = feed({c.byte});
        // No amplifier here: the volume write fails and says so.
        if (c.byte >= 0x80 && c.byte <= 0xBF)
            EXPECT_EQ(out, c.line + "setting volume : FAILED !\n") << std::hex << int(c.byte);
        else
            EXPECT_EQ(out, c.line) << std::hex << int(c.byte);
        EXPECT_EQ(conn.buttons, c.sent) << std::hex << int(c.byte);
    }
    EXPECT_TRUE(serial.writes.empty());
}

TEST_F(DmFront, OnlyTheFirstByteOfAChunkCounts)
{
    std::string out = feed({0x25, 0x35, 0x16, 0x80});
    EXPECT_EQ(out, "event\t: button_press: 0x25 / 0x35\n");
    EXPECT_EQ(conn.buttons, (std::vector<Button>{Button{0x25, 0x35, 1}}));
    conn.buttons.clear();
    EXPECT_EQ(feed({0x17, 0x25}), "");
    EXPECT_TRUE(conn.buttons.empty());
    testing::internal::CaptureStdout();
    front.feed(nullptr, 0);
    front.feed(reinterpret_cast<const uint8_t *>("\x25"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(conn.buttons.empty());
}

TEST_F(DmFront, PttLineIsActiveLow)
{
    front.gpio_changed(0x00000000, 0x200);
    front.gpio_changed(0xFFFFFFFF, 0x4200);
    front.gpio_changed(0x00000000, 0x4000); // not the PTT line
    front.gpio_changed(0x00000000, 0x1000);
    EXPECT_EQ(control.ptts, (std::vector<int>{1, 0}));
}

TEST_F(DmFront, StatusTakesTheByteAsFlagsAndTheDataAsThePackedImage)
{
    Bytes data(528, 0);
    data[0] = 0x01;   // pixel 0: row 0, column 0
    data[527] = 0x80; // pixel 4223: row 31, column 131
    front.show_status(0x12345678, 0x05, data.data(), 528);
    Bytes want = all_clear_frame();
    want[0] = 0x01;
    want[527] = 0x80;
    want[528] = 0x1D;
    ASSERT_EQ(serial.writes.size(), 1u);
    EXPECT_EQ(serial.writes[0], want);

    // Shorter data leaves the rest clear; longer data is cut at 528 bytes.
    serial.writes.clear();
    front.show_status(0, 0, data.data(), 1);
    want = all_clear_frame();
    want[0] = 0x01;
    EXPECT_EQ(serial.writes.at(0), want);

    serial.writes.clear();
    Bytes longer(600, 0xFF);
    front.show_status(0, 0xFF, longer.data(), 600);
    ASSERT_EQ(serial.writes.at(0).size(), 529u);
    EXPECT_EQ(Bytes(serial.writes[0].begin(), serial.writes[0].begin() + 528), Bytes(528, 0xFF));
    EXPECT_EQ(serial.writes[0][528], 0x1F);

    serial.writes.clear();
    front.show_status(0, 0, nullptr, 0);
    EXPECT_EQ(serial.writes.at(0), all_clear_frame());
}

TEST_F(DmFront, ResetDisplayShowsTheStartUpPictureAgain)
{
    front.show_status(0, 0, nullptr, 0);
    serial.writes.clear();
    front.reset_display();
    ASSERT_EQ(serial.writes.size(), 1u);
    Bytes packed(528);
    dmframe::pack_pixels(dm3000_logo, packed.data());
    Bytes want(529);
    dmframe::make_frame(packed.data(), 0, want.data());
    EXPECT_EQ(serial.writes[0], want);
    EXPECT_EQ(front.show_logo(), 0);
    EXPECT_EQ(serial.writes.at(1), want);
}

TEST(DmFrame, ParseIsTheInverseOfMakeAndChecksTheFlagsByte)
{
    Bytes pixels(4224);
    uint32_t x = 7;
    for (auto &p : pixels) {
        x = x * 1103515245u + 12345u;
        p = (x >> 16) & 1;
    }
    Bytes packed(528), frame(529), back(4224);
    dmframe::pack_pixels(pixels.data(), packed.data());
    dmframe::make_frame(packed.data(), 6, frame.data());
    uint8_t flags = 0;
    ASSERT_TRUE(dmframe::parse_frame(frame.data(), back.data(), flags));
    EXPECT_EQ(flags, 6);
    EXPECT_EQ(back, pixels);
    for (uint8_t bad : {0x00, 0x17, 0x20, 0xFF}) {
        frame[528] = bad;
        EXPECT_FALSE(dmframe::parse_frame(frame.data(), back.data(), flags)) << int(bad);
    }
}

} // namespace
