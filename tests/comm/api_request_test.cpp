// Request engine: accessors, one exchange end to end over an in-memory line, resends, give-up,
// the hold of a final result, client timeouts.

#include <algorithm>
#include <random>
#include <string>
#include <utility>

#include "comm_fixture.h"

namespace nvx::test {
namespace {

// ---- accessors ----

TEST(MessageAccessors, SetGetAndLengths) {
    struct Case {
        const char* name;
        std::function<void(BusMessage&)> apply;
        Bytes data;
        uint8_t length;
    };
    const Case cases[] = {
        {"byte 0", [](BusMessage& m) { MsgSetByte(m, 0, 0x12); }, {0x12, 0x00, 0xEE, 0xEE}, 2},
        {"byte 1", [](BusMessage& m) { MsgSetByte(m, 1, 0x34); }, {0xEE, 0x34, 0xEE, 0xEE}, 2},
        {"byte 2", [](BusMessage& m) { MsgSetByte(m, 2, 0x56); }, {0xEE, 0xEE, 0x56, 0x00}, 4},
        {"byte 3", [](BusMessage& m) { MsgSetByte(m, 3, 0x34); }, {0xEE, 0xEE, 0xEE, 0x34}, 4},
        {"byte 5 is byte 1", [](BusMessage& m) { MsgSetByte(m, 5, 0x77); }, {0xEE, 0x77, 0xEE, 0xEE}, 2},
        {"word 0", [](BusMessage& m) { MsgSetWord(m, 0, 0x1234); }, {0x34, 0x12, 0xEE, 0xEE}, 2},
        {"word 1 is word 0", [](BusMessage& m) { MsgSetWord(m, 1, 0x1234); }, {0x34, 0x12, 0xEE, 0xEE}, 2},
        {"word 2", [](BusMessage& m) { MsgSetWord(m, 2, 0xABCD); }, {0xEE, 0xEE, 0xCD, 0xAB}, 4},
        {"word 5 is word 0", [](BusMessage& m) { MsgSetWord(m, 5, 0x0102); }, {0x02, 0x01, 0xEE, 0xEE}, 2},
        {"clear", [](BusMessage& m) { MsgClearData(m); }, {0xEE, 0xEE, 0xEE, 0xEE}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BusMessage m{};
        m.length = 0x4F;  // a high nibble the accessors must not keep
        std::fill(std::begin(m.data), std::end(m.data), 0xEE);
        c.apply(m);
        EXPECT_EQ(Bytes(m.data, m.data + 4), c.data);
        EXPECT_EQ(m.length, c.length);
        EXPECT_EQ(MsgDataLength(m), c.length);
    }
}

TEST(MessageAccessors, ReadsMaskTheIndex) {
    BusMessage m{};
    m.length = 0x34;
    m.data[0] = 0x11;
    m.data[1] = 0x22;
    m.data[2] = 0x33;
    m.data[3] = 0x44;
    EXPECT_EQ(MsgDataLength(m), 4);
    const uint8_t bytes[] = {0x11, 0x22, 0x33, 0x44};
    for (uint8_t i = 0; i < 16; ++i) EXPECT_EQ(MsgGetByte(m, i), bytes[i & 3]) << int(i);
    const uint16_t words[] = {0x2211, 0x2211, 0x4433, 0x4433};
    for (uint8_t i = 0; i < 16; ++i) EXPECT_EQ(MsgGetWord(m, i), words[i & 3]) << int(i);
}

// ---- the engine on a line ----

class ApiRequestTest : public LineTest {
protected:
    static BusMessage Request(const Bytes& data) { return Message(0, data); }

    // Scheduler ticks (10 ms each) until pred holds.
    int TicksUntil(const std::function<bool()>& pred, int maxTicks = 2000) {
        int ticks = 0;
        while (!pred() && ticks < maxTicks) {
            clock.advance(10);
            ++ticks;
        }
        return ticks;
    }

    static std::optional<Bytes> Echo(const DeviceFrameSeen& f, int) { return DeviceFrame(f.id, f.data); }

    // Ticks of one send and its reply wait at a 10 ms tick.
    static int CycleTicks(uint32_t timeoutMs) {
        const uint32_t wait = timeoutMs == 0 ? 750 : timeoutMs;
        return 1 + (wait < 10 ? 1 : static_cast<int>(wait / 10));
    }
};

TEST_F(ApiRequestTest, KernelResetGoesOutAndTheReplyIsPolled) {
    policy = [](const DeviceFrameSeen& f, int) { return DeviceFrame(f.id, {0x34, 0x12}); };
    ASSERT_TRUE(g_apiRequest.Start(0x0080, Request({0xFF, 0x00}), 0));
    BusMessage reply{};
    int32_t a = 7, b = 7, c = 7;
    TicksUntil([] { return ApiRequest::State() == kRequestDone; });
    EXPECT_EQ(onLine, (Bytes{0x55, 0x02, 0x02, 0xFF, 0x00, 0xA6}));
    ASSERT_EQ(g_apiRequest.Poll(reply, a, b, c), 2);
    EXPECT_EQ(MsgGetWord(reply, 0), 0x1234);
    EXPECT_EQ(reply.id, 0x0080u);
    EXPECT_EQ(reply.channel, 0);
    EXPECT_EQ(reply.mask, 0);
    EXPECT_EQ(reply.length, 2);
    EXPECT_EQ((std::vector<int32_t>{a, b, c}), (std::vector<int32_t>{0, 0, 0}));
    EXPECT_EQ(g_apiRequest.Poll(reply, a, b, c), kPollIdle);
    EXPECT_EQ(frames.size(), 1u);
}

TEST_F(ApiRequestTest, ReplyKindGivesThePollResult) {
    struct Case {
        Bytes replyData;
        int32_t result;
    };
    const Case cases[] = {{{}, 0}, {{0xA1, 0xA2}, 2}, {{0xB1, 0xB2, 0xB3, 0xB4}, 4}};
    for (const Case& c : cases) {
        policy = [&](const DeviceFrameSeen& f, int) { return DeviceFrame(f.id, c.replyData); };
        ASSERT_TRUE(g_apiRequest.Start(0x0081, Request({0x01, 0x00}), 0));
        BusMessage reply{};
        std::fill(std::begin(reply.data), std::end(reply.data), 0xEE);
        EXPECT_EQ(PollUntilFinal(reply, 2000), c.result);
        Bytes expected = c.replyData;
        expected.resize(4, 0x00);
        EXPECT_EQ(Bytes(reply.data, reply.data + 4), expected);
    }
}

TEST_F(ApiRequestTest, StartWhileBusyIsRefusedAndLeavesTheRequest) {
    ASSERT_TRUE(g_apiRequest.Start(0x0081, Request({0x05, 0x00}), 0));
    EXPECT_FALSE(g_apiRequest.Start(0x0411, Request({0x09, 0x00}), 5000));
    policy = Echo;
    BusMessage reply{};
    EXPECT_EQ(PollUntilFinal(reply, 2000), 2);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].id, 0x0081);
    EXPECT_EQ(frames[0].data, (Bytes{0x05, 0x00}));
    EXPECT_EQ(reply.id, 0x0081u);
}

TEST_F(ApiRequestTest, SilentDeviceGivesUpAfterFourWaits) {
    ASSERT_TRUE(g_apiRequest.Start(0x0080, Request({0xFE, 0x00}), 0));
    BusMessage reply{};
    reply.id = 0x1111;
    reply.length = 2;
    std::fill(std::begin(reply.data), std::end(reply.data), 0xEE);
    int32_t info = 0;
    int ticks = 0;
    int32_t result = kPollUnderWay;
    while (ticks < 1000) {
        result = g_apiRequest.Poll(reply, info, info, info);
        if (result != kPollUnderWay) break;
        clock.advance(10);
        ++ticks;
    }
    EXPECT_EQ(result, kPollFailed);
    EXPECT_EQ(ticks, 4 * CycleTicks(0));
    EXPECT_EQ(frames.size(), 4u);
    for (const DeviceFrameSeen& f : frames) {
        EXPECT_TRUE(f.checkOk && f.parityOk);
        EXPECT_EQ(f.id, 0x0080);
        EXPECT_EQ(f.data, (Bytes{0xFE, 0x00}));
    }
    // Failure zeroes the data only.
    EXPECT_EQ(Bytes(reply.data, reply.data + 4), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(reply.id, 0x1111u);
    EXPECT_EQ(reply.length, 2);
    EXPECT_EQ(info, 0);
    EXPECT_EQ(g_apiRequest.Poll(reply, info, info, info), kPollIdle);
}

TEST_F(ApiRequestTest, FinalResultIsHeldTwoSecondsForTheClient) {
    struct Case {
        const char* name;
        bool answer;
        int32_t finalState;
    };
    const Case cases[] = {{"done", true, kRequestDone}, {"failed", false, kRequestFailed}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        policy = c.answer ? Policy(Echo) : Policy();
        ASSERT_TRUE(g_apiRequest.Start(0x0123, Request({}), 0));
        TicksUntil([&] { return ApiRequest::State() == c.finalState; });
        ASSERT_EQ(ApiRequest::State(), c.finalState);
        clock.advance(2000 - 10);
        EXPECT_EQ(ApiRequest::State(), c.finalState);
        clock.advance(10);
        EXPECT_EQ(ApiRequest::State(), kRequestIdle);
        BusMessage reply{};
        int32_t info = 0;
        EXPECT_EQ(g_apiRequest.Poll(reply, info, info, info), kPollIdle);
    }
}

TEST_F(ApiRequestTest, ReplyInTheSecondWaitCompletes) {
    policy = [](const DeviceFrameSeen& f, int n) -> std::optional<Bytes> {
        if (n == 0) return std::nullopt;
        return DeviceFrame(f.id, {0x42, 0x43});
    };
    ASSERT_TRUE(g_apiRequest.Start(0x0411, Request({0x03, 0x00}), 0));
    BusMessage reply{};
    int32_t a = 9, b = 9, c = 9;
    TicksUntil([] { return ApiRequest::State() == kRequestDone; });
    ASSERT_EQ(g_apiRequest.Poll(reply, a, b, c), 2);
    EXPECT_EQ(frames.size(), 2u);
    EXPECT_EQ(MsgGetByte(reply, 0), 0x42);
    EXPECT_EQ(MsgGetByte(reply, 1), 0x43);
    EXPECT_EQ((std::vector<int32_t>{a, b, c}), (std::vector<int32_t>{0, 0, 0}));
}

TEST_F(ApiRequestTest, ProgressValuesWhileUnderWay) {
    ASSERT_TRUE(g_apiRequest.Start(0x0123, Request({1, 2}), 0));
    // One whole wait, the resend tick and ten ticks of the second wait.
    clock.advance(10 * (CycleTicks(0) + 1 + 10));
    BusMessage reply{};
    int32_t retries = -5, waits = -5, waited = -5;
    EXPECT_EQ(g_apiRequest.Poll(reply, retries, waits, waited), kPollUnderWay);
    EXPECT_EQ(retries, 0);
    EXPECT_EQ(waits, 1);
    EXPECT_EQ(waited, 100);
}

TEST_F(ApiRequestTest, ClientTimeoutAppliesToItsOwnRequestOnly) {
    for (uint32_t timeout : {5000u, 0u, 1200u}) {
        SCOPED_TRACE(timeout);
        frames.clear();
        ASSERT_TRUE(g_apiRequest.Start(0x0123, Request({}), timeout));
        BusMessage reply{};
        ASSERT_EQ(PollUntilFinal(reply, 30000), kPollFailed);
        ASSERT_EQ(frames.size(), 4u);
        for (size_t i = 1; i < frames.size(); ++i)
            EXPECT_EQ(frames[i].atMs - frames[i - 1].atMs, 10u * CycleTicks(timeout)) << i;
    }
}

TEST_F(ApiRequestTest, TimeoutShorterThanATickExpiresOnTheFirstWaitTick) {
    ASSERT_TRUE(g_apiRequest.Start(0x0123, Request({}), 5));
    const int ticks = TicksUntil([] { return ApiRequest::State() == kRequestFailed; });
    EXPECT_EQ(ticks, 4 * 2);
}

TEST_F(ApiRequestTest, WrongIdentifierIsNoReply) {
    policy = [](const DeviceFrameSeen& f, int) { return DeviceFrame(static_cast<uint16_t>(f.id ^ 1), {}); };
    BusMessage request = Request({});
    request.channel = 3;   // the engine always uses channel 0
    request.mask = 0x0F;   // and an exact match
    ASSERT_TRUE(g_apiRequest.Start(0x0124, request, 0));
    BusMessage reply{};
    EXPECT_EQ(PollUntilFinal(reply, 5000), kPollFailed);
    EXPECT_EQ(frames.size(), 4u);
}

TEST_F(ApiRequestTest, DisabledChannelFailsAfterThreeSendTicks) {
    ASSERT_TRUE(g_apiRequest.Start(0x0123, Request({}), 0));
    ConverterInit();  // no channel enabled: every send is refused
    const int ticks = TicksUntil([] { return ApiRequest::State() == kRequestFailed; });
    EXPECT_EQ(ticks, 3);
}

TEST_F(ApiRequestTest, IdentifierZeroIsNeverSent) {
    ASSERT_TRUE(g_apiRequest.Start(0, Request({1, 2}), 0));
    clock.advance(5000);
    EXPECT_EQ(ApiRequest::State(), kRequestNew);
    EXPECT_TRUE(onLine.empty());
    BusMessage reply{};
    int32_t info = 0;
    EXPECT_EQ(g_apiRequest.Poll(reply, info, info, info), kPollUnderWay);
    EXPECT_FALSE(g_apiRequest.Start(0x0123, Request({}), 0));
}

// A device that answers every copy of a request, each reply a fixed time after its copy: with
// the delay past one reply wait, replies to earlier copies are still on their way when the
// request has completed. Reads of consecutive addresses under one identifier, as the starting
// texts are read, must each get the character at their own address (or fail).
TEST_F(ApiRequestTest, LateRepliesToEarlierCopiesAreNotTakenForTheNextRequest) {
    const std::string text = "Norvix Solvane";
    for (const uint32_t delayMs : {800u, 1600u, 2000u}) {
        SCOPED_TRACE(delayMs);
        std::vector<std::pair<uint64_t, Bytes>> due;
        policy = [&](const DeviceFrameSeen& f, int) -> std::optional<Bytes> {
            const uint8_t address = f.data.at(0);
            const uint8_t c = address < text.size() ? static_cast<uint8_t>(text[address]) : 0;
            due.emplace_back(clock.nowMs() + delayMs, DeviceFrame(f.id, {c, 0x00}));
            return std::nullopt;
        };
        const int release = clock.start(10, [&] {
            for (auto it = due.begin(); it != due.end();) {
                if (it->first > clock.nowMs()) {
                    ++it;
                    continue;
                }
                toHost.insert(toHost.end(), it->second.begin(), it->second.end());
                it = due.erase(it);
            }
        });
        std::string read;
        for (uint8_t address = 0; address < text.size(); ++address) {
            ASSERT_TRUE(g_apiRequest.Start(0x0102, Request({address, 0x00}), 0));
            BusMessage reply{};
            const int32_t result = PollUntilFinal(reply, 20000);
            read += result == 2 ? static_cast<char>(MsgGetByte(reply, 0)) : '?';
        }
        clock.stop(release);
        EXPECT_EQ(read, text);
        // Let the last replies land and leave the line quiet for the next delay.
        clock.advance(5000);
    }
}

// A device that answers at once but lost one reply: the requests after the resent one are each
// answered by their first copy, none of their replies taken for a late one.
TEST_F(ApiRequestTest, OneLostReplyCostsOneResendOnly) {
    policy = [](const DeviceFrameSeen& f, int n) -> std::optional<Bytes> {
        if (n == 0) return std::nullopt;
        return DeviceFrame(f.id, {static_cast<uint8_t>(f.data.at(0) + 0x40), 0x00});
    };
    for (uint8_t address = 0; address < 6; ++address) {
        ASSERT_TRUE(g_apiRequest.Start(0x0102, Request({address, 0x00}), 0));
        BusMessage reply{};
        ASSERT_EQ(PollUntilFinal(reply, 5000), 2);
        EXPECT_EQ(MsgGetByte(reply, 0), address + 0x40);
    }
    EXPECT_EQ(frames.size(), 7u);
}

// A device that answers 400 ms after each copy and lost only its first reply: the whole read of
// 30 characters costs the one resend, not a second copy of every later request.
TEST_F(ApiRequestTest, OneLostReplyFromASlowDeviceCostsOneResendForTheWholeRead) {
    std::vector<std::pair<uint64_t, Bytes>> due;
    policy = [&](const DeviceFrameSeen& f, int n) -> std::optional<Bytes> {
        if (n > 0) due.emplace_back(clock.nowMs() + 400, DeviceFrame(f.id, {static_cast<uint8_t>(f.data.at(0) + 0x20), 0x00}));
        return std::nullopt;
    };
    clock.start(10, [&] {
        while (!due.empty() && due.front().first <= clock.nowMs()) {
            toHost.insert(toHost.end(), due.front().second.begin(), due.front().second.end());
            due.erase(due.begin());
        }
    });
    for (uint8_t address = 0; address < 30; ++address) {
        ASSERT_TRUE(g_apiRequest.Start(0x0102, Request({address, 0x00}), 0));
        BusMessage reply{};
        ASSERT_EQ(PollUntilFinal(reply, 10000), 2);
        EXPECT_EQ(MsgGetByte(reply, 0), address + 0x20);
    }
    EXPECT_LE(frames.size(), 32u);
}

// A device double that answers every copy it does not lose, each reply tagged with the copy it
// answers, a random time later but never before the reply before it. Over many random runs of
// requests under a few identifiers, no request may complete with a reply to another request, and
// a copy goes out again only for a reply that was lost or came later than its wait.
TEST_F(ApiRequestTest, NoReplyIsEverTakenForAnotherRequestAndNoResendCascades) {
    constexpr uint32_t kWaitMs = 750;
    const uint16_t ids[] = {0x0102, 0x0103, 0x0081};
    std::mt19937 random(2205);
    struct Copy {
        uint16_t request;
        uint64_t sentMs;
    };
    std::vector<Copy> copies;  // a reply's tag is its copy's index here
    std::vector<std::pair<uint64_t, Bytes>> due;
    uint64_t lastDueMs = 0;
    uint32_t lossPercent = 0;
    uint32_t maxLatencyMs = 0;
    uint32_t lostOrLate = 0;
    policy = [&](const DeviceFrameSeen& f, int) -> std::optional<Bytes> {
        const auto tag = static_cast<uint16_t>(copies.size());
        copies.push_back({static_cast<uint16_t>(f.data.at(0) | f.data.at(1) << 8), clock.nowMs()});
        if (random() % 100 < lossPercent) {
            ++lostOrLate;
            return std::nullopt;
        }
        const uint64_t at = std::max(clock.nowMs() + random() % (maxLatencyMs + 1), lastDueMs);
        if (at - clock.nowMs() >= kWaitMs) ++lostOrLate;
        lastDueMs = at;
        due.emplace_back(at, DeviceFrame(f.id, {static_cast<uint8_t>(tag), static_cast<uint8_t>(tag >> 8)}));
        return std::nullopt;
    };
    clock.start(10, [&] {
        while (!due.empty() && due.front().first <= clock.nowMs()) {
            toHost.insert(toHost.end(), due.front().second.begin(), due.front().second.end());
            due.erase(due.begin());
        }
    });
    uint16_t request = 0;
    int wrong = 0;
    int failed = 0;
    for (int run = 0; run < 3000; ++run) {
        lossPercent = random() % 31;
        maxLatencyMs = random() % (3 * kWaitMs + 1);
        for (int i = 0; i < 8; ++i, ++request) {
            const uint16_t id = ids[random() % std::size(ids)];
            ASSERT_TRUE(g_apiRequest.Start(id, Request({static_cast<uint8_t>(request), static_cast<uint8_t>(request >> 8)}), 0));
            BusMessage reply{};
            const int32_t result = PollUntilFinal(reply, 60000);
            ASSERT_NE(result, kPollUnderWay);
            if (result == kPollFailed) {
                ++failed;
                continue;
            }
            const uint16_t tag = MsgGetWord(reply, 0);
            ASSERT_LT(tag, copies.size());
            if (copies[tag].request != request || reply.id != id) ++wrong;
        }
    }
    EXPECT_EQ(wrong, 0) << "of " << request << " requests, " << failed << " failed";
    EXPECT_LE(copies.size(), request + lostOrLate);
    EXPECT_GT(lostOrLate, 0u);
}

// A request with a long wait of its own (an error clear waits 15 s) says nothing about the device:
// after it failed, the next request with its identifier goes out at once, not after four of its
// waits. A device that showed it answers that late gets the time it showed: the reply to the
// second copy still comes 16 s after it and is not taken for the next request.
TEST_F(ApiRequestTest, ALongWaitOfItsOwnHoldsTheIdentifierOnlyAsLongAsTheDeviceShowed) {
    constexpr uint32_t kLongWaitMs = 15000;
    struct Case {
        const char* name;
        std::optional<uint32_t> firstLatencyMs;  // none: the device stays silent for the long request
        uint64_t nextNotBeforeMs;
        uint64_t nextBeforeMs;
    };
    const Case cases[] = {
        {"silent device", std::nullopt, 0, 100},
        {"device 16 s late", 16000, 14900, 16100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::pair<uint64_t, Bytes>> due;
        int copy = 0;
        policy = [&](const DeviceFrameSeen& f, int) -> std::optional<Bytes> {
            const uint8_t tag = static_cast<uint8_t>(copy++);
            const bool longRequest = f.data.at(0) == 0xEC;
            if (longRequest && !c.firstLatencyMs) return std::nullopt;
            const uint64_t latency = longRequest ? *c.firstLatencyMs : 0;
            due.emplace_back(clock.nowMs() + latency, DeviceFrame(f.id, {tag, 0x00}));
            std::stable_sort(due.begin(), due.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
            return std::nullopt;
        };
        const int release = clock.start(10, [&] {
            while (!due.empty() && due.front().first <= clock.nowMs()) {
                toHost.insert(toHost.end(), due.front().second.begin(), due.front().second.end());
                due.erase(due.begin());
            }
        });
        ASSERT_TRUE(g_apiRequest.Start(0x0081, Request({0xEC, 0x00}), kLongWaitMs));
        BusMessage reply{};
        const int32_t first = PollUntilFinal(reply, 80000);
        EXPECT_EQ(first, c.firstLatencyMs ? 2 : kPollFailed);
        if (c.firstLatencyMs) {
            EXPECT_EQ(MsgGetByte(reply, 0), 0);
        }
        const uint64_t finishedMs = clock.nowMs();
        const int copiesBefore = copy;

        ASSERT_TRUE(g_apiRequest.Start(0x0081, Request({0x01, 0x00}), 0));
        ASSERT_EQ(PollUntilFinal(reply, 30000), 2);
        ASSERT_EQ(frames.size(), static_cast<std::size_t>(copiesBefore + 1));
        const uint64_t sentAfterMs = frames.back().atMs - finishedMs;
        EXPECT_GE(sentAfterMs, c.nextNotBeforeMs);
        EXPECT_LT(sentAfterMs, c.nextBeforeMs);
        EXPECT_EQ(MsgGetByte(reply, 0), copiesBefore) << "took a reply to the long request";
        clock.stop(release);
        clock.advance(40000);
        frames.clear();
        toHost.clear();
    }
}

// A stack without a line. The calendar is handed back in TearDown, which runs even when an
// assertion ends the test early: the stack must never keep a dead test's calendar.
class ApiRequestQueue : public ::testing::Test {
protected:
    void SetUp() override {
        SetCalendar(&calendar);
        InitCommStack();
        g_tickPeriodMs = 10;
        g_measureStart = calendar.now();
    }
    void TearDown() override { SetCalendar(nullptr); }

    ManualCalendar calendar;
};

// The queue is full on three ticks in a row: nothing pumps the line, so the head never leaves.
TEST_F(ApiRequestQueue, FullQueueOnThreeTicksFails) {
    BusMessage m{};
    m.id = 0x0300;
    for (int i = 0; i < kTxQueueSize; ++i) ASSERT_EQ(ConverterSend(m), 0);
    ASSERT_TRUE(g_apiRequest.Start(0x0123, m, 0));
    TickProc();
    TickProc();
    EXPECT_EQ(ApiRequest::State(), kRequestSend);
    TickProc();
    EXPECT_EQ(ApiRequest::State(), kRequestFailed);
    uint8_t errors[5];
    ConverterGetErrors(0, errors);
    EXPECT_EQ(errors[0], 3);
}

}  // namespace
}  // namespace nvx::test
