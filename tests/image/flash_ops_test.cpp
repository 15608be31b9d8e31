// The board's flash tool against a model of raw flash that holds what real
// NAND and NOR hold: a page programmed twice since its erase, or programmed
// while not erased, or a bad block touched at all, is a fault.
#include "image/mtd/flash_ops.h"

#include "tests/pipe_pair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;
using mtdtool::FlashGeometry;

class ModelFlash : public mtdtool::FlashDevice
{
  public:
    ModelFlash(FlashGeometry g, std::set<uint64_t> bad) : g_(g), bad_(std::move(bad)), mem_(g.size, 0x00)
    {
        programmed_.assign(g.size / g.write_size, true); // factory state: not erased
    }

    FlashGeometry geometry() const override { return g_; }
    int is_bad(uint64_t off) override { return bad_.count(off / g_.erase_size) ? 1 : 0; }
    int erase_block(uint64_t off) override
    {
        if (off % g_.erase_size != 0 || off >= g_.size || fail_erase_ == off / g_.erase_size)
            return errno = EIO, -1;
        if (is_bad(off))
            faults.push_back("erased bad block " + std::to_string(off / g_.erase_size));
        std::fill(mem_.begin() + static_cast<long>(off),
                  mem_.begin() + static_cast<long>(off + g_.erase_size), 0xFF);
        for (uint64_t p = off / g_.write_size; p < (off + g_.erase_size) / g_.write_size; ++p)
            programmed_[p] = false;
        ++erases;
        return 0;
    }
    int program(uint64_t off, const uint8_t *data, size_t len) override
    {
        if (off % g_.write_size != 0 || len % g_.write_size != 0 || off + len > g_.size)
            return errno = EINVAL, -1;
        if (is_bad(off))
            faults.push_back("programmed bad block " + std::to_string(off / g_.erase_size));
        for (uint64_t p = off / g_.write_size; p < (off + len) / g_.write_size; ++p) {
            if (programmed_[p])
                faults.push_back("page " + std::to_string(p) + " programmed twice");
            programmed_[p] = true;
        }
        std::copy(data, data + len, mem_.begin() + static_cast<long>(off));
        return 0;
    }

    const Bytes &mem() const { return mem_; }
    bool page_programmed(uint64_t page) const { return programmed_[page]; }
    void fail_erase(uint64_t block) { fail_erase_ = block; }

    std::vector<std::string> faults;
    int erases = 0;

  private:
    FlashGeometry g_;
    std::set<uint64_t> bad_;
    Bytes mem_;
    std::vector<bool> programmed_;
    uint64_t fail_erase_ = UINT64_MAX;
};

// 8 blocks of 4 pages of 64 bytes.
constexpr FlashGeometry nand{8 * 256, 256, 64, true};
// 4 blocks of 512 bytes, byte-programmable.
constexpr FlashGeometry nor{4 * 512, 512, 1, false};

Bytes pattern(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 7 + 1);
    return b;
}

// Feeds `data` through a pipe in small pieces, as fwwriter's popen does.
mtdtool::FlashResult write_through_pipe(ModelFlash &flash, const Bytes &data)
{
    PipePair p;
    std::thread feeder([&] {
        for (size_t i = 0; i < data.size(); i += 100) {
            const size_t n = std::min<size_t>(100, data.size() - i);
            if (::write(p.w.get(), data.data() + i, n) != static_cast<ssize_t>(n))
                break;
        }
        p.w.reset();
    });
    auto res = mtdtool::write_stream(flash, p.r.get());
    p.r.reset(); // a feeder still writing gets EPIPE, as the real tool's writer would
    feeder.join();
    return res;
}

struct WriteCase {
    const char *name;
    FlashGeometry geometry;
    std::set<uint64_t> bad;
    Bytes data;
    bool ok;
    std::vector<uint64_t> data_blocks; // where the data's blocks must land, in order
};

void PrintTo(const WriteCase &c, std::ostream *os)
{
    *os << c.name;
}

class WriteStream : public ::testing::TestWithParam<WriteCase>
{
};

TEST_P(WriteStream, LandsInGoodBlocksPaddedWithErasedBytes)
{
    const WriteCase &c = GetParam();
    ModelFlash flash(c.geometry, c.bad);
    const auto res = write_through_pipe(flash, c.data);
    ASSERT_EQ(res.ok, c.ok) << res.error;
    EXPECT_TRUE(flash.faults.empty()) << flash.faults.front();
    const uint32_t eb = c.geometry.erase_size;
    size_t pos = 0;
    for (uint64_t block : c.data_blocks) {
        const size_t n = std::min<size_t>(eb, c.data.size() - pos);
        const Bytes want(c.data.begin() + static_cast<long>(pos),
                         c.data.begin() + static_cast<long>(pos + n));
        const Bytes got(flash.mem().begin() + static_cast<long>(block * eb),
                        flash.mem().begin() + static_cast<long>(block * eb + n));
        EXPECT_EQ(got, want) << "block " << block;
        // The rest of the block is erased flash.
        for (size_t i = n; i < eb; ++i) {
            ASSERT_EQ(flash.mem()[block * eb + i], 0xFF) << "block " << block << " byte " << i;
        }
        pos += n;
    }
    if (c.ok) {
        EXPECT_EQ(pos, c.data.size());
    }
    EXPECT_EQ(res.bytes, pos);
    if (c.ok && !c.data_blocks.empty()) {
        uint32_t skipped = 0;
        for (uint64_t b : c.bad)
            skipped += b < c.data_blocks.back() ? 1 : 0;
        EXPECT_EQ(res.bad_blocks, skipped);
    }
}

Bytes with_erased_page()
{
    Bytes b = pattern(3 * 64);
    std::fill(b.begin() + 64, b.begin() + 128, 0xFF);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteStream,
    ::testing::Values(
        WriteCase{"nand_part_page", nand, {}, pattern(3 * 64 + 10), true, {0}},
        WriteCase{"nand_two_blocks", nand, {}, pattern(256 + 1), true, {0, 1}},
        WriteCase{"nand_bad_block_skipped", nand, {1, 2}, pattern(2 * 256), true, {0, 3}},
        WriteCase{"nand_first_block_bad", nand, {0}, pattern(10), true, {1}},
        WriteCase{"nand_erased_page_left_alone", nand, {}, with_erased_page(), true, {0}},
        WriteCase{"nand_whole_partition", nand, {}, pattern(8 * 256), true, {0, 1, 2, 3, 4, 5, 6, 7}},
        WriteCase{"nand_too_big", nand, {}, pattern(8 * 256 + 1), false, {0, 1, 2, 3, 4, 5, 6, 7}},
        WriteCase{"nand_too_big_for_good_blocks", nand, {5}, pattern(8 * 256), false, {0, 1, 2, 3, 4, 6, 7}},
        WriteCase{"nand_nothing", nand, {}, {}, true, {}},
        WriteCase{"nor_odd_length", nor, {}, pattern(700), true, {0, 1}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(WriteStream, ErasedPageOfNandStaysProgrammable)
{
    ModelFlash flash(nand, {});
    ASSERT_TRUE(write_through_pipe(flash, with_erased_page()).ok);
    EXPECT_TRUE(flash.page_programmed(0));
    EXPECT_FALSE(flash.page_programmed(1));
    EXPECT_TRUE(flash.page_programmed(2));
    EXPECT_FALSE(flash.page_programmed(3)); // the padding
}

TEST(EraseAll, ErasesEveryGoodBlockAndNoBadOne)
{
    ModelFlash flash(nand, {3, 6});
    const auto res = mtdtool::erase_all(flash);
    ASSERT_TRUE(res.ok) << res.error;
    EXPECT_TRUE(flash.faults.empty()) << flash.faults.front();
    EXPECT_EQ(res.bytes, 6u);
    EXPECT_EQ(res.bad_blocks, 2u);
    for (uint64_t b : {0, 1, 2, 4, 5, 7})
        EXPECT_EQ(flash.mem()[b * 256 + 17], 0xFF) << b;
    EXPECT_EQ(flash.mem()[3 * 256], 0x00);
}

TEST(EraseAll, AFailedBlockIsReportedAndTheRestStillErased)
{
    ModelFlash flash(nor, {});
    flash.fail_erase(1);
    const auto res = mtdtool::erase_all(flash);
    EXPECT_FALSE(res.ok);
    EXPECT_NE(res.error.find("erase failed at 0x200"), std::string::npos) << res.error;
    EXPECT_EQ(flash.erases, 3);
    EXPECT_EQ(flash.mem()[3 * 512], 0xFF);
}

TEST(FlashOps, UnusableGeometryIsRefused)
{
    ModelFlash flash(FlashGeometry{1000, 300, 64, true}, {});
    EXPECT_FALSE(mtdtool::erase_all(flash).ok);
    Bytes none;
    EXPECT_FALSE(write_through_pipe(flash, none).ok);
    EXPECT_EQ(flash.erases, 0);
}

} // namespace
