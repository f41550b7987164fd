// Tests for the interrupt calls of the platform door: Ctrl-C and SIGTERM handed to a tool's handler, what
// the signals did before put back, and a handler that ends the process as the signal would have.
#include "platform/platform.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

volatile sig_atomic_t g_seen = 0;
extern "C" void note_signal(int sig) { g_seen = sig; }
extern "C" void end_by_signal(int sig) { plat_interrupt_end(sig); }
extern "C" void earlier_handler(int) {}

// The handler installed for sig now, as sigaction reports it.
void (*handler_of(int sig))(int) {
    struct sigaction now {};
    sigaction(sig, nullptr, &now);
    return now.sa_handler;
}

class PlatformSignalTest : public ::testing::Test {
protected:
    // Known dispositions to come back to: SIGINT ignored, SIGTERM a handler of the test's.
    void SetUp() override {
        struct sigaction set {};
        sigemptyset(&set.sa_mask);
        set.sa_handler = SIG_IGN;
        sigaction(SIGINT, &set, &old_int_);
        set.sa_handler = earlier_handler;
        sigaction(SIGTERM, &set, &old_term_);
        g_seen = 0;
    }
    void TearDown() override {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }
    struct sigaction old_int_ {}, old_term_ {};
};

TEST_F(PlatformSignalTest, HandlerSeesTheSignalsAskedForAndTheOldOnesComeBack) {
    struct row {
        int also_terminate;
        int sig;
        int seen;                  // what the handler saw
        void (*term_during)(int);  // SIGTERM's handler while the interrupt is on
    };
    const row rows[] = {
        {0, SIGINT, SIGINT, earlier_handler}, // SIGTERM left as it was
        {1, SIGINT, SIGINT, note_signal},
        {1, SIGTERM, SIGTERM, note_signal},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << "also_terminate " << r.also_terminate << ", signal " << r.sig);
        g_seen = 0;
        plat_interrupt *saved = plat_on_interrupt(note_signal, r.also_terminate);
        ASSERT_NE(nullptr, saved);
        EXPECT_EQ(note_signal, handler_of(SIGINT));
        EXPECT_EQ(r.term_during, handler_of(SIGTERM));
        ASSERT_EQ(0, raise(r.sig));
        EXPECT_EQ(r.seen, g_seen);
        plat_interrupt_restore(saved);
        EXPECT_EQ(SIG_IGN, handler_of(SIGINT));
        EXPECT_EQ(earlier_handler, handler_of(SIGTERM));
    }
}

TEST_F(PlatformSignalTest, InterruptedCallsAreRestarted) {
    plat_interrupt *saved = plat_on_interrupt(note_signal, 1);
    ASSERT_NE(nullptr, saved);
    struct sigaction now {};
    sigaction(SIGINT, nullptr, &now);
    EXPECT_NE(0, now.sa_flags & SA_RESTART);
    sigaction(SIGTERM, nullptr, &now);
    EXPECT_NE(0, now.sa_flags & SA_RESTART);
    plat_interrupt_restore(saved);
}

TEST_F(PlatformSignalTest, RestoringNothingIsHarmless) {
    plat_interrupt_restore(nullptr);
    EXPECT_EQ(SIG_IGN, handler_of(SIGINT));
}

// A handler that cleans up and then ends the process: the parent must see the
// process killed by the signal, as a shell does after Ctrl-C.
TEST(PlatformSignalDeathTest, HandlerEndsTheProcessByItsSignal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        EXPECT_EXIT(
            {
                plat_on_interrupt(end_by_signal, 1);
                raise(sig);
                _exit(0); // reached only when the handler returned
            },
            testing::KilledBySignal(sig), "");
    }
}

} // namespace
