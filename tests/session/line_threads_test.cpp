// Closing the window while a line thread waits: the teardown's joins end within their bound, a
// thread inside an HTTP body read at once, and one that ignores the stop is named in the trace.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/trace.h"
#include "session/line_threads.h"
#include "tests/web/raw_server.h"
#include "web/http_client.h"

namespace {

class LineThreadsTeardown : public ::testing::Test {
protected:
    LineThreadsTeardown() {
        plat::SetTraceSink([this](const std::string& t) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_traces.push_back(t);
        });
    }
    ~LineThreadsTeardown() override { plat::SetTraceSink(nullptr); }
    std::vector<std::string> Traces() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_traces;
    }
    // Shutdown's length in real ms.
    static int64_t TimedShutdown(CLineThreads& threads) {
        const int64_t start = plat::TickMs();
        threads.Shutdown();
        return plat::TickMs() - start;
    }

    std::mutex m_mutex;
    std::vector<std::string> m_traces;
};

// The watcher in the web handshake against a gateway that trickles its body (at time scale 1 the
// body's bound is 10 s): the close ends the read at once.
TEST_F(LineThreadsTeardown, CloseDuringATricklingBodyEndsTheRead) {
    webtest::RawServer::Script s;
    s.steps.push_back({0, "HTTP/1.0 200 OK\r\n\r\n"});
    for (int i = 0; i < 300; ++i) s.steps.push_back({100, "x"});
    webtest::RawServer server({s});
    CLineThreads threads([](std::function<void()>) {});
    std::atomic<int> result{-1};
    ASSERT_TRUE(threads.StartWatcher(0, [&](int) {
        HttpExchange ex;
        result = CHttpClient::SendHttp("http://127.0.0.1:" + std::to_string(server.Port()) + "/", nullptr, nullptr,
                                       0, ex);
    }));
    for (int i = 0; i < 500 && server.Accepted() == 0; ++i) plat::SleepRaw(20);
    ASSERT_EQ(server.Accepted(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));  // into the body
    EXPECT_LT(TimedShutdown(threads), 5000);
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(Traces().empty());
}

// A task that does not look at its stop request: the teardown gives up at its bound and says
// which thread it left running.
TEST_F(LineThreadsTeardown, ThreadIgnoringTheStopIsNamedAndLeft) {
    webtest::ScaleGuard scale(0.01);  // the bound's floor: 1 s
    CLineThreads threads([](std::function<void()>) {});
    ASSERT_TRUE(threads.StartTask(2, [](int) { std::this_thread::sleep_for(std::chrono::seconds(6)); }));
    EXPECT_LT(TimedShutdown(threads), 5000);
    const auto traces = Traces();
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_EQ(traces[0].rfind("Teardown gave up on the task thread of line 3: still running after ", 0), 0u)
        << traces[0];
}

}  // namespace
