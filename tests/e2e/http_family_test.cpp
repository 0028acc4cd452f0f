// Sessions forked from one another: their requests are in flight at once
// over shared connections, each body arrives whole even while others wait
// unread, a failing transfer fails alone, and a stop still ends a read that
// waits for a stalled server.
#include "tests/e2e/engine_fixture.h"

#include "platform/errors.h"
#include "platform/os.h"

#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kFamily = 8;

// WinInet's pool is the process's and not ours to steer: under Wine it
// opened one or two more than asked now and then (see the install loop's
// test), so there only reuse is checked.
std::size_t MostConnections() {
#ifdef _WIN32
    return kFamily * 2;
#else
    return kFamily;
#endif
}

// The whole body of a response in reads of a few KiB.
std::string ReadAll(os::HttpResponse& response) {
    std::string body;
    char block[3000];
    while (const std::size_t n = response.Read(block, sizeof block)) body.append(block, n);
    return body;
}

class HttpFamily : public EngineRun {
protected:
    std::string UrlOf(const std::string& path) const { return baseUrl_ + path; }
    // Bodies of 1 MiB: far more than a transfer may hold unread.
    std::vector<std::string> PutBodies(int count) {
        std::vector<std::string> bodies;
        for (int i = 0; i < count; ++i) {
            bodies.push_back(Noise(std::size_t{1} << 20, static_cast<unsigned>(100 + i)));
            PutServerFile("b" + std::to_string(i), bodies.back());
        }
        return bodies;
    }
    os::HttpSession root_{"corvel-test"};
};

// Every response opened before any is read: the bodies wait, held back by
// their bounded buffers, and are each continued and whole when their turn
// comes; the family never opens more than 8 connections.
TEST_F(HttpFamily, ResponsesOpenedTogetherAreReadWholeOneAfterAnother) {
    const std::vector<std::string> bodies = PutBodies(kFamily);
    std::vector<os::HttpSession> forks;
    std::vector<std::unique_ptr<os::HttpResponse>> responses;
    for (int i = 0; i < kFamily; ++i) {
        forks.push_back(root_.Fork());
        responses.push_back(forks.back().Open(UrlOf("b" + std::to_string(i))));
        ASSERT_NE(responses.back(), nullptr) << i;
    }
    for (int i = 0; i < kFamily; ++i) {
        EXPECT_EQ(responses[static_cast<std::size_t>(i)]->Status(), 200);
        EXPECT_TRUE(ReadAll(*responses[static_cast<std::size_t>(i)]) == bodies[static_cast<std::size_t>(i)]) << i;
    }
    EXPECT_LE(Connections(), MostConnections());
    EXPECT_FALSE(root_.Multiplexed());  // this server speaks HTTP/1.1 only
}

// Forks read at the same time from threads of their own, twice over: the
// second round goes over the connections the first kept.
TEST_F(HttpFamily, ForksReadAtOnceFromTheirOwnThreads) {
    const std::vector<std::string> bodies = PutBodies(kFamily);
    std::vector<std::string> got(kFamily * 2);
    std::vector<std::thread> readers;
    for (int i = 0; i < kFamily; ++i) {
        readers.emplace_back([&, i] {
            os::HttpSession session = root_.Fork();
            for (int round = 0; round < 2; ++round) {
                auto response = session.Open(UrlOf("b" + std::to_string(i)));
                if (response) got[static_cast<std::size_t>(round * kFamily + i)] = ReadAll(*response);
            }
        });
    }
    for (std::thread& reader : readers) reader.join();
    for (int i = 0; i < kFamily * 2; ++i) {
        EXPECT_TRUE(got[static_cast<std::size_t>(i)] == bodies[static_cast<std::size_t>(i % kFamily)]) << i;
    }
    EXPECT_LE(Connections(), MostConnections());
}

// A transfer that breaks, answers an error or gets no answer fails as it
// would alone, while a sibling's body in flight beside it arrives whole.
TEST_F(HttpFamily, AFailingTransferFailsAloneBesideAWholeOne) {
    struct Case {
        const char* fault;
        bool opens;
        int status;
        TFault readFault;  // None: the body reads to its end
    };
    const Case cases[] = {
        {"cut 50000", true, 200, TFault::Cut},
        {"status 404", true, 404, TFault::None},
        {"reset", false, 0, TFault::None},
    };
    const std::vector<std::string> bodies = PutBodies(1);
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        const std::string path = "f" + std::to_string(n++);
        const std::string file = Noise(200000, 7);
        PutServerFile(path, file);
        SetFault(path, c.fault);
        os::HttpSession good = root_.Fork();
        os::HttpSession bad = root_.Fork();
        auto whole = good.Open(UrlOf("b0"));
        ASSERT_NE(whole, nullptr);
        auto failing = bad.Open(UrlOf(path));
        if (!c.opens) {
            // No answer: nothing, or (WinInet under Wine, at times) a handle
            // whose body never arrives whole.
            if (failing) {
                bool delivered = false;
                try {
                    delivered = failing->Status() == 200 && ReadAll(*failing) == file;
                } catch (const EInOutError&) {
                }
                EXPECT_FALSE(delivered);
            }
        } else {
            ASSERT_NE(failing, nullptr);
            EXPECT_EQ(failing->Status(), c.status);
            if (c.readFault == TFault::None) {
                EXPECT_NO_THROW(ReadAll(*failing));
            } else {
                try {
                    ReadAll(*failing);
                    ADD_FAILURE() << "a broken body read to its end";
                } catch (const EInOutError& e) {
                    EXPECT_EQ(e.Fault(), c.readFault) << e.what();
                }
            }
        }
        EXPECT_TRUE(ReadAll(*whole) == bodies[0]);
    }
}

// Prefetched requests are asked before any is opened (natively; WinInet
// asks at the open); an open takes its own, passing over those before it,
// which are asked again when opened later.
TEST_F(HttpFamily, OpensTakeTheirPrefetchedRequests) {
    const std::vector<std::string> bodies = PutBodies(3);
    os::HttpSession session = root_.Fork();
    for (int i = 0; i < 3; ++i) session.Prefetch(UrlOf("b" + std::to_string(i)), {});
#ifndef _WIN32
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Requests().size() < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Requests().size(), 3u);
#endif
    for (int i : {1, 0, 2}) {
        auto response = session.Open(UrlOf("b" + std::to_string(i)));
        ASSERT_NE(response, nullptr) << i;
        EXPECT_TRUE(ReadAll(*response) == bodies[static_cast<std::size_t>(i)]) << i;
    }
}

// A stop ends a read that waits for a stalled server, and only that
// session's: the sibling's stop stays unasked.
TEST_F(HttpFamily, AStopEndsAReadWaitingForAStalledServer) {
    PutServerFile("stalled", Noise(100000, 9));
    SetFault("stalled", "stall 5000");
    std::atomic<bool> stop{false};
    os::HttpSession session = root_.Fork();
    session.SetStop([&] { return stop.load(); });
    auto response = session.Open(UrlOf("stalled"));
    ASSERT_NE(response, nullptr);
    char block[8192];
    std::size_t got = 0;
    while (got < 5000) got += response->Read(block, sizeof block);
    std::thread stopper([&] { stop = true; });
    const auto asked = std::chrono::steady_clock::now();
    try {
        response->Read(block, sizeof block);
        ADD_FAILURE() << "a stalled read returned";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Fault(), TFault::Stopped) << e.what();
    }
    stopper.join();
    // Far below the stall window (60 s): the stop ended it, not the rule.
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(10));
    auto other = root_.Fork().Open(UrlOf("stalled"));
    EXPECT_NE(other, nullptr);
}

}  // namespace
