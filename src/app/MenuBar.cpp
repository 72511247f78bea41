#include "app/MyQuillsteadApplication.h"

#include "core/Logging.h"

#include <cstdio>

namespace
{
/** How long a tray that went may take to come back (a restart) before the
    window stands in for it. */
constexpr int trayReturnWaitMs = 3000;

/** Runs its work once, when it is due; it goes with its owner. */
class OneShotTimer : public juce::Timer
{
public:
    explicit OneShotTimer (std::function<void()> workToRun) : work (std::move (workToRun)) {}

    void timerCallback() override
    {
        stopTimer();
        work();
    }

private:
    std::function<void()> work;
};
} // namespace

//==============================================================================
// The status item's picture and the main window. Message thread only; other
// threads post here.

void MyQuillsteadApplication::switchMenuBarImage (bool active)
{
    auto image = MySystemTrayIconComponent::getMenuBarImage (active);
    trayIcon.setImage (image);
}

void MyQuillsteadApplication::postMenuBarImage (bool active)
{
    post ([active] (MyQuillsteadApplication& app) { app.switchMenuBarImage (active); });
}

void MyQuillsteadApplication::post (std::function<void (MyQuillsteadApplication&)> work)
{
    juce::WeakReference<ClientIPC> client (this);

    juce::MessageManager::callAsync ([client, work = std::move (work)]
    {
        if (auto* c = client.get())
            work (*static_cast<MyQuillsteadApplication*> (c));
    });
}

void MyQuillsteadApplication::showWindow()
{
    // A fresh window each time; the one open so far goes first, letting go of
    // the view, which the new one then shows.
    windowOpen = false;
    mainWindow.reset();
    ++windowGeneration;

    // The window places itself: native title bar, the view as its content,
    // resizable, centred, shown in front without taking the focus.
    mainWindow = std::make_unique<MainWindow> (getApplicationName(), mainComponent.get(), [this] { closeMainWindow(); });
    mainWindow->setDebugText ("DebugText");
    windowOpen = true;
    updateQuitButton();
}

void MyQuillsteadApplication::closeMainWindow()
{
    if (mainWindow == nullptr)
        return;

    if (! isStatusItemShown())
    {
        DBGOrLog ("Main window closed without a system tray: quitting");
        desktopPlatform.requestQuit();
    }

    windowOpen = false;
    mainWindow->setVisible (false);

    // Deleted once the close button's call has returned, unless another
    // window has replaced it by then.
    post ([generation = windowGeneration] (MyQuillsteadApplication& app)
    {
        if (app.windowGeneration == generation)
            app.mainWindow.reset();
    });
}

//==============================================================================
bool MyQuillsteadApplication::isStatusItemShown() const
{
    return desktopPlatform.getStatusItem().isShown();
}

void MyQuillsteadApplication::showWindowInsteadOfStatusItem()
{
    auto const line = juce::String ("No system tray on this desktop: the main window stands in for the menu; "
                                    "its \"Quit\" button, or closing it, quits Corvelline");
    DBGOrLog (line);
    std::fprintf (stderr, "Corvelline: %s\n", line.toRawUTF8());
    std::fflush (stderr);
    showWindow();
}

void MyQuillsteadApplication::statusItemShownChanged()
{
    updateQuitButton();

    if (! menuReady || isStatusItemShown())
        return;

    // A tray that restarts is back within moments: only one that stays away
    // leaves the window as the way in.
    if (trayWait == nullptr)
    {
        trayWait = std::make_unique<OneShotTimer> ([this]
        {
            if (! isStatusItemShown() && ! windowOpen)
                showWindowInsteadOfStatusItem();
        });
    }

    trayWait->startTimer (trayReturnWaitMs);
}

void MyQuillsteadApplication::updateQuitButton()
{
    if (mainComponent == nullptr)
        return;

    if (isStatusItemShown())
        mainComponent->setQuitAction (nullptr);
    else
        mainComponent->setQuitAction ([this] { desktopPlatform.requestQuit(); });
}
