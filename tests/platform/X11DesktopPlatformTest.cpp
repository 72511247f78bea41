#include "platform/X11DesktopPlatform.h"
#include "support/ScopedXvfb.h"

#include "support/LogCapture.h"

#include <gmock/gmock.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <thread>

using ::testing::HasSubstr;

namespace
{
struct QuitCountingApplication : juce::JUCEApplication
{
    const juce::String getApplicationName() override    { return "Corvelline"; }
    const juce::String getApplicationVersion() override { return "1.0.0"; }
    void initialise (juce::String const&) override {}
    void shutdown() override {}
    void systemRequestedQuit() override
    {
        quitRequests += juce::MessageManager::getInstance()->isThisTheMessageThread() ? 1 : 100;
    }

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

    auto deadline = juce::Time::getMillisecondCounter() + 5000;

    while (application.quitRequests < 2 && juce::Time::getMillisecondCounter() < deadline)
        juce::MessageManager::getInstance()->runDispatchLoopUntil (10);

    EXPECT_EQ (application.quitRequests, 2);
}

TEST (X11DesktopPlatform, TrustedWhereTheDisplayOffersXtestAndXinput22)
{
    LogCapture log;
    X11DesktopPlatform platform;
    EXPECT_TRUE (platform.isTrusted (false));
    EXPECT_TRUE (platform.isTrusted (true));
    EXPECT_EQ (log.all(), "");
}

TEST (X11DesktopPlatform, UntrustedWithoutXtestOrWithoutADisplayAndOnlyThePromptTellsWhy)
{
    LogCapture log;
    X11DesktopPlatform platform;

    ScopedXvfb withoutXtest ({ "-extension", "XTEST" });
    ASSERT_TRUE (withoutXtest.isRunning());

    {
        ScopedDisplay use (withoutXtest.getDisplayName());
        EXPECT_FALSE (platform.isTrusted (false));
        EXPECT_EQ (log.all(), "") << "no prompt, no message";

        EXPECT_FALSE (platform.isTrusted (true));
        EXPECT_THAT (log.all().toStdString(), HasSubstr ("missing the XTEST extension"));
        EXPECT_THAT (log.all().toStdString(), ::testing::Not (HasSubstr ("XInput")));
    }

    {
        ScopedDisplay use (":299");
        EXPECT_FALSE (platform.isTrusted (true));
        EXPECT_THAT (log.all().toStdString(), HasSubstr ("an X display (DISPLAY is \":299\")"));
    }
}
