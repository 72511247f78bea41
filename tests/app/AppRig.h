#pragma once

#include "app/MyQuillsteadApplication.h"
#include "core/AppFolders.h"
#include "platform/memory/MemoryDesktopPlatform.h"
#include "platform/memory/MemoryDisplaySource.h"
#include "platform/memory/MemoryInputPlatform.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

/** The application as the program builds it, on the in-memory platforms, in
    the test's network namespace. Operations that the application only
    exposes to its subclasses are opened up here. */
struct TestApplication : public MyQuillsteadApplication
{
    using MyQuillsteadApplication::MyQuillsteadApplication;
    using MyQuillsteadApplication::copyTextToClipboard;
    using MyQuillsteadApplication::getTextFromClipboard;
};

struct AppRig
{
    MemoryInputPlatform input;
    MemoryDesktopPlatform desktop;
    MemoryDisplaySource displays;
    std::unique_ptr<TestApplication> app;

    AppRig()
    {
        // The second-launch pipe is per process here, not per user.
        auto runtime = TestEnvironment::getTemp().getChildFile ("run");
        runtime.createDirectory();
        setenv ("XDG_RUNTIME_DIR", runtime.getFullPathName().toRawUTF8(), 1);
    }

    ~AppRig() { stop(); }

    TestApplication& construct()
    {
        app = std::make_unique<TestApplication> (MyQuillsteadApplication::Platforms { input, desktop, displays });
        return *app;
    }

    /** Constructs and starts up; returns once the own machine is registered. */
    TestApplication& start()
    {
        construct().initialise ({});
        EXPECT_TRUE (TestEnvironment::waitUntil ([this] { return machine (app->clientID).has_value(); }));
        return *app;
    }

    void stop()
    {
        if (app != nullptr)
            app->shutdown();

        app.reset();
    }

    std::optional<Machine> machine (int id) const
    {
        const juce::ScopedLock sl (app->registryLock);
        auto entry = app->myCopyOfMachines.find (id);
        return entry == app->myCopyOfMachines.end() ? std::nullopt : std::optional<Machine> (entry->second);
    }

    /** A machine as a "machineInfo" tree from the server brings it. */
    void add (int id, juce::String const& ip, int port, juce::Rectangle<int> area, juce::String const& os = "WIN")
    {
        juce::RectangleList<int> monitors (area.withZeroOrigin());
        app->addMachine (ip, port, id, monitors, area, os);
    }

    /** The menu-bar picture shown once the posted switches have run: "active",
        "normal", or "other" (none, or neither picture). The pictures are
        compared by their pixels; rescaling leaves the edge column uneven. */
    juce::String picture()
    {
        TestEnvironment::pump (30);
        auto const shown = desktop.getStatusItem().getImage();

        auto differences = [&shown] (juce::Image const& picture)
        {
            if (! shown.isValid() || shown.getBounds() != picture.getBounds())
                return std::numeric_limits<int>::max();

            int n = 0;

            for (int y = 0; y < picture.getHeight(); ++y)
                for (int x = 0; x < picture.getWidth(); ++x)
                    n += shown.getPixelAt (x, y) != picture.getPixelAt (x, y) ? 1 : 0;

            return n;
        };

        auto const active = differences (MySystemTrayIconComponent::getMenuBarImage (true));
        auto const normal = differences (MySystemTrayIconComponent::getMenuBarImage (false));
        return juce::jmin (active, normal) > 100 ? "other" : active < normal ? "active" : "normal";
    }

    /** The log file's messages, without their time stamps. */
    static juce::StringArray log()
    {
        juce::StringArray lines;
        lines.addLines (AppFolders::getLogFile().loadFileAsString());
        lines.removeEmptyStrings();

        for (auto& line : lines)
            line = line.fromFirstOccurrenceOf (" ", false, false);

        return lines;
    }

    static int count (juce::String const& line)
    {
        auto lines = log();
        return std::count (lines.begin(), lines.end(), line);
    }
};
