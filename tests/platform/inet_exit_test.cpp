#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "child_process.h"
#include "raw_peer.h"

namespace {

// The tunnel client closes its requests on the timer thread, which may still run while the
// process's statics are torn down: a close that comes after the internet layer's own exit
// handling must find it still there, idle, and the process must end cleanly.
TEST(InetEngineExit, ARequestClosedAfterTheEngineStoppedLetsTheProcessEndCleanly) {
    uint16_t port = 0;
    const int listener = qrntest::RawListen(&port);  // takes the connection, never answers
    ASSERT_GE(listener, 0);
    for (int run = 0; run < 3; ++run) {
        qrntest::ChildProcess child;
        ASSERT_TRUE(child.Start({QRN_INET_LATE_CLOSE, std::to_string(port)}));
        const int status = child.Wait();
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "run " << run << ", status " << status << ":\n"
            << child.Output();
    }
    close(listener);
}

}  // namespace
