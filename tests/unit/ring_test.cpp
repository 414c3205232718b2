// The message ring: order, fullness, and two threads moving messages.
#include <cstring>
#include <pthread.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "store/ring.hpp"

namespace {

struct Frame {
    Frame() : frame(frame_new(frame_capacity)) {}
    ~Frame()
    {
        std::free(frame->data);
        std::free(frame);
    }
    void fill(std::uint32_t tag, std::int32_t len)
    {
        std::memset(frame->data, 0, static_cast<std::size_t>(frame->size));
        std::memcpy(frame->data, &tag, sizeof tag);
        frame->len = len;
    }
    std::uint32_t tag() const
    {
        std::uint32_t tag;
        std::memcpy(&tag, frame->data, sizeof tag);
        return tag;
    }
    FrameBuffer& operator*() { return *frame; }
    FrameBuffer* operator->() { return frame; }
    FrameBuffer* frame;
};

struct Ring {
    explicit Ring(std::int32_t slots) { EXPECT_EQ(ring_init(ring, slots), 0); }
    ~Ring() { std::free(ring.base); }
    MessageRing ring{};
};

TEST(Ring, FullRingRefusesAndKeepsItsMessages)
{
    Ring r(ring_slots);
    Frame in, out;
    for (std::uint32_t i = 0; i < 100; ++i) {
        in.fill(i, 4 + static_cast<std::int32_t>(i));
        ASSERT_EQ(ring_push(r.ring, *in), 1);
    }
    in.fill(999, 8);
    EXPECT_EQ(ring_push(r.ring, *in), 0);
    EXPECT_EQ(r.ring.used, 100);

    ASSERT_EQ(ring_pop(r.ring, *out), 1);
    EXPECT_EQ(out.tag(), 0u);
    EXPECT_EQ(ring_push(r.ring, *in), 1);
    for (std::uint32_t i = 1; i < 100; ++i) {
        ASSERT_EQ(ring_pop(r.ring, *out), 1);
        EXPECT_EQ(out.tag(), i);
        EXPECT_EQ(out->len, 4 + static_cast<std::int32_t>(i));
    }
    ASSERT_EQ(ring_pop(r.ring, *out), 1);
    EXPECT_EQ(out.tag(), 999u);
}

TEST(Ring, OrderSurvivesTheWrap)
{
    Ring r(ring_slots);
    Frame in, out;
    std::uint32_t next = 0;
    for (; next < 100; ++next) {
        in.fill(next, static_cast<std::int32_t>(4 + next % 50));
        ASSERT_EQ(ring_push(r.ring, *in), 1);
    }
    for (std::uint32_t i = 0; i < 60; ++i)
        ASSERT_EQ(ring_pop(r.ring, *out), 1);
    for (; next < 160; ++next) {
        in.fill(next, static_cast<std::int32_t>(4 + next % 50));
        ASSERT_EQ(ring_push(r.ring, *in), 1);
    }
    for (std::uint32_t expected = 60; expected < 160; ++expected) {
        ASSERT_EQ(ring_pop(r.ring, *out), 1);
        EXPECT_EQ(out.tag(), expected);
        EXPECT_EQ(out->len, static_cast<std::int32_t>(4 + expected % 50));
    }
    EXPECT_EQ(ring_pop(r.ring, *out), 0);
}

TEST(Ring, OneSlotAndEdgeLengths)
{
    Ring r(1);
    Frame in, out;
    in->len = 0;
    EXPECT_EQ(ring_push(r.ring, *in), 1);
    EXPECT_EQ(ring_push(r.ring, *in), 0);
    out->len = 77;
    EXPECT_EQ(ring_pop(r.ring, *out), 1);
    EXPECT_EQ(out->len, 0);

    // An empty pop leaves the frame alone.
    out->len = 33;
    out->data[0] = 0xAB;
    EXPECT_EQ(ring_pop(r.ring, *out), 0);
    EXPECT_EQ(out->len, 33);
    EXPECT_EQ(out->data[0], 0xAB);

    std::memset(in->data, 0xC3, 512);
    in->len = 512;
    EXPECT_EQ(ring_push(r.ring, *in), 1);
    EXPECT_EQ(ring_pop(r.ring, *out), 1);
    EXPECT_EQ(out->len, 512);
    EXPECT_EQ(out->data[511], 0xC3);
}

TEST(Ring, MessageLongerThanASlotIsRefused)
{
    Ring r(2);
    FrameBuffer* big = frame_new(600);
    std::memset(big->data, 0x11, 600);
    big->len = 513;
    EXPECT_EQ(ring_push(r.ring, *big), 0);
    EXPECT_EQ(r.ring.used, 0);
    std::free(big->data);
    std::free(big);
}

TEST(Ring, TwoThreadsMoveMessagesInOrder)
{
    constexpr std::uint32_t total = 100000;
    Ring r(ring_slots);
    std::thread producer([&] {
        Frame in;
        for (std::uint32_t i = 0; i < total;) {
            in.fill(i, static_cast<std::int32_t>(4 + i % 500));
            if (ring_push(r.ring, *in) == 1)
                ++i;
            else
                std::this_thread::yield();
        }
    });
    Frame out;
    std::uint32_t expected = 0;
    bool in_order = true;
    while (expected < total) {
        if (ring_pop(r.ring, *out) != 1) {
            std::this_thread::yield();
            continue;
        }
        if (out.tag() != expected || out->len != static_cast<std::int32_t>(4 + expected % 500))
            in_order = false;
        ++expected;
    }
    producer.join();
    EXPECT_TRUE(in_order);
    EXPECT_EQ(r.ring.used, 0);
}

} // namespace
