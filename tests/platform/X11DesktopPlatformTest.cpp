#include "platform/X11Backend.h"
#include "platform/x11/X11DesktopPlatform.h"
#include "support/LogCapture.h"
#include "support/ScopedXvfb.h"
#include "support/TestEnvironment.h"

#include <gmock/gmock.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <thread>

namespace
{
struct QuitCountingApplication : juce::JUCEApplication
{
    const juce::String getApplicationName() override    { return "Corvelline"; }
    const juce::String getApplicationVersion() override { return "1.0.0"; }
    void initialise (juce::String const&) override {}
    void shutdown() override {}
    void systemRequestedQuit() override { quitRequests += juce::MessageManager::getInstance()->isThisTheMessageThread() ? 1 : 100; }

    int quitRequests = 0;
};
} // namespace

TEST (X11DesktopPlatform, QuitRequestsReachTheApplicationOnTheMessageThread)
{
    X11DesktopPlatform platform;
    QuitCountingApplication application;

    platform.requestQuit();
    EXPECT_EQ (application.quitRequests, 0) << "the request is posted, not run inside the caller";
    std::thread other ([&] { platform.requestQuit(); });
    other.join();
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return application.quitRequests >= 2; }, 5000));
    EXPECT_EQ (application.quitRequests, 2);
}

TEST (X11DesktopPlatform, TrustedExactlyWhenInputCanBeTappedAndPostedAndOnlyThePromptTellsWhyNot)
{
    LogCapture log;
    X11DesktopPlatform platform;
    EXPECT_TRUE (platform.isTrusted (false));
    EXPECT_TRUE (platform.isTrusted (true));

    {
        auto input = createX11InputPlatform();
        ASSERT_NE (input, nullptr);
        EXPECT_NE (input->createEventTap ([] (EventTap&, const InputEvent&) { return EventTap::Verdict::pass; }), nullptr);
    }

    ScopedXvfb withoutXtest ({ "-extension", "XTEST" });
    ASSERT_TRUE (withoutXtest.isRunning());

    {
        ScopedDisplay use (withoutXtest.getDisplayName());
        EXPECT_FALSE (platform.isTrusted (false));
        EXPECT_EQ (log.all(), "") << "no prompt, no message";
        EXPECT_FALSE (platform.isTrusted (true));
        EXPECT_TRUE (log.mentions ("missing the XTEST extension"));
        EXPECT_FALSE (log.mentions ("XInput"));
    }

    ScopedDisplay use (":299");
    EXPECT_FALSE (platform.isTrusted (true));
    EXPECT_TRUE (log.mentions ("an X display (DISPLAY is \":299\")"));

    // Where it is not trusted, the input platform cannot be had either.
    EXPECT_EQ (createX11InputPlatform (withoutXtest.getDisplayName()), nullptr);
}
