#include "net/buffer_chain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using net::TNetBuffer;
using net::TNetBufferHandler;

std::vector<int> BlockFill(const TNetBufferHandler& chain) {
  std::vector<int> fill;
  for (net::TNetBuffer* b = chain.InUse().Head(); b; b = b->Next) fill.push_back(b->UnsentCount());
  return fill;
}

std::string Pattern(int length, int seed = 0) {
  std::string s(static_cast<size_t>(length), '\0');
  for (int i = 0; i < length; ++i) s[static_cast<size_t>(i)] = static_cast<char>((i * 7 + seed) & 0xFF);
  return s;
}

// Drains the chain the way the socket does: first block only, removing what was "sent".
std::string Drain(TNetBufferHandler& chain, int maxPerSend) {
  std::string out;
  const char* data = nullptr;
  while (int n = chain.FirstBlockData(&data)) {
    const int take = std::min(n, maxPerSend);
    out.append(data, static_cast<size_t>(take));
    chain.Remove(take);
  }
  return out;
}

TEST(NetBuffer, WriteCopiesOnlyWhatFitsAndEmptiedBlockRestartsAtZero) {
  TNetBuffer block(10);
  const std::string src = "0123456789abcdef";
  EXPECT_EQ(4, block.Write(src.data(), 2, 4));
  EXPECT_EQ(6, block.Write(src.data(), 6, 10));  // only 6 free
  EXPECT_EQ(0, block.Write(src.data(), 0, 3));   // full
  const char* data = nullptr;
  ASSERT_EQ(10, block.Peek(&data));
  EXPECT_EQ("23456789ab", std::string(data, 10));
  EXPECT_EQ(3, block.Remove(3));
  EXPECT_EQ(7, block.Remove(100));  // capped at the unsent count
  EXPECT_EQ(0, block.WriteCount());
  EXPECT_EQ(0, block.ReadCount());
  EXPECT_EQ(0, block.Peek(&data));
  EXPECT_EQ(nullptr, data);
  EXPECT_EQ(net::kDefaultBlockSize, TNetBuffer(0).Size());
  EXPECT_EQ(net::kDefaultBlockSize, TNetBuffer(-5).Size());
}

TEST(NetBufferHandler, WritesFillTheLastBlockBeforeOpeningANewOne) {
  TNetBufferHandler chain;
  const std::string first = Pattern(4000, 1), second = Pattern(500, 2);
  chain.AppendData(first.data(), 4000);
  EXPECT_EQ((std::vector<int>{1460, 1460, 1080}), BlockFill(chain));
  chain.AppendData(second.data(), 500);
  EXPECT_EQ((std::vector<int>{1460, 1460, 1460, 120}), BlockFill(chain));
  chain.AppendData(second.data(), 0);
  EXPECT_EQ(4, chain.InUseBlockCount());
  EXPECT_EQ(first + second, Drain(chain, 1 << 20));
  EXPECT_TRUE(chain.NothingQueued());
}

TEST(NetBufferHandler, PartialSendLeavesRestAtFrontAndFirstBlockNeverSpans) {
  TNetBufferHandler chain;
  chain.SetBlockSize(8);
  const std::string src = Pattern(20, 3);
  chain.AppendData(src.data(), 20);
  const char* data = nullptr;
  ASSERT_EQ(8, chain.FirstBlockData(&data));
  chain.Remove(5);
  ASSERT_EQ(3, chain.FirstBlockData(&data));
  EXPECT_EQ(src.substr(5, 3), std::string(data, 3));
  // Odd send sizes reassemble to the same bytes in order.
  EXPECT_EQ(src.substr(5), Drain(chain, 3));
}

TEST(NetBufferHandler, SentBlocksAreReusedAndKeepTheirSize) {
  TNetBufferHandler chain;
  chain.SetBlockSize(100);
  const std::string src = Pattern(250);
  chain.AppendData(src.data(), 250);
  TNetBuffer* firstBlock = chain.InUse().Head();
  Drain(chain, 100);
  EXPECT_EQ(0, chain.InUseBlockCount());
  EXPECT_EQ(3, chain.FreeBlockCount());
  chain.SetBlockSize(10);  // only affects new blocks
  chain.AppendData(src.data(), 150);
  // The last block emptied goes to the head of the free list and is taken first; every
  // reused block keeps its 100 bytes.
  EXPECT_EQ((std::vector<int>{100, 50}), BlockFill(chain));
  EXPECT_EQ(1, chain.FreeBlockCount());
  for (TNetBuffer* b = chain.InUse().Head(); b; b = b->Next) EXPECT_EQ(100, b->Size());
  // The most recently emptied block is taken first; the first block sent is still spare.
  EXPECT_NE(firstBlock, chain.InUse().Head());
  EXPECT_NE(firstBlock, chain.InUse().Head()->Next);
  // A long steady transfer allocates no more blocks than were ever unsent at once.
  for (int round = 0; round < 1000; ++round) {
    chain.AppendData(src.data(), 150);
    Drain(chain, 70);
  }
  EXPECT_LE(chain.InUseBlockCount() + chain.FreeBlockCount(), 4);
}

TEST(NetBufferHandler, RemoveRejectsNegativeCountAndEmptyChain) {
  TNetBufferHandler chain;
  try {
    chain.Remove(-3);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(net::TNetBufferHandler::kInvalidLength) + "-3", e.what());
  }
  try {
    chain.Remove(1);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(net::TNetBufferHandler::kNothingToRemove, e.what());
  }
}

TEST(NetBufferHandler, DiscardAllMovesEverythingToTheFreeList) {
  TNetBufferHandler chain;
  const std::string src = Pattern(3000);
  chain.AppendData(src.data(), 3000);
  chain.Remove(17);
  chain.DiscardAll();
  EXPECT_TRUE(chain.NothingQueued());
  EXPECT_EQ(0, chain.InUseBlockCount());
  EXPECT_EQ(3, chain.FreeBlockCount());
  const char* data = nullptr;
  EXPECT_EQ(0, chain.FirstBlockData(&data));
  chain.AppendData("abc", 3);
  ASSERT_EQ(3, chain.FirstBlockData(&data));
  EXPECT_EQ("abc", std::string(data, 3));  // reused block starts at 0 again
}

}  // namespace

namespace {

// Drains the chain the way a gathered send does: several blocks at once, any byte count taken.
std::string DrainGathered(TNetBufferHandler& chain, int maxBlocks, int maxPerSend) {
  std::string out;
  std::vector<const char*> data(static_cast<size_t>(maxBlocks));
  std::vector<int> lengths(static_cast<size_t>(maxBlocks));
  for (int rounds = 0; rounds < 100000; ++rounds) {
    const int blocks = chain.GatherData(data.data(), lengths.data(), maxBlocks);
    if (blocks == 0) break;
    int taken = 0;
    for (int i = 0; i < blocks && taken < maxPerSend; ++i) {
      const int part = std::min(lengths[static_cast<size_t>(i)], maxPerSend - taken);
      out.append(data[static_cast<size_t>(i)], static_cast<size_t>(part));
      taken += part;
    }
    chain.RemoveSent(taken);
  }
  return out;
}

}  // namespace

TEST(NetBufferHandler, GatheredSendsSpanBlocksAndKeepTheByteOrder) {
  for (int perSend : {1, 1459, 1460, 1461, 5000, 1 << 20}) {
    TNetBufferHandler chain;
    const std::string data = Pattern(10 * 1460 + 17, perSend);
    chain.AppendData(data.data(), static_cast<int>(data.size()));
    EXPECT_EQ(DrainGathered(chain, 4, perSend), data) << perSend;
    EXPECT_TRUE(chain.NothingQueued());
    EXPECT_EQ(chain.InUseBlockCount(), 0);
    EXPECT_EQ(chain.FreeBlockCount(), 11);
  }
}

TEST(NetBufferHandler, RemoveSentRejectsMoreThanIsQueued) {
  TNetBufferHandler chain;
  const std::string data = Pattern(3000);
  chain.AppendData(data.data(), 3000);
  EXPECT_THROW(chain.RemoveSent(-1), std::runtime_error);
  EXPECT_THROW(chain.RemoveSent(3001), std::runtime_error);
  EXPECT_TRUE(chain.NothingQueued());  // what was queued is taken before the complaint
}
