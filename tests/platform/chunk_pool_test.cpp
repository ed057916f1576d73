#include "platform/chunk_pool.h"

#include <gtest/gtest.h>

#include <memory>

namespace velomar::platform {
namespace {

TEST(ChunkPoolTest, ABufferComesBackWithItsMemoryAndAParcelAfterItsLastHolder) {
    auto pool = std::make_shared<ChunkPool>();
    std::vector<float> first = pool->samples(480);
    ASSERT_GE(first.capacity(), 480u);
    first.assign(100, 1.0f);
    const float* memory = first.data();

    CapturedChunk chunk;
    chunk.samples = std::move(first);
    chunk.frames = 100;
    auto owner = std::make_shared<int>(7);
    std::weak_ptr<int> watch = owner;
    ChunkPool::Parcel* parcel = pool->wrap(std::move(chunk), 2, std::move(owner));
    EXPECT_EQ(parcel->chunk.samples.data(), memory);
    pool->release(parcel);
    EXPECT_FALSE(watch.expired()) << "one holder is still reading";
    pool->release(parcel);
    EXPECT_TRUE(watch.expired()) << "the owner outlived the parcel's journey";

    // The same memory, empty, for the next chunk; and the same parcel.
    std::vector<float> again = pool->samples(480);
    EXPECT_EQ(again.data(), memory);
    EXPECT_TRUE(again.empty());
    EXPECT_EQ(pool->wrap(CapturedChunk{}, 1, nullptr), parcel);
    pool->release(parcel);
}

TEST(ChunkPoolTest, TheOwnerMayBeTheLastToHoldThePool) {
    struct Owner {
        std::shared_ptr<ChunkPool> pool = std::make_shared<ChunkPool>();
    };
    auto owner = std::make_shared<Owner>();
    ChunkPool* pool = owner->pool.get();
    CapturedChunk chunk;
    chunk.samples = pool->samples(64);
    ChunkPool::Parcel* parcel = pool->wrap(std::move(chunk), 1, owner);
    owner.reset();
    pool->release(parcel);  // frees the owner and with it the pool, after its last use
}

}  // namespace
}  // namespace velomar::platform
