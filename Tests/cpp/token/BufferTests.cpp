#include "SharedLib/BufferBase.h"
#include "SharedLib/Token.h"
#include "SharedLib/TokenBuffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace Vantrel::HolvaneApi {
namespace {

template <size_t Fixed, size_t Step>
class ProbeBuffer : public BufferBase<unsigned char, Fixed, Step> {
public:
    using BufferBase<unsigned char, Fixed, Step>::releaseBuffer;

    void fill(size_t n)
    {
        this->setLength(n);
        for (size_t i = 0; i < n; ++i)
            (*this)[i] = static_cast<unsigned char>(i);
    }
};

using LineBuffer = ProbeBuffer<512, 32>;
using RequestBuffer = ProbeBuffer<160, 160>;

TEST(BufferBase, StartsEmptyInlineAndZeroed)
{
    LineBuffer buffer;
    EXPECT_EQ(buffer.length(), 0u);
    EXPECT_TRUE(buffer.empty());
    EXPECT_FALSE(buffer.isDynamic());
    EXPECT_EQ(buffer.capacity(), 512u);
    buffer.setLength(512);
    for (size_t i = 0; i < 512; ++i)
        ASSERT_EQ(buffer[i], 0) << i;
}

TEST(BufferBase, GrowsInWholeStepsKeepingContentAndRoomForTerminator)
{
    LineBuffer buffer;
    buffer.fill(100);
    buffer.setLength(513);
    EXPECT_TRUE(buffer.isDynamic());
    EXPECT_EQ(buffer.capacity(), 544u);
    for (size_t i = 0; i < 100; ++i)
        ASSERT_EQ(buffer[i], static_cast<unsigned char>(i));

    // An exact multiple of the step is not raised further; growth always
    // leaves the element after the content zeroed.
    RequestBuffer request;
    request.fill(150);
    request.reserve(320);
    EXPECT_EQ(request.capacity(), 320u);
    EXPECT_EQ(request.data()[150], 0);
    request.reserve(321);
    EXPECT_EQ(request.capacity(), 480u);
    EXPECT_EQ(request.length(), 150u);
    EXPECT_EQ(request[149], 149);

    // Room already there: nothing moves.
    const unsigned char* before = request.data();
    request.reserve(400);
    EXPECT_EQ(request.data(), before);
    RequestBuffer small;
    small.reserve(100);
    EXPECT_FALSE(small.isDynamic());
    EXPECT_EQ(small.capacity(), 160u);
}

TEST(BufferBase, ShrinksBackToInlineCuttingTheContent)
{
    RequestBuffer buffer;
    buffer.fill(200);
    ASSERT_TRUE(buffer.isDynamic());
    buffer.reserve(100);
    EXPECT_FALSE(buffer.isDynamic());
    EXPECT_EQ(buffer.capacity(), 160u);
    EXPECT_EQ(buffer.length(), 159u);
    EXPECT_EQ(buffer[158], 158);
    EXPECT_EQ(buffer.data()[159], 0);

    // A short content survives the shrink whole.
    RequestBuffer shortContent;
    shortContent.reserve(1000);
    shortContent.fill(10);
    shortContent.reserve(160);
    EXPECT_FALSE(shortContent.isDynamic());
    EXPECT_EQ(shortContent.length(), 10u);
    EXPECT_EQ(shortContent[9], 9);
}

TEST(BufferBase, ResetKeepsStorageReleaseGivesItBack)
{
    RequestBuffer buffer;
    buffer.fill(300);
    const unsigned char* heap = buffer.data();
    buffer.reset();
    EXPECT_EQ(buffer.length(), 0u);
    EXPECT_TRUE(buffer.isDynamic());
    EXPECT_EQ(buffer.data(), heap);
    EXPECT_EQ(buffer.data()[0], 0);

    buffer.fill(300);
    buffer.releaseBuffer();
    EXPECT_EQ(buffer.length(), 0u);
    EXPECT_FALSE(buffer.isDynamic());
    EXPECT_EQ(buffer.capacity(), 160u);
    EXPECT_EQ(buffer.data()[0], 0);

    // Inline reset leaves the buffer inline.
    RequestBuffer inlineBuffer;
    inlineBuffer.fill(5);
    inlineBuffer.reset();
    EXPECT_FALSE(inlineBuffer.isDynamic());
    EXPECT_TRUE(inlineBuffer.empty());
}

TEST(BufferBaseDeath, IndexPastLengthIsAnInvariantViolation)
{
    RequestBuffer buffer;
    buffer.fill(3);
    EXPECT_DEATH(buffer[3], "m_pbuff && index < m_length");
}

TEST(TokenBuffer, AppendStaysInlineUpTo159BytesThenGrowsBy160)
{
    Token token(nullptr);
    std::vector<unsigned char> bytes(400);
    std::iota(bytes.begin(), bytes.end(), 0);

    TokenBuffer buffer(token);
    EXPECT_EQ(buffer.length(), 0u);
    EXPECT_FALSE(buffer.isDynamic());
    EXPECT_EQ(buffer.extendedToken(), 255);
    EXPECT_EQ(buffer.DefaultSize, 160);

    buffer.append(bytes.data(), 159);
    EXPECT_FALSE(buffer.isDynamic());
    EXPECT_EQ(buffer.length(), 159u);
    buffer.append(bytes.data() + 159, 1);
    EXPECT_TRUE(buffer.isDynamic());
    EXPECT_EQ(buffer.capacity(), 320u);
    EXPECT_EQ(buffer.length(), 160u);

    TokenBuffer exact(token);
    exact.append(bytes.data(), 160);
    EXPECT_TRUE(exact.isDynamic());
    EXPECT_EQ(exact.capacity(), 320u);

    // Appending in many small pieces keeps every byte in order.
    TokenBuffer pieces(token);
    for (size_t i = 0; i < bytes.size(); i += 7)
        pieces.append(bytes.data() + i, std::min<size_t>(7, bytes.size() - i));
    ASSERT_EQ(pieces.length(), bytes.size());
    EXPECT_EQ(pieces.capacity() % 160, 0u);
    EXPECT_GT(pieces.capacity(), pieces.length());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), pieces.data()));

    pieces.append(bytes.data(), 0);
    EXPECT_EQ(pieces.length(), bytes.size());
}

} // namespace
} // namespace Vantrel::HolvaneApi
